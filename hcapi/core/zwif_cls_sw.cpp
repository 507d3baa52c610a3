// The per-class calls of switches, sensors, meters and the barrier operator,
// as rows handed to the call shapes (zwif_shape.h); written out only where a
// class really differs.
#include "hcapi/core/zwif_rpt_sw.h"
#include "hcapi/core/zwif_shape.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_sw.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Gets: class, GET, report, operation code.
constexpr zwif_get_row_t level_get{0x26, 0x02, 0x03, 12};
constexpr zwif_get_row_t bsnsr_get{0x30, 0x02, 0x03, 1};
constexpr zwif_get_row_t snsr_get{0x31, 0x04, 0x05, 18};
constexpr zwif_get_row_t meter_get{0x32, 0x01, 0x02, 25};
constexpr zwif_get_row_t color_get{0x33, 0x03, 0x04, 102};
constexpr zwif_get_row_t pulse_get{0x35, 0x04, 0x05, 30};
constexpr zwif_get_row_t barrier_get{0x66, 0x02, 0x03, 98};
constexpr zwif_get_row_t barrier_sig_get{0x66, 0x07, 0x08, 100};
constexpr zwif_get_row_t salrm_get{0x9C, 0x01, 0x02, 95};

// Supported gets: class, GET, report, operation code, data kind, the real
// version a live GET needs, the device-record type that answers older ones.
constexpr zwif_sup_row_t level_sup{0x26, 0x06, 0x07, 16, ZWIF_KIND_LVL_SUP, 0, 0};
constexpr zwif_sup_row_t bsnsr_sup{0x30, 0x01, 0x04, 90, ZWIF_KIND_BSNSR_TYPES, 2, DEV_IF_BSENSOR};
constexpr zwif_sup_row_t snsr_sup{0x31, 0x01, 0x02, 74, ZWIF_KIND_SNSR_TYPES, 5, DEV_IF_SENSOR};
constexpr zwif_sup_row_t snsr_unit{0x31, 0x03, 0x06, 75, ZWIF_KIND_SNSR_UNITS, 5, DEV_IF_SENSOR};
constexpr zwif_sup_row_t meter_sup{0x32, 0x03, 0x04, 26, ZWIF_KIND_METER_SUP, 2, DEV_IF_METER};
constexpr zwif_sup_row_t color_sup{0x33, 0x01, 0x02, 106, ZWIF_KIND_COLOR_IDS, 0, 0};
constexpr zwif_sup_row_t meter_tbl{0x3D, 0x03, 0x02, 23, ZWIF_KIND_METER_TBL, 0, 0};
constexpr zwif_sup_row_t barrier_sup{0x66, 0x04, 0x05, 101, ZWIF_KIND_BARRIER_SUBSYS, 0, 0};
constexpr zwif_sup_row_t salrm_sup{0x9C, 0x03, 0x04, 96, ZWIF_KIND_SALRM_TYPES, 0, 0};

// Operation codes of the sets.
enum : uint16_t {
    op_level_set = 13,
    op_level_start = 14,
    op_level_stop = 15,
    op_meter_reset = 24,
    op_meter_admin_set = 27,
    op_barrier_set = 97,
    op_barrier_sig_set = 99,
    op_color_set = 103,
    op_color_start = 104,
    op_color_stop = 105,
};

constexpr uint8_t level_max = 99;
constexpr uint8_t level_last = 0xFF;
constexpr uint8_t color_id_max = 8;
constexpr uint8_t color_cnt_max = 9;
// The Meter Table administration number's length field has 5 bits.
constexpr size_t meter_admin_max = 0x1F;

template <class Fn>
int sup_get(const zwif_desc_t *intf, const zwif_sup_row_t &row, Fn cb, int cache_only, uint16_t key = 0,
            const uint8_t *param = nullptr, uint8_t param_len = 0)
{
    return zwif_shape_sup_get(intf, row, reinterpret_cast<zwif_rpt_fn>(cb), cache_only, key, param, param_len);
}

