// Reports of thermostats, climate schedules, door locks, user codes,
// protection, central scenes, clock, indicator and application status.
//
// Most of these are a few fixed fields; the rows say which bytes and which
// callback shape. What a frame announces is checked against what it holds:
// a value size, a code length or a mask count that runs past the frame
// drops the frame, and counts that a byte holds are bounded before they
// size anything.
#include "hcapi/core/zwif_rpt_def.h"

#include "hcapi/include/zwif_ctl.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

namespace {

// --- records in and out of a report record -------------------------------------

template <class T>
void put(zwif_rpt_rec_t *rec, const T &v)
{
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= ZWIF_RPT_REC_MAX);
    std::memcpy(rec->val, &v, sizeof v);
    rec->len = sizeof v;
}

template <class T>
T get(const zwif_rpt_rec_t *rec)
{
    T v{};
    std::memcpy(&v, rec->val, sizeof v);
    return v;
}

void drop(zwif_rpt_rec_t *rec) { rec->len = 0; }

template <class F>
F fn(zwif_rpt_fn cb)
{
    return reinterpret_cast<F>(cb);
}

void time_put(uint8_t *at, time_t t)
{
    const zwif_cache_time_t v = t;
    std::memcpy(at, &v, sizeof v);
}

time_t time_get(const uint8_t *at)
{
    zwif_cache_time_t v;
    std::memcpy(&v, at, sizeof v);
    return static_cast<time_t>(v);
}

// The supported information as one block; a block that does not fit the
// byte-sized block size is not kept (the next supported get asks the device
// again). Allocation failure leaves nothing cached either.
void data_block_set(zwif_p intf, const uint8_t *block, size_t len)
{
    if (len <= UINT8_MAX && zwif_data_set(intf, 1, static_cast<uint8_t>(len), block) == 0)
        return;
    std::free(intf->data);
    intf->data = nullptr;
    intf->data_cnt = 0;
    intf->data_item_sz = 0;
}

// --- shared shapes -------------------------------------------------------------

// A report of fixed fields: each record byte is (frame byte `at` >> shift)
// & mask. Bytes the row's min_len covers are always there; a field past
// them (an addition of a later version) reads 0 when the frame lacks it.
struct field_t {
    uint8_t at;
    uint8_t shift;
    uint8_t mask;
};

template <size_t N>
using fields_t = std::array<field_t, N>;

template <const auto &Fields>
void parse_fields(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    static_assert(Fields.size() <= ZWIF_RPT_REC_MAX);
    for (size_t k = 0; k < Fields.size(); ++k) {
        const field_t &f = Fields[k];
        rec->val[k] = f.at < len ? static_cast<uint8_t>((cmd[f.at] >> f.shift) & f.mask) : 0;
    }
    rec->len = static_cast<uint8_t>(Fields.size());
}

// b2, or b2 and b3, whole.
constexpr fields_t<1> b2{{{2, 0, 0xFF}}};
constexpr fields_t<2> b2_b3{{{2, 0, 0xFF}, {3, 0, 0xFF}}};

// Reports that are not cached reach the application every time.
int store_none(zwif_p, const zwif_rpt_rec_t *, time_t now, time_t *ts)
{
    *ts = now;
    return 1;
}

void call_byte(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    fn<zwrep_byte_fn>(cb)(intf, rec->val[0]);
}

// Callbacks of two and three bytes.
void call_2b(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    fn<void (*)(zwif_desc_t *, uint8_t, uint8_t)>(cb)(intf, rec->val[0], rec->val[1]);
}

void call_3b(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    fn<void (*)(zwif_desc_t *, uint8_t, uint8_t, uint8_t)>(cb)(intf, rec->val[0], rec->val[1], rec->val[2]);
}
static_assert(std::is_same_v<zwrep_appl_busy_fn, void (*)(zwif_desc_t *, uint8_t, uint8_t)> &&
              std::is_same_v<zwrep_prot_fn, void (*)(zwif_desc_t *, uint8_t, uint8_t)> &&
              std::is_same_v<zwrep_clock_fn, void (*)(zwif_desc_t *, uint8_t, uint8_t, uint8_t)>);

