#include "hcapi/core/zwif_rpt.h"

#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwrec.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

using cache_time_t = int64_t;
constexpr uint8_t cache_time_sz = sizeof(cache_time_t);
// Cache counts are bytes.
constexpr uint8_t cache_ele_max = 255;

// One report of one class.
struct rpt_row_t {
    uint16_t cls;
    uint8_t cmd;
    uint8_t min_len;  // whole frame, class and command included
    // Bytes -> record; the length was checked against min_len.
    void (*parse)(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec);
    // Record -> cache: 1 changed (or not cached), 0 a repeat.
    int (*store)(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts);
    // Cache -> record for cached-report delivery: the entry's time, or 0
    // when nothing is cached (the record then stays zeroed).
    time_t (*cached)(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec);
    // Record -> callback.
    void (*call)(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts);
};

// --- single-value reports ----------------------------------------------------

void parse_b2(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    rec->len = 1;
    rec->val[0] = cmd[2];  // the value follows class and command
}

uint8_t *plain_entry(zwif_p intf, uint8_t rec_sz)
{
    if (intf->cch_data == nullptr || intf->cch_kind != 0 || intf->cch_ele_cnt == 0 ||
        intf->cch_ele_sz != cache_time_sz + rec_sz)
        return nullptr;
    return static_cast<uint8_t *>(intf->cch_data);
}

int store_single(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    int changed = 0;
    if (intf->cch_data == nullptr) {
        // A report whose cache could not be created counts as changed.
        if (zwif_cache_init(intf, 1, 0) != 0)
            return 1;
        changed = 1;
    }
    uint8_t *ent = plain_entry(intf, 1);
    if (ent == nullptr)
        return 1;
    const cache_time_t t = now;
    std::memcpy(ent, &t, sizeof t);
    if (ent[cache_time_sz] != rec->val[0]) {
        ent[cache_time_sz] = rec->val[0];
        changed = 1;
    }
    return changed;
}

time_t cached_single(zwif_p intf, uint8_t, const uint16_t *, zwif_rpt_rec_t *rec)
{
    rec->len = 1;
    const uint8_t *ent = intf ? plain_entry(intf, 1) : nullptr;
    if (ent == nullptr)
        return 0;
    cache_time_t t;
    std::memcpy(&t, ent, sizeof t);
    rec->val[0] = ent[cache_time_sz];
    return static_cast<time_t>(t);
}

void call_single(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts)
{
    reinterpret_cast<zwrep_ts_fn>(cb)(intf, rec->val[0], ts);
}

// --- the table -------------------------------------------------------------------

// Sorted by class, then command: the next classes take their rows here.
constexpr std::array<rpt_row_t, 3> rpt_rows{{
    {0x20, 0x03, 3, parse_b2, store_single, cached_single, call_single},  // Basic Report
    {0x25, 0x03, 3, parse_b2, store_single, cached_single, call_single},  // Binary Switch Report
    {0x80, 0x03, 3, parse_b2, store_single, cached_single, call_single},            // Battery Report
}};

constexpr bool rows_sorted()
{
    for (size_t i = 1; i < rpt_rows.size(); ++i) {
        const uint32_t a = uint32_t(rpt_rows[i - 1].cls) << 8 | rpt_rows[i - 1].cmd;
        const uint32_t b = uint32_t(rpt_rows[i].cls) << 8 | rpt_rows[i].cmd;
        if (a >= b)
            return false;
    }
    return true;
}
static_assert(rows_sorted(), "report rows are sorted by class and command, each once");

constexpr bool rows_fit()
{
    for (const rpt_row_t &r : rpt_rows)
        if (r.min_len < 2 || r.parse == nullptr || r.store == nullptr || r.call == nullptr)
            return false;
    return true;
}
static_assert(rows_fit(), "every report row parses, stores and calls");

const rpt_row_t *row_find(uint16_t cls, uint8_t cmd)
{
    for (const rpt_row_t &r : rpt_rows)
        if (r.cls == cls && r.cmd == cmd)
            return &r;
    return nullptr;
}

// Classes whose frames go on without a registered callback: their device
// records and event clearing act on their own.
bool taken_without_cb(uint16_t cls, uint8_t cmd)
{
    if (cls == COMMAND_CLASS_BASIC && cmd == 0x01)
        return true;
    return cls == 0x9C || cls == 0x30 || cls == 0x71;
}

}  // namespace

