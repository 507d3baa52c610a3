#include "hcapi/core/zwif_rpt_def.h"

#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_utf.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Cache counts are bytes.
constexpr uint8_t cache_ele_max = 255;

// Sorted by class, then command.
constexpr zwif_rpt_def_t basic_rows[] = {
    {0x20, 0x03, 3, zwif_rpt_parse_b2, zwif_rpt_store_single, zwif_rpt_cached_single, zwif_rpt_call_single},  // Basic Report
    {0x25, 0x03, 3, zwif_rpt_parse_b2, zwif_rpt_store_single, zwif_rpt_cached_single, zwif_rpt_call_single},  // Binary Switch Report
    {0x80, 0x03, 3, zwif_rpt_parse_b2, zwif_rpt_store_single, zwif_rpt_cached_single, zwif_rpt_call_single},  // Battery Report
};
static_assert(zwif_rpt_defs_sorted(basic_rows), "report rows are sorted by class and command, each once");

const zwif_rpt_defs_t *const families[] = {
    &zwif_rpt_defs_basic,
    &zwif_rpt_defs_sw,
    &zwif_rpt_defs_ctl,
    &zwif_rpt_defs_mgmt,
};

}  // namespace

const zwif_rpt_defs_t zwif_rpt_defs_basic{basic_rows, std::size(basic_rows)};

const zwif_rpt_def_t *zwif_rpt_def_find(uint16_t cls, uint8_t cmd)
{
    for (const zwif_rpt_defs_t *f : families)
        for (size_t i = 0; i < f->cnt; ++i)
            if (f->rows[i].cls == cls && f->rows[i].cmd == cmd)
                return f->rows[i].parse && f->rows[i].store && f->rows[i].call ? &f->rows[i] : nullptr;
    return nullptr;
}

uint8_t *zwif_cache_plain_entry(zwif_p intf, uint8_t rec_sz)
{
    if (intf->cch_data == nullptr || intf->cch_kind != 0 || intf->cch_ele_cnt == 0 ||
        intf->cch_ele_sz != ZWIF_CACHE_TIME_SZ + rec_sz)
        return nullptr;
    return static_cast<uint8_t *>(intf->cch_data);
}

void zwif_rpt_parse_b2(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    rec->len = 1;
    rec->val[0] = cmd[2];  // the value follows class and command
}

int zwif_cache_single_put(zwif_p intf, uint8_t val_sz, size_t at, const uint8_t *val, uint8_t len, time_t now)
{
    int changed = 0;
    if (intf->cch_data == nullptr) {
        // A report whose cache could not be created counts as changed.
        if (zwif_cache_init(intf, val_sz, 0) != 0)
            return 1;
        changed = 1;
    }
    uint8_t *ent = zwif_cache_plain_entry(intf, val_sz);
    if (ent == nullptr)
        return 1;
    const zwif_cache_time_t t = now;
    std::memcpy(ent + at, &t, sizeof t);
    uint8_t *part = ent + at + ZWIF_CACHE_TIME_SZ;
    if (std::memcmp(part, val, len) != 0) {
        std::memcpy(part, val, len);
        changed = 1;
    }
    return changed;
}

time_t zwif_cache_single_get(zwif_p intf, uint8_t val_sz, size_t at, uint8_t *out, uint8_t len)
{
    const uint8_t *ent = intf ? zwif_cache_plain_entry(intf, val_sz) : nullptr;
    if (ent == nullptr)
        return 0;
    zwif_cache_time_t t;
    std::memcpy(&t, ent + at, sizeof t);
    std::memcpy(out, ent + at + ZWIF_CACHE_TIME_SZ, len);
    return static_cast<time_t>(t);
}

int zwif_rpt_store_single(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    return zwif_cache_single_put(intf, 1, 0, rec->val, 1, now);
}

time_t zwif_rpt_cached_single(zwif_p intf, uint8_t, const uint16_t *, zwif_rpt_rec_t *rec)
{
    rec->len = 1;
    return zwif_cache_single_get(intf, 1, 0, rec->val, 1);
}