// Supervised set whose state is read back afterwards; when the read-back
// cannot be arranged, `echo` (if any) stands for the new state once the set
// is delivered. The echo is in place before the frame leaves, since the
// acknowledgement may come back before zwif_exec returns; a read-back that
// is armed takes it back. `tolerated` is a read-back failure that is no
// failure of the set.
struct supv_set_t {
    uint16_t cls;
    uint16_t op;
    uint8_t get_cmd;
    const char *who;
    int tolerated;
};

int set_supv_echo(const zwif_desc_t *intf, const supv_set_t &s, const uint8_t *frame, uint8_t len, uint8_t target,
                  const uint8_t *echo, uint16_t echo_len, zwif_set_result_fn cb, uint64_t user)
{
    if (const int rc = zwnode_cur_op_set(intf, s.op, 1); rc != 0)
        return rc;
    if (cb != nullptr && zwif_exec_supv(intf, frame, len, cb, user) == 0)
        return 0;
    const uint32_t seq = echo ? zwif_set_echo_store(intf, echo, echo_len) : 0;
    const int rc = echo ? zwif_exec(intf, frame, len, zwif_set_tx_cb, reinterpret_cast<void *>(uintptr_t{seq}), 0,
                                    nullptr)
                        : zwif_exec(intf, frame, len, zwif_tx_sts_cb, nullptr, 0, nullptr);
    if (rc < 0 && echo)
        zwif_set_echo_clear(intf->net, seq);
    if (rc != 0)
        return rc;
    const int prc = zwif_post_set_poll(intf, target, s.get_cmd, cb, user);
    if (prc == 0) {
        if (echo)
            zwif_set_echo_clear(intf->net, seq);
        return 0;
    }
    plt_msg_ts_show(&intf->net->plt, "%s post-set poll with error:%d", s.who, prc);
    return prc == s.tolerated ? 0 : ZW_ERR_POST_SET_POLL;
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

// Reads under the network mutex what the interface's supported information
// holds: -15 interface gone, else `read`'s result.
template <class Read>
int with_if(const zwif_desc_t *intf, uint16_t cls, Read read)
{
    if (const int rc = zwif_shape_check(intf, cls); rc != 0)
        return rc;
    zwnet_lock lk(intf->net);
    zwif_p i = zwif_rec_get(intf);
    if (i == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    return read(i);
}

}  // namespace

// ---------------------------------------------------------------------------
// Multilevel Switch (0x26)
// ---------------------------------------------------------------------------

int zwif_level_set(const zwif_desc_t *intf, uint8_t level, uint8_t dur, zwif_set_result_fn cb, uint64_t user)
{
    if (const int rc = zwif_shape_check(intf, 0x26); rc != 0)
        return rc;
    if (level > level_max && level != level_last)
        return ZW_ERR_VALUE;
    const uint8_t frame[4] = {0x26, 0x01, level, dur};
    const uint8_t echo[3] = {0x26, 0x03, level};
    // A device that is no multilevel switch cannot be read back: no fault of the set.
    const supv_set_t s{0x26, op_level_set, 0x02, "zwif_level_set", ZW_ERR_UNSUPPORTED};
    // The last level (0xFF) is the device's to tell.
    return set_supv_echo(intf, s, frame, intf->ver > 1 ? 4 : 3, level, level < level_last ? echo : nullptr,
                         sizeof echo, cb, user);
}

int zwif_level_start(const zwif_desc_t *intf, const zwlevel_t *lvl)
{
    if (const int rc = zwif_shape_check(intf, 0x26); rc != 0)
        return rc;
    if (lvl == nullptr)
        return ZW_ERR_VALUE;
    const uint8_t ignore = lvl->pri_ignore_lvl ? 1 : 0;
    const uint8_t start = ignore ? 0 : lvl->pri_level;
    if (start > level_max)
        return ZW_ERR_VALUE;
    auto dir_ok = [](uint8_t d) { return d == ZW_LVL_DIR_UP || d == ZW_LVL_DIR_DOWN || d == ZW_LVL_DIR_NONE; };
    uint8_t frame[6] = {0x26, 0x04, 0, start, lvl->dur, 0};
    uint8_t len;
    if (intf->ver >= 3) {
        if (!dir_ok(lvl->pri_dir) || !dir_ok(lvl->sec_dir) || (lvl->sec_step > level_max && lvl->sec_step != 0xFF))
            return ZW_ERR_VALUE;
        frame[2] = static_cast<uint8_t>(lvl->pri_dir << 6 | ignore << 5 | (lvl->sec_dir << 3 & 0x18));
        frame[5] = lvl->sec_dir == ZW_LVL_DIR_NONE ? 0 : lvl->sec_step;
        len = 6;
    } else {
        if (lvl->pri_dir != ZW_LVL_DIR_UP && lvl->pri_dir != ZW_LVL_DIR_DOWN)
            return ZW_ERR_VALUE;
        frame[2] = static_cast<uint8_t>(lvl->pri_dir << 6 | ignore << 5);
        len = intf->ver == 2 ? 5 : 4;
    }
    return zwif_shape_set(intf, 0x26, op_level_start, frame, len);
}

int zwif_level_stop(const zwif_desc_t *intf)
{
    const uint8_t frame[2] = {0x26, 0x05};
    return zwif_shape_set(intf, 0x26, op_level_stop, frame, sizeof frame);
}

int zwif_level_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return zwif_shape_rpt_set_row(intf, level_get, cb); }
int zwif_level_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags)
{
    return zwif_shape_get(intf, level_get, nullptr, 0, {}, poll, flags);
}
int zwif_level_get(const zwif_desc_t *intf, uint32_t flags) { return zwif_level_get_ex(intf, nullptr, flags); }
int zwif_level_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll) { return zwif_level_get_ex(intf, poll, 0); }

