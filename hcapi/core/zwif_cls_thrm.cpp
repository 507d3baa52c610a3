// The per-class calls of the thermostats, the climate control schedule and
// Alarm/Notification, as rows handed to the call shapes (zwif_shape.h).
// Written out by hand: the setback byte, the schedule frame, the echoes
// that only a supported value may give, and the notification get, which
// goes through the node's alarm rules before it is sent.
#include "hcapi/core/zwif_rpt_sw.h"
#include "hcapi/core/zwif_shape.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_call.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Gets and the reports that answer them.
constexpr zwif_get_row_t mode_get{0x40, 0x02, 0x03, 48};
constexpr zwif_get_row_t op_get{0x42, 0x02, 0x03, 51};
constexpr zwif_get_row_t setp_get{0x43, 0x02, 0x03, 54};
constexpr zwif_get_row_t fan_get{0x44, 0x02, 0x03, 44};
constexpr zwif_get_row_t fan_sta_get{0x45, 0x02, 0x03, 47};
constexpr zwif_get_row_t schd_get{0x46, 0x02, 0x03, 59};
constexpr zwif_get_row_t schd_chg_get{0x46, 0x04, 0x05, 61};
constexpr zwif_get_row_t schd_ovr_get{0x46, 0x07, 0x08, 62};
constexpr zwif_get_row_t setb_get{0x47, 0x02, 0x03, 52};
constexpr zwif_get_row_t alrm_get{0x71, 0x04, 0x05, 40};

// Supported gets: {class, get, report, operation, data kind, version, device record}.
constexpr zwif_sup_row_t mode_sup{0x40, 0x04, 0x05, 50, 1, 0, 0};
constexpr zwif_sup_row_t setp_sup{0x43, 0x04, 0x05, 56, 2, 0, 0};
constexpr zwif_sup_row_t setp_range{0x43, 0x09, 0x0A, 107, 20, 3, DEV_IF_THRMO_SETP};
constexpr zwif_sup_row_t fan_sup{0x44, 0x04, 0x05, 46, 0, 0, 0};
constexpr zwif_sup_row_t alrm_sup{0x71, 0x07, 0x08, 42, ZWIF_KIND_ALRM_TYPES, 2, DEV_IF_ALARM};
constexpr zwif_sup_row_t alrm_evt{0x71, 0x01, 0x02, 89, ZWIF_KIND_ALRM_EVTS, 3, DEV_IF_ALARM};

// Operation codes of the sets.
enum : uint16_t {
    op_mode_set = 49,
    op_setp_set = 55,
    op_fan_set = 45,
    op_schd_set = 60,
    op_schd_ovr_set = 63,
    op_setb_set = 53,
    op_alrm_set = 41,
};

// A thermostat mode that the device reports as something else: no echo.
constexpr uint8_t mode_no_echo = 5;
constexpr uint8_t fan_off_flag = 0x80;
constexpr uint8_t fan_off_ver = 2;
constexpr uint8_t alrm_type_all = 0xFF;
constexpr uint8_t alrm_set_ver = 2;
constexpr uint8_t alrm_evt_none = 254;  // a rule's "no event"

// Setback bytes: a signed number of tenths, or one of three special states.
constexpr int8_t setback_max = 120;
constexpr uint8_t setback_state_byte[] = {0x00, 0x79, 0x7A, 0x7F};  // by ZW_CLIMATE_*, 0: the value itself
constexpr uint8_t schd_state_max = ZW_CLIMATE_ENERGY_SAVING;
constexpr size_t schd_frame_len = 30;

// Setpoint cache: count, three bytes, then per type {u32 valid, minimum, maximum}.
constexpr size_t setp_hdr = 4;
constexpr size_t setp_ent = 4 + 2 * sizeof(zwsetp_t);

int get_flags(const zwif_desc_t *intf, const zwif_get_row_t &row, uint32_t flags)
{
    return zwif_shape_get(intf, row, nullptr, 0, {}, nullptr, flags);
}

int get_live(const zwif_desc_t *intf, const zwif_get_row_t &row, const uint8_t *param = nullptr,
             uint8_t param_len = 0)
{
    return zwif_shape_get(intf, row, param, param_len, {}, nullptr, ZWIF_GET_BMSK_LIVE);
}