void zwif_rpt_call_single(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    reinterpret_cast<zwrep_ts_fn>(cb)(intf, rec->val[0], ts);
}

namespace {

// Appends the UTF-8 bytes of a scalar value when they and the terminator fit.
bool utf8_put(uint32_t c, char *out, size_t room, size_t *used)
{
    const size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (*used + n + 1 > room)
        return false;
    auto *p = reinterpret_cast<uint8_t *>(out + *used);
    static constexpr uint8_t lead[] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
    for (size_t i = n - 1; i > 0; --i, c >>= 6)
        p[i] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    p[0] = static_cast<uint8_t>(lead[n] | c);
    *used += n;
    return true;
}

int utf16be_to_utf8(const uint8_t *text, size_t len, char *out, size_t room)
{
    auto unit = [text](size_t i) { return static_cast<uint16_t>(text[2 * i] << 8 | text[2 * i + 1]); };
    size_t cnt = 0;
    while (cnt < len / 2 && unit(cnt) != 0)
        ++cnt;
    // A byte left over belongs to no unit, unless the text ended before it.
    if (cnt == len / 2 && len % 2 != 0)
        return ZW_ERR_VALUE;
    // iconv refuses the whole text for one bad unit, so check all before
    // writing any.
    for (size_t i = 0; i < cnt; ++i) {
        const uint16_t u = unit(i);
        if (u >= 0xDC00 && u <= 0xDFFF)
            return ZW_ERR_VALUE;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= cnt || unit(i + 1) < 0xDC00 || unit(i + 1) > 0xDFFF)
                return ZW_ERR_VALUE;
            ++i;
        }
    }
    size_t used = 0;
    for (size_t i = 0; i < cnt; ++i) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00u);
            ++i;
        }
        if (!utf8_put(c, out, room, &used))
            break;
    }
    out[used] = '\0';
    return static_cast<int>(used);
}

}  // namespace

