// What the network layer's own modules share: the life of the network record
// (the record itself and its lock live with the node database, in
// hcapi/core/zwrec.h), the controller's class table and responder tables,
// and the first step of initialisation.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>
#include <vector>

// ---------------------------------------------------------------------------
// Network life
// ---------------------------------------------------------------------------

// Drops one reference; the last one frees the network. Call without the
// network mutex.
void zwnet_free(zwnet_p net);

// The controller class merge: built-in entries first; an extra entry joins
// unless its class is already there. 0 or -12.
int zwnet_cc_tbl_merge(const zwnet_cls_ent_t *builtin, uint8_t builtin_cnt, const zwnet_cls_ent_t *extra,
                       uint8_t extra_cnt, std::vector<zwnet_cls_ent_t> &out);

// The responder's tables: 1 on a match (with the report command for a get).
int zwnet_ctlr_rpt_cmd_find(const uint8_t *cmd, uint16_t len, uint16_t *cls, uint8_t *rpt);
int zwnet_ctlr_set_cmd_find(const uint8_t *cmd, uint16_t len, uint16_t *cls);

// The Application Status handler installed into the Z/IP layer: 1 busy
// (status: the wait time), 2 request rejected.
void zwnet_appl_sts_cb(appl_layer_ctx *ctx, uint8_t cmd, uint8_t status);

// The first step of initialisation: starts the initialisation state
// machine as operation 1 with the node-information file loaded. 0, or -1
// when it did not start.
int zwnet_init_sm_start(zwnet_p net);