// Only a version 3 device knows its switch types; an older one is not asked
// and its cache not read.
int zwif_level_sup_get(const zwif_desc_t *intf, zwrep_lvl_sup_fn cb, int cache_only)
{
    if (const int rc = zwif_shape_check(intf, 0x26); rc != 0)
        return rc;
    if (zwif_real_ver_get(intf) < 3)
        return ZW_ERR_CLASS_VER;
    return sup_get(intf, level_sup, cb, cache_only);
}

int zwif_level_sup_cache_get(const zwif_desc_t *intf, uint8_t *pri_type, uint8_t *sec_type)
{
    if (pri_type == nullptr || sec_type == nullptr)
        return ZW_ERR_VALUE;
    return with_if(intf, 0x26, [&](zwif_p i) -> int {
        if (i->data_cnt != 0 && i->data != nullptr && size_t(i->data_cnt) * i->data_item_sz >= 2) {
            *pri_type = static_cast<const uint8_t *>(i->data)[0];
            *sec_type = static_cast<const uint8_t *>(i->data)[1];
            return 0;
        }
        return i->real_ver < 3 ? ZW_ERR_CLASS_VER : ZW_ERR_NO_CACHE_AVAIL;
    });
}

// ---------------------------------------------------------------------------
// Binary Sensor (0x30)
// ---------------------------------------------------------------------------

int zwif_bsensor_rpt_set(const zwif_desc_t *intf, zwrep_bsensor_fn cb) { return zwif_shape_rpt_set_row(intf, bsnsr_get, cb); }

