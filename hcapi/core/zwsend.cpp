// The command send path: zwif_exec decides whether a command leaves at once
// or waits in one of the node's queues, checks its size against the
// encapsulations to come, picks the transmit options and hands it to the
// Z/IP application layer.
#include "hcapi/core/zwsend.h"

#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwrec.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

zwnet_p net_of(appl_layer_ctx *ctx) { return ctx ? static_cast<zwnet_p>(ctx->user) : nullptr; }

// The caller's completion, run after the report wait was armed: for a
// command that expects a report but whose caller brought a completion of
// its own.
struct wait_then_t {
    zwif_tx_cmpl_fn cb;
    void *user;
};

void wait_then_cb(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id)
{
    std::unique_ptr<wait_then_t> w(static_cast<wait_then_t *>(user));
    zwnode_wait_tx_cb(ctx, status, nullptr, node_id);
    w->cb(ctx, status, w->user, node_id);
}

// Every completed transmission is noted by the report poll facility, which
// keeps its polls out of the way of other traffic; then the completion the
// send chose runs.
struct note_then_t {
    zwif_tx_cmpl_fn cb;
    void *user;
};

void note_then_cb(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id)
{
    std::unique_ptr<note_then_t> n(static_cast<note_then_t *>(user));
    zwpoll_tx_sts_note(net_of(ctx), status);
    n->cb(ctx, status, n->user, node_id);
}

bool arms_report_wait(zwif_tx_cmpl_fn cb)
{
    return cb == zwnode_wait_tx_cb || cb == zwnode_wait_tx_task_cb || cb == zwpoll_tx_note;
}

// The device that wants its source endpoint to equal the destination.
bool src_ep_quirk(const zwnode_t *node)
{
    return node->vid == 0x0040 && node->type == 0x0004 && node->pid == 0x0102;
}

// Builds a queue record for the command (4a / 7b). Null without memory.
std::unique_ptr<zwnode_q_cmd_t> q_rec_make(zwnode_p node, const zwif_desc_t *intf, const uint8_t *cmd,
                                           uint16_t len, uint32_t flags, void *extra, bool rpt, uint16_t rpt_cls,
                                           uint8_t rpt_cmd)
{
    std::unique_ptr<zwnode_q_cmd_t> rec(new (std::nothrow) zwnode_q_cmd_t);
    if (!rec)
        return rec;
    try {
        rec->cmd.assign(cmd, cmd + len);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    rec->intf = *intf;
    const auto *prev = (flags & ZWIF_EXEC_Q_REC) ? static_cast<const zwnode_q_cmd_t *>(extra) : nullptr;
    if (prev != nullptr) {
        rec->op = prev->op;
        rec->op_cnt = prev->op_cnt;
    } else if (flags & ZWIF_EXEC_POLL) {
        rec->op = 0xFFFF;
        rec->op_cnt = 1;
    } else {
        rec->op = node->cur_op;
        rec->op_cnt = node->cur_op_cnt;
    }
    rec->rpt = rpt ? 1 : 0;
    rec->rpt_cls = rpt_cls;
    rec->rpt_cmd = rpt_cmd;
    return rec;
}

// Appends to a queue unless it repeats the last entry. 1 appended, 0 equal
// to the last (the new record's tasks are dropped), -12 full.
int q_append(zwnode_q_t &q, std::unique_ptr<zwnode_q_cmd_t> rec)
{
    if (!q.empty() && zwnode_q_cmd_cmp(*q.back(), *rec)) {
        zwnode_cb_q_rm_all(rec->tasks);
        rec->tasks = nullptr;
        return 0;
    }
    if (q.size() < ZWNODE_Q_MAX) {
        try {
            q.push_back(std::move(rec));
            return 1;
        } catch (const std::bad_alloc &) {
        }
    }
    rec->tasks = nullptr;  // not taken: they stay the caller's
    return ZW_ERR_MEMORY;
}

void mul_cmd_tmout_cb(void *data);

}  // namespace

