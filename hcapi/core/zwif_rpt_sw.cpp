// Reports of switches, sensors, meters and notifications: the dispatcher's
// rows (parse, store, cached read, call), what the node's device record and
// the endpoint's other interfaces add to them, and the capability data of
// these classes for the callback thread.
#include "hcapi/core/zwif_rpt_sw.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwsend.h"

#include <algorithm>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Records in zwif_rpt_rec_t::val
// ---------------------------------------------------------------------------

template <class T>
T rec_get(const zwif_rpt_rec_t *rec)
{
    static_assert(sizeof(T) <= ZWIF_RPT_REC_MAX);
    T v;
    std::memcpy(&v, rec->val, sizeof v);
    return v;
}

template <class T>
void rec_put(zwif_rpt_rec_t *rec, const T &v)
{
    static_assert(sizeof(T) <= ZWIF_RPT_REC_MAX);
    std::memcpy(rec->val, &v, sizeof v);
    rec->len = sizeof v;
}

uint16_t be16(const uint8_t *b) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }

// A binary sensor report; `typed` 0 when the frame left the type out.
struct bsnsr_rec_t {
    uint8_t type;
    uint8_t state;
    uint8_t typed;
};

// A barrier state (subsystem 0) or signal.
struct barrier_rec_t {
    uint8_t subsys;
    uint8_t state;
};

// What a Notification Event Supported Report said: its type and mask.
inline constexpr uint8_t alrm_mask_max = 0x1F;
struct alrm_evt_rec_t {
    uint8_t type;
    uint8_t mask_len;
    uint8_t mask[alrm_mask_max];
};

// Lists of types: {count, items}. A list never fills all 255 bytes.
inline constexpr unsigned type_bits_max = 248;
inline constexpr unsigned subsys_bits_max = 254;  // subsystems 1..254: count and list fit a record

// Bit i of the mask (bit 0 of the first byte first) gives item i + first,
// for i below `limit`.
uint8_t bits_to_list(const uint8_t *mask, size_t mask_len, unsigned limit, unsigned first, uint8_t *out)
{
    uint8_t cnt = 0;
    const size_t bits = std::min<size_t>(mask_len * 8, limit);
    for (size_t i = 0; i < bits; ++i)
        if (mask[i / 8] & (1u << (i % 8)))
            out[cnt++] = static_cast<uint8_t>(i + first);
    return cnt;
}

void list_put(zwif_rpt_rec_t *rec, const uint8_t *mask, size_t mask_len, unsigned limit, unsigned first)
{
    rec->val[0] = bits_to_list(mask, mask_len, limit, first, rec->val + 1);
    rec->len = static_cast<uint8_t>(1 + rec->val[0]);
}

// ---------------------------------------------------------------------------
// Caches
// ---------------------------------------------------------------------------

void ent_write(uint8_t *ent, const uint8_t *rec, uint8_t sz, time_t now)
{
    const zwif_cache_time_t t = now;
    std::memcpy(ent, &t, sizeof t);
    std::memcpy(ent + ZWIF_CACHE_TIME_SZ, rec, sz);
}

time_t ent_time(const uint8_t *ent)
{
    zwif_cache_time_t t;
    std::memcpy(&t, ent, sizeof t);
    return static_cast<time_t>(t);
}

// A keyed plain cache of `sz`-byte records: the entry with the record's key
// takes the record; a new key grows the cache by one entry (at most 255). 1
// when the report counts as changed (a new cache or key, a compared field
// that differs, or nothing could be stored), 0 for a repeat.
template <class SameKey, class Differs>
int store_keyed(zwif_p intf, const uint8_t *rec, uint8_t sz, SameKey same_key, Differs differs, time_t now)
{
    if (intf->cch_data == nullptr) {
        if (zwif_cache_init(intf, sz, 0) != 0)
            return 1;
        ent_write(static_cast<uint8_t *>(intf->cch_data), rec, sz, now);
        return 1;
    }
    uint8_t *ents = zwif_cache_plain_entry(intf, sz);
    if (ents == nullptr)
        return 1;
    const size_t ent_sz = intf->cch_ele_sz;
    for (uint8_t i = 0; i < intf->cch_ele_cnt; ++i) {
        uint8_t *ent = ents + i * ent_sz;
        if (same_key(ent + ZWIF_CACHE_TIME_SZ, rec)) {
            const int changed = differs(ent + ZWIF_CACHE_TIME_SZ, rec) ? 1 : 0;
            ent_write(ent, rec, sz, now);
            return changed;
        }
    }
    // The count is a byte: a 256th key would wrap it.
    if (intf->cch_ele_cnt == UINT8_MAX)
        return 1;
    void *grown = std::realloc(intf->cch_data, (intf->cch_ele_cnt + 1) * ent_sz);
    if (grown == nullptr)
        return 1;
    intf->cch_data = grown;
    ent_write(static_cast<uint8_t *>(grown) + intf->cch_ele_cnt * ent_sz, rec, sz, now);
    ++intf->cch_ele_cnt;
    return 1;
}

// The first entry (in cache order) whose record matches, copied to `out`:
// its time, or 0 with `out` untouched.
template <class Match>
time_t find_keyed(zwif_p intf, uint8_t sz, Match match, uint8_t *out)
{
    const uint8_t *ents = intf ? zwif_cache_plain_entry(intf, sz) : nullptr;
    if (ents == nullptr)
        return 0;
    const size_t ent_sz = intf->cch_ele_sz;
    for (uint8_t i = 0; i < intf->cch_ele_cnt; ++i) {
        const uint8_t *ent = ents + i * ent_sz;
        if (match(ent + ZWIF_CACHE_TIME_SZ)) {
            std::memcpy(out, ent + ZWIF_CACHE_TIME_SZ, sz);
            return ent_time(ent);
        }
    }
    return 0;
}

// The supported information of a list report: `data` holds the items.
int store_list(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    if (rec->val[0] != 0)
        zwif_data_set(intf, rec->val[0], 1, rec->val + 1);
    return 1;
}

void call_list(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    uint8_t list[ZWIF_RPT_REC_MAX];
    std::memcpy(list, rec->val + 1, rec->val[0]);
    reinterpret_cast<zwrep_sup_list_fn>(cb)(intf, rec->val[0], list, 1);
}

// Parameters of the cached-report lookups: the last one (the fallback key).
uint16_t last_key(uint8_t cnt, const uint16_t *keys) { return cnt ? keys[cnt - 1] : 0; }

// ---------------------------------------------------------------------------
// Multilevel Switch (0x26)
// ---------------------------------------------------------------------------

void parse_lvl_sup(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    rec->val[0] = cmd[2] & 0x1F;
    rec->val[1] = cmd[3] & 0x1F;
    rec->len = 2;
}

int store_lvl_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    zwif_data_set(intf, 1, 2, rec->val);
    return 1;
}

void call_lvl_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    reinterpret_cast<zwrep_lvl_sup_fn>(cb)(intf, rec->val[0], rec->val[1], 1);
}

// ---------------------------------------------------------------------------
// Binary Sensor (0x30)
// ---------------------------------------------------------------------------

void parse_bsnsr(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    bsnsr_rec_t r{0, cmd[2], 0};
    if (len >= 4) {
        r.type = cmd[3];
        r.typed = 1;
    }
    rec_put(rec, r);
}

int store_bsnsr(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const bsnsr_rec_t r = rec_get<bsnsr_rec_t>(rec);
    const uint8_t v[2] = {r.type, r.state};
    return store_keyed(
        intf, v, 2, [](const uint8_t *a, const uint8_t *b) { return a[0] == b[0]; },
        [](const uint8_t *a, const uint8_t *b) { return a[1] != b[1]; }, now);
}

// Keys: one (the first entry), or the type and the fallback type.
time_t cached_bsnsr(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec)
{
    uint8_t v[2] = {0, 0};
    time_t ts = 0;
    if (cnt == 1)
        ts = find_keyed(intf, 2, [](const uint8_t *) { return true; }, v);
    else if (cnt == 2)
        ts = find_keyed(intf, 2, [&](const uint8_t *e) { return e[0] == keys[0]; }, v);
    if (ts == 0 && cnt != 0)
        v[0] = static_cast<uint8_t>(last_key(cnt, keys));
    rec_put(rec, bsnsr_rec_t{v[0], v[1], 1});
    return ts;
}

