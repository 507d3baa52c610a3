// Who the gateway is, and where the nodes are: the controller-information
// machine learns the gateway's node id, home id, address, node information,
// class versions, firmware (which decides multi-client operation), Security
// 2 DSK, mailbox mode and manufacturer ids into the controller's own node;
// the node-to-address machine resolves a list of node ids to addresses for
// the application layer's address table. Both are fed under the network
// mutex and share the network's step timer with the other machines.
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_nm.h"

#include <cstdint>
#include <vector>

// Events of the controller-information machine.
enum : int {
    ZWNET_CTLR_EVT_TMOUT = 0,
    ZWNET_CTLR_EVT_START = 1,     // data: zwnet_ctlr_start_t
    ZWNET_CTLR_EVT_ID = 2,        // the gateway's node id (advertisement)
    ZWNET_CTLR_EVT_ADDR = 3,      // the gateway's address (advertisement)
    ZWNET_CTLR_EVT_NOT_FOUND = 4, // an obsolete or unknown advertisement
    ZWNET_CTLR_EVT_NODE_INFO = 5, // data: appl_node_info_t
    ZWNET_CTLR_EVT_DELAY = 6,     // a retry after a pause
    ZWNET_CTLR_EVT_VER = 8,       // Version Report
    ZWNET_CTLR_EVT_CC_VER = 9,    // Command Class Version Report
    ZWNET_CTLR_EVT_DSK = 10,      // the gateway's DSK
    ZWNET_CTLR_EVT_MANF = 11,     // Manufacturer Specific Report
    ZWNET_CTLR_EVT_DEV_ID = 12,   // Device Specific Report
    ZWNET_CTLR_EVT_MBX = 13,      // Mailbox Configuration Report
    ZWNET_CTLR_EVT_APP_STS = 14,  // data: the application status byte (1 busy)
};

struct zwnet_ctlr_start_t {
    zwnet_ctlr_cmplt_fn cmplt{nullptr};
    const zwnet_ctlr_prev_t *prev{nullptr};  // the identity before learn mode, or null
};

// Feeds one event (network mutex held): 1 when event 1 started the
// machine, else 0.
int zwnet_ctlr_info_sm(zwnet_p net, int evt, const void *data);
// Ends a run: state 0, then the completion with 0 or -1.
void zwnet_ctlr_info_done(zwnet_p net, int result);

// Events of the node-to-address machine.
enum : int {
    ZWNET_N2IP_EVT_TMOUT = 0,
    ZWNET_N2IP_EVT_START = 1,  // data: zwnet_n2ip_req_t
    ZWNET_N2IP_EVT_ADV = 2,    // data: appl_node_adv_t
};
// Feeds one event (network mutex held): 0 when event 1 started it, else -1.
// Ids outside 1..232 in a request are dropped; a request without any is
// refused.
int zwnet_n2ip_sm(zwnet_p net, int evt, const void *data);

// The gateway's supported-class table from its node information: unsecure
// classes (flag 1), then secure classes not already listed (flag 2). 0, or
// -25 when both lists are empty.
int zwnet_gw_cc_save(const appl_node_info_t *info, std::vector<zwnet_gw_cc_t> &out);
// controller_role bits (0x02 inclusion, 0x04 primary, 0x01 proxy) of the
// classes listed in either list.
uint8_t zwnet_ctlr_role_bits_get(const uint16_t *unsec, uint8_t unsec_cnt, const uint16_t *sec, uint8_t sec_cnt);
// The controller node's root interfaces from the gateway's node
// information: 0 or -12.
int zwnet_gw_if_create(zwnode_p ctl, const appl_node_info_t *info);