void zwif_tx_sts_log_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    zwnet_p net = net_of(ctx);
    if (status != 0 && net != nullptr)
        plt_msg_ts_show(&net->plt, "Send data completed with error:%d, node id:%u", status, node_id);
}

uint8_t zwif_tx_sts_map(int zip_status)
{
    switch (zip_status) {
    case 0: return ZWNET_TX_OK;
    case ZIP_ERR_NO_ACK: return ZWNET_TX_NO_ACK;
    case ZIP_ERR_NACK_WAIT: return ZWNET_TX_QUEUED;
    case ZIP_ERR_NACK: return ZWNET_TX_FAILED;
    default: return ZWNET_TX_SYS_ERR;
    }
}

void zwif_tx_sts_cb(appl_layer_ctx *ctx, int status, void *, uint8_t)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || net->init.tx_sts == nullptr)
        return;
    const uint8_t sts = zwif_tx_sts_map(status);
    zwnet_app_call(net, [&] { net->init.tx_sts(net->init.user, sts); });
}

int zwif_exec(const zwif_desc_t *intf, const uint8_t *cmd, uint16_t len, zwif_tx_cmpl_fn cb, void *user,
              uint32_t flags, void *extra)
{
    if (intf == nullptr || intf->net == nullptr || cmd == nullptr || len == 0)
        return ZW_ERR_VALUE;
    zwnet_p net = intf->net;
    if (!zwnet_running(net))
        return ZW_ERR_NET_NOT_RUNNING;

    appl_snd_param_t prm{};
    bool rpt = false;
    uint16_t rpt_cls = 0;
    uint8_t rpt_cmd = 0;
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, intf->nodeid);
        if (node == nullptr)
            return ZW_ERR_NODE_NOT_FOUND;
        const bool sleep_cap = node->sleep_cap != 0;
        const auto *prev = (flags & ZWIF_EXEC_Q_REC) ? static_cast<const zwnode_q_cmd_t *>(extra) : nullptr;
        void *tasks = (flags & ZWIF_EXEC_TASKS) ? extra : nullptr;

        // Which report answers this command, if one is expected: a queued
        // record knows; else the get/report table.
        const bool listed = zwif_get_rpt_cmd(cmd, len, &rpt_cls, &rpt_cmd) != 0;
        if (prev != nullptr && prev->rpt) {
            rpt_cls = prev->rpt_cls;
            rpt_cmd = prev->rpt_cmd;
        } else if (!listed) {
            rpt_cls = 0;
            rpt_cmd = 0;
        }
        if (flags & ZWIF_EXEC_RPT)
            rpt = true;
        if ((flags & ZWIF_EXEC_RPT_IF_GET) && listed) {
            rpt = true;
            cb = zwnode_wait_tx_cb;
            user = nullptr;
        }

        // The size first: an oversized command must fail now, not be queued
        // and fail at wake-up.
        if (!(flags & ZWIF_EXEC_NO_SZ_CHK)) {
            int budget = ZWIF_FRAME_BUDGET;
            if (!(intf->propty & IF_PROPTY_SECURE) && node->crc_cap)
                budget -= 4;
            if (node->mul_cmd_ctl)
                budget -= 4;
            if (intf->epid != 0)
                budget -= 4;
            if (len > budget)
                return ZW_ERR_TOO_LARGE;
        }

        // Report-wait queue: a FLiRS node still busy with an earlier command.
        if (!(flags & ZWIF_EXEC_NO_WAIT_Q) && node->sensor) {
            if (node->wait_rpt || !node->wait_q.empty()) {
                if (!node->wait_q.empty())
                    plt_msg_show(&net->plt, "Wait command queue not empty");
                if (len > ZWNODE_Q_CMD_MAX)
                    return ZW_ERR_TOO_LARGE;
                const bool expects = rpt || listed;
                auto rec = q_rec_make(node, intf, cmd, len, flags, extra, expects, rpt_cls, rpt_cmd);
                if (!rec) {
                    if (!(flags & ZWIF_EXEC_POLL))
                        node->cur_op_cnt = 0;
                    return ZW_ERR_MEMORY;
                }
                rec->tasks = static_cast<zwnode_task_list_t *>(tasks);
                const int rc = q_append(node->wait_q, std::move(rec));
                if (rc < 0)
                    return rc;
                if (!(flags & ZWIF_EXEC_POLL))
                    node->cur_op_cnt = 0;
                try {
                    net->wait_q_list.push_back(node->nodeid);
                } catch (const std::bad_alloc &) {
                    return ZW_ERR_MEMORY;
                }
                plt_sem_post(net->wait_q_sem);
                return 1;
            }
            if (listed && !rpt) {
                rpt = true;
                cb = (flags & ZWIF_EXEC_POLL) ? zwpoll_tx_note : zwnode_wait_tx_cb;
                user = nullptr;
            }
        }

        if (intf->epid != 0) {
            prm.dst_ep = intf->epid;
            if (src_ep_quirk(node))
                prm.src_ep = intf->epid;
        }

        // Sleeping-node queue: a node that sleeps, or whose commands are batched.
        if (!(flags & ZWIF_EXEC_NO_SLEEP_Q) && (node->mul_cmd_ctl || node->enable_cmd_q)) {
            const uint8_t cnt = (prev != nullptr) ? prev->op_cnt
                                                  : ((flags & ZWIF_EXEC_POLL) ? 1 : node->cur_op_cnt);
            if (cnt != 0) {
                if (len > ZWNODE_Q_CMD_MAX)
                    return ZW_ERR_TOO_LARGE;
                auto rec = q_rec_make(node, intf, cmd, len, flags, extra, rpt, rpt_cls, rpt_cmd);
                if (!rec) {
                    if (!(flags & ZWIF_EXEC_POLL))
                        node->cur_op_cnt = 0;
                    return ZW_ERR_MEMORY;
                }
                rec->tasks = static_cast<zwnode_task_list_t *>(tasks);
                if (prev != nullptr && (flags & ZWIF_EXEC_Q_REC)) {
                    // The caller's record hands its tasks over.
                    auto *p = const_cast<zwnode_q_cmd_t *>(prev);
                    rec->tasks = p->tasks;
                    p->tasks = nullptr;
                }
                if (!(flags & ZWIF_EXEC_POLL))
                    node->cur_op_cnt = 0;
                zwnode_task_list_t *given = rec->tasks;
                const int rc = q_append(node->cmd_q, std::move(rec));
                if (rc < 0) {
                    if (prev != nullptr && (flags & ZWIF_EXEC_Q_REC))
                        const_cast<zwnode_q_cmd_t *>(prev)->tasks = given;
                    return rc;
                }
                if (node->mul_cmd_ctl && !node->enable_cmd_q) {
                    plt_tmr_stop(&net->plt, node->mul_cmd_tmr);
                    node->mul_cmd_tmr =
                        plt_tmr_start(&net->plt, ZWNODE_MUL_CMD_WAIT_MS, mul_cmd_tmout_cb, &net->node_ref[node->nodeid]);
                }
                return 1;
            }
        }

        // Immediate send.
        if (rpt) {
            node->wait_rpt = 1;
            node->wait_cls = rpt_cls;
            node->wait_cmd = rpt_cmd;
        }
        const bool secure = (intf->propty & IF_PROPTY_SECURE) != 0;
        if (flags & ZWIF_EXEC_NO_SEC) {
            prm.flags = ZIP_FRM_SECURE;
        } else if (net->encap_opt) {
            prm.flags = ZIP_FRM_ENCAP | ZIP_FRM_SECURE;
            if (secure) {
                if (node->s2_keys_valid)
                    prm.encap_fmt = zwnet_s2_tx_key_get(node->s2_grnt_keys);
                else if (net->ctl.s2_keys_valid)
                    prm.encap_fmt = zwnet_s2_tx_key_get(net->ctl.s2_grnt_keys);
                else
                    prm.encap_fmt = 0x8000;
            } else {
                prm.encap_fmt = node->crc_cap ? 1 : 0;
            }
        } else {
            prm.flags = secure ? ZIP_FRM_SECURE : 0;
        }
        if (sleep_cap)
            prm.flags |= ZIP_FRM_MORE_INFO;
        prm.node_id = intf->nodeid;
        // Post-send tasks run from the completion, whichever it became.
        if (tasks != nullptr && (cb == nullptr || cb == zwnode_tx_cb || cb == zwnode_wait_tx_cb)) {
            cb = cb == zwnode_wait_tx_cb ? zwnode_wait_tx_task_cb : zwnode_tx_cb;
            user = tasks;
        }
    }

    if (cb == nullptr)
        cb = zwif_tx_sts_log_cb;
    // A command that expects a report always arms the report wait when its
    // send completes, whatever completion the caller chose.
    if (rpt && !arms_report_wait(cb)) {
        auto *w = new (std::nothrow) wait_then_t{cb, user};
        if (w == nullptr) {
            zwnet_lock lk(net);
            zwnode_wait_release(net, intf->nodeid);
            return ZW_ERR_MEMORY;
        }
        cb = wait_then_cb;
        user = w;
    }
    // The poll facility's own completion notes the transmission itself.
    note_then_t *note = nullptr;
    if (cb != zwpoll_tx_note) {
        note = new (std::nothrow) note_then_t{cb, user};
        if (note != nullptr) {
            cb = note_then_cb;
            user = note;
        }
    }
    prm.len = len;
    prm.data = cmd;
    const int rc = appl_cmd_snd(net->appl.get(), &prm, cb, user);
    if (rc < 0) {
        if (note != nullptr) {
            cb = note->cb;
            user = note->user;
            delete note;
        }
        if (cb == wait_then_cb)
            delete static_cast<wait_then_t *>(user);
        plt_msg_ts_show(&net->plt, "zwif_exec with error:%d", rc);
        if (rpt) {
            zwnet_lock lk(net);
            zwnode_wait_release(net, intf->nodeid);
        }
        return rc == ZIP_ERR_APPL_BUSY ? ZW_ERR_BUSY : ZW_ERR_OP_FAILED;
    }
    return rpt ? 1 : 0;
}