void call_bsnsr(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    const bsnsr_rec_t r = rec_get<bsnsr_rec_t>(rec);
    reinterpret_cast<zwrep_bsensor_fn>(cb)(intf, r.state, r.type, ts);
}

void parse_bsnsr_sup(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    list_put(rec, cmd + 2, len - 2u, type_bits_max, 0);
}

// ---------------------------------------------------------------------------
// Multilevel Sensor (0x31)
// ---------------------------------------------------------------------------

void parse_snsr_sup(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    list_put(rec, cmd + 2, len - 2u, type_bits_max, 1);
}

// Items {type, scale mask}: a type that stays keeps the mask it had.
int store_snsr_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const uint8_t cnt = rec->val[0];
    if (cnt == 0)
        return 1;
    uint8_t items[2 * ZWIF_RPT_REC_MAX] = {};
    const auto *old = static_cast<const uint8_t *>(intf->data);
    const uint8_t old_cnt = (old != nullptr && intf->data_item_sz == 2) ? intf->data_cnt : 0;
    for (uint8_t i = 0; i < cnt; ++i) {
        items[2 * i] = rec->val[1 + i];
        for (uint8_t k = 0; k < old_cnt; ++k)
            if (old[2 * k] == items[2 * i])
                items[2 * i + 1] = old[2 * k + 1];
    }
    zwif_data_set(intf, cnt, 2, items);
    return 1;
}

void parse_snsr_unit(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    rec->val[0] = cmd[2];
    rec->val[1] = cmd[3] & 0x0F;
    rec->len = 2;
}

int store_snsr_unit(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    if (intf->data_cnt != 0 && intf->data != nullptr && intf->data_item_sz == 2) {
        auto *items = static_cast<uint8_t *>(intf->data);
        for (uint8_t k = 0; k < intf->data_cnt; ++k)
            if (items[2 * k] == rec->val[0])
                items[2 * k + 1] = rec->val[1];
    }
    return 1;
}

void call_snsr_unit(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    reinterpret_cast<zwrep_sensor_unit_fn>(cb)(intf, rec->val[0], rec->val[1], 1);
}

void parse_snsr(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwsensor_t s{};
    s.type = cmd[2];
    s.precision = cmd[3] >> 5;
    s.unit = (cmd[3] >> 3) & 0x03;
    s.size = cmd[3] & 0x07;
    if ((s.size != 1 && s.size != 2 && s.size != 4) || len < s.size + 4u)
        return;  // refused
    std::memcpy(s.data, cmd + 4, s.size);
    rec_put(rec, s);
}

// Sensor and meter readings begin alike: type, precision, scale, size and
// up to 4 value bytes. An entry is keyed by (type, scale) and changes when
// the precision, size or value does.
template <class Reading>
int store_reading(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    static_assert(offsetof(Reading, type) == 0 && offsetof(Reading, unit) == 2 && offsetof(Reading, data) == 4);
    *ts = now;
    return store_keyed(
        intf, rec->val, sizeof(Reading),
        [](const uint8_t *a, const uint8_t *b) { return a[0] == b[0] && a[2] == b[2]; },
        [](const uint8_t *a, const uint8_t *b) {
            return a[1] != b[1] || a[3] != b[3] || std::memcmp(a + 4, b + 4, std::min<uint8_t>(b[3], 4)) != 0;
        },
        now);
}

int store_snsr(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    return store_reading<zwsensor_t>(intf, rec, now, ts);
}

// Keys: (type, scale), and the same again as the fallback; a type of 0 with
// two keys takes the first reading.
time_t cached_snsr(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec)
{
    zwsensor_t s{};
    auto *out = reinterpret_cast<uint8_t *>(&s);
    time_t ts = 0;
    if (cnt == 2 && keys[0] == 0)
        ts = find_keyed(intf, sizeof s, [](const uint8_t *) { return true; }, out);
    else if (cnt == 2 || cnt == 3)
        ts = find_keyed(intf, sizeof s, [&](const uint8_t *e) { return e[0] == keys[0]; }, out);
    else if (cnt >= 4)
        ts = find_keyed(intf, sizeof s, [&](const uint8_t *e) { return e[0] == keys[0] && e[2] == keys[1]; }, out);
    if (ts == 0 && cnt >= 2) {
        s.type = static_cast<uint8_t>(keys[cnt - 2]);
        s.unit = static_cast<uint8_t>(keys[cnt - 1]);
    }
    rec_put(rec, s);
    return ts;
}

void call_snsr(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    zwsensor_t s = rec_get<zwsensor_t>(rec);
    reinterpret_cast<zwrep_sensor_fn>(cb)(intf, &s, ts);
}

// ---------------------------------------------------------------------------
// Meter (0x32)
// ---------------------------------------------------------------------------

void parse_meter_sup(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    rec_put(rec, zwmeter_cap_t{static_cast<uint8_t>(cmd[2] & 0x1F), static_cast<uint8_t>(cmd[2] >> 7), cmd[3]});
}

int store_meter_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    zwif_data_set(intf, 1, sizeof(zwmeter_cap_t), rec->val);
    return 1;
}

void call_meter_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    zwmeter_cap_t c = rec_get<zwmeter_cap_t>(rec);
    reinterpret_cast<zwrep_meter_sup_fn>(cb)(intf, &c, 1);
}

// As if the interface were of version 3: what an older one does not know
// is taken out before the record is stored (zwif_rpt_sw_prep).
void parse_meter(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwmeter_t m{};
    m.type = cmd[2] & 0x1F;
    m.precision = cmd[3] >> 5;
    m.unit = static_cast<uint8_t>(((cmd[3] >> 3) & 0x03) | ((cmd[2] & 0x80) ? 4 : 0));
    m.size = cmd[3] & 0x07;
    if (m.size > 4 || len < m.size + 4u)
        return;  // refused
    std::memcpy(m.data, cmd + 4, m.size);
    m.rate_type = (cmd[2] >> 5) & 0x03;
    // The delta time and the previous value follow only when they are there.
    const unsigned after = len - 4u - m.size;
    if (after >= 2) {
        m.delta_time = be16(cmd + 4 + m.size);
        if (m.delta_time != 0 && after - 2 >= m.size)
            std::memcpy(m.prv_data, cmd + 6 + m.size, m.size);
    }
    rec_put(rec, m);
}

int store_meter(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    return store_reading<zwmeter_t>(intf, rec, now, ts);
}

// Keys: one (the first entry, the scale as fallback), or the scale twice.
time_t cached_meter(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec)
{
    zwmeter_t m{};
    auto *out = reinterpret_cast<uint8_t *>(&m);
    time_t ts = 0;
    if (cnt == 1)
        ts = find_keyed(intf, sizeof m, [](const uint8_t *) { return true; }, out);
    else if (cnt == 2)
        ts = find_keyed(intf, sizeof m, [&](const uint8_t *e) { return e[2] == keys[0]; }, out);
    if (ts == 0 && cnt != 0)
        m.unit = static_cast<uint8_t>(last_key(cnt, keys));
    rec_put(rec, m);
    return ts;
}

void call_meter(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    zwmeter_t m = rec_get<zwmeter_t>(rec);
    reinterpret_cast<zwrep_meter_fn>(cb)(intf, &m, ts);
}

// ---------------------------------------------------------------------------
// Color Switch (0x33)
// ---------------------------------------------------------------------------

void parse_color_sup(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    list_put(rec, cmd + 2, len - 2u, type_bits_max, 0);
}

// Unlike the other lists, an empty one replaces what was known.
int store_color_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    zwif_data_set(intf, rec->val[0], 1, rec->val + 1);
    return 1;
}

// Target and duration only from a frame long enough to hold both.
void parse_color(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwcolor_t c{cmd[2], cmd[3], 0, 0};
    if (len >= 6) {
        c.target = cmd[4];
        c.dur = cmd[5];
    }
    rec_put(rec, c);
}