template <class Fn>
int sup_get(const zwif_desc_t *intf, const zwif_sup_row_t &row, Fn cb, int cache_only)
{
    return zwif_shape_sup_get(intf, row, reinterpret_cast<zwif_rpt_fn>(cb), cache_only, 0, nullptr, 0);
}

template <size_t N>
int set(const zwif_desc_t *intf, uint16_t op, const uint8_t (&frame)[N], size_t len = N)
{
    return zwif_shape_set(intf, frame[0], op, frame, static_cast<uint16_t>(len));
}

// A set whose report the application sees at once, when `echo` holds (no
// echo: a set that is only reported by the device itself).
int set_echo_if(const zwif_desc_t *intf, uint16_t op, const uint8_t *frame, uint16_t len, bool echo)
{
    uint8_t rpt[ZWNET_ECHO_MAX];
    std::memcpy(rpt, frame, len);
    rpt[1] = 0x03;
    return zwif_shape_set_echoed(intf, frame[0], op, frame, len, rpt, echo ? len : 0);
}

// A supported get keyed by one value (a setpoint type, a notification type):
// the cache answers only when `known` finds that key in it.
template <class Fn, class Known>
int sup_get_keyed(const zwif_desc_t *intf, const zwif_sup_row_t &row, Fn cb, int cache_only, uint8_t key,
                  Known known)
{
    const auto fn = reinterpret_cast<zwif_rpt_fn>(cb);
    const int reg = zwif_set_report(intf, fn, row.rpt);
    const bool old = zwif_real_ver_get(intf) < row.ver_min;
    if (old && zwif_dev_db_rpt_post(intf, fn, row.kind, row.rec_type, key) == 1)
        return ZW_ERR_CACHE_AVAIL;
    bool have = false;
    {
        zwnet_lock lk(intf->net);
        zwif_p i = zwif_rec_get(intf);
        if (i != nullptr && i->data != nullptr && i->data_cnt != 0)
            have = known(static_cast<const uint8_t *>(i->data), size_t(i->data_cnt) * i->data_item_sz);
    }
    if (have || cache_only) {
        zwif_cache_rpt_req(intf, fn, row.kind, key, 1);
        return have ? ZW_ERR_CACHE_AVAIL : ZW_ERR_NO_CACHE_AVAIL;
    }
    if (old)
        return ZW_ERR_CLASS_VER;
    if (reg != 0)
        return reg;
    if (const int rc = zwnode_cur_op_set(intf, row.op, 1); rc != 0)
        return rc;
    return zwif_get_report(intf, &key, 1, row.get, zwif_tx_sts_cb, 0);
}