// Version 1 has no types to ask for: the cache entry is the first one.
int zwif_bsensor_get_ex(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll, uint32_t flags)
{
    if (const int rc = zwif_shape_check(intf, 0x30); rc != 0)
        return rc;
    if (zwif_real_ver_get(intf) < 2 || type == 0) {
        zwif_rpt_keys_t keys{1, {type}};
        return zwif_shape_get(intf, bsnsr_get, nullptr, 0, keys, poll, flags);
    }
    zwif_rpt_keys_t keys{2, {type, type}};
    return zwif_shape_get(intf, bsnsr_get, &type, 1, keys, poll, flags);
}
int zwif_bsensor_get(const zwif_desc_t *intf, uint8_t type, uint32_t flags)
{
    return zwif_bsensor_get_ex(intf, type, nullptr, flags);
}
int zwif_bsensor_get_poll(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll)
{
    return zwif_bsensor_get_ex(intf, type, poll, 0);
}

int zwif_bsensor_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only)
{
    return sup_get(intf, bsnsr_sup, cb, cache_only);
}

int zwif_bsensor_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *types)
{
    if (cnt == nullptr || types == nullptr)
        return ZW_ERR_VALUE;
    if (const int rc = zwif_shape_check(intf, 0x30); rc != 0)
        return rc;
    if (zwif_real_ver_get(intf) >= 2)
        return zwif_cache_val_get(intf, 0x30, cnt, types, UINT8_MAX);
    zwnet_lock lk(intf->net);
    const dev_if_t *d = dev_if_find(intf, DEV_IF_BSENSOR);
    if (d == nullptr)
        return ZW_ERR_CLASS_VER;
    *cnt = 1;
    types[0] = d->bsnsr_type;
    return 0;
}

// ---------------------------------------------------------------------------
// Multilevel Sensor (0x31)
// ---------------------------------------------------------------------------

int zwif_sensor_rpt_set(const zwif_desc_t *intf, zwrep_sensor_fn cb) { return zwif_shape_rpt_set_row(intf, snsr_get, cb); }

// Before version 5 the Get names no type: the cache is read by type and
// scale all the same.
int zwif_sensor_get_ex(const zwif_desc_t *intf, uint8_t type, uint8_t unit, zwpoll_req_t *poll, uint32_t flags)
{
    if (const int rc = zwif_shape_check(intf, 0x31); rc != 0)
        return rc;
    if (zwif_real_ver_get(intf) < 5 || type == 0) {
        zwif_rpt_keys_t keys{2, {type, unit}};
        return zwif_shape_get(intf, snsr_get, nullptr, 0, keys, poll, flags);
    }
    if (unit > 3)
        return ZW_ERR_VALUE;
    const uint8_t param[2] = {type, static_cast<uint8_t>(unit << 3 & 0x18)};
    zwif_rpt_keys_t keys{4, {type, unit, type, unit}};
    return zwif_shape_get(intf, snsr_get, param, sizeof param, keys, poll, flags);
}
int zwif_sensor_get(const zwif_desc_t *intf, uint8_t type, uint8_t unit, uint32_t flags)
{
    return zwif_sensor_get_ex(intf, type, unit, nullptr, flags);
}
int zwif_sensor_get_poll(const zwif_desc_t *intf, uint8_t type, uint8_t unit, zwpoll_req_t *poll)
{
    return zwif_sensor_get_ex(intf, type, unit, poll, 0);
}

int zwif_sensor_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only)
{
    return sup_get(intf, snsr_sup, cb, cache_only);
}

int zwif_sensor_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *types)
{
    if (cnt == nullptr || types == nullptr)
        return ZW_ERR_VALUE;
    return with_if(intf, 0x31, [&](zwif_p i) -> int {
        if (i->real_ver < 5)
            if (const dev_if_t *d = dev_if_find(intf, DEV_IF_SENSOR)) {
                *cnt = 1;
                types[0] = d->snsr_type;
                return 0;
            }
        if (i->data_cnt == 0 || i->data == nullptr || i->data_item_sz != 2)
            return ZW_ERR_NO_CACHE_AVAIL;
        const auto *items = static_cast<const uint8_t *>(i->data);
        for (uint8_t k = 0; k < i->data_cnt; ++k)
            types[k] = items[2 * k];
        *cnt = i->data_cnt;
        return 0;
    });
}