int store_color(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    return store_keyed(
        intf, rec->val, sizeof(zwcolor_t), [](const uint8_t *a, const uint8_t *b) { return a[0] == b[0]; },
        [](const uint8_t *a, const uint8_t *b) { return a[1] != b[1]; }, now);
}

time_t cached_color(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec)
{
    zwcolor_t c{};
    time_t ts = 0;
    if (cnt >= 1) {
        ts = find_keyed(intf, sizeof c, [&](const uint8_t *e) { return e[0] == keys[0]; },
                        reinterpret_cast<uint8_t *>(&c));
        if (ts == 0)
            c.id = static_cast<uint8_t>(keys[0]);
    }
    rec_put(rec, c);
    return ts;
}

void call_color(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    zwcolor_t c = rec_get<zwcolor_t>(rec);
    reinterpret_cast<zwrep_color_fn>(cb)(intf, &c, ts);
}

// ---------------------------------------------------------------------------
// Pulse Meter (0x35), Meter Table Monitor (0x3D)
// ---------------------------------------------------------------------------

void parse_pulse(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    const uint32_t cnt = static_cast<uint32_t>(cmd[2]) << 24 | static_cast<uint32_t>(cmd[3]) << 16 |
                         static_cast<uint32_t>(cmd[4]) << 8 | cmd[5];
    rec_put(rec, cnt);
}

int store_none(zwif_p, const zwif_rpt_rec_t *, time_t now, time_t *ts)
{
    *ts = now;
    return 1;
}

void call_pulse(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    reinterpret_cast<zwrep_pulsemeter_fn>(cb)(intf, rec_get<uint32_t>(rec));
}

inline constexpr uint8_t meter_tbl_text_max = ZW_METER_TBL_TEXT_SZ - 1;

// A text of b2 & 0x1F bytes from b3, cut to the frame and to 32 bytes.
void meter_tbl_text(const uint8_t *cmd, uint16_t len, char *out)
{
    const size_t n = std::min<size_t>({size_t(cmd[2] & 0x1F), size_t(len - 3u), meter_tbl_text_max});
    std::memcpy(out, cmd + 3, n);
}

void parse_meter_tbl_id(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwmeter_tbl_t t{};
    t.flags = ZW_METER_TBL_ID_VALID;
    meter_tbl_text(cmd, len, t.id);
    rec_put(rec, t);
}

void parse_meter_tbl_admin(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwmeter_tbl_t t{};
    meter_tbl_text(cmd, len, t.admin);
    rec_put(rec, t);
}

// The interface's own work record holds the identity between the two
// reports (each meter apart from the others).
zwmeter_tbl_t *meter_tbl_work(zwif_p intf)
{
    if (intf->tmp_data == nullptr)
        intf->tmp_data = std::calloc(1, sizeof(zwmeter_tbl_t));
    return static_cast<zwmeter_tbl_t *>(intf->tmp_data);
}

int store_meter_tbl_id(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    if (zwmeter_tbl_t *w = meter_tbl_work(intf))
        *w = rec_get<zwmeter_tbl_t>(rec);
    return 1;
}

int store_meter_tbl_admin(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    if (zwmeter_tbl_t *w = meter_tbl_work(intf))
        *w = rec_get<zwmeter_tbl_t>(rec);
    zwif_data_set(intf, 1, sizeof(zwmeter_tbl_t), rec->val);
    return 1;
}

// The identifier report only leads to the administration number's Get.
void call_none(zwif_rpt_fn, zwif_desc_t *, const zwif_rpt_rec_t *, time_t) {}

void call_meter_tbl(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    zwmeter_tbl_t t = rec_get<zwmeter_tbl_t>(rec);
    reinterpret_cast<zwrep_meter_tbl_fn>(cb)(intf, &t, 1);
}

// ---------------------------------------------------------------------------
// Barrier Operator (0x66): the barrier's state under subsystem 0
// ---------------------------------------------------------------------------

void parse_barrier(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec) { rec_put(rec, barrier_rec_t{0, cmd[2]}); }
void parse_barrier_sig(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    rec_put(rec, barrier_rec_t{cmd[2], cmd[3]});
}

void parse_barrier_sup(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    list_put(rec, cmd + 2, len - 2u, subsys_bits_max, 1);
}

int store_barrier_rec(zwif_p intf, const uint8_t *v, time_t now)
{
    return store_keyed(
        intf, v, 2, [](const uint8_t *a, const uint8_t *b) { return a[0] == b[0]; },
        [](const uint8_t *a, const uint8_t *b) { return a[1] != b[1]; }, now);
}

int store_barrier(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    return store_barrier_rec(intf, rec->val, now);
}

// A signal report that names subsystem 0 says nothing about a subsystem.
int store_barrier_sig(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    if (rec->val[0] == 0)
        return 0;
    return store_barrier_rec(intf, rec->val, now);
}

time_t cached_barrier(zwif_p intf, uint8_t, const uint16_t *, zwif_rpt_rec_t *rec)
{
    barrier_rec_t b{};
    const time_t ts =
        find_keyed(intf, 2, [](const uint8_t *e) { return e[0] == 0; }, reinterpret_cast<uint8_t *>(&b));
    rec_put(rec, barrier_rec_t{0, b.state});
    return ts;
}

time_t cached_barrier_sig(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec)
{
    barrier_rec_t b{};
    time_t ts = 0;
    if (cnt >= 1) {
        ts = find_keyed(intf, 2, [&](const uint8_t *e) { return e[0] == keys[0] && e[0] != 0; },
                        reinterpret_cast<uint8_t *>(&b));
        if (ts == 0)
            b.subsys = static_cast<uint8_t>(keys[0]);
    }
    rec_put(rec, b);
    return ts;
}

void call_barrier(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    reinterpret_cast<zwrep_ts_fn>(cb)(intf, rec_get<barrier_rec_t>(rec).state, ts);
}

void call_barrier_sig(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    const barrier_rec_t b = rec_get<barrier_rec_t>(rec);
    reinterpret_cast<zwrep_barrier_notif_fn>(cb)(intf, b.subsys, b.state, ts);
}

// ---------------------------------------------------------------------------
// Sensor Alarm (0x9C)
// ---------------------------------------------------------------------------

void parse_salrm_sup(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    list_put(rec, cmd + 3, std::min<size_t>(len - 3u, cmd[2]), type_bits_max, 0);
}

void parse_salrm(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    rec_put(rec, zwsalrm_t{cmd[2], cmd[3], cmd[4], be16(cmd + 5)});
}

int store_salrm(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    return store_keyed(
        intf, rec->val, sizeof(zwsalrm_t), [](const uint8_t *a, const uint8_t *b) { return a[1] == b[1]; },
        [](const uint8_t *a, const uint8_t *b) { return a[2] != b[2]; }, now);
}

// Keys: one (the first entry), or the type and the fallback type.
time_t cached_salrm(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec)
{
    zwsalrm_t a{};
    auto *out = reinterpret_cast<uint8_t *>(&a);
    time_t ts = 0;
    if (cnt == 1)
        ts = find_keyed(intf, sizeof a, [](const uint8_t *) { return true; }, out);
    else if (cnt == 2)
        ts = find_keyed(intf, sizeof a, [&](const uint8_t *e) { return e[1] == keys[0]; }, out);
    if (ts == 0 && cnt != 0)
        a.type = static_cast<uint8_t>(last_key(cnt, keys));
    rec_put(rec, a);
    return ts;
}

void call_salrm(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    zwsalrm_t a = rec_get<zwsalrm_t>(rec);
    reinterpret_cast<zwrep_salrm_fn>(cb)(intf, &a, ts);
}

// ---------------------------------------------------------------------------
// Notification (0x71)
// ---------------------------------------------------------------------------

// A notification record lives in the report record's bytes: its fixed part,
// then its parameters.
zwalrm_t *alrm_of(zwif_rpt_rec_t *rec) { return reinterpret_cast<zwalrm_t *>(rec->val); }
const zwalrm_t *alrm_of(const zwif_rpt_rec_t *rec) { return reinterpret_cast<const zwalrm_t *>(rec->val); }
inline constexpr size_t alrm_param_room = ZWIF_RPT_REC_MAX - ZW_ALRM_HDR_SZ;