int zwif_txt_to_utf8(uint8_t charset, const uint8_t *text, size_t len, char *out, size_t room)
{
    if (out == nullptr || room == 0)
        return ZW_ERR_VALUE;
    out[0] = '\0';
    if (text == nullptr)
        len = 0;
    if (charset == 2)
        return utf16be_to_utf8(text, len, out, room);
    // A 0 byte ends the text, as a 0 unit does. Cutting to the room first
    // keeps out whole a sequence that the room would split.
    if (const void *nul = len != 0 ? std::memchr(text, 0, len) : nullptr)
        len = static_cast<size_t>(static_cast<const uint8_t *>(nul) - text);
    const size_t n = util_utf8_valid_len(text, std::min(len, room - 1));
    if (n != 0)
        std::memcpy(out, text, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

int zwif_rpt_parse(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    uint16_t cls;
    uint8_t c;
    if (cmd == nullptr || rec == nullptr || !zwif_cls_cmd_get(cmd, len, &cls, &c))
        return ZW_ERR_TOO_SMALL;
    const zwif_rpt_def_t *row = zwif_rpt_def_find(cls, c);
    if (row == nullptr)
        return ZW_ERR_RPT_NOT_FOUND;
    if (len < row->min_len)
        return ZW_ERR_TOO_SMALL;
    zwif_rpt_rec_t parsed;
    parsed.cls = cls;
    parsed.cmd = c;
    row->parse(cmd, len, &parsed);
    // Its own fields rule the frame out (a size, or a length beyond it).
    if (parsed.len == 0)
        return ZW_ERR_VALUE;
    *rec = parsed;
    return 0;
}

int zwif_cache_init(zwif_p intf, uint8_t size, int slot_list)
{
    if (intf == nullptr || size > UINT8_MAX - ZWIF_CACHE_TIME_SZ)
        return ZW_ERR_VALUE;
    const uint8_t ent_sz = ZWIF_CACHE_TIME_SZ + size;
    if (!slot_list) {
        void *ent = std::calloc(1, ent_sz);
        if (ent == nullptr)
            return ZW_ERR_MEMORY;
        intf->cch_kind = 0;
        intf->cch_ele_sz = ent_sz;
        intf->cch_ele_cnt = 1;
        intf->cch_data = ent;
        return 0;
    }
    auto *slot = static_cast<zwif_cch_slot_t *>(std::calloc(1, sizeof(zwif_cch_slot_t)));
    if (slot == nullptr)
        return ZW_ERR_MEMORY;
    slot->buf = std::calloc(1, ent_sz);
    if (slot->buf == nullptr) {
        std::free(slot);
        return ZW_ERR_MEMORY;
    }
    slot->len = ent_sz;
    intf->cch_kind = 1;
    intf->cch_ele_sz = sizeof(zwif_cch_slot_t);
    intf->cch_ele_cnt = 1;
    intf->cch_data = slot;
    return 0;
}

namespace {

template <class SameKey>
int cache_upsert(zwif_p intf, const uint8_t *rec, uint8_t rec_sz, SameKey same_key, time_t now)
{
    auto *ents = zwif_cache_plain_entry(intf, rec_sz);
    if (ents == nullptr)
        return 1;
    const size_t ent_sz = intf->cch_ele_sz;
    uint8_t *ent = nullptr;
    int changed = 0;
    for (uint8_t i = 0; i < intf->cch_ele_cnt && ent == nullptr; ++i)
        if (same_key(ents + i * ent_sz + ZWIF_CACHE_TIME_SZ))
            ent = ents + i * ent_sz;
    if (ent == nullptr) {
        // The count is a byte: a 256th key would wrap it and lose them all.
        if (intf->cch_ele_cnt >= cache_ele_max)
            return 1;
        void *grown = std::realloc(intf->cch_data, (intf->cch_ele_cnt + 1) * ent_sz);
        if (grown == nullptr)
            return 1;
        intf->cch_data = grown;
        ent = static_cast<uint8_t *>(grown) + intf->cch_ele_cnt * ent_sz;
        ++intf->cch_ele_cnt;
        changed = 1;
    } else {
        changed = std::memcmp(ent + ZWIF_CACHE_TIME_SZ, rec, rec_sz) != 0;
    }
    const zwif_cache_time_t t = now;
    std::memcpy(ent, &t, sizeof t);
    std::memcpy(ent + ZWIF_CACHE_TIME_SZ, rec, rec_sz);
    return changed;
}

}  // namespace

int zwif_cache_upsert(zwif_p intf, const uint8_t *rec, uint8_t rec_sz, uint8_t key_len, time_t now)
{
    if (intf == nullptr || rec == nullptr || key_len > rec_sz)
        return 1;
    return cache_upsert(
        intf, rec, rec_sz, [&](const uint8_t *cached) { return std::memcmp(cached, rec, key_len) == 0; }, now);
}

int zwif_cache_upsert_by(zwif_p intf, const uint8_t *rec, uint8_t rec_sz, zwif_cache_key_fn same_key, time_t now)
{
    if (intf == nullptr || rec == nullptr || same_key == nullptr)
        return 1;
    return cache_upsert(
        intf, rec, rec_sz, [&](const uint8_t *cached) { return same_key(cached, rec); }, now);
}

int zwif_data_set(zwif_p intf, uint8_t cnt, uint8_t item_sz, const void *bytes)
{
    if (intf == nullptr || (bytes == nullptr && cnt != 0 && item_sz != 0))
        return ZW_ERR_VALUE;
    const size_t old_sz = intf->data ? size_t(intf->data_cnt) * intf->data_item_sz : 0;
    const size_t new_sz = size_t(cnt) * item_sz;
    // A buffer is written again only when the new block fits into it.
    if (intf->data == nullptr || new_sz > old_sz) {
        void *buf = std::realloc(intf->data, new_sz ? new_sz : 1);
        if (buf == nullptr)
            return ZW_ERR_MEMORY;
        intf->data = buf;
    }
    if (new_sz != 0)
        std::memcpy(intf->data, bytes, new_sz);
    intf->data_cnt = cnt;
    intf->data_item_sz = item_sz;
    return 0;
}
