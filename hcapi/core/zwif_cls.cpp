// The per-class interface calls: each class's calls are rows of the tables
// below, read by the call shapes (report-callback setter, get with flags,
// echoed set). Only what a class really does differently is written out.
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif.h"

#include <cstdint>

namespace {

// A class's report: its callback row, its GET and the operation code the
// GET stores on the node.
struct rpt_call_t {
    uint16_t cls;
    uint8_t get;
    uint8_t rpt;
    uint16_t get_op;
};

constexpr rpt_call_t rpt_calls[] = {
    {0x20, 0x02, 0x03, 31},  // Basic
    {0x25, 0x02, 0x03, 19},  // Binary Switch
    {0x80, 0x02, 0x03, 43},  // Battery
};

constexpr const rpt_call_t &rpt_call(uint16_t cls)
{
    for (const rpt_call_t &r : rpt_calls)
        if (r.cls == cls)
            return r;
    return rpt_calls[0];  // never: every caller names a listed class
}

// A set that the application sees reported at once when it is delivered:
// its frame, and the report that stands for it until the device's own.
struct echo_set_t {
    uint16_t cls;
    uint8_t set;
    uint8_t rpt;
    uint16_t op;
};

constexpr echo_set_t echo_sets[] = {
    {0x20, 0x01, 0x03, 32},  // Basic: value
    {0x25, 0x01, 0x03, 20},  // Binary Switch: on (0xFF) or off
};

constexpr const echo_set_t &echo_set(uint16_t cls)
{
    for (const echo_set_t &r : echo_sets)
        if (r.cls == cls)
            return r;
    return echo_sets[0];
}

// --- the shapes -----------------------------------------------------------------

int rpt_set(const zwif_desc_t *intf, uint16_t cls, zwrep_ts_fn cb)
{
    if (intf == nullptr)
        return ZW_ERR_VALUE;
    if (intf->cls != cls)
        return ZW_ERR_CLASS_NOT_FOUND;
    return zwif_set_report(intf, reinterpret_cast<zwif_rpt_fn>(cb), rpt_call(cls).rpt);
}

int get(const zwif_desc_t *intf, uint16_t cls, uint32_t flags)
{
    if (intf == nullptr)
        return ZW_ERR_VALUE;
    if (intf->cls != cls)
        return ZW_ERR_CLASS_NOT_FOUND;
    const rpt_call_t &row = rpt_call(cls);
    if (flags & ZWIF_GET_BMSK_CACHE) {
        const int rc = zwif_cached_rpt_post(intf, row.rpt, 0, nullptr);
        if (rc != 0)
            return rc;
    }
    if (flags & ZWIF_GET_BMSK_LIVE) {
        int rc = zwnode_cur_op_set(intf, row.get_op, 1);
        if (rc != 0)
            return rc;
        rc = zwif_get_report_simple(intf, nullptr, 0, row.get, zwif_tx_sts_cb);
        if (rc != 0)
            return rc;
    }
    return 0;
}

int set_echoed(const zwif_desc_t *intf, uint16_t cls, uint8_t value)
{
    if (intf == nullptr)
        return ZW_ERR_VALUE;
    if (intf->cls != cls)
        return ZW_ERR_CLASS_NOT_FOUND;
    const echo_set_t &row = echo_set(cls);
    int rc = zwnode_cur_op_set(intf, row.op, 1);
    if (rc != 0)
        return rc;
    const uint8_t frame[3] = {static_cast<uint8_t>(cls), row.set, value};
    const uint8_t echo[3] = {static_cast<uint8_t>(cls), row.rpt, value};
    // The echo is in place before the frame leaves: the acknowledgement may
    // come back before zwif_exec returns.
    const uint32_t seq = zwif_set_echo_store(intf, echo, sizeof echo);
    rc = zwif_exec(intf, frame, sizeof frame, zwif_set_tx_cb, reinterpret_cast<void *>(uintptr_t{seq}), 0, nullptr);
    if (rc < 0)
        zwif_set_echo_clear(intf->net, seq);
    return rc;
}

}  // namespace

int zwif_basic_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return rpt_set(intf, 0x20, cb); }
int zwif_basic_get(const zwif_desc_t *intf, uint32_t flags) { return get(intf, 0x20, flags); }
int zwif_basic_set(const zwif_desc_t *intf, uint8_t value)
{
    if (intf != nullptr && intf->cls == 0x20 && value > 99 && value != 0xFF)
        return ZW_ERR_VALUE;
    return set_echoed(intf, 0x20, value);
}

int zwif_switch_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return rpt_set(intf, 0x25, cb); }
int zwif_switch_get(const zwif_desc_t *intf, uint32_t flags) { return get(intf, 0x25, flags); }
int zwif_switch_set(const zwif_desc_t *intf, uint8_t on) { return set_echoed(intf, 0x25, on ? 0xFF : 0x00); }

int zwif_batt_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return rpt_set(intf, 0x80, cb); }
int zwif_batt_get(const zwif_desc_t *intf, uint32_t flags) { return get(intf, 0x80, flags); }