// The cached size: the parameters only with the extended fields.
uint8_t alrm_size(const zwalrm_t *a)
{
    return static_cast<uint8_t>(sizeof(zwalrm_t) + (a->ex_info ? a->ex_evt_len : 0));
}

void parse_alrm(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwalrm_t *a = alrm_of(rec);
    a->type = cmd[2];
    a->level = cmd[3];
    if (len >= 6) {
        a->ex_info = 1;
        a->ex_zensr_nodeid = cmd[4];
        a->ex_status = cmd[5];
    }
    if (len >= 8) {
        a->ex_type = cmd[6];
        a->ex_event = cmd[7];
    }
    if (len >= 9) {
        a->ex_has_sequence = cmd[8] >> 7;
        const uint8_t p = cmd[8] & 0x1F;
        if (p != 0) {
            if (len < p + 9u)
                return;  // refused: parameters beyond the frame
            zwif_alrm_param_parse(cmd + 9, p, a);
        }
        if (a->ex_has_sequence) {
            if (len > 9u + p)
                a->ex_sequence_no = cmd[9 + p];
            else
                a->ex_has_sequence = 0;
        }
    }
    rec->len = alrm_size(a);
}

// Slot list keyed by (alarm type, notification type, event). 1 always:
// every notification reaches the application.
int store_alrm(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const zwalrm_t *a = alrm_of(rec);
    if (intf->ver != 1 && a->ex_type == 0)
        return 1;
    const uint8_t sz = alrm_size(a);
    const uint8_t ent_sz = static_cast<uint8_t>(ZWIF_CACHE_TIME_SZ + sz);
    auto put = [&](zwif_cch_slot_t *slot) {
        std::free(slot->buf);
        slot->len = 0;
        slot->buf = std::calloc(1, ent_sz);
        if (slot->buf == nullptr)
            return;
        slot->len = ent_sz;
        ent_write(static_cast<uint8_t *>(slot->buf), rec->val, sz, now);
    };
    if (intf->cch_data == nullptr) {
        if (zwif_cache_init(intf, sz, 1) == 0)
            put(static_cast<zwif_cch_slot_t *>(intf->cch_data));
        return 1;
    }
    if (intf->cch_kind != 1 || intf->cch_ele_cnt == 0)
        return 1;
    auto *slots = static_cast<zwif_cch_slot_t *>(intf->cch_data);
    for (uint8_t i = 0; i < intf->cch_ele_cnt; ++i) {
        const auto *b = static_cast<const uint8_t *>(slots[i].buf);
        if (b == nullptr || slots[i].len < ZWIF_CACHE_TIME_SZ + sizeof(zwalrm_t))
            continue;
        const auto *c = reinterpret_cast<const zwalrm_t *>(b + ZWIF_CACHE_TIME_SZ);
        if (c->type == a->type && c->ex_type == a->ex_type && c->ex_event == a->ex_event) {
            put(&slots[i]);
            return 1;
        }
    }
    if (intf->cch_ele_cnt == UINT8_MAX)
        return 1;
    auto *grown = static_cast<zwif_cch_slot_t *>(std::realloc(slots, (intf->cch_ele_cnt + 1) * sizeof *slots));
    if (grown == nullptr)
        return 1;
    intf->cch_data = grown;
    zwif_cch_slot_t *slot = &grown[intf->cch_ele_cnt++];
    *slot = zwif_cch_slot_t{0, nullptr};
    put(slot);
    return 1;
}

// Keys: alarm type (0xFFFF any), notification type, event, as many as were
// given before the last three (the fallback).
time_t cached_alrm(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec)
{
    rec->len = 0;
    const uint8_t nkeys = cnt > 3 ? cnt - 3 : 0;
    if (intf != nullptr && intf->cch_kind == 1 && intf->cch_data != nullptr && nkeys != 0) {
        const auto *slots = static_cast<const zwif_cch_slot_t *>(intf->cch_data);
        for (uint8_t i = 0; i < intf->cch_ele_cnt; ++i) {
            const auto *b = static_cast<const uint8_t *>(slots[i].buf);
            if (b == nullptr || slots[i].len < ZWIF_CACHE_TIME_SZ + sizeof(zwalrm_t))
                continue;
            const auto *c = reinterpret_cast<const zwalrm_t *>(b + ZWIF_CACHE_TIME_SZ);
            const uint16_t have[3] = {c->type, c->ex_type, c->ex_event};
            bool match = true;
            for (uint8_t k = 0; k < nkeys && k < 3 && match; ++k)
                match = (k == 0 && keys[0] == 0xFFFF) || keys[k] == have[k];
            if (match) {
                const size_t n = std::min<size_t>(slots[i].len - ZWIF_CACHE_TIME_SZ, ZWIF_RPT_REC_MAX);
                std::memcpy(rec->val, b + ZWIF_CACHE_TIME_SZ, n);
                rec->len = static_cast<uint8_t>(n);
                return ent_time(b);
            }
        }
    }
    if (cnt >= 3) {
        zwalrm_t *a = alrm_of(rec);
        a->ex_info = 1;
        a->type = static_cast<uint8_t>(keys[cnt - 3]);
        a->ex_type = static_cast<uint8_t>(keys[cnt - 2]);
        a->ex_event = static_cast<uint8_t>(keys[cnt - 1]);
        rec->len = sizeof(zwalrm_t);
    }
    return 0;
}

void call_alrm(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    alignas(8) uint8_t copy[ZWIF_RPT_REC_MAX + 1] = {};
    std::memcpy(copy, rec->val, rec->len);
    reinterpret_cast<zwrep_alrm_fn>(cb)(intf, rec->len ? reinterpret_cast<zwalrm_t *>(copy) : nullptr, ts);
}

// {version-1 flag, count, types}.
void parse_alrm_sup(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    const uint8_t n = cmd[2] & 0x1F;
    if (len < n + 3u)
        return;  // refused
    rec->val[0] = cmd[2] >> 7;
    rec->val[1] = bits_to_list(cmd + 3, n, type_bits_max, 0, rec->val + 2);
    rec->len = static_cast<uint8_t>(2 + rec->val[1]);
}

// The block holds one item per type; a type that stays keeps its events.
int store_alrm_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const uint8_t cnt = rec->val[1];
    std::vector<zwif_alrm_sup_ent_t> block(cnt + 1u, zwif_alrm_sup_ent_t{});
    block[0].type = rec->val[0];
    block[0].mask_len = cnt;
    const auto *old = static_cast<const zwif_alrm_sup_ent_t *>(intf->data);
    const uint8_t old_cnt =
        (old != nullptr && intf->data_cnt != 0 && intf->data_item_sz == ZWIF_ALRM_SUP_ITEM_SZ) ? intf->data_cnt : 0;
    for (uint8_t i = 0; i < cnt; ++i) {
        block[1 + i].type = rec->val[2 + i];
        for (uint8_t k = 1; k < old_cnt; ++k)
            if (old[k].type == block[1 + i].type)
                block[1 + i] = old[k];
    }
    if (zwif_data_set(intf, static_cast<uint8_t>(cnt + 1), ZWIF_ALRM_SUP_ITEM_SZ, block.data()) != 0)
        intf->data_cnt = 0;
    return 1;
}

void call_alrm_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    uint8_t types[ZWIF_RPT_REC_MAX];
    std::memcpy(types, rec->val + 2, rec->val[1]);
    reinterpret_cast<zwrep_alrm_sup_fn>(cb)(intf, rec->val[0], rec->val[1], types, 1);
}

void parse_alrm_evt(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    const uint8_t n = cmd[3] & 0x1F;
    if (len < n + 4u)
        return;  // refused
    alrm_evt_rec_t r{};
    r.type = cmd[2];
    r.mask_len = n;
    std::memcpy(r.mask, cmd + 4, n);
    rec_put(rec, r);
}

// Sets the bit of an event in a mask of at most 10 bytes.
void evt_mask_set(zwif_alrm_sup_ent_t *ent, uint32_t evt)
{
    if (evt == DEV_ANY || evt == 254 || evt >= ZWIF_ALRM_EVT_MASK_MAX * 8u)
        return;
    ent->mask[evt / 8] |= static_cast<uint8_t>(1u << (evt % 8));
}