// Under the network mutex: the interface's supported block, or -15 / -60.
template <class Read>
int with_data(const zwif_desc_t *intf, uint16_t cls, Read read)
{
    if (const int rc = zwif_shape_check(intf, cls); rc != 0)
        return rc;
    zwnet_lock lk(intf->net);
    zwif_p i = zwif_rec_get(intf);
    if (i == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    const auto *b = static_cast<const uint8_t *>(i->data);
    const size_t n = b != nullptr ? size_t(i->data_cnt) * i->data_item_sz : 0;
    return read(i, b, n);
}

// Whether a list block {count, values...} (at `at`) holds `v`.
bool listed(const uint8_t *b, size_t n, size_t at, uint8_t v)
{
    if (b == nullptr || n <= at)
        return false;
    const size_t cnt = std::min<size_t>(b[at], n - at - 1);
    return std::find(b + at + 1, b + at + 1 + cnt, v) != b + at + 1 + cnt;
}

// Whether the interface's cached supported list holds `v`.
bool sup_has(const zwif_desc_t *intf, size_t at, uint8_t v)
{
    bool yes = false;
    zwnet_lock lk(intf->net);
    if (zwif_p i = zwif_rec_get(intf))
        yes = listed(static_cast<const uint8_t *>(i->data), size_t(i->data_cnt) * i->data_item_sz, at, v);
    return yes;
}

// The setpoint types of the supported block, each at its entry.
size_t setp_cnt(const uint8_t *b, size_t n)
{
    return n >= setp_hdr ? std::min<size_t>(b[0], (n - setp_hdr) / setp_ent) : 0;
}
const uint8_t *setp_entry(const uint8_t *b, size_t n, uint8_t type)
{
    for (size_t k = 0; k < setp_cnt(b, n); ++k)
        if (b[setp_hdr + setp_ent * k + 4] == type)
            return b + setp_hdr + setp_ent * k;
    return nullptr;
}
bool setp_range_valid(const uint8_t *e)
{
    uint32_t valid;
    std::memcpy(&valid, e, sizeof valid);
    return valid != 0;
}

// The setback byte of a state and value, or -1 when they do not fit.
int setback_byte(uint8_t state, int8_t value, uint8_t state_max)
{
    if (state > state_max)
        return -1;
    if (state != ZW_CLIMATE_SETBACK)
        return setback_state_byte[state];
    return value <= setback_max ? static_cast<uint8_t>(value) : -1;
}

// What the node's device record says for the interface's endpoint (network
// mutex held): the entry of a type, or null.
const dev_if_t *dev_if_find(const zwif_desc_t *intf, uint8_t type)
{
    zwnode_p node = zwnode_find(&intf->net->ctl, intf->nodeid);
    if (node == nullptr || !node->dev_cfg_valid || node->dev_cfg_rec == nullptr)
        return nullptr;
    return static_cast<const dev_if_t *>(
        zwdevcfg_ep_if_get(static_cast<dev_rec_t *>(node->dev_cfg_rec)->ep, intf->epid, type));
}

bool set_val(uint32_t v) { return v != DEV_ANY; }
bool fits(uint32_t rule, int32_t want) { return !set_val(rule) || want < 0 || rule == uint32_t(want); }

// Adds `v` to a list once.
void add_once(uint8_t *list, uint8_t *cnt, uint8_t max, uint8_t v)
{
    if (std::find(list, list + *cnt, v) == list + *cnt && *cnt < max)
        list[(*cnt)++] = v;
}

}  // namespace

// --- Thermostat Mode (0x40) ---------------------------------------------------------------

int zwif_thrmo_mode_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return zwif_shape_rpt_set_row(intf, mode_get, cb); }
int zwif_thrmo_mode_get(const zwif_desc_t *intf, uint32_t flags) { return get_flags(intf, mode_get, flags); }
int zwif_thrmo_mode_set(const zwif_desc_t *intf, uint8_t mode)
{
    if (const int rc = zwif_shape_check(intf, 0x40); rc != 0)
        return rc;
    const uint8_t frame[] = {0x40, 0x01, static_cast<uint8_t>(mode & 0x1F)};
    // The report of a supported mode is known in advance; mode 5 is reported
    // by the device as the mode it resumes, not as 5.
    const bool echo = mode != mode_no_echo && sup_has(intf, 0, mode);
    return set_echo_if(intf, op_mode_set, frame, sizeof frame, echo);
}
int zwif_thrmo_mode_sup_get(const zwif_desc_t *intf, zwrep_thrmo_md_sup_fn cb, int cache_only)
{
    return sup_get(intf, mode_sup, cb, cache_only);
}
int zwif_thrmo_mode_sup_cache_get(const zwif_desc_t *intf, uint8_t *modes, uint8_t *cnt)
{
    if (modes == nullptr || cnt == nullptr)
        return ZW_ERR_VALUE;
    return with_data(intf, 0x40, [&](zwif_p, const uint8_t *b, size_t n) -> int {
        if (n == 0)
            return ZW_ERR_NO_CACHE_AVAIL;
        *cnt = static_cast<uint8_t>(std::min<size_t>(b[0], n - 1));
        std::memcpy(modes, b + 1, *cnt);
        return 0;
    });
}

// --- Thermostat Operating State (0x42), Fan State (0x45) ------------------------------------

int zwif_thrmo_op_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return zwif_shape_rpt_set_row(intf, op_get, cb); }
int zwif_thrmo_op_get(const zwif_desc_t *intf, uint32_t flags) { return get_flags(intf, op_get, flags); }
int zwif_thrmo_fan_sta_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return zwif_shape_rpt_set_row(intf, fan_sta_get, cb); }
int zwif_thrmo_fan_sta_get(const zwif_desc_t *intf, uint32_t flags) { return get_flags(intf, fan_sta_get, flags); }