// The cache answers only for a type whose scales are known.
int zwif_sensor_unit_get(const zwif_desc_t *intf, uint8_t type, zwrep_sensor_unit_fn cb, int cache_only)
{
    if (const int rc = zwif_shape_check(intf, 0x31); rc != 0)
        return rc;
    if (type == 0)
        return ZW_ERR_VALUE;
    const auto fn = reinterpret_cast<zwif_rpt_fn>(cb);
    const int reg = zwif_set_report(intf, fn, snsr_unit.rpt);
    const bool old = zwif_real_ver_get(intf) < snsr_unit.ver_min;
    if (old && zwif_dev_db_rpt_post(intf, fn, snsr_unit.kind, snsr_unit.rec_type, type) == 1)
        return ZW_ERR_CACHE_AVAIL;
    bool known = false;
    {
        zwnet_lock lk(intf->net);
        zwif_p i = zwif_rec_get(intf);
        if (i != nullptr && i->data_cnt != 0 && i->data != nullptr && i->data_item_sz == 2) {
            const auto *items = static_cast<const uint8_t *>(i->data);
            for (uint8_t k = 0; k < i->data_cnt && !known; ++k)
                known = items[2 * k] == type && items[2 * k + 1] != 0;
        }
    }
    if (known || cache_only) {
        zwif_cache_rpt_req(intf, fn, snsr_unit.kind, type, 1);
        return known ? ZW_ERR_CACHE_AVAIL : ZW_ERR_NO_CACHE_AVAIL;
    }
    if (old)
        return ZW_ERR_CLASS_VER;
    if (reg != 0)
        return reg;
    if (const int rc = zwnode_cur_op_set(intf, snsr_unit.op, 1); rc != 0)
        return rc;
    return zwif_get_report(intf, &type, 1, snsr_unit.get, zwif_tx_sts_cb, 0);
}

int zwif_sensor_unit_cache_get(const zwif_desc_t *intf, uint8_t type, uint8_t *cnt, uint8_t *units)
{
    if (cnt == nullptr || units == nullptr)
        return ZW_ERR_VALUE;
    return with_if(intf, 0x31, [&](zwif_p i) -> int {
        if (i->real_ver < 5)
            if (const dev_if_t *d = dev_if_find(intf, DEV_IF_SENSOR); d != nullptr && d->snsr_type == type) {
                *cnt = 1;
                units[0] = d->snsr_unit;
                return 0;
            }
        if (i->data_cnt == 0 || i->data == nullptr || i->data_item_sz != 2)
            return ZW_ERR_NO_CACHE_AVAIL;
        const auto *items = static_cast<const uint8_t *>(i->data);
        for (uint8_t k = 0; k < i->data_cnt; ++k) {
            if (items[2 * k] != type)
                continue;
            uint8_t n = 0;
            for (uint8_t s = 0; s < 4; ++s)
                if (items[2 * k + 1] & (1u << s))
                    units[n++] = s;
            if (n == 0)
                break;
            *cnt = n;
            return 0;
        }
        return ZW_ERR_NO_CACHE_AVAIL;
    });
}

// ---------------------------------------------------------------------------
// Meter (0x32)
// ---------------------------------------------------------------------------

int zwif_meter_rpt_set(const zwif_desc_t *intf, zwrep_meter_fn cb) { return zwif_shape_rpt_set_row(intf, meter_get, cb); }