// A bit mask from b2 to the end of the frame: bit i lists i, for i below
// `limit`. Returns the count; `out` holds room for `limit` entries.
uint8_t mask_list(const uint8_t *cmd, uint16_t len, unsigned first, unsigned limit, uint8_t *out)
{
    const size_t bits = (size_t(len) - 2) * 8;
    unsigned cnt = 0;
    for (unsigned i = first; i < bits && i < limit; ++i)
        if (cmd[2 + i / 8] & (1u << (i % 8)))
            out[cnt++] = static_cast<uint8_t>(i);
    return static_cast<uint8_t>(cnt);
}

// Mode lists: at most 248 modes, the count first.
constexpr unsigned mode_max = 248;

void parse_modes(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    rec->val[0] = mask_list(cmd, len, 0, mode_max, rec->val + 1);
    rec->len = static_cast<uint8_t>(rec->val[0] + 1);
}

// --- climate state bytes --------------------------------------------------------

// 0x7B..0x7E are reserved: the report that holds one is dropped.
bool climate_state(uint8_t s, uint8_t *state, int8_t *setback)
{
    *setback = 0;
    switch (s) {
    case 0x79: *state = ZW_CLIMATE_FROST_PROTECTION; return true;
    case 0x7A: *state = ZW_CLIMATE_ENERGY_SAVING; return true;
    case 0x7F: *state = ZW_CLIMATE_UNUSED; return true;
    case 0x7B:
    case 0x7C:
    case 0x7D:
    case 0x7E: return false;
    default:
        *state = ZW_CLIMATE_SETBACK;
        *setback = static_cast<int8_t>(s);
        return true;
    }
}

// --- Thermostat Mode (0x40) and Fan Mode (0x44) ---------------------------------------

int store_md_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    data_block_set(intf, rec->val, size_t(rec->val[0]) + 1);  // count, modes
    return 1;
}

void call_md_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    uint8_t modes[mode_max];
    std::memcpy(modes, rec->val + 1, rec->val[0]);
    fn<zwrep_thrmo_md_sup_fn>(cb)(intf, rec->val[0], modes, 1);
}

// The off flag exists from version 3, the off mode from version 2.
uint8_t fan_off(uint8_t ver, uint8_t b2) { return ver >= 3 ? b2 >> 7 : 0; }
uint8_t fan_off_sup(uint8_t ver) { return ver >= 2 ? 1 : 0; }

// The cached fan mode: mode in the low byte, off flag in the high byte.
int store_fan_md(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const uint8_t v[2] = {static_cast<uint8_t>(rec->val[0] & 0x0F), fan_off(intf->ver, rec->val[0])};
    return zwif_cache_single_put(intf, sizeof v, 0, v, sizeof v, now);
}

time_t cached_fan_md(zwif_p intf, uint8_t, const uint16_t *, zwif_rpt_rec_t *rec)
{
    rec->len = 1;
    uint8_t v[2] = {};
    const time_t t = zwif_cache_single_get(intf, sizeof v, 0, v, sizeof v);
    rec->val[0] = static_cast<uint8_t>(v[1] << 7 | (v[0] & 0x0F));
    return t;
}

void call_fan_md(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    fn<zwrep_thrmo_fan_md_fn>(cb)(intf, fan_off(intf->ver, rec->val[0]), rec->val[0] & 0x0F, ts);
}

int store_fan_md_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    uint8_t block[2 + mode_max];
    block[0] = fan_off_sup(intf->ver);
    std::memcpy(block + 1, rec->val, size_t(rec->val[0]) + 1);  // count, modes
    data_block_set(intf, block, size_t(rec->val[0]) + 2);
    return 1;
}

void call_fan_md_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    uint8_t modes[mode_max];
    std::memcpy(modes, rec->val + 1, rec->val[0]);
    fn<zwrep_thrmo_fan_md_sup_fn>(cb)(intf, fan_off_sup(intf->ver), rec->val[0], modes, 1);
}