dev_if_t *dev_if_of(zwnode_p node, uint8_t ep_id, uint8_t type)
{
    if (node == nullptr || !node->dev_cfg_valid || node->dev_cfg_rec == nullptr)
        return nullptr;
    auto *rec = static_cast<dev_rec_t *>(node->dev_cfg_rec);
    return static_cast<dev_if_t *>(zwdevcfg_ep_if_get(rec->ep, ep_id, type));
}

dev_if_t *dev_if_of(zwif_p intf, uint8_t type)
{
    zwep_p ep = intf->ep;
    return ep ? dev_if_of(ep->node, ep->epid, type) : nullptr;
}

int store_alrm_evt(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const alrm_evt_rec_t r = rec_get<alrm_evt_rec_t>(rec);
    if (intf->data_cnt == 0 || intf->data == nullptr || intf->data_item_sz != ZWIF_ALRM_SUP_ITEM_SZ)
        return 1;
    auto *block = static_cast<zwif_alrm_sup_ent_t *>(intf->data);
    for (uint8_t k = 1; k < intf->data_cnt; ++k) {
        zwif_alrm_sup_ent_t &ent = block[k];
        if (ent.type != r.type)
            continue;
        ent.mask_len = std::min<uint8_t>(r.mask_len, ZWIF_ALRM_EVT_MASK_MAX);
        std::memset(ent.mask, 0, sizeof ent.mask);
        std::memcpy(ent.mask, r.mask, ent.mask_len);
        if (dev_if_t *d = dev_if_of(intf, DEV_IF_ALARM)) {
            for (const auto &rule : d->alrm) {
                if (rule->match_valid && rule->notif_type == r.type)
                    evt_mask_set(&ent, rule->notif_evt);
                if (rule->result.notif_type == r.type)
                    evt_mask_set(&ent, rule->result.notif_evt);
            }
            // A mapped event beyond what the device said widens the mask.
            for (uint8_t b = ZWIF_ALRM_EVT_MASK_MAX; b > ent.mask_len; --b)
                if (ent.mask[b - 1] != 0) {
                    ent.mask_len = b;
                    break;
                }
        }
        break;
    }
    return 1;
}

void call_alrm_evt(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const alrm_evt_rec_t r = rec_get<alrm_evt_rec_t>(rec);
    uint8_t evts[type_bits_max];
    const uint8_t cnt = bits_to_list(r.mask, r.mask_len, type_bits_max, 0, evts);
    reinterpret_cast<zwrep_alrm_evt_fn>(cb)(intf, r.type, cnt, evts, 1);
}

// ---------------------------------------------------------------------------
// The rows
// ---------------------------------------------------------------------------

// Sorted by class, then command.
constexpr zwif_rpt_def_t sw_rows[] = {
    {0x26, 0x03, 3, zwif_rpt_parse_b2, zwif_rpt_store_single, zwif_rpt_cached_single, zwif_rpt_call_single},
    {0x26, 0x07, 4, parse_lvl_sup, store_lvl_sup, nullptr, call_lvl_sup},
    {0x30, 0x03, 3, parse_bsnsr, store_bsnsr, cached_bsnsr, call_bsnsr},
    {0x30, 0x04, 3, parse_bsnsr_sup, store_list, nullptr, call_list},
    {0x31, 0x02, 3, parse_snsr_sup, store_snsr_sup, nullptr, call_list},
    {0x31, 0x05, 5, parse_snsr, store_snsr, cached_snsr, call_snsr},
    {0x31, 0x06, 4, parse_snsr_unit, store_snsr_unit, nullptr, call_snsr_unit},
    {0x32, 0x02, 5, parse_meter, store_meter, cached_meter, call_meter},
    {0x32, 0x04, 4, parse_meter_sup, store_meter_sup, nullptr, call_meter_sup},
    {0x33, 0x02, 3, parse_color_sup, store_color_sup, nullptr, call_list},
    {0x33, 0x04, 4, parse_color, store_color, cached_color, call_color},
    {0x35, 0x05, 6, parse_pulse, store_none, nullptr, call_pulse},
    {0x3D, 0x02, 3, parse_meter_tbl_admin, store_meter_tbl_admin, nullptr, call_meter_tbl},
    {0x3D, 0x04, 3, parse_meter_tbl_id, store_meter_tbl_id, nullptr, call_none},
    {0x66, 0x03, 3, parse_barrier, store_barrier, cached_barrier, call_barrier},
    {0x66, 0x05, 3, parse_barrier_sup, store_list, nullptr, call_list},
    {0x66, 0x08, 4, parse_barrier_sig, store_barrier_sig, cached_barrier_sig, call_barrier_sig},
    {0x71, 0x02, 4, parse_alrm_evt, store_alrm_evt, nullptr, call_alrm_evt},
    {0x71, 0x05, 4, parse_alrm, store_alrm, cached_alrm, call_alrm},
    {0x71, 0x08, 3, parse_alrm_sup, store_alrm_sup, nullptr, call_alrm_sup},
    {0x9C, 0x02, 7, parse_salrm, store_salrm, cached_salrm, call_salrm},
    {0x9C, 0x04, 4, parse_salrm_sup, store_list, nullptr, call_list},
};
static_assert(zwif_rpt_defs_sorted(sw_rows), "report rows are sorted by class and command, each once");

}  // namespace

const zwif_rpt_defs_t zwif_rpt_defs_sw{sw_rows, std::size(sw_rows)};

// ---------------------------------------------------------------------------
// Notification parameters
// ---------------------------------------------------------------------------

namespace {

struct type_evt_t {
    uint8_t type;
    uint8_t evt;
};

// Events whose single parameter byte has a defined meaning.
constexpr type_evt_t alrm_one_byte[] = {
    {0x02, 0x03}, {0x03, 0x03}, {0x05, 0x06}, {0x05, 0x07}, {0x06, 0x40}, {0x06, 0x42}, {0x06, 0x47},
    {0x06, 0x48}, {0x06, 0x49}, {0x06, 0x4A}, {0x0D, 0x06}, {0x0F, 0x01}, {0x0F, 0x02}, {0x0F, 0x05},
    {0x0F, 0x06}, {0x11, 0x01}, {0x11, 0x02}, {0x11, 0x03}, {0x11, 0x04},
};
// Events whose parameters may be a Node Location Report.
constexpr type_evt_t alrm_location[] = {
    {0x01, 0x01}, {0x02, 0x01}, {0x03, 0x01}, {0x04, 0x01}, {0x04, 0x03}, {0x04, 0x05}, {0x05, 0x01},
    {0x05, 0x03}, {0x07, 0x01}, {0x07, 0x05}, {0x07, 0x07}, {0x12, 0x01}, {0x12, 0x03},
};

template <size_t N>
bool listed(const type_evt_t (&tbl)[N], uint8_t type, uint8_t evt)
{
    return std::any_of(std::begin(tbl), std::end(tbl),
                       [&](const type_evt_t &e) { return e.type == type && e.evt == evt; });
}

inline constexpr uint8_t text_out_max = ZW_METER_TBL_TEXT_SZ;  // 32 bytes and the terminator

}  // namespace

