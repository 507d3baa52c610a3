#include "hcapi/core/zwif_shape.h"

#include "hcapi/core/zwrec.h"
#include "hcapi/core/zwsend.h"

namespace {

int get_flags(const zwif_desc_t *intf, const zwif_get_row_t &row, const uint8_t *param, uint8_t param_len,
              const zwif_rpt_keys_t &keys, uint32_t flags)
{
    if (flags & ZWIF_GET_BMSK_CACHE) {
        const int rc = zwif_cached_rpt_post(intf, row.rpt, keys.cnt, keys.val);
        if (rc != 0)
            return rc;
    }
    if (flags & ZWIF_GET_BMSK_LIVE) {
        int rc = zwnode_cur_op_set(intf, row.op, 1);
        if (rc != 0)
            return rc;
        rc = zwif_get_report(intf, param, param_len, row.get, zwif_tx_sts_cb, 0);
        if (rc != 0)
            return rc;
    }
    return 0;
}

}  // namespace

int zwif_shape_rpt_set(const zwif_desc_t *intf, uint16_t cls, zwif_rpt_fn cb, uint8_t rpt)
{
    if (const int rc = zwif_shape_check(intf, cls); rc != 0)
        return rc;
    return zwif_set_report(intf, cb, rpt);
}

int zwif_shape_get(const zwif_desc_t *intf, const zwif_get_row_t &row, const uint8_t *param, uint8_t param_len,
                   const zwif_rpt_keys_t &keys, zwpoll_req_t *poll, uint32_t flags)
{
    if (const int rc = zwif_shape_check(intf, row.cls); rc != 0)
        return rc;
    if (poll != nullptr)
        return zwif_get_report_poll(intf, param, param_len, row.get, poll);
    return get_flags(intf, row, param, param_len, keys, flags);
}

int zwif_shape_get_cb(const zwif_desc_t *intf, const zwif_get_row_t &row, zwif_rpt_fn cb, const uint8_t *param,
                      uint8_t param_len, const zwif_rpt_keys_t &keys, uint32_t flags)
{
    if (const int rc = zwif_shape_check(intf, row.cls); rc != 0)
        return rc;
    if (const int rc = zwif_set_report(intf, cb, row.rpt); rc != 0)
        return rc;
    return get_flags(intf, row, param, param_len, keys, flags);
}

int zwif_shape_sup_get(const zwif_desc_t *intf, const zwif_sup_row_t &row, zwif_rpt_fn cb, int cache_only,
                       uint16_t key, const uint8_t *param, uint8_t param_len)
{
    if (const int rc = zwif_shape_check(intf, row.cls); rc != 0)
        return rc;
    const int reg = zwif_set_report(intf, cb, row.rpt);
    const bool old = row.ver_min != 0 && zwif_real_ver_get(intf) < row.ver_min;
    if (old && row.rec_type != 0 && zwif_dev_db_rpt_post(intf, cb, row.kind, row.rec_type, key) == 1)
        return ZW_ERR_CACHE_AVAIL;
    if (zwif_cache_rpt_req(intf, cb, row.kind, key, 0) == ZW_ERR_CACHE_AVAIL)
        return ZW_ERR_CACHE_AVAIL;
    if (cache_only) {
        zwif_cache_rpt_req(intf, cb, row.kind, key, 1);
        return ZW_ERR_NO_CACHE_AVAIL;
    }
    if (old)
        return ZW_ERR_CLASS_VER;
    if (reg != 0)
        return reg;
    if (const int rc = zwnode_cur_op_set(intf, row.op, 1); rc != 0)
        return rc;
    return zwif_get_report(intf, param, param_len, row.get, zwif_tx_sts_cb, 0);
}

int zwif_shape_set(const zwif_desc_t *intf, uint16_t cls, uint16_t op, const uint8_t *frame, uint16_t len)
{
    if (const int rc = zwif_shape_check(intf, cls); rc != 0)
        return rc;
    if (const int rc = zwnode_cur_op_set(intf, op, 1); rc != 0)
        return rc;
    return zwif_exec(intf, frame, len, zwif_tx_sts_cb, nullptr, 0, nullptr);
}

int zwif_shape_set_echoed(const zwif_desc_t *intf, uint16_t cls, uint16_t op, const uint8_t *frame, uint16_t len,
                          const uint8_t *echo, uint16_t echo_len)
{
    if (const int rc = zwif_shape_check(intf, cls); rc != 0)
        return rc;
    if (const int rc = zwnode_cur_op_set(intf, op, 1); rc != 0)
        return rc;
    // The echo is in place before the frame leaves: the acknowledgement may
    // come back before zwif_exec returns.
    const uint32_t seq = zwif_set_echo_store(intf, echo, echo_len);
    const int rc = zwif_exec(intf, frame, len, zwif_set_tx_cb, reinterpret_cast<void *>(uintptr_t{seq}), 0, nullptr);
    if (rc < 0)
        zwif_set_echo_clear(intf->net, seq);
    return rc;
}

int zwif_shape_set_supv(const zwif_desc_t *intf, uint16_t cls, uint16_t op, const uint8_t *frame, uint8_t len,
                        uint8_t target, uint8_t get_cmd, zwfac_result_fn cb, uint64_t user, const char *who,
                        int *poll_rc)
{
    if (poll_rc != nullptr)
        *poll_rc = 0;
    if (const int rc = zwif_shape_check(intf, cls); rc != 0)
        return rc;
    if (const int rc = zwnode_cur_op_set(intf, op, 1); rc != 0)
        return rc;
    if (cb != nullptr && zwif_exec_supv(intf, frame, len, cb, user) == 0)
        return 0;
    const int rc = zwif_exec(intf, frame, len, zwif_tx_sts_cb, nullptr, 0, nullptr);
    if (rc != 0)
        return rc;
    const int prc = zwif_post_set_poll(intf, target, get_cmd, cb, user);
    if (poll_rc != nullptr)
        *poll_rc = prc;
    if (prc == 0)
        return 0;
    plt_msg_ts_show(&intf->net->plt, "%s post-set poll with error:%d", who, prc);
    return ZW_ERR_POST_SET_POLL;
}

int zwif_shape_check(const zwif_desc_t *intf, uint16_t cls)
{
    if (intf == nullptr)
        return ZW_ERR_VALUE;
    return intf->cls == cls ? 0 : ZW_ERR_CLASS_NOT_FOUND;
}
