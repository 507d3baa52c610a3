// Network initialisation: from a working link to the gateway to a network
// whose nodes are known, resolved and interviewed. The machine asks the
// controller-information machine who the gateway is, fetches the node list,
// makes the host the gateway's unsolicited destination, resolves the nodes'
// addresses, loads the node-information file, applies device records and
// hands the nodes without cached information to the node interview. It
// reports through one operation notification of the operation it runs
// under (1 initialise, 6 after learn mode).
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_nm.h"

#include <cstdint>

enum : int {
    ZWNET_INIT_EVT_TMOUT = 0,
    ZWNET_INIT_EVT_START = 1,      // data: zwnet_init_start_t
    ZWNET_INIT_EVT_CTLR_DONE = 2,  // data: int32_t result (0 success)
    ZWNET_INIT_EVT_UNSOL_DST = 3,  // data: the reported destination
    ZWNET_INIT_EVT_ADDR_DONE = 4,  // data: uint8_t status (0 or 255)
    ZWNET_INIT_EVT_NODE_LIST = 5,
    ZWNET_INIT_EVT_NL_RETRY = 6,
    ZWNET_INIT_EVT_INTV_DONE = 7,
    ZWNET_INIT_EVT_APP_STS = 8,    // data: uint8_t application status (1 busy)
};

struct zwnet_init_start_t {
    uint8_t op{ZWNET_OP_INITIALIZE};  // the operation to report
    uint8_t load_file{1};             // load the node-information file
    const zwnet_ctlr_prev_t *prev{nullptr};
};

// Feeds one event (network mutex held): 0 when it accepted a start, else -1.
int zwnet_init_sm(zwnet_p net, int evt, const void *data);

// The host's own classes for the gateway's Application Node Info Set: the
// unsecure ones, the mark 0xF1 0x00, the secure ones; classes the gateway
// lists itself are left out. `len` holds the room and gets what was
// written. 0, or -12 when the mark does not fit.
int zwnet_nif_cc_build(zwnet_p net, uint8_t *buf, uint16_t *len);

// Loads the node-information file and puts back into the controller's node
// what the gateway told: 0, or the loader's negative code.
int zwnet_node_info_load(zwnet_p net, const char *path);

// The reply callback of the node list request, for this machine and for
// the update and reset machines.
void zwnet_node_list_get_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t suc_id, const uint8_t *bitmap,
                            uint8_t len);

// Completions handed to the machines that this one starts.
void zwnet_n2ip_done_cb(zwnet_p net, uint8_t status, const uint64_t *data);
void zwnet_sm_nw_chg_cb(zwnet_p net, uint8_t first_node_id);