// --- Thermostat Setpoint (0x43) -----------------------------------------------------------

int zwif_thrmo_setp_rpt_set(const zwif_desc_t *intf, zwrep_thrmo_setp_fn cb) { return zwif_shape_rpt_set_row(intf, setp_get, cb); }
int zwif_thrmo_setp_get_ex(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll, uint32_t flags)
{
    zwif_rpt_keys_t keys;
    keys.cnt = 1;
    keys.val[0] = type;
    return zwif_shape_get(intf, setp_get, &type, 1, keys, poll, flags);
}
int zwif_thrmo_setp_get(const zwif_desc_t *intf, uint8_t type, uint32_t flags)
{
    return zwif_thrmo_setp_get_ex(intf, type, nullptr, flags);
}
int zwif_thrmo_setp_get_poll(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll)
{
    return zwif_thrmo_setp_get_ex(intf, type, poll, 0);
}
int zwif_thrmo_setp_set(const zwif_desc_t *intf, const zwsetp_t *v)
{
    if (const int rc = zwif_shape_check(intf, 0x43); rc != 0)
        return rc;
    if (v == nullptr || (v->size != 1 && v->size != 2 && v->size != 4) || v->precision > 7 || v->scale > 1)
        return ZW_ERR_VALUE;
    uint8_t frame[4 + sizeof v->data] = {0x43, 0x01, static_cast<uint8_t>(v->type & 0x0F),
                                        static_cast<uint8_t>(v->precision << 5 | v->scale << 3 | v->size)};
    std::memcpy(frame + 4, v->data, v->size);
    bool echo = false;
    {
        zwnet_lock lk(intf->net);
        if (zwif_p i = zwif_rec_get(intf))
            echo = setp_entry(static_cast<const uint8_t *>(i->data), size_t(i->data_cnt) * i->data_item_sz,
                              frame[2]) != nullptr;
    }
    return set_echo_if(intf, op_setp_set, frame, static_cast<uint16_t>(4 + v->size), echo);
}
int zwif_thrmo_setp_sup_get(const zwif_desc_t *intf, zwrep_thrmo_setp_sup_fn cb, int cache_only)
{
    return sup_get(intf, setp_sup, cb, cache_only);
}
int zwif_thrmo_setp_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *types)
{
    if (cnt == nullptr || types == nullptr)
        return ZW_ERR_VALUE;
    return with_data(intf, 0x43, [&](zwif_p, const uint8_t *b, size_t n) -> int {
        if (n < setp_hdr)
            return ZW_ERR_NO_CACHE_AVAIL;
        const size_t c = setp_cnt(b, n);
        for (size_t k = 0; k < c; ++k)
            types[k] = b[setp_hdr + setp_ent * k + 4];
        *cnt = static_cast<uint8_t>(c);
        return 0;
    });
}
int zwif_thrmo_setp_range_get(const zwif_desc_t *intf, uint8_t type, zwrep_thrmo_setp_range_fn cb, int cache_only)
{
    if (const int rc = zwif_shape_check(intf, 0x43); rc != 0)
        return rc;
    type &= 0x0F;
    if (type == 0)
        return ZW_ERR_VALUE;
    return sup_get_keyed(intf, setp_range, cb, cache_only, type, [type](const uint8_t *b, size_t n) {
        const uint8_t *e = setp_entry(b, n, type);
        return e != nullptr && setp_range_valid(e);
    });
}
int zwif_thrmo_setp_range_cache_get(const zwif_desc_t *intf, uint8_t type, zwsetp_t *min, zwsetp_t *max)
{
    if (min == nullptr || max == nullptr)
        return ZW_ERR_VALUE;
    return with_data(intf, 0x43, [&](zwif_p i, const uint8_t *b, size_t n) -> int {
        if (i->real_ver >= setp_range.ver_min) {
            const uint8_t *e = setp_entry(b, n, type);
            if (e == nullptr || !setp_range_valid(e))
                return ZW_ERR_NO_CACHE_AVAIL;
            std::memcpy(min, e + 4, sizeof *min);
            std::memcpy(max, e + 4 + sizeof *min, sizeof *max);
            return 0;
        }
        if (const dev_if_t *d = dev_if_find(intf, DEV_IF_THRMO_SETP))
            for (const dev_setp_rng_t &r : d->setp)
                if (r[0] == type) {
                    std::memcpy(min, r.data(), sizeof *min);
                    std::memcpy(max, r.data() + sizeof *min, sizeof *max);
                    return 0;
                }
        return ZW_ERR_CLASS_VER;
    });
}

