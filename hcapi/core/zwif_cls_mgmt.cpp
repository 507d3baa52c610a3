// The per-class interface calls of Configuration, Powerlevel, Node Naming,
// Wake Up and Association Command Configuration, as rows handed to the call
// shapes (zwif_shape.h).
#include "hcapi/core/zwif_shape.h"
#include "hcapi/include/zwif_mgmt.h"
#include "hcapi/zip/zip_utf.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint16_t cls_config = 0x70, cls_power = 0x73, cls_naming = 0x77, cls_wakeup = 0x84, cls_cmd_cfg = 0x9B;

constexpr zwif_get_row_t config_get{cls_config, 0x05, 0x06, 2};
constexpr zwif_get_row_t power_get{cls_power, 0x02, 0x03, 85};
constexpr zwif_get_row_t power_test_get{cls_power, 0x05, 0x06, 86};
constexpr zwif_get_row_t wakeup_get{cls_wakeup, 0x05, 0x06, 21};
constexpr zwif_get_row_t cmd_rec_sup_get{cls_cmd_cfg, 0x01, 0x02, 8};
constexpr zwif_get_row_t cmd_cfg_get{cls_cmd_cfg, 0x04, 0x05, 6};

// Set operation codes.
enum : uint16_t {
    op_config_set = 3,
    op_nameloc = 17,
    op_wakeup_set = 22,
    op_power_set = 87,
    op_power_test_set = 88,
    op_cmd_cfg_set = 7,
};

constexpr uint8_t wakeup_cap_rpt = 0x0A;
constexpr uint32_t wakeup_intv_max = 0xFFFFFF;  // 24 bits on the wire
constexpr uint8_t power_lvl_max = 9;
constexpr size_t nameloc_snd_max = 16;

template <class Fn>
zwif_rpt_fn rpt_fn(Fn cb)
{
    return reinterpret_cast<zwif_rpt_fn>(cb);
}

// A live GET with its parameters.
int get_live(const zwif_desc_t *intf, const zwif_get_row_t &row, const uint8_t *param = nullptr,
             uint8_t param_len = 0)
{
    return zwif_shape_get(intf, row, param, param_len, {}, nullptr, ZWIF_GET_BMSK_LIVE);
}

// Registers `cb` for the row's report, then the live GET.
template <class Fn>
int get_cb(const zwif_desc_t *intf, const zwif_get_row_t &row, Fn cb, const uint8_t *param = nullptr,
           uint8_t param_len = 0)
{
    return zwif_shape_get_cb(intf, row, rpt_fn(cb), param, param_len, {}, ZWIF_GET_BMSK_LIVE);
}

bool of_class(const zwif_desc_t *intf, uint16_t cls) { return intf != nullptr && intf->cls == cls; }

// A name or location as the device gets it: at most 16 bytes, cut back to
// whole UTF-8 characters, after command and character presentation 0.
int nameloc_frame_snd(const zwif_desc_t *intf, uint8_t cmd, const char *text, uint8_t op_cnt)
{
    const size_t len = util_utf8_valid_len(reinterpret_cast<const uint8_t *>(text),
                                           strnlen(text, nameloc_snd_max));
    uint8_t frame[3 + nameloc_snd_max] = {cls_naming, cmd, 0x00};
    std::memcpy(frame + 3, text, len);
    if (const int rc = zwnode_cur_op_set(intf, op_nameloc, op_cnt); rc != 0)
        return rc;
    return zwif_exec(intf, frame, static_cast<uint16_t>(3 + len), zwif_tx_sts_cb, nullptr, 0, nullptr);
}

}  // namespace

// --- Configuration -------------------------------------------------------------

int zwif_config_set(const zwif_desc_t *intf, const zwif_config_t *param)
{
    if (intf == nullptr || param == nullptr)
        return ZW_ERR_VALUE;
    if (intf->cls != cls_config)
        return ZW_ERR_CLASS_NOT_FOUND;
    if (param->size != 1 && param->size != 2 && param->size != 4)
        return ZW_ERR_VALUE;
    uint8_t frame[8] = {cls_config, 0x04, param->param_num,
                        static_cast<uint8_t>(param->size | (param->use_default ? 0x80 : 0))};
    std::memcpy(frame + 4, param->data, param->size);
    return zwif_shape_set(intf, cls_config, op_config_set, frame, static_cast<uint16_t>(4 + param->size));
}

int zwif_config_get(const zwif_desc_t *intf, uint8_t param_num) { return get_live(intf, config_get, &param_num, 1); }

int zwif_config_rpt_set(const zwif_desc_t *intf, zwrep_config_fn cb)
{
    return zwif_shape_rpt_set(intf, cls_config, rpt_fn(cb), config_get.rpt);
}

// --- Powerlevel ----------------------------------------------------------------