// --- Thermostat Setpoint (0x43) --------------------------------------------------------

// A setpoint value from its property byte at `at`: its value bytes must be
// in the frame. False when they are not, or the size is more than 4.
bool setp_at(const uint8_t *cmd, uint16_t len, size_t at, uint8_t type, zwsetp_t *v)
{
    if (at >= len)
        return false;
    const uint8_t prop = cmd[at];
    const uint8_t size = prop & 0x07;
    if (size > sizeof v->data || at + 1 + size > len)
        return false;
    *v = zwsetp_t{type, static_cast<uint8_t>(prop >> 5), static_cast<uint8_t>((prop >> 3) & 0x03), size, {}};
    std::memcpy(v->data, cmd + at + 1, size);
    return true;
}

void parse_setp(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwsetp_t v;
    const uint8_t size = cmd[3] & 0x07;
    if ((size != 1 && size != 2 && size != 4) || !setp_at(cmd, len, 3, cmd[2] & 0x0F, &v))
        return drop(rec);
    put(rec, v);
}

// Keyed by type and scale; type 0 is not kept.
int store_setp(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const zwsetp_t v = get<zwsetp_t>(rec);
    if (v.type == 0)
        return 1;
    if (intf->cch_data == nullptr) {
        if (zwif_cache_init(intf, sizeof v, 0) != 0)
            return 1;
        uint8_t *ent = zwif_cache_plain_entry(intf, sizeof v);
        time_put(ent, now);
        std::memcpy(ent + ZWIF_CACHE_TIME_SZ, &v, sizeof v);
        return 1;
    }
    return zwif_cache_upsert_by(
        intf, reinterpret_cast<const uint8_t *>(&v), sizeof v,
        [](const uint8_t *cached, const uint8_t *r) {
            return cached[offsetof(zwsetp_t, type)] == r[offsetof(zwsetp_t, type)] &&
                   cached[offsetof(zwsetp_t, scale)] == r[offsetof(zwsetp_t, scale)];
        },
        now);
}

// Key: the setpoint type; nothing cached for it, the type alone comes back.
time_t cached_setp(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec)
{
    zwsetp_t v{};
    time_t t = 0;
    const uint8_t *ents = intf ? zwif_cache_plain_entry(intf, sizeof v) : nullptr;
    if (cnt == 1) {
        v.type = static_cast<uint8_t>(keys[0]);
        for (size_t i = 0; ents != nullptr && i < intf->cch_ele_cnt; ++i) {
            const uint8_t *e = ents + i * intf->cch_ele_sz;
            if (e[ZWIF_CACHE_TIME_SZ + offsetof(zwsetp_t, type)] == keys[0]) {
                std::memcpy(&v, e + ZWIF_CACHE_TIME_SZ, sizeof v);
                t = time_get(e);
                break;
            }
        }
    }
    put(rec, v);
    return t;
}

void call_setp(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    zwsetp_t v = get<zwsetp_t>(rec);
    fn<zwrep_thrmo_setp_fn>(cb)(intf, &v, ts);
}

// The supported block: count, three bytes not used, then per type a range
// entry {u32 valid, minimum, maximum}, the type in both records.
constexpr size_t setp_hdr = 4;
constexpr size_t setp_ent = 4 + 2 * sizeof(zwsetp_t);
constexpr unsigned setp_bits_max = 248;

void parse_setp_sup(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    // Bit 0 and bit 1 both name type 1: it is listed once.
    uint8_t bits[setp_bits_max];
    const uint8_t n = mask_list(cmd, len, 0, setp_bits_max, bits);
    uint8_t cnt = 0;
    for (uint8_t k = 0; k < n; ++k) {
        const uint8_t type = bits[k] <= 2 ? (bits[k] == 0 ? 1 : bits[k]) : static_cast<uint8_t>(bits[k] + 4);
        if (type == 1 && cnt != 0 && rec->val[cnt] == 1)
            continue;
        rec->val[1 + cnt++] = type;
    }
    rec->val[0] = cnt;
    rec->len = static_cast<uint8_t>(cnt + 1);
}