uint8_t zwif_alrm_param_parse(const uint8_t *param, uint8_t len, zwalrm_t *rec)
{
    uint8_t *out = zwalrm_param(rec);
    auto raw = [&](uint8_t kind) {
        std::memcpy(out, param, len);
        rec->ex_evt_len = len;
        rec->ex_evt_type = kind;
        return len;
    };
    const uint8_t type = rec->ex_type, evt = rec->ex_event;
    if (evt == 0)
        return raw(ZW_ALRM_PARAM_EVENT_ID);
    if (type == 0x09 && (evt == 3 || evt == 4))
        return raw(ZW_ALRM_PARAM_OEM_ERR);
    if (len == 1 && listed(alrm_one_byte, type, evt)) {
        out[0] = param[0];
        rec->ex_evt_len = 1;
        rec->ex_evt_type = ZW_ALRM_PARAM_ENUM;
        return 1;
    }
    if (len >= 3) {
        if (type == 0x06 && (evt == 5 || evt == 6)) {
            if (param[0] == 0x63 && param[1] == 0x03) {  // a User Code Report: its user id
                out[0] = param[2];
                rec->ex_evt_len = 1;
                rec->ex_evt_type = ZW_ALRM_PARAM_USRID;
                return 1;
            }
        } else if (listed(alrm_location, type, evt) && param[0] == 0x77 && param[1] == 0x06) {
            // A Node Location Report: character set, then the text.
            char utf8[text_out_max];
            const int n = zwif_txt_to_utf8(param[2] & 0x07, param + 3, len - 3u, utf8, sizeof utf8);
            if (n < 0)
                return 0;  // nothing stored
            std::memcpy(out, utf8, size_t(n) + 1);
            rec->ex_evt_len = static_cast<uint8_t>(n + 1);
            rec->ex_evt_type = ZW_ALRM_PARAM_LOC;
            return rec->ex_evt_len;
        } else if (type == 0x0B && evt == 3) {
            return raw(ZW_ALRM_PARAM_ENUM);
        }
    }
    return raw(ZW_ALRM_PARAM_UNKNOWN);
}

// ---------------------------------------------------------------------------
// Device records
// ---------------------------------------------------------------------------

namespace {

bool any_or(uint32_t want, uint32_t have) { return want == DEV_ANY || want == have; }

// Rewrites a notification by the first alarm rule of the endpoint that
// matches it.
void alrm_devcfg_map(zwif_p intf, zwif_rpt_rec_t *rec)
{
    const dev_if_t *d = dev_if_of(intf, DEV_IF_ALARM);
    if (d == nullptr)
        return;
    zwalrm_t *a = alrm_of(rec);
    for (const auto &rule : d->alrm) {
        if (!rule->match_valid || !any_or(rule->alrm_type, a->type))
            continue;
        if (rule->level_mode == 0 && a->level != rule->level_low)
            continue;
        if (rule->level_mode == 1 && (a->level < rule->level_low || a->level > rule->level_high))
            continue;
        if (!any_or(rule->notif_type, a->ex_type) || !any_or(rule->notif_evt, a->ex_event))
            continue;
        if (!rule->param.empty() && (rule->param.size() != a->ex_evt_len ||
                                     std::memcmp(rule->param.data(), zwalrm_param(a), a->ex_evt_len) != 0))
            continue;
        const dev_alrm_tgt_t &t = rule->result;
        auto copy = [](uint32_t v, uint8_t *to) {
            if (v != DEV_ANY)
                *to = static_cast<uint8_t>(v);
        };
        copy(t.alrm_type, &a->type);
        copy(t.alrm_level, &a->level);
        copy(t.notif_type, &a->ex_type);
        copy(t.notif_evt, &a->ex_event);
        copy(t.param_type, &a->ex_evt_type);
        if (!t.param.empty()) {
            const size_t n = std::min(t.param.size(), alrm_param_room);
            std::memcpy(zwalrm_param(a), t.param.data(), n);
            a->ex_evt_len = static_cast<uint8_t>(n);
        }
        if (t.notif_type != DEV_ANY || t.notif_evt != DEV_ANY || !t.param.empty() || t.param_type != DEV_ANY)
            a->ex_info = 1;
        rec->len = alrm_size(a);
        return;
    }
}

// The notification that a device-record rule yields.
void alrm_devcfg_rec(const dev_alrm_tgt_t &t, zwif_rpt_rec_t *rec)
{
    *rec = zwif_rpt_rec_t{};
    rec->cls = 0x71;
    rec->cmd = 0x05;
    zwalrm_t *a = alrm_of(rec);
    a->ex_status = 0xFF;
    auto copy = [](uint32_t v, uint8_t *to) {
        if (v != DEV_ANY)
            *to = static_cast<uint8_t>(v);
    };
    copy(t.alrm_type, &a->type);
    copy(t.alrm_level, &a->level);
    copy(t.notif_type, &a->ex_type);
    copy(t.notif_evt, &a->ex_event);
    copy(t.param_type, &a->ex_evt_type);
    const size_t n = std::min(t.param.size(), alrm_param_room);
    std::memcpy(zwalrm_param(a), t.param.data(), n);
    a->ex_evt_len = static_cast<uint8_t>(n);
    if (t.notif_type != DEV_ANY || t.notif_evt != DEV_ANY || n != 0 || t.param_type != DEV_ANY)
        a->ex_info = 1;
    rec->len = static_cast<uint8_t>(sizeof(zwalrm_t) + n);
}

// Delivers a notification that a device-record rule yields to the
// endpoint's Notification interface: cached there, then handed to its
// application callback (network mutex held on entry, released for the call).
void alrm_devcfg_rpt(zwnet_p net, uint8_t node_id, uint8_t ep_id, const dev_alrm_tgt_t *target)
{
    if (target == nullptr)
        return;
    zwif_rpt_rec_t rec;
    alrm_devcfg_rec(*target, &rec);
    zwif_desc_t desc{};
    zwif_rpt_fn cb = nullptr;
    time_t ts = 0;
    {
        zwnet_lock lk(net);
        zwep_p ep = zwep_find_by_id(net, node_id, ep_id);
        zwif_p alrm = ep ? zwif_find_cls(ep->intf, 0x71) : nullptr;
        if (alrm == nullptr)
            return;
        for (uint8_t r = 0; r < alrm->rpt_num && r < ZWIF_RPT_ROWS_MAX; ++r)
            if (alrm->rpt[r].rpt_cmd == 0x05)
                cb = alrm->rpt[r].usr_rpt_cb;
        if (cb == nullptr)
            return;
        store_alrm(alrm, &rec, util_time_now(), &ts);
        zwif_desc_fill(&desc, alrm);
    }
    zwnet_app_call(net, [&] { call_alrm(cb, &desc, &rec, ts); });
}

// The endpoint's rules of a type (3 binary sensor, 7 Basic, 8 sensor
// alarm): the target of the first that matches, or null.
template <class Match>
const dev_alrm_tgt_t *rule_target(zwnet_p net, uint8_t node_id, uint8_t ep_id, uint8_t type, Match match)
{
    zwnet_lock lk(net);
    const dev_if_t *d = dev_if_of(zwnode_find(&net->ctl, node_id), ep_id, type);
    if (d == nullptr)
        return nullptr;
    for (const dev_rule_t &r : d->rules)
        if (match(r))
            return r.result_if_type == DEV_IF_ALARM ? r.target : nullptr;
    return nullptr;
}

// The state of any binary sensor value ("-1" or "-2").
inline constexpr uint32_t dev_any_value = 0xFFFFFFFE;

bool door_lock_from_alrm(zwnet_p net, const zwif_desc_t *intf, const zwalrm_t *a, zwif_rpt_follow_t *follow)
{
    if (a->ex_type != 0x06)
        return false;
    uint8_t mode, cond;
    switch (a->ex_event) {
    case 1:
    case 3:
    case 5: mode = 0xFF, cond = 0x00; break;  // locked
    case 2:
    case 4:
    case 6: mode = 0x00, cond = 0x02; break;  // unlocked
    default: return false;
    }
    zwnet_lock lk(net);
    zwep_p ep = zwep_find_by_id(net, intf->nodeid, intf->epid);
    zwif_p dlck = ep ? zwif_find_cls(ep->intf, 0x62) : nullptr;
    if (dlck == nullptr)
        return false;
    // Door Lock Operation Report: mode, handles, door condition, no timeout,
    // and from version 3 no target mode and duration either.
    const uint8_t frame[9] = {0x62, 0x03, mode, 0x00, cond, 0xFE, 0xFE, 0x00, 0x00};
    follow->cls = 0x62;
    follow->len = dlck->ver >= 3 ? 9 : 7;
    std::memcpy(follow->frame, frame, sizeof frame);
    return true;
}

void evt_clr(zwif_p intf, const uint8_t *frame, uint16_t len, const char *who)
{
    if (intf->ep == nullptr)
        return;
    zwif_desc_t desc;
    zwif_desc_fill(&desc, intf);
    const int rc = zwevtgen_evt_add(&desc, frame, len, intf->evt_clr_tmout);
    if (rc != 0)
        plt_msg_ts_show(&intf->ep->node->net->plt, "%s with error:%d", who, rc);
}

}  // namespace