int zwif_power_lvl_set(const zwif_desc_t *intf, uint8_t level, uint8_t timeout)
{
    if (of_class(intf, cls_power) && (level > power_lvl_max || timeout == 0))
        return ZW_ERR_VALUE;
    const uint8_t frame[4] = {cls_power, 0x01, level, timeout};
    return zwif_shape_set(intf, cls_power, op_power_set, frame, sizeof frame);
}

int zwif_power_lvl_get(const zwif_desc_t *intf) { return get_live(intf, power_get); }

int zwif_power_lvl_rpt_set(const zwif_desc_t *intf, zwrep_power_level_fn cb)
{
    return zwif_shape_rpt_set(intf, cls_power, rpt_fn(cb), power_get.rpt);
}

int zwif_power_lvl_test_set(const zwif_desc_t *intf, uint8_t node_id, uint8_t level, uint16_t frame_cnt)
{
    if (of_class(intf, cls_power) && (node_id == 0 || level > power_lvl_max || frame_cnt == 0))
        return ZW_ERR_VALUE;
    const uint8_t frame[6] = {cls_power, 0x04, node_id, level, static_cast<uint8_t>(frame_cnt >> 8),
                              static_cast<uint8_t>(frame_cnt)};
    return zwif_shape_set(intf, cls_power, op_power_test_set, frame, sizeof frame);
}

int zwif_power_lvl_test_get(const zwif_desc_t *intf) { return get_live(intf, power_test_get); }

int zwif_power_lvl_test_rpt_set(const zwif_desc_t *intf, zwrep_power_level_test_fn cb)
{
    return zwif_shape_rpt_set(intf, cls_power, rpt_fn(cb), power_test_get.rpt);
}

// --- Node Naming and Location --------------------------------------------------

int zwif_nameloc_snd(const zwif_desc_t *intf, const zwep_nameloc_t *nameloc)
{
    if (intf == nullptr || nameloc == nullptr)
        return ZW_ERR_VALUE;
    if (intf->cls != cls_naming)
        return ZW_ERR_CLASS_NOT_FOUND;
    // The two frames are one operation: the second counts as its follow-up.
    const int rc = nameloc_frame_snd(intf, 0x01, nameloc->name, 1);
    if (rc < 0)
        return rc;
    return nameloc_frame_snd(intf, 0x04, nameloc->loc, 2);
}

// --- Wake Up -------------------------------------------------------------------

int zwif_wakeup_set(const zwif_desc_t *intf, uint32_t interval, uint8_t node_id)
{
    if (of_class(intf, cls_wakeup) && interval > wakeup_intv_max)
        return ZW_ERR_VALUE;
    const uint8_t frame[6] = {cls_wakeup,
                              0x04,
                              static_cast<uint8_t>(interval >> 16),
                              static_cast<uint8_t>(interval >> 8),
                              static_cast<uint8_t>(interval),
                              node_id != 0 ? node_id : uint8_t{0xFF}};
    return zwif_shape_set(intf, cls_wakeup, op_wakeup_set, frame, sizeof frame);
}

int zwif_wakeup_get(const zwif_desc_t *intf, zwrep_wakeup_fn cb)
{
    // From version 2 the interval report waits for the capabilities, which
    // then carry the whole record.
    if (of_class(intf, cls_wakeup) && intf->ver >= 2) {
        if (const int rc = zwif_set_report(intf, rpt_fn(cb), wakeup_cap_rpt); rc != 0)
            return rc;
    }
    return get_cb(intf, wakeup_get, cb);
}

// --- Association Command Configuration -------------------------------------------

int zwif_group_cmd_sup_get(const zwif_desc_t *intf, zwrep_group_cmd_sup_fn cb)
{
    return get_cb(intf, cmd_rec_sup_get, cb);
}

int zwif_group_cmd_set(const zwif_desc_t *intf, uint8_t grp, uint8_t node_id, const uint8_t *cmd, uint8_t len)
{
    if (intf == nullptr)
        return ZW_ERR_VALUE;
    if (intf->cls != cls_cmd_cfg)
        return ZW_ERR_CLASS_NOT_FOUND;
    // The frame has room for ZWIF_GROUP_CMD_MAX command bytes.
    if (grp == 0 || node_id == 0 || len > ZWIF_GROUP_CMD_MAX || (cmd == nullptr && len != 0))
        return ZW_ERR_VALUE;
    uint8_t frame[5 + ZWIF_GROUP_CMD_MAX] = {cls_cmd_cfg, 0x03, grp, node_id, len};
    if (len != 0)
        std::memcpy(frame + 5, cmd, len);
    return zwif_shape_set(intf, cls_cmd_cfg, op_cmd_cfg_set, frame, static_cast<uint16_t>(5 + len));
}

int zwif_group_cmd_get(const zwif_desc_t *intf, uint8_t grp, uint8_t node_id, zwrep_group_cmd_fn cb)
{
    if (of_class(intf, cls_cmd_cfg) && (grp == 0 || node_id == 0))
        return ZW_ERR_VALUE;
    const uint8_t param[2] = {grp, node_id};
    return get_cb(intf, cmd_cfg_get, cb, param, sizeof param);
}