// A block that lists the same types in the same order is kept, ranges and all.
bool setp_block_same(zwif_p intf, const uint8_t *types, uint8_t cnt)
{
    const auto *b = static_cast<const uint8_t *>(intf->data);
    if (b == nullptr || intf->data_cnt != 1 || intf->data_item_sz != setp_hdr + setp_ent * cnt || b[0] != cnt)
        return false;
    for (uint8_t k = 0; k < cnt; ++k)
        if (b[setp_hdr + setp_ent * k + 4] != types[k])
            return false;
    return true;
}

int store_setp_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const uint8_t cnt = rec->val[0];
    if (setp_block_same(intf, rec->val + 1, cnt))
        return 1;
    std::vector<uint8_t> block(setp_hdr + setp_ent * cnt, 0);
    block[0] = cnt;
    for (uint8_t k = 0; k < cnt; ++k) {
        uint8_t *e = block.data() + setp_hdr + setp_ent * k;
        e[4] = e[4 + sizeof(zwsetp_t)] = rec->val[1 + k];
    }
    data_block_set(intf, block.data(), block.size());
    return 1;
}

void call_setp_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    uint8_t types[setp_bits_max];
    std::memcpy(types, rec->val + 1, rec->val[0]);
    fn<zwrep_thrmo_setp_sup_fn>(cb)(intf, rec->val[0], types, 1);
}

struct setp_range_t {
    uint8_t type;
    zwsetp_t min;
    zwsetp_t max;
};

// The maximum is there when a byte follows the minimum; then its value
// bytes must be there too.
void parse_setp_range(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    setp_range_t r{static_cast<uint8_t>(cmd[2] & 0x0F), {}, {}};
    if (!setp_at(cmd, len, 3, r.type, &r.min))
        return drop(rec);
    const size_t max_at = 4 + size_t(r.min.size);
    if (max_at < len && !setp_at(cmd, len, max_at, r.type, &r.max))
        return drop(rec);
    put(rec, r);
}

int store_setp_range(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const setp_range_t r = get<setp_range_t>(rec);
    auto *b = static_cast<uint8_t *>(intf->data);
    if (b == nullptr || intf->data_cnt != 1 || intf->data_item_sz < setp_hdr)
        return 1;
    const size_t cnt = std::min<size_t>(b[0], (intf->data_item_sz - setp_hdr) / setp_ent);
    for (size_t k = 0; k < cnt; ++k) {
        uint8_t *e = b + setp_hdr + setp_ent * k;
        if (e[4] != r.type)
            continue;
        const uint32_t valid = 1;
        std::memcpy(e, &valid, sizeof valid);
        std::memcpy(e + 4, &r.min, sizeof r.min);
        std::memcpy(e + 4 + sizeof r.min, &r.max, sizeof r.max);
        break;
    }
    return 1;
}

void call_setp_range(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    setp_range_t r = get<setp_range_t>(rec);
    fn<zwrep_thrmo_setp_range_fn>(cb)(intf, r.type, &r.min, &r.max, 1);
}

// --- Climate Control Schedule (0x46) and Thermostat Setback (0x47) ------------------------

constexpr uint8_t swpt_unused = 0x7F;

void parse_shed(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    zwcc_shed_t s{};
    s.weekday = cmd[2] & 0x07;
    // A reserved state anywhere refuses the whole schedule.
    for (uint8_t k = 0; k < ZW_CLIMATE_SWPT_MAX; ++k) {
        zwcc_shed_swpt_t p;
        if (!climate_state(cmd[3 + 3 * k + 2], &p.state, &p.setback))
            return drop(rec);
    }
    for (uint8_t k = 0; k < ZW_CLIMATE_SWPT_MAX; ++k) {
        const uint8_t *at = cmd + 3 + 3 * k;
        if (at[2] == swpt_unused)
            break;
        zwcc_shed_swpt_t &p = s.swpt[s.cnt++];
        p.hour = at[0] & 0x1F;
        p.minute = at[1] & 0x3F;
        climate_state(at[2], &p.state, &p.setback);
    }
    put(rec, s);
}