int zwif_exec_simple(const zwif_desc_t *intf, const uint8_t *cmd, uint16_t len, zwif_tx_cmpl_fn cb)
{
    return zwif_exec(intf, cmd, len, cb, nullptr, 0, nullptr);
}

int zwif_get_report(const zwif_desc_t *intf, const uint8_t *param, uint8_t param_len, uint8_t get_cmd,
                    zwif_tx_cmpl_fn cb, int poll)
{
    if (intf == nullptr || (param == nullptr && param_len != 0))
        return ZW_ERR_VALUE;
    if (param_len > ZWIF_GET_PARAM_MAX)
        return ZW_ERR_MEMORY;
    uint8_t frame[3 + ZWIF_GET_PARAM_MAX];
    uint16_t len = 0;
    if (intf->cls > 0xFF)
        frame[len++] = static_cast<uint8_t>(intf->cls >> 8);
    frame[len++] = static_cast<uint8_t>(intf->cls);
    frame[len++] = get_cmd;
    if (param_len != 0)
        std::memcpy(frame + len, param, param_len);
    len = static_cast<uint16_t>(len + param_len);
    const uint32_t flags =
        poll ? (ZWIF_EXEC_NO_SEC | ZWIF_EXEC_NO_WAIT_Q | ZWIF_EXEC_NO_SLEEP_Q | ZWIF_EXEC_NO_SZ_CHK) : 0;
    const int rc = zwif_exec(intf, frame, len, cb, nullptr, flags, nullptr);
    if (rc < 0) {
        if (intf->net != nullptr)
            plt_msg_ts_show(&intf->net->plt, "zwif_get_report with error:%d", rc);
        return ZW_ERR_OP_FAILED;
    }
    return rc;
}