// Version 1 asks for no scale; version 2 has two scale bits, version 3 three.
int zwif_meter_get_ex(const zwif_desc_t *intf, uint8_t unit, zwpoll_req_t *poll, uint32_t flags)
{
    if (const int rc = zwif_shape_check(intf, 0x32); rc != 0)
        return rc;
    const uint8_t real = zwif_real_ver_get(intf);
    if (real < 2) {
        zwif_rpt_keys_t keys{1, {unit}};
        return zwif_shape_get(intf, meter_get, nullptr, 0, keys, poll, flags);
    }
    const uint8_t param = static_cast<uint8_t>(unit << 3 & (real == 2 ? 0x18 : 0x38));
    zwif_rpt_keys_t keys{2, {unit, unit}};
    return zwif_shape_get(intf, meter_get, &param, 1, keys, poll, flags);
}
int zwif_meter_get(const zwif_desc_t *intf, uint8_t unit, uint32_t flags)
{
    return zwif_meter_get_ex(intf, unit, nullptr, flags);
}
int zwif_meter_get_poll(const zwif_desc_t *intf, uint8_t unit, zwpoll_req_t *poll)
{
    return zwif_meter_get_ex(intf, unit, poll, 0);
}

int zwif_meter_sup_get(const zwif_desc_t *intf, zwrep_meter_sup_fn cb, int cache_only)
{
    return sup_get(intf, meter_sup, cb, cache_only);
}

int zwif_meter_sup_cache_get(const zwif_desc_t *intf, zwmeter_cap_t *cap)
{
    if (cap == nullptr)
        return ZW_ERR_VALUE;
    return with_if(intf, 0x32, [&](zwif_p i) -> int {
        if (i->real_ver >= 2) {
            if (i->data_cnt == 0 || i->data == nullptr || size_t(i->data_cnt) * i->data_item_sz < sizeof *cap)
                return ZW_ERR_NO_CACHE_AVAIL;
            std::memcpy(cap, i->data, sizeof *cap);
            return 0;
        }
        const dev_if_t *d = dev_if_find(intf, DEV_IF_METER);
        if (d == nullptr)
            return ZW_ERR_CLASS_VER;
        *cap = zwmeter_cap_t{d->meter_type, 0, d->meter_units};
        return 0;
    });
}

int zwif_meter_reset(const zwif_desc_t *intf)
{
    if (const int rc = zwif_shape_check(intf, 0x32); rc != 0)
        return rc;
    if (zwif_real_ver_get(intf) < 2)
        return ZW_ERR_CLASS_VER;
    const uint8_t frame[2] = {0x32, 0x05};
    return zwif_shape_set(intf, 0x32, op_meter_reset, frame, sizeof frame);
}

// ---------------------------------------------------------------------------
// Pulse Meter (0x35), Meter Table (0x3C, 0x3D)
// ---------------------------------------------------------------------------

int zwif_pulsemeter_rpt_set(const zwif_desc_t *intf, zwrep_pulsemeter_fn cb) { return zwif_shape_rpt_set_row(intf, pulse_get, cb); }
int zwif_pulsemeter_get(const zwif_desc_t *intf)
{
    return zwif_shape_get(intf, pulse_get, nullptr, 0, {}, nullptr, ZWIF_GET_BMSK_LIVE);
}

int zwif_meter_admin_set(const zwif_desc_t *intf, const char *admin)
{
    if (const int rc = zwif_shape_check(intf, 0x3C); rc != 0)
        return rc;
    if (admin == nullptr)
        return ZW_ERR_VALUE;
    const size_t n = strnlen(admin, meter_admin_max);
    uint8_t frame[3 + meter_admin_max];
    frame[0] = 0x3C;
    frame[1] = 0x01;
    frame[2] = static_cast<uint8_t>(n);
    std::memcpy(frame + 3, admin, n);
    return zwif_shape_set(intf, 0x3C, op_meter_admin_set, frame, static_cast<uint16_t>(3 + n));
}

// The identifier report is asked for; its answer asks for the
// administration number, whose report completes the identity for `cb`.
int zwif_meter_admin_get(const zwif_desc_t *intf, zwrep_meter_tbl_fn cb, int cache_only)
{
    if (const int rc = zwif_shape_check(intf, 0x3D); rc != 0)
        return rc;
    zwif_set_report(intf, reinterpret_cast<zwif_rpt_fn>(cb), 0x04);
    return sup_get(intf, meter_tbl, cb, cache_only);
}