void call_shed(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    zwcc_shed_t s = get<zwcc_shed_t>(rec);
    fn<zwrep_cc_shed_fn>(cb)(intf, &s);
}

void parse_shed_ovr(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    zwcc_shed_ovr_t o{static_cast<uint8_t>(cmd[2] & 0x03), 0, 0};
    if (!climate_state(cmd[3], &o.state, &o.setback))
        return drop(rec);
    put(rec, o);
}

void call_shed_ovr(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    zwcc_shed_ovr_t o = get<zwcc_shed_ovr_t>(rec);
    fn<zwrep_cc_shed_ovr_fn>(cb)(intf, &o);
}

// Setback type, state, and the state byte as a signed number.
void parse_setb(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    uint8_t state;
    int8_t setback;
    if (!climate_state(cmd[3], &state, &setback))
        return drop(rec);
    const uint8_t v[3] = {static_cast<uint8_t>(cmd[2] & 0x03), state, cmd[3]};
    std::memcpy(rec->val, v, sizeof v);
    rec->len = sizeof v;
}

void call_setb(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    fn<zwrep_thrmo_setb_fn>(cb)(intf, rec->val[0], rec->val[1], static_cast<int8_t>(rec->val[2]));
}

// --- Central Scene (0x5B) ------------------------------------------------------------

// Slow refresh exists from the version the device reports as 3.
uint8_t csc_slow(uint8_t real_ver, uint8_t flag) { return real_ver >= 3 ? (flag & 0x80) : 0; }

// The supported report as received: scenes, the flags byte, identical, mask
// bytes per scene, then the masks (one set, or one per scene).
enum : uint8_t { csc_scenes, csc_flags, csc_identical, csc_mask_len, csc_masks };

void parse_csc_sup(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    rec->val[csc_scenes] = cmd[2];
    rec->val[csc_identical] = 1;  // a version 1 frame: every scene alike, no attributes listed
    rec->len = csc_masks;
    if (len < 4)
        return;
    const uint8_t flags = cmd[3];
    const uint8_t identical = flags & 0x01;
    const uint8_t mask_len = (flags >> 1) & 0x03;
    const size_t masks = identical ? mask_len : size_t(mask_len) * cmd[2];
    // No frame a device can send holds more masks than a record does.
    if (len < masks + 4 || masks > ZWIF_RPT_REC_MAX - csc_masks)
        return drop(rec);
    rec->val[csc_flags] = flags;
    rec->val[csc_identical] = identical;
    rec->val[csc_mask_len] = mask_len;
    std::memcpy(rec->val + csc_masks, cmd + 4, masks);
    rec->len = static_cast<uint8_t>(csc_masks + masks);
}

// The rows of key attributes: per row a count and the attribute ids, each
// row as long as the longest (at least one byte).
struct csc_rows_t {
    uint8_t cnt{0};
    uint8_t row_sz{1};
    std::vector<uint8_t> bytes;
};

csc_rows_t csc_rows(const zwif_rpt_rec_t *rec)
{
    csc_rows_t r;
    const uint8_t n = rec->val[csc_mask_len];
    r.cnt = rec->val[csc_identical] ? 1 : rec->val[csc_scenes];
    std::vector<std::vector<uint8_t>> rows(r.cnt);
    for (uint8_t k = 0; k < r.cnt; ++k) {
        const uint8_t *mask = rec->val + csc_masks + size_t(k) * n;
        for (unsigned j = 0; j < n * 8u; ++j)
            if (mask[j / 8] & (1u << (j % 8)))
                rows[k].push_back(static_cast<uint8_t>(j));
        r.row_sz = std::max<uint8_t>(r.row_sz, static_cast<uint8_t>(rows[k].size() + 1));
    }
    r.bytes.assign(size_t(r.cnt) * r.row_sz, 0);
    for (uint8_t k = 0; k < r.cnt; ++k) {
        uint8_t *row = r.bytes.data() + size_t(k) * r.row_sz;
        row[0] = static_cast<uint8_t>(rows[k].size());
        std::copy(rows[k].begin(), rows[k].end(), row + 1);
    }
    return r;
}