int zwif_get_report_simple(const zwif_desc_t *intf, const uint8_t *param, uint8_t param_len, uint8_t get_cmd,
                           zwif_tx_cmpl_fn cb)
{
    return zwif_get_report(intf, param, param_len, get_cmd, cb, 0);
}

int zwnode_cur_op_set(const zwif_desc_t *intf, uint16_t op, uint8_t cnt)
{
    if (intf == nullptr || intf->net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(intf->net);
    zwnode_p node = zwnode_find(&intf->net->ctl, intf->nodeid);
    if (node == nullptr)
        return ZW_ERR_NODE_NOT_FOUND;
    node->cur_op = op;
    node->cur_op_cnt = cnt;
    return 0;
}

// ---------------------------------------------------------------------------
// Set completion and echo
// ---------------------------------------------------------------------------

uint32_t zwif_set_echo_store(const zwif_desc_t *intf, const uint8_t *rpt, uint16_t len)
{
    zwnet_p net = intf ? intf->net : nullptr;
    if (net == nullptr || rpt == nullptr || len == 0 || len > ZWNET_ECHO_MAX)
        return 0;
    plt_mtx_lck(net->echo_mtx);
    if (++net->echo_seq > 60000)
        net->echo_seq = 1;
    const uint32_t seq = net->echo_seq;
    net->echo_if = *intf;
    net->echo_len = len;
    std::memcpy(net->echo_buf, rpt, len);
    plt_mtx_ulck(net->echo_mtx);
    return seq;
}

void zwif_set_echo_clear(zwnet_p net, uint32_t seq)
{
    if (net == nullptr)
        return;
    plt_mtx_lck(net->echo_mtx);
    if (net->echo_seq == seq)
        net->echo_len = 0;
    plt_mtx_ulck(net->echo_mtx);
}

void zwif_color_rpt_split(const zwif_desc_t *intf, const uint8_t *rpt, uint16_t len)
{
    zwnet_cb_msg_t msg;
    msg.type = ZWNET_CB_RPT_REPLAY;
    msg.body.replay.intf = *intf;
    msg.body.replay.len = 4;
    for (uint16_t at = 2; at + 1 < len; at = static_cast<uint16_t>(at + 2)) {
        const uint8_t frame[4] = {rpt[0], rpt[1], rpt[at], rpt[at + 1]};
        std::memcpy(msg.body.replay.frame, frame, sizeof frame);
        zwnet_cb_post(intf->net, &msg);
    }
}

void zwif_set_tx_cb(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr)
        return;
    const auto seq = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user));
    zwif_desc_t intf{};
    uint8_t frame[ZWNET_ECHO_MAX];
    uint16_t len = 0;
    plt_mtx_lck(net->echo_mtx);
    if (status == 0 && net->echo_len != 0 && net->echo_seq == seq) {
        intf = net->echo_if;
        len = net->echo_len;
        std::memcpy(frame, net->echo_buf, len);
        net->echo_len = 0;
    }
    plt_mtx_ulck(net->echo_mtx);
    if (len >= 2 && frame[0] == 0x33 && frame[1] == 0x04) {
        zwif_color_rpt_split(&intf, frame, len);
    } else if (len != 0) {
        zwnet_cb_msg_t msg;
        msg.type = ZWNET_CB_RPT_REPLAY;
        msg.body.replay.intf = intf;
        msg.body.replay.len = len;
        std::memcpy(msg.body.replay.frame, frame, len);
        zwnet_cb_post(net, &msg);
    }
    zwif_tx_sts_cb(ctx, status, nullptr, node_id);
}

