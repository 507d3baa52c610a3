// The per-class interface calls of the lock, scene and user-interaction
// classes (Application Status, Central Scene, Door Lock, User Code,
// Protection, Clock, Indicator), as rows handed to the call shapes
// (zwif_shape.h). What is written by hand is the argument checks and the
// frames they guard.
#include "hcapi/core/zwif_shape.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/include/zwif_ctl.h"

#include <cstring>
#include <type_traits>
#include <vector>

static_assert(std::is_same_v<zwif_set_result_fn, zwfac_result_fn>, "a set's result is the facilities' result");

namespace {

// Gets and the reports that answer them.
constexpr zwif_get_row_t csc_cfg_get{0x5B, 0x05, 0x06, 109};
constexpr zwif_get_row_t dlck_op_get{0x62, 0x02, 0x03, 34};
constexpr zwif_get_row_t dlck_cfg_get{0x62, 0x05, 0x06, 36};
constexpr zwif_get_row_t usrcod_get{0x63, 0x02, 0x03, 38};
constexpr zwif_get_row_t prot_get{0x75, 0x02, 0x03, 65};
constexpr zwif_get_row_t prot_ec_get{0x75, 0x07, 0x08, 68};
constexpr zwif_get_row_t prot_tmout_get{0x75, 0x0A, 0x0B, 70};
constexpr zwif_get_row_t clock_get{0x81, 0x05, 0x06, 57};
constexpr zwif_get_row_t ind_get{0x87, 0x02, 0x03, 72};

// Supported gets: {class, get, report, operation, data kind, version, device record}.
constexpr zwif_sup_row_t csc_sup{0x5B, 0x01, 0x02, 94, 16, 0, 0};
constexpr zwif_sup_row_t usrcod_sup{0x63, 0x04, 0x05, 39, 9, 0, 0};
constexpr zwif_sup_row_t prot_sup{0x75, 0x04, 0x05, 67, 8, 2, 0};

// Report commands registered by the setters that have no get of their own.
constexpr uint8_t appl_busy_rpt = 0x01, appl_reject_rpt = 0x02, csc_rpt = 0x03;

// Operation codes of the sets.
enum : uint16_t {
    op_dlck_op_set = 33,
    op_dlck_cfg_set = 35,
    op_usrcod_set = 37,
    op_clock_set = 58,
    op_prot_set = 66,
    op_prot_ec_set = 69,
    op_prot_tmout_set = 71,
    op_ind_set = 73,
    op_csc_cfg_set = 108,
};

// Versions the calls need (the descriptor's version).
constexpr uint8_t csc_cfg_ver = 3;
constexpr uint8_t prot_v2 = 2;

constexpr uint8_t node_id_max = 232;

// The class comes first: a call on another class says so whatever its
// arguments are.
int of_class(const zwif_desc_t *intf, uint16_t cls)
{
    if (intf == nullptr)
        return ZW_ERR_VALUE;
    return intf->cls == cls ? 0 : ZW_ERR_CLASS_NOT_FOUND;
}

// The class, then the version (`ver_err` when below `ver`).
int of_class_ver(const zwif_desc_t *intf, uint16_t cls, uint8_t ver, int ver_err)
{
    if (const int rc = of_class(intf, cls); rc != 0)
        return rc;
    return intf->ver >= ver ? 0 : ver_err;
}

template <class F>
int rpt_set(const zwif_desc_t *intf, uint16_t cls, uint8_t rpt, F cb)
{
    return zwif_shape_rpt_set(intf, cls, reinterpret_cast<zwif_rpt_fn>(cb), rpt);
}

// A get without flags: the poll request when given, else the live GET.
int get_live(const zwif_desc_t *intf, const zwif_get_row_t &row, zwpoll_req_t *poll = nullptr)
{
    return zwif_shape_get(intf, row, nullptr, 0, {}, poll, ZWIF_GET_BMSK_LIVE);
}
// The poll form alone: without a request it does nothing.
int get_poll(const zwif_desc_t *intf, const zwif_get_row_t &row, zwpoll_req_t *poll)
{
    return zwif_shape_get(intf, row, nullptr, 0, {}, poll, 0);
}

template <class F>
int sup_get(const zwif_desc_t *intf, const zwif_sup_row_t &row, F cb, int cache_only)
{
    return zwif_shape_sup_get(intf, row, reinterpret_cast<zwif_rpt_fn>(cb), cache_only, 0, nullptr, 0);
}

template <size_t N>
int set(const zwif_desc_t *intf, uint16_t op, const uint8_t (&frame)[N], size_t len = N)
{
    return zwif_shape_set(intf, frame[0], op, frame, static_cast<uint16_t>(len));
}

// The supported block of an interface, copied under the network mutex:
// 0, -15 interface gone, -60 nothing cached.
int data_copy(const zwif_desc_t *intf, std::vector<uint8_t> *out)
{
    if (intf->net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(intf->net);
    zwif_p i = zwif_rec_get(intf);
    if (i == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    if (i->data == nullptr || i->data_cnt == 0)
        return ZW_ERR_NO_CACHE_AVAIL;
    const auto *b = static_cast<const uint8_t *>(i->data);
    out->assign(b, b + size_t(i->data_cnt) * i->data_item_sz);
    return 0;
}

bool digits(const uint8_t *code, uint8_t len)
{
    for (uint8_t k = 0; k < len; ++k)
        if (code[k] < '0' || code[k] > '9')
            return false;
    return true;
}

}  // namespace

// --- Application Status ------------------------------------------------------------------

int zwif_appl_busy_rpt_set(const zwif_desc_t *intf, zwrep_appl_busy_fn cb)
{
    return rpt_set(intf, 0x22, appl_busy_rpt, cb);
}
int zwif_appl_reject_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb)
{
    return rpt_set(intf, 0x22, appl_reject_rpt, cb);
}

// --- Central Scene -----------------------------------------------------------------------

int zwif_csc_rpt_set(const zwif_desc_t *intf, zwrep_csc_fn cb) { return rpt_set(intf, 0x5B, csc_rpt, cb); }
int zwif_csc_sup_get(const zwif_desc_t *intf, zwrep_csc_sup_fn cb, int cache_only)
{
    return sup_get(intf, csc_sup, cb, cache_only);
}
int zwif_csc_cfg_set(const zwif_desc_t *intf, uint8_t slow_rfsh)
{
    if (const int rc = of_class_ver(intf, 0x5B, csc_cfg_ver, ZW_ERR_VERSION); rc != 0)
        return rc;
    const uint8_t frame[] = {0x5B, 0x04, static_cast<uint8_t>(slow_rfsh ? 0x80 : 0x00)};
    return set(intf, op_csc_cfg_set, frame);
}
int zwif_csc_cfg_get(const zwif_desc_t *intf)
{
    if (const int rc = of_class_ver(intf, 0x5B, csc_cfg_ver, ZW_ERR_VERSION); rc != 0)
        return rc;
    return get_live(intf, csc_cfg_get);
}
int zwif_csc_cfg_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb)
{
    if (const int rc = of_class_ver(intf, 0x5B, csc_cfg_ver, ZW_ERR_VERSION); rc != 0)
        return rc;
    return rpt_set(intf, 0x5B, csc_cfg_get.rpt, cb);
}