// Block: scenes, slow refresh supported, identical, row size, the rows.
int store_csc_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const csc_rows_t r = csc_rows(rec);
    std::vector<uint8_t> block{rec->val[csc_scenes], csc_slow(intf->real_ver, rec->val[csc_flags]),
                               rec->val[csc_identical], r.row_sz};
    block.insert(block.end(), r.bytes.begin(), r.bytes.end());
    data_block_set(intf, block.data(), block.size());
    return 1;
}

void call_csc_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    csc_rows_t r = csc_rows(rec);
    fn<zwrep_csc_sup_fn>(cb)(intf, rec->val[csc_scenes], rec->val[csc_identical], r.row_sz, r.bytes.data(),
                             csc_slow(intf->real_ver, rec->val[csc_flags]), 1);
}

// Sequence number, key attribute, scene, slow refresh.
constexpr fields_t<4> csc_fields{{{2, 0, 0xFF}, {3, 0, 0x07}, {4, 0, 0xFF}, {3, 0, 0x80}}};
static_assert(sizeof(zwcsc_notif_t) == csc_fields.size());

// A notification with the sequence number of the cached one is the same key
// press sent again: no callback.
int store_csc(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    zwcsc_notif_t n = get<zwcsc_notif_t>(rec);
    n.slow_rfsh = csc_slow(intf->real_ver, n.slow_rfsh);
    if (intf->cch_data == nullptr && zwif_cache_init(intf, sizeof n, 0) != 0)
        return 1;
    uint8_t *ent = zwif_cache_plain_entry(intf, sizeof n);
    if (ent == nullptr)
        return 1;
    if (intf->cch_ele_cnt == 1 && time_get(ent) != 0 && ent[ZWIF_CACHE_TIME_SZ] == n.seq_no)
        return 0;
    time_put(ent, now);
    std::memcpy(ent + ZWIF_CACHE_TIME_SZ, &n, sizeof n);
    return 1;
}

time_t cached_csc(zwif_p intf, uint8_t, const uint16_t *, zwif_rpt_rec_t *rec)
{
    zwcsc_notif_t n{};
    const uint8_t *ent = intf ? zwif_cache_plain_entry(intf, sizeof n) : nullptr;
    if (ent != nullptr)
        std::memcpy(&n, ent + ZWIF_CACHE_TIME_SZ, sizeof n);
    put(rec, n);
    return ent ? time_get(ent) : 0;
}

void call_csc(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    zwcsc_notif_t n = get<zwcsc_notif_t>(rec);
    n.slow_rfsh = csc_slow(intf->real_ver, n.slow_rfsh);
    fn<zwrep_csc_fn>(cb)(intf, &n, ts);
}

// --- Door Lock (0x62) -------------------------------------------------------------------

// One cache entry holds both reports, each with its own time: {operation
// time, operation (padded to 8)} {configuration time, configuration}.
constexpr uint8_t dlck_val_sz = 24;
constexpr size_t dlck_op_at = 0, dlck_cfg_at = 16;
static_assert(sizeof(zwdlck_op_t) <= 8 && sizeof(zwdlck_cfg_t) <= 8);

// Mode (or operation type), outside and inside handles, then the rest whole.
constexpr fields_t<6> dlck_op_fields{{{2, 0, 0xFF}, {3, 4, 0x0F}, {3, 0, 0x0F}, {4, 0, 0xFF}, {5, 0, 0xFF}, {6, 0, 0xFF}}};
constexpr fields_t<5> dlck_cfg_fields{{{2, 0, 0xFF}, {3, 4, 0x0F}, {3, 0, 0x0F}, {4, 0, 0xFF}, {5, 0, 0xFF}}};
static_assert(sizeof(zwdlck_op_t) == dlck_op_fields.size() && sizeof(zwdlck_cfg_t) == dlck_cfg_fields.size());

