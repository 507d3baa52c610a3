// The per-class interface calls of Basic, Binary Switch and Battery, as rows
// handed to the call shapes (zwif_shape.h).
#include "hcapi/core/zwif_shape.h"
#include "hcapi/include/zwif.h"

#include <cstdint>

namespace {

constexpr zwif_get_row_t basic_get{0x20, 0x02, 0x03, 31};
constexpr zwif_get_row_t switch_get{0x25, 0x02, 0x03, 19};
constexpr zwif_get_row_t batt_get{0x80, 0x02, 0x03, 43};

int rpt_set(const zwif_desc_t *intf, const zwif_get_row_t &row, zwrep_ts_fn cb)
{
    return zwif_shape_rpt_set(intf, row.cls, reinterpret_cast<zwif_rpt_fn>(cb), row.rpt);
}

int get(const zwif_desc_t *intf, const zwif_get_row_t &row, zwpoll_req_t *poll, uint32_t flags)
{
    return zwif_shape_get(intf, row, nullptr, 0, {}, poll, flags);
}

// A single-value set that the application sees reported at once.
int set_echoed(const zwif_desc_t *intf, uint16_t cls, uint16_t op, uint8_t value)
{
    const uint8_t frame[3] = {static_cast<uint8_t>(cls), 0x01, value};
    const uint8_t echo[3] = {static_cast<uint8_t>(cls), 0x03, value};
    return zwif_shape_set_echoed(intf, cls, op, frame, sizeof frame, echo, sizeof echo);
}

}  // namespace

int zwif_basic_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return rpt_set(intf, basic_get, cb); }
int zwif_basic_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags)
{
    return get(intf, basic_get, poll, flags);
}
int zwif_basic_get(const zwif_desc_t *intf, uint32_t flags) { return get(intf, basic_get, nullptr, flags); }
int zwif_basic_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll) { return get(intf, basic_get, poll, 0); }
int zwif_basic_set(const zwif_desc_t *intf, uint8_t value)
{
    if (intf != nullptr && intf->cls == 0x20 && value > 99 && value != 0xFF)
        return ZW_ERR_VALUE;
    return set_echoed(intf, 0x20, 32, value);
}

int zwif_switch_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return rpt_set(intf, switch_get, cb); }
int zwif_switch_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags)
{
    return get(intf, switch_get, poll, flags);
}
int zwif_switch_get(const zwif_desc_t *intf, uint32_t flags) { return get(intf, switch_get, nullptr, flags); }
int zwif_switch_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll) { return get(intf, switch_get, poll, 0); }
int zwif_switch_set(const zwif_desc_t *intf, uint8_t on) { return set_echoed(intf, 0x25, 20, on ? 0xFF : 0x00); }

int zwif_batt_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return rpt_set(intf, batt_get, cb); }
int zwif_batt_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags)
{
    return get(intf, batt_get, poll, flags);
}
int zwif_batt_get(const zwif_desc_t *intf, uint32_t flags) { return get(intf, batt_get, nullptr, flags); }
int zwif_batt_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll) { return get(intf, batt_get, poll, 0); }