// --- Thermostat Fan Mode (0x44) -----------------------------------------------------------

int zwif_thrmo_fan_mode_rpt_set(const zwif_desc_t *intf, zwrep_thrmo_fan_md_fn cb)
{
    return zwif_shape_rpt_set_row(intf, fan_get, cb);
}
int zwif_thrmo_fan_mode_get(const zwif_desc_t *intf, uint32_t flags) { return get_flags(intf, fan_get, flags); }
int zwif_thrmo_fan_mode_set(const zwif_desc_t *intf, uint8_t off, uint8_t mode)
{
    if (const int rc = zwif_shape_check(intf, 0x44); rc != 0)
        return rc;
    if (off && intf->ver < fan_off_ver)
        return ZW_ERR_CLASS_VER;
    const uint8_t b = static_cast<uint8_t>((mode & 0x0F) | (off ? fan_off_flag : 0));
    const uint8_t frame[] = {0x44, 0x01, b};
    // The supported block is {off supported, count, modes}.
    const bool echo = b == fan_off_flag || sup_has(intf, 1, mode & 0x0F);
    return set_echo_if(intf, op_fan_set, frame, sizeof frame, echo);
}
int zwif_thrmo_fan_mode_sup_get(const zwif_desc_t *intf, zwrep_thrmo_fan_md_sup_fn cb, int cache_only)
{
    return sup_get(intf, fan_sup, cb, cache_only);
}
int zwif_thrmo_fan_mode_sup_cache_get(const zwif_desc_t *intf, uint8_t *off_sup, uint8_t *cnt, uint8_t *modes)
{
    if (off_sup == nullptr || cnt == nullptr || modes == nullptr)
        return ZW_ERR_VALUE;
    return with_data(intf, 0x44, [&](zwif_p, const uint8_t *b, size_t n) -> int {
        if (n < 2)
            return ZW_ERR_NO_CACHE_AVAIL;
        *off_sup = b[0];
        *cnt = static_cast<uint8_t>(std::min<size_t>(b[1], n - 2));
        std::memcpy(modes, b + 2, *cnt);
        return 0;
    });
}

// --- Climate Control Schedule (0x46) ------------------------------------------------------