// --- Door Lock ---------------------------------------------------------------------------

int zwif_dlck_op_set(const zwif_desc_t *intf, uint8_t mode, zwif_set_result_fn cb, uint64_t user)
{
    if (const int rc = of_class(intf, 0x62); rc != 0)
        return rc;
    switch (mode) {
    case 0x00: case 0x01: case 0x10: case 0x11: case 0x20: case 0x21: case 0xFF: break;
    default: return ZW_ERR_VALUE;
    }
    const uint8_t frame[] = {0x62, 0x01, mode};
    return zwif_shape_set_supv(intf, 0x62, op_dlck_op_set, frame, sizeof frame, mode, dlck_op_get.get, cb, user,
                               "zwif_dlck_op_set");
}
int zwif_dlck_op_rpt_set(const zwif_desc_t *intf, zwrep_dlck_op_fn cb)
{
    return rpt_set(intf, 0x62, dlck_op_get.rpt, cb);
}
int zwif_dlck_op_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags)
{
    return zwif_shape_get(intf, dlck_op_get, nullptr, 0, {}, poll, flags);
}
int zwif_dlck_op_get(const zwif_desc_t *intf, uint32_t flags) { return zwif_dlck_op_get_ex(intf, nullptr, flags); }
int zwif_dlck_op_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll) { return zwif_dlck_op_get_ex(intf, poll, 0); }