// ---------------------------------------------------------------------------
// Cached data
// ---------------------------------------------------------------------------

int zwif_cache_rpt_req(const zwif_desc_t *intf, void (*cb)(), uint16_t kind, uint16_t arg, int force)
{
    if (intf == nullptr || intf->net == nullptr)
        return ZW_ERR_VALUE;
    int rc;
    {
        zwnet_lock lk(intf->net);
        zwif_p i = zwif_rec_get(intf);
        rc = (i != nullptr && i->data_cnt != 0) ? ZW_ERR_CACHE_AVAIL : ZW_ERR_NO_CACHE_AVAIL;
    }
    if (rc == ZW_ERR_CACHE_AVAIL || force) {
        zwnet_cb_msg_t msg;
        msg.cb = cb;
        msg.type = ZWNET_CB_DATA;
        msg.body.data.intf = *intf;
        msg.body.data.kind = kind;
        msg.body.data.arg = arg;
        zwnet_cb_post(intf->net, &msg);
    }
    return rc;
}

int zwif_cached_rpt_post(const zwif_desc_t *intf, uint8_t rpt, uint8_t cnt, const uint16_t *val)
{
    if (intf == nullptr || intf->net == nullptr || (val == nullptr && cnt != 0))
        return ZW_ERR_VALUE;
    if (cnt > ZWNET_CB_RPT_VAL_MAX)
        return ZW_ERR_TOO_LARGE;
    zwnet_cb_msg_t msg;
    {
        zwnet_lock lk(intf->net);
        zwif_p i = zwif_rec_get(intf);
        if (i == nullptr)
            return ZW_ERR_INTF_NOT_FOUND;
        for (uint8_t r = 0; r < i->rpt_num; ++r)
            if (i->rpt[r].rpt_cmd == rpt)
                msg.cb = i->rpt[r].usr_rpt_cb;
    }
    if (msg.cb == nullptr)
        return ZW_ERR_RPT_NOT_FOUND;
    msg.type = ZWNET_CB_RPT;
    msg.body.rpt.intf = *intf;
    msg.body.rpt.rpt = rpt;
    msg.body.rpt.cnt = cnt;
    for (uint8_t k = 0; k < cnt; ++k)
        msg.body.rpt.val[k] = val[k];
    zwnet_cb_post(intf->net, &msg);
    return 0;
}