// ---------------------------------------------------------------------------
// Color Switch (0x33)
// ---------------------------------------------------------------------------

int zwif_col_sw_rpt_set(const zwif_desc_t *intf, zwrep_color_fn cb) { return zwif_shape_rpt_set_row(intf, color_get, cb); }
int zwif_col_sw_get_ex(const zwif_desc_t *intf, uint8_t id, zwpoll_req_t *poll, uint32_t flags)
{
    if (const int rc = zwif_shape_check(intf, 0x33); rc != 0)
        return rc;
    if (id > color_id_max)
        return ZW_ERR_VALUE;
    zwif_rpt_keys_t keys{1, {id}};
    return zwif_shape_get(intf, color_get, &id, 1, keys, poll, flags);
}
int zwif_col_sw_get(const zwif_desc_t *intf, uint8_t id, uint32_t flags)
{
    return zwif_col_sw_get_ex(intf, id, nullptr, flags);
}
int zwif_col_sw_get_poll(const zwif_desc_t *intf, uint8_t id, zwpoll_req_t *poll)
{
    return zwif_col_sw_get_ex(intf, id, poll, 0);
}
int zwif_col_sw_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only)
{
    return sup_get(intf, color_sup, cb, cache_only);
}
int zwif_col_sw_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *ids)
{
    return zwif_cache_val_get(intf, 0x33, cnt, ids, UINT8_MAX);
}

// A change that takes time (version 2 and a duration) is not echoed: the
// device reports where it ends up.
int zwif_col_sw_set(const zwif_desc_t *intf, uint8_t cnt, const uint8_t *ids, const uint8_t *values, uint8_t dur)
{
    if (const int rc = zwif_shape_check(intf, 0x33); rc != 0)
        return rc;
    if (cnt == 0 || cnt > color_cnt_max || ids == nullptr || values == nullptr)
        return ZW_ERR_VALUE;
    if (std::any_of(ids, ids + cnt, [](uint8_t id) { return id > color_id_max; }))
        return ZW_ERR_VALUE;
    uint8_t frame[3 + 2 * color_cnt_max + 1] = {0x33, 0x05, static_cast<uint8_t>(cnt & 0x1F)};
    uint8_t echo[2 + 2 * color_cnt_max] = {0x33, 0x04};
    for (uint8_t k = 0; k < cnt; ++k) {
        frame[3 + 2 * k] = echo[2 + 2 * k] = ids[k];
        frame[4 + 2 * k] = echo[3 + 2 * k] = values[k];
    }
    uint16_t len = static_cast<uint16_t>(3 + 2 * cnt);
    if (intf->ver >= 2)
        frame[len++] = dur;
    if (intf->ver > 1 && dur != 0)
        return zwif_shape_set(intf, 0x33, op_color_set, frame, len);
    return zwif_shape_set_echoed(intf, 0x33, op_color_set, frame, len, echo, static_cast<uint16_t>(2 + 2 * cnt));
}

int zwif_col_sw_lvl_chg_start(const zwif_desc_t *intf, const zwcol_lvl_t *chg)
{
    if (const int rc = zwif_shape_check(intf, 0x33); rc != 0)
        return rc;
    if (chg == nullptr || chg->id > color_id_max)
        return ZW_ERR_VALUE;
    const uint8_t flags = static_cast<uint8_t>((chg->dir & 1) << 6 | (chg->start_valid ? 0 : 0x20));
    const uint8_t frame[6] = {0x33, 0x06, flags, chg->id, chg->start, chg->dur};
    return zwif_shape_set(intf, 0x33, op_color_start, frame, intf->ver < 3 ? 5 : 6);
}

int zwif_col_sw_lvl_chg_stop(const zwif_desc_t *intf, uint8_t id)
{
    if (intf != nullptr && intf->cls == 0x33 && id > color_id_max)
        return ZW_ERR_VALUE;
    const uint8_t frame[3] = {0x33, 0x07, id};
    return zwif_shape_set(intf, 0x33, op_color_stop, frame, sizeof frame);
}