// ---------------------------------------------------------------------------
// The dispatcher's steps
// ---------------------------------------------------------------------------

bool zwif_rpt_sw_usr_only(uint16_t cls, uint8_t cmd) { return cls == 0x35 && cmd == 0x05; }

void zwif_rpt_sw_prep(zwif_p intf, zwif_rpt_rec_t *rec)
{
    switch (uint32_t(rec->cls) << 8 | rec->cmd) {
    case 0x3003: {
        bsnsr_rec_t r = rec_get<bsnsr_rec_t>(rec);
        if (!r.typed) {
            const dev_if_t *d = dev_if_of(intf, DEV_IF_BSENSOR);
            r.type = d ? d->bsnsr_type : 0;
            r.typed = 1;
            rec_put(rec, r);
        }
        break;
    }
    case 0x3202: {
        zwmeter_t m = rec_get<zwmeter_t>(rec);
        if (intf->ver < 3)
            m.unit &= 0x03;
        if (intf->ver < 2) {
            m.rate_type = 0;
            m.delta_time = 0;
            std::memset(m.prv_data, 0, sizeof m.prv_data);
        }
        rec_put(rec, m);
        break;
    }
    case 0x3D02: {
        zwmeter_tbl_t t = rec_get<zwmeter_tbl_t>(rec);
        if (const auto *w = static_cast<const zwmeter_tbl_t *>(intf->tmp_data)) {
            t.flags = w->flags;
            std::memcpy(t.id, w->id, sizeof t.id);
        }
        rec_put(rec, t);
        break;
    }
    case 0x3D04: {
        zwmeter_tbl_t t = rec_get<zwmeter_tbl_t>(rec);
        if (intf->ep != nullptr && zwif_find_cls(intf->ep->intf, 0x3C) != nullptr)
            t.flags |= ZW_METER_TBL_CFG;
        rec_put(rec, t);
        break;
    }
    case 0x7105: alrm_devcfg_map(intf, rec); break;
    case 0x7108: {
        // The types that the device record maps from or to are supported too.
        const dev_if_t *d = dev_if_of(intf, DEV_IF_ALARM);
        if (d == nullptr)
            break;
        uint8_t &cnt = rec->val[1];
        uint8_t *types = rec->val + 2;
        auto add = [&](uint32_t t) {
            if (t == DEV_ANY || cnt >= 247 || std::find(types, types + cnt, static_cast<uint8_t>(t)) != types + cnt)
                return;
            types[cnt++] = static_cast<uint8_t>(t);
        };
        for (const auto &rule : d->alrm) {
            add(rule->notif_type);
            add(rule->result.notif_type);
        }
        rec->len = static_cast<uint8_t>(2 + cnt);
        break;
    }
    default: break;
    }
}

void zwif_rpt_sw_stored(zwif_p intf, const zwif_rpt_rec_t *rec)
{
    if (intf->propty & IF_PROPTY_EVT_NO_CLR)
        return;
    switch (uint32_t(rec->cls) << 8 | rec->cmd) {
    case 0x3003: {
        const bsnsr_rec_t r = rec_get<bsnsr_rec_t>(rec);
        if (r.state != 0) {
            const uint8_t idle[4] = {0x30, 0x03, 0x00, r.type};
            evt_clr(intf, idle, sizeof idle, "zwif_bsnsr_evt_clr");
        }
        break;
    }
    case 0x9C02: {
        const zwsalrm_t a = rec_get<zwsalrm_t>(rec);
        if (a.state != 0) {
            const uint8_t idle[7] = {0x9C, 0x02, 0x00, a.type, 0x00, 0x00, 0x00};
            evt_clr(intf, idle, sizeof idle, "zwif_alrm_snsr_evt_clr");
        }
        break;
    }
    case 0x7105: {
        const zwalrm_t *a = alrm_of(rec);
        if (a->ex_info && a->ex_event != 0 && a->ex_event != 0xFE) {
            // Event 0 (idle) with one parameter: the event that ended.
            const uint8_t idle[10] = {0x71, 0x05, 0x00, 0x00, 0x00, a->ex_status, a->ex_type, 0x00, 0x01, a->ex_event};
            evt_clr(intf, idle, sizeof idle, "zwif_alrm_evt_clr");
        }
        break;
    }
    default: break;
    }
}

bool zwif_rpt_sw_after(zwnet_p net, const zwif_desc_t *intf, const zwif_rpt_rec_t *rec, zwif_rpt_follow_t *follow)
{
    switch (uint32_t(rec->cls) << 8 | rec->cmd) {
    case 0x3003: {
        const bsnsr_rec_t r = rec_get<bsnsr_rec_t>(rec);
        const dev_alrm_tgt_t *t = rule_target(net, intf->nodeid, intf->epid, DEV_IF_BSENSOR, [&](const dev_rule_t &m) {
            return any_or(m.type, r.type) && (m.value == DEV_ANY || m.value == dev_any_value || m.value == r.state);
        });
        alrm_devcfg_rpt(net, intf->nodeid, intf->epid, t);
        break;
    }
    case 0x9C02: {
        const zwsalrm_t a = rec_get<zwsalrm_t>(rec);
        auto match = [&](const dev_rule_t &m) {
            if (!any_or(m.type, a.type))
                return false;
            if (m.value == DEV_ANY || m.value == dev_any_value)
                return true;
            if (m.value_mode == 0)
                return a.state == m.value;
            if (m.value_mode == 1)
                return a.state >= m.value && a.state <= m.value_high;
            return true;
        };
        const dev_alrm_tgt_t *t = rule_target(net, intf->nodeid, intf->epid, DEV_IF_ALRM_SNSR, match);
        alrm_devcfg_rpt(net, intf->nodeid, intf->epid, t);
        break;
    }
    case 0x7105: return door_lock_from_alrm(net, intf, alrm_of(rec), follow);
    case 0x3D04:
        // The administration number completes the meter table's identity.
        zwnet_app_call(net, [&] { zwif_get_report_simple(intf, nullptr, 0, 0x01, zwif_tx_sts_log_cb); });
        break;
    default: break;
    }
    return false;
}

void zwif_rpt_sw_basic_set(zwif_p intf, const uint8_t *cmd, uint16_t len)
{
    if (len < 3 || intf->ep == nullptr)
        return;
    zwnet_p net = intf->ep->node->net;
    const uint8_t node_id = intf->ep->node->nodeid, ep_id = intf->ep->epid, value = cmd[2];
    // The Set command (1) by its value.
    const dev_alrm_tgt_t *t = rule_target(net, node_id, ep_id, DEV_IF_BASIC,
                                          [&](const dev_rule_t &m) { return m.type == 1 && m.value == value; });
    alrm_devcfg_rpt(net, node_id, ep_id, t);
}

// ---------------------------------------------------------------------------
// Capability data for the callback thread
// ---------------------------------------------------------------------------