int zwif_dlck_cfg_set(const zwif_desc_t *intf, const zwdlck_cfg_t *cfg)
{
    if (const int rc = of_class(intf, 0x62); rc != 0)
        return rc;
    if (cfg == nullptr)
        return ZW_ERR_VALUE;
    // A constant lock has no time-out: the device expects 0xFE for "not used".
    uint8_t min = 0xFE, sec = 0xFE;
    if (cfg->type == 2) {
        if (cfg->tmout_min < 1 || cfg->tmout_min > 254 || cfg->tmout_sec < 1 || cfg->tmout_sec > 59)
            return ZW_ERR_VALUE;
        min = cfg->tmout_min;
        sec = cfg->tmout_sec;
    } else if (cfg->type != 1) {
        return ZW_ERR_VALUE;
    }
    const uint8_t frame[] = {0x62, 0x04, cfg->type,
                             static_cast<uint8_t>(cfg->out_handles << 4 | (cfg->in_handles & 0x0F)), min, sec};
    return set(intf, op_dlck_cfg_set, frame);
}
int zwif_dlck_cfg_get(const zwif_desc_t *intf, zwrep_dlck_cfg_fn cb, uint32_t flags)
{
    return zwif_shape_get_cb(intf, dlck_cfg_get, reinterpret_cast<zwif_rpt_fn>(cb), nullptr, 0, {}, flags);
}

// --- User Code ---------------------------------------------------------------------------

int zwif_usrcod_set(const zwif_desc_t *intf, const zwusrcod_t *code)
{
    if (const int rc = of_class(intf, 0x63); rc != 0)
        return rc;
    if (code == nullptr)
        return ZW_ERR_VALUE;
    if (code->id_sts != 0x00 && code->id_sts != 0x01 && code->id_sts != 0x02 && code->id_sts != 0xFE)
        return ZW_ERR_VALUE;
    if (code->code_len < 4 || code->code_len > ZW_USRCOD_MAX || !digits(code->code, code->code_len))
        return ZW_ERR_VALUE;
    uint8_t frame[4 + ZW_USRCOD_MAX] = {0x63, 0x01, code->id, code->id_sts};
    std::memcpy(frame + 4, code->code, code->code_len);
    return set(intf, op_usrcod_set, frame, 4u + code->code_len);
}
int zwif_usrcod_get(const zwif_desc_t *intf, uint8_t user_id, zwrep_usr_cod_fn cb)
{
    if (const int rc = of_class(intf, 0x63); rc != 0)
        return rc;
    if (user_id == 0)
        return ZW_ERR_VALUE;
    return zwif_shape_get_cb(intf, usrcod_get, reinterpret_cast<zwif_rpt_fn>(cb), &user_id, 1, {},
                             ZWIF_GET_BMSK_LIVE);
}
int zwif_usrcod_sup_get(const zwif_desc_t *intf, zwrep_usr_sup_fn cb, int cache_only)
{
    return sup_get(intf, usrcod_sup, cb, cache_only);
}
int zwif_usrcod_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt)
{
    if (const int rc = of_class(intf, 0x63); rc != 0)
        return rc;
    if (cnt == nullptr)
        return ZW_ERR_VALUE;
    std::vector<uint8_t> b;
    if (const int rc = data_copy(intf, &b); rc != 0)
        return rc;
    *cnt = b[0];
    return 0;
}

// --- Protection --------------------------------------------------------------------------