int zwif_rpt_parse(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    uint16_t cls;
    uint8_t c;
    if (cmd == nullptr || rec == nullptr || !zwif_cls_cmd_get(cmd, len, &cls, &c))
        return ZW_ERR_TOO_SMALL;
    const rpt_row_t *row = row_find(cls, c);
    if (row == nullptr)
        return ZW_ERR_RPT_NOT_FOUND;
    if (len < row->min_len)
        return ZW_ERR_TOO_SMALL;
    *rec = zwif_rpt_rec_t{};
    rec->cls = cls;
    rec->cmd = c;
    row->parse(cmd, len, rec);
    return 0;
}

int zwif_cache_init(zwif_p intf, uint8_t size, int slot_list)
{
    if (intf == nullptr || size > UINT8_MAX - cache_time_sz)
        return ZW_ERR_VALUE;
    const uint8_t ent_sz = cache_time_sz + size;
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

int zwif_cache_upsert(zwif_p intf, const uint8_t *rec, uint8_t rec_sz, uint8_t key_len, time_t now)
{
    if (intf == nullptr || rec == nullptr || key_len > rec_sz)
        return 1;
    auto *ents = plain_entry(intf, rec_sz);
    if (ents == nullptr)
        return 1;
    const size_t ent_sz = intf->cch_ele_sz;
    uint8_t *ent = nullptr;
    int changed = 0;
    for (uint8_t i = 0; i < intf->cch_ele_cnt && ent == nullptr; ++i)
        if (std::memcmp(ents + i * ent_sz + cache_time_sz, rec, key_len) == 0)
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
        changed = std::memcmp(ent + cache_time_sz, rec, rec_sz) != 0;
    }
    const cache_time_t t = now;
    std::memcpy(ent, &t, sizeof t);
    std::memcpy(ent + cache_time_sz, rec, rec_sz);
    return changed;
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

int zwif_report_dispatch(zwif_p intf, const uint8_t *cmd, uint16_t len)
{
    uint16_t cls;
    uint8_t c;
    if (intf == nullptr || cmd == nullptr || !zwif_cls_cmd_get(cmd, len, &cls, &c))
        return 0;
    zwnode_p node = intf->ep->node;
    zwnet_p net = node->net;
    zwnet_lock lk(net);

    if (cls == COMMAND_CLASS_WAKE_UP && c == WAKE_UP_NOTIFICATION) {
        plt_msg_ts_show(&net->plt, "Wake up notification received");
        if (!zwnode_wkup_q_post(intf))
            zwnode_wkup_done(node);
        return 1;
    }

    zwif_rpt_fn usr_cb = nullptr, sm_cb = nullptr;
    for (uint8_t r = 0; r < intf->rpt_num && r < ZWIF_RPT_ROWS_MAX; ++r)
        if (intf->rpt[r].rpt_cmd == c) {
            usr_cb = intf->rpt[r].usr_rpt_cb;
            sm_cb = intf->rpt[r].sm_rpt_cb;
            break;
        }
    if (usr_cb == nullptr && sm_cb == nullptr && !taken_without_cb(cls, c))
        return 0;
    // A Basic Set is the receive path's to handle.
    if (cls == COMMAND_CLASS_BASIC && c == 0x01)
        return 0;
    if (cls < 0x20 || cls > 0x9F)
        return 1;

    zwif_rpt_rec_t rec;
    if (zwif_rpt_parse(cmd, len, &rec) != 0)
        return 1;
    const rpt_row_t *row = row_find(cls, c);
    time_t ts = 0;
    const int changed = row->store(intf, &rec, util_time_now(), &ts);

    const bool call_sm = sm_cb != nullptr && net->ep_intv_active;
    const bool call_usr = usr_cb != nullptr && changed;
    if (!call_sm && !call_usr)
        return 1;
    zwif_desc_t desc;
    zwif_desc_fill(&desc, intf);
    // The callbacks get copies; the interface record may be freed while
    // they run and is not touched after them.
    zwnet_app_call(net, [&] {
        if (call_sm) {
            zwif_desc_t d = desc;
            row->call(sm_cb, &d, &rec, ts);
        }
        if (call_usr) {
            zwif_desc_t d = desc;
            row->call(usr_cb, &d, &rec, ts);
        }
    });
    return 1;
}

void zwif_cached_rpt_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt, uint8_t cnt,
                             const uint16_t *keys)
{
    if (net == nullptr || intf == nullptr || cb == nullptr)
        return;
    const rpt_row_t *row = row_find(intf->cls, rpt);
    if (row == nullptr || row->cached == nullptr)
        return;
    zwif_rpt_rec_t rec;
    rec.cls = intf->cls;
    rec.cmd = rpt;
    time_t ts;
    {
        zwnet_lock lk(net);
        ts = row->cached(zwif_rec_get(intf), cnt, keys, &rec);
    }
    zwif_desc_t d = *intf;
    zwnet_app_call(net, [&] { row->call(cb, &d, &rec, ts); });
}