int zwif_dev_db_rpt_post(const zwif_desc_t *intf, void (*cb)(), uint16_t kind, uint8_t if_type, uint16_t arg)
{
    if (intf == nullptr || intf->net == nullptr)
        return 0;
    {
        zwnet_lock lk(intf->net);
        zwnode_p node = zwnode_find(&intf->net->ctl, intf->nodeid);
        if (node == nullptr || !node->dev_cfg_valid || node->dev_cfg_rec == nullptr)
            return 0;
        auto *rec = static_cast<dev_rec_t *>(node->dev_cfg_rec);
        if (zwdevcfg_ep_if_get(rec->ep, intf->epid, if_type) == nullptr)
            return 0;
    }
    zwnet_cb_msg_t msg;
    msg.cb = cb;
    msg.type = ZWNET_CB_DEV_REC;
    msg.body.dev_rec.intf = *intf;
    msg.body.dev_rec.kind = kind;
    msg.body.dev_rec.arg = static_cast<int16_t>(arg);
    msg.body.dev_rec.if_type = if_type;
    zwnet_cb_post(intf->net, &msg);
    return 1;
}

// ---------------------------------------------------------------------------
// Post-set poll and supervision
// ---------------------------------------------------------------------------

namespace {

// Multilevel Switch devices whose level can be read back (or supervised).
bool mlvl_sw_pollable(zwep_p ep)
{
    if (ep->generic != 0x11)
        return false;
    return ep->specific == 3 || ep->specific == 5 || ep->specific == 6 || ep->specific == 7;
}

}  // namespace

int zwif_post_set_poll(const zwif_desc_t *intf, uint8_t target, uint8_t get_cmd, zwfac_result_fn cb,
                       uint64_t user)
{
    if (intf == nullptr || intf->net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_p net = intf->net;
    int result2 = 0;  // 0: poll; else the result that the callback gets: 2 no poll made
    int rc = 0;
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, intf->nodeid);
        if (node == nullptr)
            return ZW_ERR_NODE_NOT_FOUND;
        if (node->enable_cmd_q) {
            result2 = 2;
        } else if (intf->cls == 0x26) {
            zwep_p ep = zwep_find(&node->ep, intf->epid);
            if (ep == nullptr)
                return ZW_ERR_EP_NOT_FOUND;
            if (!mlvl_sw_pollable(ep)) {
                result2 = 2;
                rc = ZW_ERR_UNSUPPORTED;
            }
        }
    }
    if (result2 != 0) {
        zwspoll_cb_post(intf, cb, user, static_cast<uint32_t>(result2));
        return rc;
    }
    uint8_t frame[3];
    uint8_t len = 0;
    if (intf->cls > 0xFF)
        frame[len++] = static_cast<uint8_t>(intf->cls >> 8);
    frame[len++] = static_cast<uint8_t>(intf->cls);
    frame[len++] = get_cmd;
    rc = zwspoll_add(intf, target, frame, len, cb, user);
    if (rc != 0)
        plt_msg_ts_show(&net->plt, "zwif_post_set_poll with error:%d", rc);
    return rc;
}

