// The send path's helpers beside zwif_exec (hcapi/include/zwif.h): the set
// completion with its echo, the posts of cached data to the callback
// thread, the post-set poll and the supervised send.
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/core/zwfac.h"

#include <cstdint>

// The frame budget of one command before encapsulations.
inline constexpr uint16_t ZWIF_FRAME_BUDGET = 46;
inline constexpr uint8_t ZWIF_GET_PARAM_MAX = 29;
inline constexpr uint8_t ZWIF_SPV_SESSION_MOD = 64;

// Logs a failed send ("Send data completed with error:%d, node id:%u").
void zwif_tx_sts_log_cb(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);

// The set completion: a delivered set whose echo is stored under the
// sequence number `user` is replayed as a report, then the application
// hears the transmit status.
void zwif_set_tx_cb(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);
// Stores a set's simulated report before the set is sent: the sequence
// number to pass to zwif_exec with zwif_set_tx_cb.
uint32_t zwif_set_echo_store(const zwif_desc_t *intf, const uint8_t *rpt, uint16_t len);
void zwif_set_echo_clear(zwnet_p net, uint32_t seq);
// Posts a Color Switch report as one message per (component, value) pair.
void zwif_color_rpt_split(const zwif_desc_t *intf, const uint8_t *rpt, uint16_t len);

// Posts of cached data (callback message types 1, 0 and 2).
int zwif_cache_rpt_req(const zwif_desc_t *intf, void (*cb)(), uint16_t kind, uint16_t arg, int force);
int zwif_cached_rpt_post(const zwif_desc_t *intf, uint8_t rpt, uint8_t cnt, const uint16_t *val);
int zwif_dev_db_rpt_post(const zwif_desc_t *intf, void (*cb)(), uint16_t kind, uint8_t if_type, uint16_t arg);

int zwif_post_set_poll(const zwif_desc_t *intf, uint8_t target, uint8_t get_cmd, zwfac_result_fn cb,
                       uint64_t user);
int zwif_exec_supv(const zwif_desc_t *intf, const uint8_t *cmd, uint8_t len, zwfac_result_fn cb, uint64_t user);
int zwif_cache_val_get(const zwif_desc_t *intf, uint16_t cls, uint8_t *cnt, uint8_t *bytes, size_t size);