// The part at `at` of the door lock entry: its time is now, its record the
// report's; changed when the record differs or the entry is new.
template <size_t At>
int store_dlck(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    return zwif_cache_single_put(intf, dlck_val_sz, At, rec->val, rec->len, now);
}

template <class T, size_t At>
time_t cached_dlck(zwif_p intf, uint8_t, const uint16_t *, zwif_rpt_rec_t *rec)
{
    T v{};
    const time_t t = zwif_cache_single_get(intf, dlck_val_sz, At, reinterpret_cast<uint8_t *>(&v), sizeof v);
    put(rec, v);
    return t;
}

template <class T, class F>
void call_rec_ts(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    T v = get<T>(rec);
    fn<F>(cb)(intf, &v, ts);
}

// --- User Code (0x63) ---------------------------------------------------------------------

// The code is what follows id and status: at most ZW_USRCOD_MAX bytes.
void parse_usrcod(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    const size_t code_len = size_t(len) - 4;
    if (code_len > ZW_USRCOD_MAX)
        return drop(rec);
    zwusrcod_t c{cmd[2], cmd[3], static_cast<uint8_t>(code_len), {}};
    std::memcpy(c.code, cmd + 4, code_len);
    put(rec, c);
}

void call_usrcod(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    zwusrcod_t c = get<zwusrcod_t>(rec);
    fn<zwrep_usr_cod_fn>(cb)(intf, &c);
}

int store_usr_num(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    data_block_set(intf, rec->val, 1);
    return 1;
}

void call_usr_num(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    fn<zwrep_usr_sup_fn>(cb)(intf, rec->val[0], 1);
}

// --- Protection (0x75) -------------------------------------------------------------------


// States from a 16-bit mask, low byte first.
uint8_t prot_states(uint8_t lo, uint8_t hi, uint8_t *out)
{
    const unsigned bits = unsigned(hi) << 8 | lo;
    uint8_t cnt = 0;
    for (uint8_t i = 0; i < 16; ++i)
        if (bits & (1u << i))
            out[cnt++] = i;
    return cnt;
}

void parse_prot_sup(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    zwprot_sup_t s{};
    s.excl_ctl = (cmd[2] >> 1) & 1;
    s.tmout = cmd[2] & 1;
    s.lprot_cnt = prot_states(cmd[3], cmd[4], s.lprot);
    s.rfprot_cnt = prot_states(cmd[5], cmd[6], s.rfprot);
    put(rec, s);
}

int store_prot_sup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    data_block_set(intf, rec->val, sizeof(zwprot_sup_t));
    return 1;
}

void call_prot_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    zwprot_sup_t s = get<zwprot_sup_t>(rec);
    fn<zwrep_prot_sup_fn>(cb)(intf, &s, 1);
}

// --- Clock (0x81) ------------------------------------------------------------------------

// Weekday, hour, minute.
constexpr fields_t<3> clock_fields{{{2, 5, 0x07}, {2, 0, 0x1F}, {3, 0, 0xFF}}};

// --- single values ---------------------------------------------------------------------

// Thermostat mode (5 bits), operating and fan state (4 bits), central scene
// configuration (the slow refresh bit).
constexpr fields_t<1> b2_lo5{{{2, 0, 0x1F}}};
constexpr fields_t<1> b2_lo4{{{2, 0, 0x0F}}};
constexpr fields_t<1> b2_hi1{{{2, 0, 0x80}}};

// --- the rows ----------------------------------------------------------------------------

// Rows of the shared shapes.
template <const auto &Fields>
constexpr zwif_rpt_def_t single(uint16_t cls, uint8_t cmd)
{
    return {cls, cmd, 3, parse_fields<Fields>, zwif_rpt_store_single, zwif_rpt_cached_single, zwif_rpt_call_single};
}
constexpr zwif_rpt_def_t byte(uint16_t cls, uint8_t cmd, decltype(zwif_rpt_def_t::parse) parse = parse_fields<b2>)
{
    return {cls, cmd, 3, parse, store_none, nullptr, call_byte};
}