int zwif_exec_supv(const zwif_desc_t *intf, const uint8_t *cmd, uint8_t len, zwfac_result_fn cb, uint64_t user)
{
    if (intf == nullptr || intf->net == nullptr)
        return ZW_ERR_VALUE;
    if (intf->epid != 0)
        return ZW_ERR_UNSUPPORTED;
    uint8_t sid;
    {
        zwnet_lock lk(intf->net);
        zwnode_p node = zwnode_find(&intf->net->ctl, intf->nodeid);
        if (node == nullptr)
            return ZW_ERR_NODE_NOT_FOUND;
        if (!node->spv_cap)
            return ZW_ERR_UNSUPPORTED;
        if (intf->cls == 0x26) {
            zwep_p ep = zwep_find(&node->ep, intf->epid);
            if (ep == nullptr)
                return ZW_ERR_EP_NOT_FOUND;
            if (!mlvl_sw_pollable(ep))
                return ZW_ERR_UNSUPPORTED;
        }
        zwif_p spv = zwif_find_cls(node->ep.intf, COMMAND_CLASS_SUPERVISION);
        if (spv == nullptr || spv->data_cnt == 0 || spv->data == nullptr)
            return ZW_ERR_INTF_NO_DATA;
        auto *next = static_cast<uint8_t *>(spv->data);
        sid = static_cast<uint8_t>(*next % ZWIF_SPV_SESSION_MOD);
        // Reports carry the session id in 6 bits: wrap at 64 so that every
        // id we use can be matched.
        *next = static_cast<uint8_t>((sid + 1) % ZWIF_SPV_SESSION_MOD);
    }
    return zwspv_cmd_snd(intf, cmd, len, sid, cb, user);
}

int zwif_cache_val_get(const zwif_desc_t *intf, uint16_t cls, uint8_t *cnt, uint8_t *bytes, size_t size)
{
    if (intf == nullptr || intf->net == nullptr || cnt == nullptr || bytes == nullptr)
        return ZW_ERR_VALUE;
    if (cls != intf->cls)
        return ZW_ERR_CLASS_NOT_FOUND;
    zwnet_lock lk(intf->net);
    zwif_p i = zwif_rec_get(intf);
    if (i == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    if (i->data_cnt == 0 || i->data == nullptr || i->data_item_sz != 1)
        return ZW_ERR_NO_CACHE_AVAIL;
    if (i->data_cnt > size)
        return ZW_ERR_TOO_LARGE;
    std::memcpy(bytes, i->data, i->data_cnt);
    *cnt = i->data_cnt;
    return 0;
}

namespace {

// The 1000 ms batching timer: the node's batched commands leave in Multi
// Command frames.
void mul_cmd_tmout_cb(void *data)
{
    auto *ref = static_cast<zwnet_node_ref_t *>(data);
    zwnet_p net = ref->net;
    zwnode_q_t q;
    zwnode_desc_t desc{};
    uint16_t limit = ZWNODE_MUL_CMD_FRAME_MAX;
    {
        zwnet_lock lk(net);
        if (!plt_tmr_cb_current(&net->plt))
            return;
        zwnode_p node = zwnode_find(&net->ctl, ref->node_id);
        if (node == nullptr)
            return;
        node->mul_cmd_tmr = 0;
        if (zwnode_desc_fill(&desc, node) != 0)
            return;
        q.swap(node->cmd_q);
        if (node->crc_cap)
            limit = ZWNODE_MUL_CMD_FRAME_CRC;
    }
    zwnode_cmd_q_flush(&desc, q, limit);
}

}  // namespace
