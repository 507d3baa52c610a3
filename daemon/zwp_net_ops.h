// What the network list and request execution need of a network record.
//
// The record itself (its start and stop, its descriptor tree, the transmit
// and report waits) is built by its own module, which installs its calls
// here once at start-up. Until one is installed every member is null: the
// list never holds a network, and requests run as they do when no network
// is running.
#pragma once

#include "daemon/zwp_runtime.h"
#include "util/zwu_time.h"

#include <cstdint>

struct zwp_net_t;
struct zwnode_desc_t;
struct zwep_desc_t;
struct zwif_desc_t;

// What network_summary_get reports of an initialised network.
struct zwp_net_summary_t {
    uint32_t home_id;
    uint8_t controller_node_id;
    uint8_t network_id[8];
    uint8_t gateway_address[16]; // an IPv4 gateway in the first 4 bytes, the rest 0
    uint32_t address_type;       // 1 IPv4, 0 IPv6
};

// Every call returns 0 or 22 unless said otherwise.
struct zwp_net_ops_t {
    // Requests in progress hold a reference; free waits for the last one.
    void (*ref)(zwp_net_t *net);
    void (*unref)(zwp_net_t *net);
    int (*stop)(zwp_net_t *net);
    void (*free)(zwp_net_t *net);

    // The descriptor lock, a nested mutex: desc_lock succeeds only while
    // the network has a descriptor tree, desc_lock_any always.
    int (*desc_lock)(zwp_net_t *net);
    int (*desc_lock_any)(zwp_net_t *net);
    int (*desc_unlock)(zwp_net_t *net);
    // 0 with a tree, else 22. The callers below hold the descriptor lock.
    int (*desc_tree_present)(zwp_net_t *net);
    // Time of the tree's last change; 0 without a tree.
    zwu_time_t (*tree_utime)(zwp_net_t *net);
    int (*node_find)(zwp_net_t *net, uint32_t node_id, const zwnode_desc_t **node);
    int (*ep_find)(zwp_net_t *net, uint32_t node_id, uint32_t ep_id, const zwep_desc_t **ep);
    int (*if_find)(zwp_net_t *net, uint32_t node_id, uint32_t ep_id, uint32_t command_class,
                   const zwif_desc_t **intf);

    // The transmit status of the last command: reset to pending before the
    // library call, then waited for (giving up the descriptor lock while
    // waiting); a wait that cannot end gives 22.
    int (*tx_status_reset)(zwp_net_t *net);
    int (*tx_status_wait)(zwp_net_t *net, uint8_t *status);
    // The report sequence, taken before a report check, and the wait for a
    // later report (giving up the descriptor lock) for at most usec
    // microseconds: 0 posted, ZWU_COND_TIMEDOUT, or 22.
    uint64_t (*report_seq)(zwp_net_t *net);
    int (*report_wait)(zwp_net_t *net, uint64_t seq, int64_t usec);

    // Fills the summary of a network that has a descriptor tree.
    int (*summary_get)(zwp_net_t *net, zwp_net_summary_t *summary);

    // Gives the transmit status back without waiting (the library call
    // failed, or queued or answered the command without sending it), so
    // that the next request need not wait for a status that never comes.
    void (*tx_status_end)(zwp_net_t *net);
};

// Installs the record module's calls (null: none again). The table must
// outlive every request.
void zwp_net_ops_set(const zwp_net_ops_t *ops);
// Never null.
const zwp_net_ops_t *zwp_net_ops_get();