// Sorted by class, then command.
constexpr zwif_rpt_def_t ctl_rows[] = {
    {0x22, 0x01, 4, parse_fields<b2_b3>, store_none, nullptr, call_2b},  // Application Busy: status, wait time
    byte(0x22, 0x02),                                                      // Application Rejected Request
    single<b2_lo5>(0x40, 0x03),                                            // Thermostat Mode Report
    {0x40, 0x05, 3, parse_modes, store_md_sup, nullptr, call_md_sup},      // Thermostat Mode Supported Report
    single<b2_lo4>(0x42, 0x03),                                            // Thermostat Operating State Report
    {0x43, 0x03, 5, parse_setp, store_setp, cached_setp, call_setp},       // Thermostat Setpoint Report
    {0x43, 0x05, 3, parse_setp_sup, store_setp_sup, nullptr, call_setp_sup},        // Setpoint Supported Report
    {0x43, 0x0A, 4, parse_setp_range, store_setp_range, nullptr, call_setp_range},  // Setpoint Capabilities Report
    {0x44, 0x03, 3, parse_fields<b2>, store_fan_md, cached_fan_md, call_fan_md},    // Thermostat Fan Mode Report
    {0x44, 0x05, 3, parse_modes, store_fan_md_sup, nullptr, call_fan_md_sup},       // Fan Mode Supported Report
    single<b2_lo4>(0x45, 0x03),                                            // Thermostat Fan State Report
    {0x46, 0x03, 30, parse_shed, store_none, nullptr, call_shed},          // Climate Control Schedule Report
    byte(0x46, 0x05),                                                      // Schedule Changed Report
    {0x46, 0x08, 4, parse_shed_ovr, store_none, nullptr, call_shed_ovr},   // Schedule Override Report
    {0x47, 0x03, 4, parse_setb, store_none, nullptr, call_setb},           // Thermostat Setback Report
    {0x5B, 0x02, 3, parse_csc_sup, store_csc_sup, nullptr, call_csc_sup},  // Central Scene Supported Report
    {0x5B, 0x03, 5, parse_fields<csc_fields>, store_csc, cached_csc, call_csc},  // Central Scene Notification
    byte(0x5B, 0x06, parse_fields<b2_hi1>),                                // Central Scene Configuration Report
    {0x62, 0x03, 7, parse_fields<dlck_op_fields>, store_dlck<dlck_op_at>, cached_dlck<zwdlck_op_t, dlck_op_at>,
     call_rec_ts<zwdlck_op_t, zwrep_dlck_op_fn>},                          // Door Lock Operation Report
    {0x62, 0x06, 6, parse_fields<dlck_cfg_fields>, store_dlck<dlck_cfg_at>, cached_dlck<zwdlck_cfg_t, dlck_cfg_at>,
     call_rec_ts<zwdlck_cfg_t, zwrep_dlck_cfg_fn>},                        // Door Lock Configuration Report
    {0x63, 0x03, 4, parse_usrcod, store_none, nullptr, call_usrcod},       // User Code Report
    {0x63, 0x05, 3, parse_fields<b2>, store_usr_num, nullptr, call_usr_num},  // Users Number Report
    // Local state; the RF state from version 2 (0 when the frame has none).
    {0x75, 0x03, 3, parse_fields<b2_b3>, store_none, nullptr, call_2b},    // Protection Report
    {0x75, 0x05, 7, parse_prot_sup, store_prot_sup, nullptr, call_prot_sup},  // Protection Supported Report
    byte(0x75, 0x08),                                                      // Exclusive Control Report
    byte(0x75, 0x0B),                                                      // Protection Timeout Report
    {0x81, 0x06, 4, parse_fields<clock_fields>, store_none, nullptr, call_3b},  // Clock Report
    byte(0x87, 0x03),                                                      // Indicator Report
};
static_assert(zwif_rpt_defs_sorted(ctl_rows), "report rows are sorted by class and command, each once");

}  // namespace

const zwif_rpt_defs_t zwif_rpt_defs_ctl{ctl_rows, std::size(ctl_rows)};