// ---------------------------------------------------------------------------
// Barrier Operator (0x66)
// ---------------------------------------------------------------------------

int zwif_barrier_set(const zwif_desc_t *intf, uint8_t target, zwif_set_result_fn cb, uint64_t user)
{
    if (const int rc = zwif_shape_check(intf, 0x66); rc != 0)
        return rc;
    if (target != 0x00 && target != 0xFF)
        return ZW_ERR_VALUE;
    const uint8_t frame[3] = {0x66, 0x01, target};
    const uint8_t echo[3] = {0x66, 0x03, target};
    const supv_set_t s{0x66, op_barrier_set, 0x02, "zwif_barrier_set", 0};
    return set_supv_echo(intf, s, frame, sizeof frame, target, echo, sizeof echo, cb, user);
}

int zwif_barrier_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb) { return zwif_shape_rpt_set_row(intf, barrier_get, cb); }
int zwif_barrier_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags)
{
    return zwif_shape_get(intf, barrier_get, nullptr, 0, {}, poll, flags);
}
int zwif_barrier_get(const zwif_desc_t *intf, uint32_t flags) { return zwif_barrier_get_ex(intf, nullptr, flags); }
int zwif_barrier_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll) { return zwif_barrier_get_ex(intf, poll, 0); }

int zwif_barrier_notif_set(const zwif_desc_t *intf, uint8_t subsystem, uint8_t state)
{
    if (const int rc = zwif_shape_check(intf, 0x66); rc != 0)
        return rc;
    if (subsystem == 0 || (state != 0x00 && state != 0xFF))
        return ZW_ERR_VALUE;
    const uint8_t frame[4] = {0x66, 0x06, subsystem, state};
    const uint8_t echo[4] = {0x66, 0x08, subsystem, state};
    return zwif_shape_set_echoed(intf, 0x66, op_barrier_sig_set, frame, sizeof frame, echo, sizeof echo);
}

int zwif_barrier_notif_rpt_set(const zwif_desc_t *intf, zwrep_barrier_notif_fn cb)
{
    return zwif_shape_rpt_set_row(intf, barrier_sig_get, cb);
}
int zwif_barrier_notif_get(const zwif_desc_t *intf, uint8_t subsystem, uint32_t flags)
{
    zwif_rpt_keys_t keys{1, {subsystem}};
    return zwif_shape_get(intf, barrier_sig_get, &subsystem, 1, keys, nullptr, flags);
}
int zwif_barrier_notif_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only)
{
    return sup_get(intf, barrier_sup, cb, cache_only);
}
int zwif_barrier_notif_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *subsystems)
{
    return zwif_cache_val_get(intf, 0x66, cnt, subsystems, UINT8_MAX);
}

// ---------------------------------------------------------------------------
// Sensor Alarm (0x9C)
// ---------------------------------------------------------------------------

int zwif_alrm_snsr_rpt_set(const zwif_desc_t *intf, zwrep_salrm_fn cb) { return zwif_shape_rpt_set_row(intf, salrm_get, cb); }
int zwif_alrm_snsr_get_ex(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll, uint32_t flags)
{
    zwif_rpt_keys_t keys{2, {type, type}};
    return zwif_shape_get(intf, salrm_get, &type, 1, keys, poll, flags);
}
int zwif_alrm_snsr_get(const zwif_desc_t *intf, uint8_t type, uint32_t flags)
{
    return zwif_alrm_snsr_get_ex(intf, type, nullptr, flags);
}
int zwif_alrm_snsr_get_poll(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll)
{
    return zwif_alrm_snsr_get_ex(intf, type, poll, 0);
}
int zwif_alrm_snsr_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only)
{
    return sup_get(intf, salrm_sup, cb, cache_only);
}
int zwif_alrm_snsr_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *types)
{
    return zwif_cache_val_get(intf, 0x9C, cnt, types, UINT8_MAX);
}
