// The network change machine, operation 15: a gateway that sees its network
// change (a node added or removed by another controller, a new SUC) sends an
// unsolicited node list; the machine waits until no other operation runs,
// reads the controller's node information again, derives its role, brings
// the node list up to date, resolves the new nodes' addresses and
// interviews them. Network mutex held throughout; its own timer slot.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>

enum : int {
    ZWNET_NWCHG_EVT_TMOUT = 0,
    ZWNET_NWCHG_EVT_NODE_INFO = 1,  // data: appl_node_info_t
    ZWNET_NWCHG_EVT_NODE_LIST = 2,  // data: length byte (at most 29), then the bitmap
    ZWNET_NWCHG_EVT_RETRY = 3,
    ZWNET_NWCHG_EVT_ADDR_DONE = 4,  // data: status byte
    ZWNET_NWCHG_EVT_INTV_DONE = 5,
};
inline constexpr uint32_t ZWNET_NWCHG_RETRY_MS = 5000;
inline constexpr uint32_t ZWNET_NWCHG_INFO_MS = 5300;

// 0 when a node list was taken (event 2), else -1.
int zwnet_nw_change_sm(zwnet_p net, int evt, const void *data);
// Back to idle without a notification (an abort of operation 15):
// zwnet_nw_change_stop in zwnet_ops.h.
// The gateway's unsolicited node list (application-layer callback).
void zwnet_unsolic_node_list_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t suc_id, const uint8_t *bitmap,
                                uint8_t len);
