// The facility and file calls whose own work is still to come. Each one is a
// no-op that says so in its result: the facilities run (zwfac_fw.cpp) with
// an idle worker until their work is built, a request that would
// need the facility answers ZW_ERR_UNSUPPORTED, and nothing claims to have
// saved, loaded, polled or supervised anything. The device-configuration
// reader yields no device records, as an empty file name does, so that a
// network with a configured file still starts. Each facility, when built,
// replaces its calls here with the real facility.
//
// Real already: the result posts of the post-set poll and supervision,
// which need nothing but the callback queue, and the poll send note, whose
// first half is the node's report wait.
#include "hcapi/core/zwfac.h"

#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwnet_cb.h"

// --- flush on leaving the network ----------------------------------------------------------
void zwdpoll_flush(zwdpoll_ctx_t *) {}

// --- device poll ------------------------------------------------------------
void zwdpoll_node_add(zwdpoll_ctx_t *, const zwnode_desc_t *) {}
void zwdpoll_node_add_all(zwdpoll_ctx_t *) {}
void zwdpoll_node_rm(zwdpoll_ctx_t *, const zwnode_desc_t *) {}
void zwdpoll_wkup(zwdpoll_ctx_t *, const zwnode_desc_t *) {}