int zwif_clmt_ctl_schd_rpt_set(const zwif_desc_t *intf, zwrep_cc_shed_fn cb) { return zwif_shape_rpt_set_row(intf, schd_get, cb); }
int zwif_clmt_ctl_schd_get(const zwif_desc_t *intf, uint8_t weekday)
{
    if (const int rc = zwif_shape_check(intf, 0x46); rc != 0)
        return rc;
    if (weekday < 1 || weekday > 7)
        return ZW_ERR_VALUE;
    return get_live(intf, schd_get, &weekday, 1);
}
int zwif_clmt_ctl_schd_set(const zwif_desc_t *intf, const zwcc_shed_t *s)
{
    if (const int rc = zwif_shape_check(intf, 0x46); rc != 0)
        return rc;
    if (s == nullptr || s->weekday < 1 || s->weekday > 7 || s->cnt > ZW_CLIMATE_SWPT_MAX)
        return ZW_ERR_VALUE;
    uint8_t frame[schd_frame_len] = {0x46, 0x01, s->weekday};
    int prev = -1;  // minutes into the day of the previous switch point
    for (uint8_t k = 0; k < ZW_CLIMATE_SWPT_MAX; ++k) {
        uint8_t *p = frame + 3 + 3 * k;
        if (k >= s->cnt) {
            p[2] = setback_state_byte[ZW_CLIMATE_UNUSED];
            continue;
        }
        const zwcc_shed_swpt_t &w = s->swpt[k];
        const int at = w.hour * 60 + w.minute;
        const int sb = setback_byte(w.state, w.setback, schd_state_max);
        if (w.hour > 23 || w.minute > 59 || sb < 0 || at <= prev)
            return ZW_ERR_VALUE;
        prev = at;
        p[0] = w.hour;
        p[1] = w.minute;
        p[2] = static_cast<uint8_t>(sb);
    }
    return set(intf, op_schd_set, frame);
}
int zwif_clmt_ctl_schd_chg_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb)
{
    return zwif_shape_rpt_set_row(intf, schd_chg_get, cb);
}
int zwif_clmt_ctl_schd_chg_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll)
{
    return zwif_shape_get(intf, schd_chg_get, nullptr, 0, {}, poll, ZWIF_GET_BMSK_LIVE);
}
int zwif_clmt_ctl_schd_chg_get(const zwif_desc_t *intf) { return zwif_clmt_ctl_schd_chg_get_ex(intf, nullptr); }
int zwif_clmt_ctl_schd_chg_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll)
{
    return zwif_shape_get(intf, schd_chg_get, nullptr, 0, {}, poll, 0);
}
int zwif_clmt_ctl_schd_ovr_rpt_set(const zwif_desc_t *intf, zwrep_cc_shed_ovr_fn cb)
{
    return zwif_shape_rpt_set_row(intf, schd_ovr_get, cb);
}
int zwif_clmt_ctl_schd_ovr_get(const zwif_desc_t *intf) { return get_live(intf, schd_ovr_get); }
int zwif_clmt_ctl_schd_ovr_set(const zwif_desc_t *intf, const zwcc_shed_ovr_t *ovr)
{
    if (const int rc = zwif_shape_check(intf, 0x46); rc != 0)
        return rc;
    const int sb = ovr != nullptr ? setback_byte(ovr->state, ovr->setback, ZW_CLIMATE_UNUSED) : -1;
    if (sb < 0 || ovr->type >= 3)
        return ZW_ERR_VALUE;
    const uint8_t frame[] = {0x46, 0x06, ovr->type, static_cast<uint8_t>(sb)};
    return set(intf, op_schd_ovr_set, frame);
}

// --- Thermostat Setback (0x47) ------------------------------------------------------------

int zwif_thrmo_setb_rpt_set(const zwif_desc_t *intf, zwrep_thrmo_setb_fn cb) { return zwif_shape_rpt_set_row(intf, setb_get, cb); }
int zwif_thrmo_setb_get(const zwif_desc_t *intf) { return get_live(intf, setb_get); }
int zwif_thrmo_setb_set(const zwif_desc_t *intf, uint8_t type, uint8_t state, int8_t setback)
{
    if (const int rc = zwif_shape_check(intf, 0x47); rc != 0)
        return rc;
    const int sb = setback_byte(state, setback, ZW_CLIMATE_UNUSED);
    if (sb < 0 || type >= 3)
        return ZW_ERR_VALUE;
    const uint8_t frame[] = {0x47, 0x01, static_cast<uint8_t>(type & 3), static_cast<uint8_t>(sb)};
    return set(intf, op_setb_set, frame);
}

// --- Alarm / Notification (0x71) ----------------------------------------------------------

int zwif_alrm_rpt_set(const zwif_desc_t *intf, zwrep_alrm_fn cb) { return zwif_shape_rpt_set_row(intf, alrm_get, cb); }