namespace {

// What a data kind hands to its callback, read under the network mutex.
struct sup_data_t {
    bool valid{false};
    uint8_t a{0}, b{0};      // first byte arguments (type, count, flag, ...)
    uint8_t cnt{0};
    uint8_t list[256]{};
    zwmeter_cap_t cap{};
    zwmeter_tbl_t tbl{};
};

bool sw_kind(uint16_t kind)
{
    switch (kind) {
    case ZWIF_KIND_LVL_SUP:
    case ZWIF_KIND_ALRM_TYPES:
    case ZWIF_KIND_ALRM_EVTS:
    case ZWIF_KIND_METER_SUP:
    case ZWIF_KIND_METER_TBL:
    case ZWIF_KIND_BSNSR_TYPES:
    case ZWIF_KIND_SNSR_TYPES:
    case ZWIF_KIND_SNSR_UNITS:
    case ZWIF_KIND_SALRM_TYPES:
    case ZWIF_KIND_BARRIER_SUBSYS:
    case ZWIF_KIND_COLOR_IDS: return true;
    default: return false;
    }
}

// Reads a kind from the supported information (network mutex held).
void data_read(const zwif_t *i, uint16_t kind, uint16_t arg, sup_data_t *d)
{
    if (i == nullptr || i->data_cnt == 0 || i->data == nullptr)
        return;
    const auto *p = static_cast<const uint8_t *>(i->data);
    const size_t sz = size_t(i->data_cnt) * i->data_item_sz;
    switch (kind) {
    case ZWIF_KIND_LVL_SUP:
        if (sz >= 2) {
            d->a = p[0], d->b = p[1];
            d->valid = true;
        }
        break;
    case ZWIF_KIND_METER_SUP:
        if (sz >= sizeof d->cap) {
            std::memcpy(&d->cap, p, sizeof d->cap);
            d->valid = true;
        }
        break;
    case ZWIF_KIND_METER_TBL:
        if (sz >= sizeof d->tbl) {
            std::memcpy(&d->tbl, p, sizeof d->tbl);
            d->tbl.id[ZW_METER_TBL_TEXT_SZ - 1] = d->tbl.admin[ZW_METER_TBL_TEXT_SZ - 1] = 0;
            d->valid = true;
        }
        break;
    case ZWIF_KIND_BSNSR_TYPES:
    case ZWIF_KIND_SALRM_TYPES:
    case ZWIF_KIND_BARRIER_SUBSYS:
    case ZWIF_KIND_COLOR_IDS:
        if (i->data_item_sz == 1) {
            d->cnt = i->data_cnt;
            std::memcpy(d->list, p, d->cnt);
            d->valid = true;
        }
        break;
    case ZWIF_KIND_SNSR_TYPES:
    case ZWIF_KIND_SNSR_UNITS:
        if (i->data_item_sz != 2)
            break;
        for (uint8_t k = 0; k < i->data_cnt; ++k) {
            if (kind == ZWIF_KIND_SNSR_TYPES) {
                d->list[d->cnt++] = p[2 * k];
                d->valid = true;
            } else if (p[2 * k] == arg && p[2 * k + 1] != 0) {
                d->a = p[2 * k], d->b = p[2 * k + 1];
                d->valid = true;
            }
        }
        break;
    case ZWIF_KIND_ALRM_TYPES:
    case ZWIF_KIND_ALRM_EVTS: {
        if (i->data_item_sz != ZWIF_ALRM_SUP_ITEM_SZ)
            break;
        const auto *block = static_cast<const zwif_alrm_sup_ent_t *>(i->data);
        if (kind == ZWIF_KIND_ALRM_TYPES) {
            d->a = block[0].type;
            for (uint8_t k = 1; k < i->data_cnt; ++k)
                d->list[d->cnt++] = block[k].type;
            d->valid = true;
            break;
        }
        for (uint8_t k = 1; k < i->data_cnt; ++k)
            if (block[k].type == arg) {
                const uint8_t n = std::min<uint8_t>(block[k].mask_len, ZWIF_ALRM_EVT_MASK_MAX);
                d->a = block[k].type;
                d->cnt = bits_to_list(block[k].mask, n, type_bits_max, 0, d->list);
                d->valid = d->cnt != 0;
                if (!d->valid)
                    d->a = 0;
                break;
            }
        break;
    }
    default: break;
    }
}

// Reads a kind from the node's device record (network mutex held).
void dev_rec_read(zwnet_p net, const zwif_desc_t *intf, uint16_t kind, int16_t arg, uint8_t if_type, sup_data_t *d)
{
    const dev_if_t *r = dev_if_of(zwnode_find(&net->ctl, intf->nodeid), intf->epid, if_type);
    if (r == nullptr)
        return;
    auto add = [&](uint32_t v) {
        if (v == DEV_ANY || d->cnt >= type_bits_max ||
            std::find(d->list, d->list + d->cnt, uint8_t(v)) != d->list + d->cnt)
            return;
        d->list[d->cnt++] = static_cast<uint8_t>(v);
    };
    d->valid = true;
    switch (kind) {
    case ZWIF_KIND_BSNSR_TYPES: d->cnt = 1, d->list[0] = r->bsnsr_type; break;
    case ZWIF_KIND_SNSR_TYPES: d->cnt = 1, d->list[0] = r->snsr_type; break;
    case ZWIF_KIND_SNSR_UNITS:
        d->a = static_cast<uint8_t>(arg);
        d->b = (arg == r->snsr_type) ? static_cast<uint8_t>(1u << (r->snsr_unit & 31)) : 0;
        break;
    case ZWIF_KIND_METER_SUP: d->cap = zwmeter_cap_t{r->meter_type, 0, r->meter_units}; break;
    case ZWIF_KIND_ALRM_TYPES:
        d->a = 1;
        for (const auto &rule : r->alrm) {
            add(rule->notif_type);
            add(rule->result.notif_type);
        }
        break;
    case ZWIF_KIND_ALRM_EVTS:
        d->a = static_cast<uint8_t>(arg);
        for (const auto &rule : r->alrm) {
            if (rule->notif_type == uint32_t(arg) && rule->notif_evt != 254)
                add(rule->notif_evt);
            if (rule->result.notif_type == uint32_t(arg) && rule->result.notif_evt != 254)
                add(rule->result.notif_evt);
        }
        break;
    default: d->valid = false; break;
    }
}

void sup_call(zwif_rpt_fn cb, zwif_desc_t *intf, uint16_t kind, sup_data_t &d)
{
    const int v = d.valid ? 1 : 0;
    switch (kind) {
    case ZWIF_KIND_LVL_SUP: reinterpret_cast<zwrep_lvl_sup_fn>(cb)(intf, d.a, d.b, v); break;
    case ZWIF_KIND_METER_SUP: reinterpret_cast<zwrep_meter_sup_fn>(cb)(intf, v ? &d.cap : nullptr, v); break;
    case ZWIF_KIND_METER_TBL: reinterpret_cast<zwrep_meter_tbl_fn>(cb)(intf, v ? &d.tbl : nullptr, v); break;
    case ZWIF_KIND_SNSR_UNITS: reinterpret_cast<zwrep_sensor_unit_fn>(cb)(intf, d.a, d.b, v); break;
    case ZWIF_KIND_ALRM_TYPES:
        reinterpret_cast<zwrep_alrm_sup_fn>(cb)(intf, d.a, d.cnt, v ? d.list : nullptr, v);
        break;
    case ZWIF_KIND_ALRM_EVTS:
        reinterpret_cast<zwrep_alrm_evt_fn>(cb)(intf, d.a, d.cnt, v ? d.list : nullptr, v);
        break;
    default: reinterpret_cast<zwrep_sup_list_fn>(cb)(intf, d.cnt, v ? d.list : nullptr, v); break;
    }
}

}  // namespace

bool zwif_sw_data_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint16_t kind, uint16_t arg)
{
    if (!sw_kind(kind))
        return false;
    if (net == nullptr || intf == nullptr || cb == nullptr)
        return true;
    sup_data_t d;
    {
        zwnet_lock lk(net);
        data_read(zwif_rec_get(intf), kind, arg, &d);
    }
    if (!d.valid)
        d = sup_data_t{};
    zwif_desc_t desc = *intf;
    zwnet_app_call(net, [&] { sup_call(cb, &desc, kind, d); });
    return true;
}

bool zwif_sw_dev_rec_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint16_t kind, int16_t arg,
                             uint8_t if_type)
{
    switch (kind) {
    case ZWIF_KIND_BSNSR_TYPES:
    case ZWIF_KIND_SNSR_TYPES:
    case ZWIF_KIND_SNSR_UNITS:
    case ZWIF_KIND_METER_SUP:
    case ZWIF_KIND_ALRM_TYPES:
    case ZWIF_KIND_ALRM_EVTS: break;
    default: return false;
    }
    if (net == nullptr || intf == nullptr || cb == nullptr)
        return true;
    sup_data_t d;
    {
        zwnet_lock lk(net);
        dev_rec_read(net, intf, kind, arg, if_type, &d);
    }
    if (!d.valid)
        d = sup_data_t{};
    zwif_desc_t desc = *intf;
    zwnet_app_call(net, [&] { sup_call(cb, &desc, kind, d); });
    return true;
}