int zwif_prot_rpt_set(const zwif_desc_t *intf, zwrep_prot_fn cb) { return rpt_set(intf, 0x75, prot_get.rpt, cb); }
int zwif_prot_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll) { return get_live(intf, prot_get, poll); }
int zwif_prot_get(const zwif_desc_t *intf) { return get_live(intf, prot_get); }
int zwif_prot_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll) { return get_poll(intf, prot_get, poll); }
int zwif_prot_set(const zwif_desc_t *intf, uint8_t local, uint8_t rf)
{
    if (const int rc = of_class(intf, 0x75); rc != 0)
        return rc;
    const bool v2 = intf->ver >= prot_v2;
    if (local >= 3 || (v2 && rf > 2))
        return ZW_ERR_VALUE;
    // Version 1 knows no RF protection: its Set ends after the local state.
    const uint8_t frame[] = {0x75, 0x01, local, rf};
    return set(intf, op_prot_set, frame, v2 ? 4 : 3);
}
int zwif_prot_sup_get(const zwif_desc_t *intf, zwrep_prot_sup_fn cb, int cache_only)
{
    return sup_get(intf, prot_sup, cb, cache_only);
}
int zwif_prot_sup_cache_get(const zwif_desc_t *intf, zwprot_sup_t *sup)
{
    if (const int rc = of_class(intf, 0x75); rc != 0)
        return rc;
    if (sup == nullptr)
        return ZW_ERR_VALUE;
    if (zwif_real_ver_get(intf) < prot_sup.ver_min)
        return ZW_ERR_CLASS_VER;
    std::vector<uint8_t> b;
    if (const int rc = data_copy(intf, &b); rc != 0)
        return rc;
    if (b.size() != sizeof *sup)
        return ZW_ERR_NO_CACHE_AVAIL;
    std::memcpy(sup, b.data(), sizeof *sup);
    return 0;
}
int zwif_prot_ec_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb)
{
    if (const int rc = of_class_ver(intf, 0x75, prot_v2, ZW_ERR_CLASS_VER); rc != 0)
        return rc;
    return rpt_set(intf, 0x75, prot_ec_get.rpt, cb);
}
int zwif_prot_ec_get(const zwif_desc_t *intf)
{
    if (const int rc = of_class_ver(intf, 0x75, prot_v2, ZW_ERR_CLASS_VER); rc != 0)
        return rc;
    return get_live(intf, prot_ec_get);
}
int zwif_prot_ec_set(const zwif_desc_t *intf, uint8_t node_id)
{
    if (const int rc = of_class_ver(intf, 0x75, prot_v2, ZW_ERR_CLASS_VER); rc != 0)
        return rc;
    if (node_id > node_id_max)
        return ZW_ERR_VALUE;
    const uint8_t frame[] = {0x75, 0x06, node_id};
    return set(intf, op_prot_ec_set, frame);
}
int zwif_prot_tmout_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb)
{
    if (const int rc = of_class_ver(intf, 0x75, prot_v2, ZW_ERR_CLASS_VER); rc != 0)
        return rc;
    return rpt_set(intf, 0x75, prot_tmout_get.rpt, cb);
}
int zwif_prot_tmout_get(const zwif_desc_t *intf)
{
    if (const int rc = of_class_ver(intf, 0x75, prot_v2, ZW_ERR_CLASS_VER); rc != 0)
        return rc;
    return get_live(intf, prot_tmout_get);
}
int zwif_prot_tmout_set(const zwif_desc_t *intf, uint8_t tmout)
{
    if (const int rc = of_class_ver(intf, 0x75, prot_v2, ZW_ERR_CLASS_VER); rc != 0)
        return rc;
    // 61..64 are the gap between 60 seconds and 2 minutes.
    if (tmout == 0 || (tmout >= 61 && tmout <= 64))
        return ZW_ERR_VALUE;
    const uint8_t frame[] = {0x75, 0x09, tmout};
    return set(intf, op_prot_tmout_set, frame);
}

// --- Clock -------------------------------------------------------------------------------

int zwif_clock_rpt_set(const zwif_desc_t *intf, zwrep_clock_fn cb) { return rpt_set(intf, 0x81, clock_get.rpt, cb); }
int zwif_clock_get(const zwif_desc_t *intf) { return get_live(intf, clock_get); }
int zwif_clock_set(const zwif_desc_t *intf, uint8_t weekday, uint8_t hour, uint8_t minute)
{
    if (const int rc = of_class(intf, 0x81); rc != 0)
        return rc;
    if (weekday >= 8 || hour >= 24 || minute >= 60)
        return ZW_ERR_VALUE;
    const uint8_t frame[] = {0x81, 0x04, static_cast<uint8_t>(weekday << 5 | hour), minute};
    return set(intf, op_clock_set, frame);
}

// --- Indicator ---------------------------------------------------------------------------

int zwif_ind_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb) { return rpt_set(intf, 0x87, ind_get.rpt, cb); }
int zwif_ind_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll) { return get_live(intf, ind_get, poll); }
int zwif_ind_get(const zwif_desc_t *intf) { return get_live(intf, ind_get); }
int zwif_ind_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll) { return get_poll(intf, ind_get, poll); }
int zwif_ind_set(const zwif_desc_t *intf, uint8_t value)
{
    if (const int rc = of_class(intf, 0x87); rc != 0)
        return rc;
    if (value > 99 && value != 0xFF)
        return ZW_ERR_VALUE;
    const uint8_t frame[] = {0x87, 0x01, value};
    return set(intf, op_ind_set, frame);
}