int zwif_alrm_get_ex(const zwif_desc_t *intf, int16_t vtype, uint8_t type, uint8_t evt, zwpoll_req_t *poll,
                     uint32_t flags)
{
    if (const int rc = zwif_shape_check(intf, 0x71); rc != 0)
        return rc;
    const uint8_t real = zwif_real_ver_get(intf);
    if (real == 0 && !(flags & ZWIF_GET_BMSK_CACHE))
        return ZW_ERR_CLASS_VER;
    if (type == alrm_type_all)
        evt = 0;
    int32_t vt = vtype, t = type, e = evt;
    {
        zwnet_lock lk(intf->net);
        if (zwif_rec_get(intf) == nullptr)
            return ZW_ERR_INTF_NOT_FOUND;
        const dev_if_t *d = dev_if_find(intf, DEV_IF_ALARM);
        if (d != nullptr && !d->alrm.empty()) {
            if ((real == 1 || real == 2) && type == alrm_type_all) {
                // An old device asked for everything: it knows its own alarm type.
                if (set_val(d->alrm.front()->alrm_type))
                    vt = static_cast<int32_t>(d->alrm.front()->alrm_type & 0xFF);
            } else if ((real >= 2 || (real == 1 && vtype < 0)) && type != alrm_type_all) {
                // The first rule whose result is what the application asks
                // for says what the device calls it.
                for (const auto &r : d->alrm) {
                    if (!fits(r->eff_alrm_type, vt) || !fits(r->eff_notif_type, t) || !fits(r->eff_notif_evt, e))
                        continue;
                    if (set_val(r->alrm_type))
                        vt = static_cast<int32_t>(r->alrm_type & 0xFF);
                    if (set_val(r->notif_type))
                        t = static_cast<int32_t>(r->notif_type & 0xFF);
                    if (set_val(r->notif_evt))
                        e = static_cast<int32_t>(r->notif_evt & 0xFF);
                    break;
                }
            }
        }
    }
    // Version 1 sends the alarm type only, version 2 adds the notification
    // type, version 3 the event; trailing zeros that mean "any" are left off.
    const uint8_t ver = real != 0 ? real : intf->ver;
    uint8_t cnt = std::max<uint8_t>(1, std::min<uint8_t>(ver, 3));
    if (cnt == 3) {
        if (e == 0 && t != alrm_type_all)
            --cnt;
        if (t == 0)
            --cnt;
    } else if (cnt == 2 && t == 0) {
        --cnt;
    }
    const uint8_t vt_byte = vt < 0 ? 0 : static_cast<uint8_t>(vt);
    const uint8_t param[3] = {vt_byte, static_cast<uint8_t>(t), static_cast<uint8_t>(e)};
    zwif_rpt_keys_t keys;
    keys.val[keys.cnt++] = vt < 0 ? 0xFFFF : vt_byte;
    for (uint8_t k = 1; k < cnt; ++k)
        keys.val[keys.cnt++] = param[k];
    for (uint8_t p : param)
        keys.val[keys.cnt++] = p;
    return zwif_shape_get(intf, alrm_get, param, cnt, keys, poll, flags);
}
int zwif_alrm_get(const zwif_desc_t *intf, int16_t vtype, uint8_t type, uint8_t evt, uint32_t flags)
{
    return zwif_alrm_get_ex(intf, vtype, type, evt, nullptr, flags);
}
int zwif_alrm_get_poll(const zwif_desc_t *intf, int16_t vtype, uint8_t type, uint8_t evt, zwpoll_req_t *poll)
{
    return zwif_alrm_get_ex(intf, vtype, type, evt, poll, 0);
}
int zwif_alrm_set(const zwif_desc_t *intf, uint8_t type, uint8_t status)
{
    if (const int rc = zwif_shape_check(intf, 0x71); rc != 0)
        return rc;
    if (zwif_real_ver_get(intf) < alrm_set_ver)
        return ZW_ERR_CLASS_VER;
    const uint8_t frame[] = {0x71, 0x06, type, status};
    return set(intf, op_alrm_set, frame);
}
int zwif_alrm_sup_get(const zwif_desc_t *intf, zwrep_alrm_sup_fn cb, int cache_only)
{
    return sup_get(intf, alrm_sup, cb, cache_only);
}
int zwif_alrm_sup_evt_get(const zwif_desc_t *intf, uint8_t type, zwrep_alrm_evt_fn cb, int cache_only)
{
    if (const int rc = zwif_shape_check(intf, 0x71); rc != 0)
        return rc;
    return sup_get_keyed(intf, alrm_evt, cb, cache_only, type, [type](const uint8_t *b, size_t n) {
        for (size_t at = ZWIF_ALRM_SUP_ITEM_SZ; at + ZWIF_ALRM_SUP_ITEM_SZ <= n; at += ZWIF_ALRM_SUP_ITEM_SZ) {
            const auto *ent = reinterpret_cast<const zwif_alrm_sup_ent_t *>(b + at);
            if (ent->type == type)
                return std::any_of(ent->mask, ent->mask + std::min(ent->mask_len, ZWIF_ALRM_EVT_MASK_MAX),
                                   [](uint8_t m) { return m != 0; });
        }
        return false;
    });
}
int zwif_alrm_sup_cache_get(const zwif_desc_t *intf, uint8_t *have_vtype, uint8_t *cnt, uint8_t *types)
{
    if (have_vtype == nullptr || cnt == nullptr || types == nullptr)
        return ZW_ERR_VALUE;
    return with_data(intf, 0x71, [&](zwif_p i, const uint8_t *b, size_t n) -> int {
        if (i->real_ver >= alrm_sup.ver_min) {
            if (n < ZWIF_ALRM_SUP_ITEM_SZ)
                return ZW_ERR_NO_CACHE_AVAIL;
            const size_t c = std::min<size_t>(b[1], n / ZWIF_ALRM_SUP_ITEM_SZ - 1);
            for (size_t k = 0; k < c; ++k)
                types[k] = b[ZWIF_ALRM_SUP_ITEM_SZ * (k + 1)];
            *have_vtype = b[0];
            *cnt = static_cast<uint8_t>(c);
            return 0;
        }
        const dev_if_t *d = dev_if_find(intf, DEV_IF_ALARM);
        uint8_t c = 0;
        for (size_t k = 0; d != nullptr && k < d->alrm.size(); ++k)
            for (uint32_t v : {d->alrm[k]->notif_type, d->alrm[k]->result.notif_type})
                if (set_val(v) && v <= 0xFF)
                    add_once(types, &c, UINT8_MAX, static_cast<uint8_t>(v));
        if (c == 0)
            return ZW_ERR_CLASS_VER;
        *have_vtype = 1;
        *cnt = c;
        return 0;
    });
}
int zwif_alrm_sup_evt_cache_get(const zwif_desc_t *intf, uint8_t type, uint8_t *cnt, uint8_t *events)
{
    if (cnt == nullptr || events == nullptr)
        return ZW_ERR_VALUE;
    return with_data(intf, 0x71, [&](zwif_p i, const uint8_t *b, size_t n) -> int {
        uint8_t c = 0;
        if (i->real_ver >= alrm_evt.ver_min) {
            for (size_t at = ZWIF_ALRM_SUP_ITEM_SZ; at + ZWIF_ALRM_SUP_ITEM_SZ <= n; at += ZWIF_ALRM_SUP_ITEM_SZ) {
                const auto *ent = reinterpret_cast<const zwif_alrm_sup_ent_t *>(b + at);
                if (ent->type != type)
                    continue;
                const uint8_t len = std::min(ent->mask_len, ZWIF_ALRM_EVT_MASK_MAX);
                for (unsigned bit = 0; bit < 8u * len; ++bit)
                    if (ent->mask[bit / 8] & (1u << (bit % 8)))
                        events[c++] = static_cast<uint8_t>(bit);
                break;
            }
            if (c == 0)
                return ZW_ERR_NO_CACHE_AVAIL;
            *cnt = c;
            return 0;
        }
        const dev_if_t *d = dev_if_find(intf, DEV_IF_ALARM);
        for (size_t k = 0; d != nullptr && k < d->alrm.size(); ++k) {
            const dev_alrm_rule_t &r = *d->alrm[k];
            const std::pair<uint32_t, uint32_t> named[] = {{r.notif_type, r.notif_evt},
                                                           {r.result.notif_type, r.result.notif_evt}};
            for (auto [t, e] : named)
                if (t == type && set_val(e) && e != alrm_evt_none && e <= 0xFF)
                    add_once(events, &c, 8 * ZWIF_ALRM_EVT_MASK_MAX, static_cast<uint8_t>(e));
        }
        if (c == 0)
            return ZW_ERR_CLASS_VER;
        *cnt = c;
        return 0;
    });
}
int zwif_alrm_dev_rec_get(const zwif_desc_t *intf, const dev_if_t **rules)
{
    if (rules == nullptr)
        return ZW_ERR_VALUE;
    return with_data(intf, 0x71, [&](zwif_p, const uint8_t *, size_t) -> int {
        const dev_if_t *d = dev_if_find(intf, DEV_IF_ALARM);
        if (d == nullptr || d->alrm.empty())
            return ZW_ERR_NO_DEV_REC;
        *rules = d;
        return 0;
    });
}
