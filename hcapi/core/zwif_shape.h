// The shapes that every per-class interface call takes: a class's calls are
// rows (class, commands, operation code, cache keys, data kind) handed to
// these. Each shape first checks that the descriptor is of the row's class
// (-14), then does what its comment says; replies come back later as
// reports through the callback registered for the report.
#pragma once

#include "hcapi/core/zwfac.h"
#include "hcapi/include/zwif.h"

#include <cstdint>

// A get and the report that answers it.
struct zwif_get_row_t {
    uint16_t cls;
    uint8_t get;
    uint8_t rpt;
    uint16_t op;  // interface operation code stored before the GET
};

// Keys of a cached report (at most 8; they select the entry of keyed caches).
struct zwif_rpt_keys_t {
    uint8_t cnt{0};
    uint16_t val[8]{};
};

// 0 when the interface is of class `cls`; -14 without one, -15 of another.
int zwif_shape_check(const zwif_desc_t *intf, uint16_t cls);

// Registers the report callback: 0, -14, -15, -21.
int zwif_shape_rpt_set(const zwif_desc_t *intf, uint16_t cls, zwif_rpt_fn cb, uint8_t rpt);
// The same for a row, with the callback of the report's own type.
template <class Fn>
int zwif_shape_rpt_set_row(const zwif_desc_t *intf, const zwif_get_row_t &row, Fn cb)
{
    return zwif_shape_rpt_set(intf, row.cls, reinterpret_cast<zwif_rpt_fn>(cb), row.rpt);
}

// Get with flags or a poll request. With `poll` the Get goes to the report
// poll facility and the flags are not looked at; else flags bit 0 posts the
// cached report (an error returns at once, nothing sent), bit 1 stores the
// operation code and sends the GET with `param`. 0 or the first error.
int zwif_shape_get(const zwif_desc_t *intf, const zwif_get_row_t &row, const uint8_t *param, uint8_t param_len,
                   const zwif_rpt_keys_t &keys, zwpoll_req_t *poll, uint32_t flags);

// Get with a report callback: registers `cb` first (its error returns),
// then as zwif_shape_get without a poll request.
int zwif_shape_get_cb(const zwif_desc_t *intf, const zwif_get_row_t &row, zwif_rpt_fn cb, const uint8_t *param,
                      uint8_t param_len, const zwif_rpt_keys_t &keys, uint32_t flags);

// A class's supported (capability) get.
struct zwif_sup_row_t {
    uint16_t cls;
    uint8_t get;
    uint8_t rpt;
    uint16_t op;
    uint16_t kind;     // data kind the callback thread delivers
    uint8_t ver_min;   // real version the live GET needs (0: none)
    uint8_t rec_type;  // device-record interface type that answers older versions (0: none)
};

// Registers `cb`; older versions answer from the device record (2); the
// cache answers when it holds the data (2); cache-only posts what the cache
// holds and gives -60; a version below the row's gives -23; else the
// operation code and the SUPPORTED GET with `param`.
int zwif_shape_sup_get(const zwif_desc_t *intf, const zwif_sup_row_t &row, zwif_rpt_fn cb, int cache_only,
                       uint16_t key, const uint8_t *param, uint8_t param_len);

// Plain set: operation code, then the frame through zwif_exec.
int zwif_shape_set(const zwif_desc_t *intf, uint16_t cls, uint16_t op, const uint8_t *frame, uint16_t len);

// Echoed set: the report `echo` stands for the new state from the moment the
// set is delivered until the device's own report.
int zwif_shape_set_echoed(const zwif_desc_t *intf, uint16_t cls, uint16_t op, const uint8_t *frame, uint16_t len,
                          const uint8_t *echo, uint16_t echo_len);

// Supervised set with a post-set poll: with `cb`, supervision first (0 when
// the node takes it); else the frame, then a poll of `get_cmd` until the
// value reads `target`. A poll that cannot be armed is logged as
// "<who> post-set poll with error:%d" and gives -63 (*poll_rc, when given,
// receives the poll's own result for callers that judge it themselves).
int zwif_shape_set_supv(const zwif_desc_t *intf, uint16_t cls, uint16_t op, const uint8_t *frame, uint8_t len,
                        uint8_t target, uint8_t get_cmd, zwfac_result_fn cb, uint64_t user, const char *who,
                        int *poll_rc = nullptr);

// The error of a set whose post-set poll could not be armed.
inline constexpr int ZW_ERR_POST_SET_POLL = -63;
