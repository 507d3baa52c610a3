// Firmware update of a node (Firmware Update Meta Data, 0x7A) and its
// tracker, network operation 19.
//
// The application asks for the update (zwif_fw_updt_req, public); from then
// on the node drives the transfer: it asks for fragments, which are read
// from the image and answered in bursts, and ends with a status report. The
// tracker follows the transfer, turns it into notifications of operation 19
// and fails it after 26 s without a step. Everything here runs under the
// network mutex; what reaches the application is queued to the callback
// thread.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>
#include <cstdio>

// Image kinds of zwif_fw_dev_t::img_kind.
enum : uint8_t {
    ZWIF_FW_IMG_NONE = 0,
    ZWIF_FW_IMG_BIN = 1,
    ZWIF_FW_IMG_HEX = 2,
};
// Largest decoded HEX image.
inline constexpr uint32_t ZWIF_FW_HEX_MAX = 1000000;

// The request itself (network mutex held): 0 or 1 sent, or an error of
// zwif_fw_updt_req. A failure leaves no image open.
int zwif_fw_updt_req_ex(const zwif_desc_t *intf, const zwif_fw_updt_req_t *req);
// Opens the image at `path` into `ctx` (kind by extension): 0, -28, -30,
// -55, -12. On failure the kind is 0.
int zwif_fw_img_open(const char *path, zwif_fw_dev_t *ctx);
void zwif_fw_img_close(zwif_fw_dev_t *ctx);
// Fragment `rpt_num` (from 1) of `len` bytes at (rpt_num - 1) * len; the
// last one may be shorter (`len` is updated) and sets `last` when it ends at
// the image's end. 1 read, 0 when the offset is at or past the end or the
// file cannot be read there.
int zwif_fw_frag_file_read(std::FILE *file, uint32_t file_sz, uint16_t rpt_num, uint8_t *buf, uint16_t *len,
                           int *last);
int zwif_fw_frag_mem_read(const uint8_t *img, uint32_t img_sz, uint16_t rpt_num, uint8_t *buf, uint16_t *len,
                          int *last);
// The node asks for `cnt` fragments from `rpt_num`: 0 when the first went to
// the send path; -58 no update runs, -25, -28, -55, -1, -30, -54, -12.
int zwif_fw_frag_rpt_snd(zwif_p intf, uint16_t rpt_num, uint8_t cnt);

// ---- The tracker ----
enum : int {
    ZWNET_FW_EVT_TMOUT = 0,
    ZWNET_FW_EVT_REQ = 1,    // data: zwif_desc_t
    ZWNET_FW_EVT_REQ_RPT = 2,  // data: zwnet_fw_evt_t (val: status)
    ZWNET_FW_EVT_PROG = 3,   // data: zwnet_fw_evt_t (val: percent)
    ZWNET_FW_EVT_STS = 4,    // data: zwnet_fw_evt_t (val: status, wait time)
};
struct zwnet_fw_evt_t {
    uint8_t val;
    uint8_t wait_valid;
    uint16_t wait_tm;
    zwif_desc_t intf;
};
inline constexpr uint32_t ZWNET_FW_STEP_MS = 26000;

// 1 when a request was accepted (event 1 while idle), else 0.
int zwnet_fw_updt_sm(zwnet_p net, int evt, const void *data);
void zwnet_fw_updt_req_cb(const zwif_desc_t *intf, uint8_t status);
void zwnet_fw_updt_prog_cb(const zwif_desc_t *intf, uint8_t percent);
void zwnet_fw_updt_sts_cb(const zwif_desc_t *intf, uint8_t status, uint16_t wait_tm, uint8_t wait_valid);
// 1 when `intf` is the tracked interface (node, endpoint, class).
int zwnet_fw_updt_match(zwnet_p net, const zwif_desc_t *intf);
// Closes the image of the tracked interface, if it is still there.
void zwnet_fw_updt_ctx_free(zwnet_p net);
// Operation released, tracker idle, image closed, notification 255.
void zwnet_fw_updt_fail(zwnet_p net);
// Back to idle without a notification (an abort of operation 19, or a
// request that could not be sent): zwnet_fw_updt_stop in zwnet_ops.h.
