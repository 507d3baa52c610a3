// Node command queues: the get/report table, the report wait of FLiRS nodes,
// the hand-off of a sleeping node's queue at wake-up, the two threads that
// send queued commands, and Multi Command batching.
#include "hcapi/core/zwnode_q.h"

#include "hcapi/core/zwnet_cb.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// ---------------------------------------------------------------------------
// The get/report table: which report answers which get
// ---------------------------------------------------------------------------

struct get_rpt_t {
    uint16_t cls;
    uint8_t get;
    uint8_t rpt;
};

constexpr get_rpt_t get_rpt_tbl[] = {
    {0x30, 0x02, 0x03}, {0x30, 0x01, 0x04}, {0x31, 0x04, 0x05}, {0x31, 0x01, 0x02}, {0x31, 0x03, 0x06},
    {0x32, 0x01, 0x02}, {0x32, 0x03, 0x04}, {0x3D, 0x03, 0x04}, {0x35, 0x04, 0x05}, {0x94, 0x02, 0x03},
    {0x70, 0x05, 0x06}, {0x26, 0x02, 0x03}, {0x26, 0x06, 0x07}, {0x33, 0x03, 0x04}, {0x33, 0x01, 0x02},
    {0x25, 0x02, 0x03}, {0x85, 0x02, 0x03}, {0x85, 0x0B, 0x0C}, {0x85, 0x05, 0x06}, {0x8E, 0x02, 0x03},
    {0x8E, 0x05, 0x06}, {0x9B, 0x01, 0x02}, {0x9B, 0x04, 0x05}, {0x84, 0x05, 0x06}, {0x20, 0x02, 0x03},
    {0x62, 0x02, 0x03}, {0x62, 0x05, 0x06}, {0x63, 0x02, 0x03}, {0x63, 0x04, 0x05}, {0x71, 0x04, 0x05},
    {0x71, 0x07, 0x08}, {0x71, 0x01, 0x02}, {0x80, 0x02, 0x03}, {0x44, 0x02, 0x03}, {0x44, 0x04, 0x05},
    {0x45, 0x02, 0x03}, {0x40, 0x02, 0x03}, {0x40, 0x04, 0x05}, {0x42, 0x02, 0x03}, {0x47, 0x02, 0x03},
    {0x43, 0x02, 0x03}, {0x43, 0x04, 0x05}, {0x43, 0x09, 0x0A}, {0x81, 0x05, 0x06}, {0x46, 0x02, 0x03},
    {0x46, 0x04, 0x05}, {0x46, 0x07, 0x08}, {0x75, 0x02, 0x03}, {0x75, 0x04, 0x05}, {0x75, 0x07, 0x08},
    {0x75, 0x0A, 0x0B}, {0x87, 0x02, 0x03}, {0x7A, 0x01, 0x02}, {0x7A, 0x03, 0x04}, {0x73, 0x02, 0x03},
    {0x73, 0x05, 0x06}, {0x5C, 0x02, 0x03}, {0x5B, 0x01, 0x02}, {0x5B, 0x05, 0x06}, {0x9C, 0x01, 0x02},
    {0x9C, 0x03, 0x04}, {0x66, 0x02, 0x03}, {0x66, 0x04, 0x05}, {0x66, 0x07, 0x08}, {0x6C, 0x01, 0x02},
};
static_assert(std::size(get_rpt_tbl) == 65, "65 gets with a known report");

constexpr bool get_rpt_unique()
{
    for (size_t i = 0; i < std::size(get_rpt_tbl); ++i)
        for (size_t j = i + 1; j < std::size(get_rpt_tbl); ++j)
            if (get_rpt_tbl[i].cls == get_rpt_tbl[j].cls && get_rpt_tbl[i].get == get_rpt_tbl[j].get)
                return false;
    return true;
}
static_assert(get_rpt_unique(), "each get appears once");

zwnet_p net_of(appl_layer_ctx *ctx) { return ctx ? static_cast<zwnet_p>(ctx->user) : nullptr; }

// Ends a node's report wait and lets the wait-queue thread serve it (network
// mutex held).
void wait_release(zwnet_p net, zwnode_p node)
{
    plt_tmr_stop(&net->plt, node->wait_tmr);
    node->wait_tmr = 0;
    node->wait_rpt = 0;
    node->wait_cls = 0;
    node->wait_cmd = 0;
    try {
        net->wait_q_list.push_back(node->nodeid);
    } catch (const std::bad_alloc &) {
        return;
    }
    plt_sem_post(net->wait_q_sem);
}

// The 10 s report wait ran out.
void wait_tmout_cb(void *data)
{
    auto *ref = static_cast<zwnet_node_ref_t *>(data);
    zwnet_p net = ref->net;
    zwnet_lock lk(net);
    if (!plt_tmr_cb_current(&net->plt))
        return;  // stopped or re-armed since
    zwnode_p node = zwnode_find(&net->ctl, ref->node_id);
    if (node == nullptr)
        return;
    node->wait_tmr = 0;
    wait_release(net, node);
}

void tasks_run(zwnet_p net, zwnode_task_list_t *list)
{
    std::vector<uint8_t> routed;
    {
        zwnet_lock lk(net);
        for (zwnode_tx_task_t &t : list->tasks) {
            // Return routes are renewed only by a gateway that lets us include.
            if (t.kind != ZWNODE_TASK_RET_ROUTE || !(net->controller_role & 0x02) || t.payload.size() < 6)
                continue;
            zwnode_p node = zwnode_find(&net->ctl, t.node_id);
            if (node == nullptr)
                continue;
            std::memcpy(node->ret_route, t.payload.data(), sizeof node->ret_route);
            try {
                routed.push_back(t.node_id);
            } catch (const std::bad_alloc &) {
            }
        }
    }
    for (uint8_t node_id : routed)
        zwif_grp_rr_start(net, node_id);
}

// ---------------------------------------------------------------------------
// Sending queued records
// ---------------------------------------------------------------------------

constexpr uint32_t q_snd_flags = ZWIF_EXEC_NO_WAIT_Q | ZWIF_EXEC_NO_SLEEP_Q | ZWIF_EXEC_NO_SZ_CHK;

// The completion of a queued send: the report wait for a record that
// expects a report, the task runner for one with tasks, both, or none.
void q_cmpl_pick(bool rpt, zwnode_task_list_t *tasks, zwif_tx_cmpl_fn *cb, void **user)
{
    if (rpt)
        *cb = tasks ? zwnode_wait_tx_task_cb : zwnode_wait_tx_cb;
    else
        *cb = tasks ? zwnode_tx_cb : nullptr;
    *user = tasks;
}

// Sends one queued record on its own (its tasks go with it).
int q_cmd_snd(zwnode_q_cmd_t &rec)
{
    zwnode_task_list_t *tasks = rec.tasks;
    rec.tasks = nullptr;
    zwif_tx_cmpl_fn cb;
    void *user;
    q_cmpl_pick(rec.rpt != 0, tasks, &cb, &user);
    const uint32_t flags = q_snd_flags | ZWIF_EXEC_Q_REC | (rec.rpt ? uint32_t{ZWIF_EXEC_RPT} : 0u);
    const int rc = zwif_exec(&rec.intf, rec.cmd.data(), static_cast<uint16_t>(rec.cmd.size()), cb, user, flags, &rec);
    if (rc < 0)
        zwnode_cb_q_rm_all(tasks);
    return rc;
}

// One Multi Command frame in the making.
struct mul_frame_t {
    uint8_t buf[ZWNODE_MUL_CMD_FRAME_MAX]{COMMAND_CLASS_MULTI_CMD, MULTI_CMD_ENCAP, 0};
    uint16_t pos{3};
    bool has_target{false};
    uint8_t node_id{0};
    uint8_t ep_id{0};
    bool secure{false};
    zwnode_q_cmd_t rpt;  // the report the frame awaits (its last command's)
    zwnode_task_list_t *tasks{nullptr};

    mul_frame_t() = default;
    mul_frame_t(const mul_frame_t &) = delete;
    mul_frame_t &operator=(const mul_frame_t &) = delete;
    ~mul_frame_t() { zwnode_cb_q_rm_all(tasks); }
};

// Sends a frame through the target endpoint's Multi Command interface.
int mul_cmd_snd(zwnet_p net, mul_frame_t &f)
{
    zwif_desc_t intf{};
    {
        zwnet_lock lk(net);
        zwep_p ep = zwep_find_by_id(net, f.node_id, f.ep_id);
        zwif_p mc = ep ? zwif_find_cls(ep->intf, COMMAND_CLASS_MULTI_CMD) : nullptr;
        if (mc == nullptr)
            return ZW_ERR_UNEXPECTED;
        zwif_desc_fill(&intf, mc);
    }
    if (f.secure)
        intf.propty |= IF_PROPTY_SECURE;
    zwnode_task_list_t *tasks = f.tasks;
    f.tasks = nullptr;
    zwif_tx_cmpl_fn cb;
    void *user;
    q_cmpl_pick(f.rpt.rpt != 0, tasks, &cb, &user);
    const uint32_t flags = q_snd_flags | ZWIF_EXEC_Q_REC | (f.rpt.rpt ? uint32_t{ZWIF_EXEC_RPT} : 0u);
    const int rc = zwif_exec(&intf, f.buf, f.pos, cb, user, flags, &f.rpt);
    if (rc < 0)
        zwnode_cb_q_rm_all(tasks);
    return rc;
}

bool ep_has_mul_cmd(zwnet_p net, const zwif_desc_t &intf)
{
    zwnet_lock lk(net);
    zwep_p ep = zwep_find_by_id(net, intf.nodeid, intf.epid);
    return ep != nullptr && zwif_find_cls(ep->intf, COMMAND_CLASS_MULTI_CMD) != nullptr;
}

// Wake-up follow-up (network mutex held): tells the polling facilities.
void wkup_done(zwnet_p net, zwnode_p node)
{
    zwnode_desc_t desc;
    if (zwnode_desc_fill(&desc, node) != 0)
        return;
    zwnspoll_wkup_notif(net->nspoll_ctx, &desc);
    if (!node->upd_on_wkup) {
        zwdpoll_wkup(net->dpoll_ctx, &desc);
        return;
    }
    // The node interview runs the update (or keeps the mark while another
    // operation runs).
    if (net->ni_wkup_updt != nullptr)
        net->ni_wkup_updt(net, node->nodeid);
}

}  // namespace

// ---------------------------------------------------------------------------
// Frames
// ---------------------------------------------------------------------------

int zwif_cls_cmd_get(const uint8_t *cmd, uint16_t len, uint16_t *cls, uint8_t *cmd_id)
{
    if (cmd == nullptr || len < 2)
        return 0;
    if (cmd[0] >= 0xF1) {
        if (len < 3)
            return 0;
        *cls = static_cast<uint16_t>(cmd[0] << 8 | cmd[1]);
        *cmd_id = cmd[2];
    } else {
        *cls = cmd[0];
        *cmd_id = cmd[1];
    }
    return 1;
}

int zwif_get_rpt_cmd(const uint8_t *cmd, uint16_t len, uint16_t *cls, uint8_t *rpt)
{
    uint16_t c;
    uint8_t g;
    if (!zwif_cls_cmd_get(cmd, len, &c, &g))
        return 0;
    for (const get_rpt_t &row : get_rpt_tbl) {
        if (row.cls == c && row.get == g) {
            *cls = c;
            *rpt = row.rpt;
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Report wait
// ---------------------------------------------------------------------------

void zwnode_wait_tx_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    zwnode_p node = zwnode_find(&net->ctl, node_id);
    // The report may have come before the acknowledgement was handled.
    if (node == nullptr || !node->wait_rpt)
        return;
    if (status != 0) {
        wait_release(net, node);
        return;
    }
    plt_tmr_stop(&net->plt, node->wait_tmr);
    node->wait_tmr = plt_tmr_start(&net->plt, ZWNODE_RPT_WAIT_MS, wait_tmout_cb, &net->node_ref[node_id]);
    if (node->wait_tmr == 0)
        wait_release(net, node);  // no timer: waiting would be for ever
}

void zwnode_tx_cb(appl_layer_ctx *ctx, int status, void *tasks, uint8_t)
{
    auto *list = static_cast<zwnode_task_list_t *>(tasks);
    zwnet_p net = net_of(ctx);
    if (list == nullptr)
        return;
    if (status == 0 && net != nullptr)
        tasks_run(net, list);
    zwnode_cb_q_rm_all(list);
}

void zwnode_wait_tx_task_cb(appl_layer_ctx *ctx, int status, void *tasks, uint8_t node_id)
{
    zwnode_wait_tx_cb(ctx, status, nullptr, node_id);
    zwnode_tx_cb(ctx, status, tasks, node_id);
}

void zwnode_wait_release(zwnet_p net, uint8_t node_id)
{
    zwnode_p node = zwnode_find(&net->ctl, node_id);
    if (node != nullptr)
        wait_release(net, node);
}

void zwnode_wait_rpt_chk(zwif_p intf, const uint8_t *cmd, uint16_t len)
{
    uint16_t cls;
    uint8_t id;
    if (intf == nullptr || !zwif_cls_cmd_get(cmd, len, &cls, &id))
        return;
    zwnode_p node = intf->ep->node;
    if (node->wait_rpt && node->wait_cls != 0 && node->wait_cls == cls && node->wait_cmd == id)
        wait_release(node->net, node);
}

void zwnode_wkup_done(zwnode_p node)
{
    if (node != nullptr)
        wkup_done(node->net, node);
}

int zwnode_wkup_q_post(zwif_p intf)
{
    if (intf == nullptr)
        return 0;
    zwnode_p node = intf->ep->node;
    zwnet_p net = node->net;
    if (node->cmd_q.empty())
        return 0;
    auto ent = std::unique_ptr<zwnet_wkup_ent_t>(new (std::nothrow) zwnet_wkup_ent_t);
    if (!ent)
        return 0;
    ent->node_id = node->nodeid;
    plt_mtx_lck(net->cmd_q_mtx);
    try {
        net->wkup_list.push_back(std::move(ent));
    } catch (const std::bad_alloc &) {
        plt_mtx_ulck(net->cmd_q_mtx);
        return 0;
    }
    net->wkup_list.back()->q.swap(node->cmd_q);
    plt_mtx_ulck(net->cmd_q_mtx);
    plt_sem_post(net->cmd_q_sem);
    return 1;
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

bool zwnode_q_cmd_cmp(const zwnode_q_cmd_t &a, const zwnode_q_cmd_t &b)
{
    return a.intf.epid == b.intf.epid && a.op == b.op && a.cmd == b.cmd;
}

void zwnode_cmd_q_rm_all(zwnode_p node) { node->cmd_q.clear(); }
void zwnode_wait_q_rm_all(zwnode_p node) { node->wait_q.clear(); }
void zwnode_cb_q_rm_all(zwnode_task_list_t *tasks) { delete tasks; }

// ---------------------------------------------------------------------------
// Multi Command
// ---------------------------------------------------------------------------

int zwnode_cmd_q_flush(const zwnode_desc_t *node, zwnode_q_t &q, uint16_t limit)
{
    if (node == nullptr || node->net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_p net = node->net;
    if (limit > ZWNODE_MUL_CMD_FRAME_MAX)
        limit = ZWNODE_MUL_CMD_FRAME_MAX;
    if (q.empty())
        return 0;
    if (q.size() == 1) {
        const int rc = q_cmd_snd(*q.front());
        q.clear();
        return rc < 0 ? rc : 0;
    }
    auto frame = std::make_unique<mul_frame_t>();
    int count = 0;
    for (size_t i = 0; i < q.size();) {
        zwnode_q_cmd_t &rec = *q[i];
        if (!ep_has_mul_cmd(net, rec.intf)) {
            q_cmd_snd(rec);
            ++i;
            continue;
        }
        const bool same_target =
            !frame->has_target || (frame->node_id == rec.intf.nodeid && frame->ep_id == rec.intf.epid);
        if (same_target && frame->pos + rec.cmd.size() + 1 <= limit) {
            frame->has_target = true;
            frame->node_id = rec.intf.nodeid;
            frame->ep_id = rec.intf.epid;
            if (rec.intf.propty & IF_PROPTY_SECURE)
                frame->secure = true;
            if (rec.rpt) {
                frame->rpt.rpt = 1;
                frame->rpt.rpt_cls = rec.rpt_cls;
                frame->rpt.rpt_cmd = rec.rpt_cmd;
            }
            frame->buf[2] = static_cast<uint8_t>(++count);
            frame->buf[frame->pos++] = static_cast<uint8_t>(rec.cmd.size());
            std::memcpy(frame->buf + frame->pos, rec.cmd.data(), rec.cmd.size());
            frame->pos = static_cast<uint16_t>(frame->pos + rec.cmd.size());
            if (rec.tasks != nullptr && !rec.tasks->tasks.empty()) {
                if (frame->tasks == nullptr)
                    frame->tasks = new (std::nothrow) zwnode_task_list_t;
                if (frame->tasks != nullptr) {
                    frame->tasks->tasks.push_back(std::move(rec.tasks->tasks.front()));
                    rec.tasks->tasks.pop_front();
                }
            }
            ++i;
            continue;
        }
        if (count == 0) {
            // Too long to share a frame with anything: on its own.
            q_cmd_snd(rec);
            ++i;
            continue;
        }
        const int rc = mul_cmd_snd(net, *frame);
        if (rc == ZW_ERR_UNEXPECTED) {
            q.clear();
            return rc;
        }
        frame = std::make_unique<mul_frame_t>();
        count = 0;
    }
    q.clear();
    if (count == 0)
        return 0;
    const int rc = mul_cmd_snd(net, *frame);
    return rc < 0 ? rc : 0;
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

void zwnode_wait_q_thrd(zwnet_p net)
{
    plt_thrd_name_set("zwnode_wait_q");
    while (plt_sem_wait(net->wait_q_sem) == 0 && net->wait_q_thrd.run) {
        for (;;) {
            uint8_t node_id;
            {
                zwnet_lock lk(net);
                if (net->wait_q_list.empty())
                    break;
                node_id = net->wait_q_list.front();
                net->wait_q_list.pop_front();
            }
            // Serve the node until it waits for a report again.
            for (;;) {
                std::unique_ptr<zwnode_q_cmd_t> rec;
                {
                    zwnet_lock lk(net);
                    zwnode_p node = zwnode_find(&net->ctl, node_id);
                    if (node == nullptr || node->wait_rpt || node->wait_q.empty())
                        break;
                    rec = std::move(node->wait_q.front());
                    node->wait_q.pop_front();
                }
                zwnode_task_list_t *tasks = rec->tasks;
                rec->tasks = nullptr;
                uint16_t cls;
                uint8_t rpt;
                const bool listed = zwif_get_rpt_cmd(rec->cmd.data(), static_cast<uint16_t>(rec->cmd.size()),
                                                     &cls, &rpt) != 0;
                const bool expects = rec->rpt || listed;
                if (expects && !rec->rpt) {
                    rec->rpt = 1;
                    rec->rpt_cls = cls;
                    rec->rpt_cmd = rpt;
                }
                zwif_tx_cmpl_fn cb;
                void *user;
                q_cmpl_pick(expects, tasks, &cb, &user);
                const uint32_t flags =
                    ZWIF_EXEC_NO_WAIT_Q | ZWIF_EXEC_NO_SLEEP_Q | ZWIF_EXEC_Q_REC | (expects ? uint32_t{ZWIF_EXEC_RPT} : 0u);
                const auto len = static_cast<uint16_t>(rec->cmd.size());
                int rc = zwif_exec(&rec->intf, rec->cmd.data(), len, cb, user, flags, rec.get());
                if (rc == ZW_ERR_BUSY)
                    rc = zwif_exec(&rec->intf, rec->cmd.data(), len, cb, user, flags, rec.get());
                if (rc < 0) {
                    plt_msg_ts_show(&net->plt, "zwnode_wait_q_thrd: send data with error:%d", rc);
                    zwnode_cb_q_rm_all(tasks);
                }
                if (!net->wait_q_thrd.run) {
                    plt_sleep(2);
                    return;
                }
                if (rc >= 0 && expects)
                    break;  // the node waits now
            }
        }
    }
}

void zwnode_cmd_q_thrd(zwnet_p net)
{
    plt_thrd_name_set("zwnode_cmd_q");
    while (plt_sem_wait(net->cmd_q_sem) == 0 && net->cmd_q_thrd.run) {
        for (;;) {
            std::unique_ptr<zwnet_wkup_ent_t> ent;
            plt_mtx_lck(net->cmd_q_mtx);
            if (!net->wkup_list.empty()) {
                ent = std::move(net->wkup_list.front());
                net->wkup_list.pop_front();
            }
            plt_mtx_ulck(net->cmd_q_mtx);
            if (!ent)
                break;
            zwnode_desc_t desc{};
            bool batching;
            uint16_t limit;
            {
                zwnet_lock lk(net);
                zwnode_p node = zwnode_find(&net->ctl, ent->node_id);
                if (node == nullptr || zwnode_desc_fill(&desc, node) != 0)
                    continue;  // gone: its commands go with the entry
                batching = node->mul_cmd_ctl != 0;
                limit = node->crc_cap ? ZWNODE_MUL_CMD_FRAME_CRC : ZWNODE_MUL_CMD_FRAME_MAX;
            }
            if (batching) {
                zwnode_cmd_q_flush(&desc, ent->q, limit);
            } else {
                for (auto &rec : ent->q) {
                    if (!net->cmd_q_thrd.run)
                        break;
                    const int rc = q_cmd_snd(*rec);
                    if (rc < 0)
                        plt_msg_ts_show(&net->plt, "zwnode_cmd_q_thrd: send data with error:%d", rc);
                }
            }
            ent.reset();
            if (!net->cmd_q_thrd.run)
                break;
            // Give the node time to take the commands before the follow-up
            // polls it.
            plt_sleep(plt_tick_scale_ms(500));
            zwnet_lock lk(net);
            zwnode_p node = zwnode_find(&net->ctl, desc.nodeid);
            if (node != nullptr)
                wkup_done(net, node);
        }
    }
}

// ---------------------------------------------------------------------------
// Public queue calls
// ---------------------------------------------------------------------------

int zwnode_cmd_q_get(const zwnode_desc_t *node, uint16_t **op_codes)
{
    if (op_codes == nullptr)
        return 0;
    *op_codes = nullptr;
    if (node == nullptr || node->net == nullptr)
        return 0;
    zwnet_lock lk(node->net);
    zwnode_p n = zwnode_rec_get(node);
    if (n == nullptr)
        return 0;
    int cnt = 0;
    for (const auto &rec : n->cmd_q)
        if (rec->op_cnt == 1)
            ++cnt;
    if (cnt == 0)
        return 0;
    auto *ops = static_cast<uint16_t *>(std::malloc(sizeof(uint16_t) * static_cast<size_t>(cnt)));
    if (ops == nullptr)
        return 0;
    int k = 0;
    for (const auto &rec : n->cmd_q)
        if (rec->op_cnt == 1)
            ops[k++] = rec->op;
    *op_codes = ops;
    return cnt;
}

int zwnode_cmd_q_cancel(const zwnode_desc_t *node)
{
    if (node == nullptr || node->net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(node->net);
    zwnode_p n = zwnode_rec_get(node);
    if (n == nullptr)
        return ZW_ERR_NODE_NOT_FOUND;
    zwnode_cmd_q_rm_all(n);
    return 0;
}

int zwnode_cmd_q_ena_set(const zwnode_desc_t *node, uint8_t enable)
{
    if (node == nullptr || node->net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(node->net);
    zwnode_p n = zwnode_rec_get(node);
    if (n == nullptr)
        return ZW_ERR_NODE_NOT_FOUND;
    if (!n->sleep_cap)
        return ZW_ERR_UNSUPPORTED;
    n->enable_cmd_q = enable ? 1 : 0;
    if (!enable)
        zwnode_cmd_q_rm_all(n);
    return 0;
}

int zwnode_cmd_q_ena_get(const zwnode_desc_t *node, uint8_t *enable)
{
    if (node == nullptr || node->net == nullptr || enable == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(node->net);
    zwnode_p n = zwnode_rec_get(node);
    if (n == nullptr)
        return ZW_ERR_NODE_NOT_FOUND;
    *enable = n->enable_cmd_q ? 1 : 0;
    return 0;
}

int zwnode_mul_cmd_ctl_set(const zwnode_desc_t *node, uint8_t on)
{
    if (node == nullptr || node->net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_p net = node->net;
    zwnode_q_t q;
    zwnode_desc_t desc{};
    uint16_t limit;
    {
        zwnet_lock lk(net);
        zwnode_p n = zwnode_rec_get(node);
        if (n == nullptr)
            return ZW_ERR_NODE_NOT_FOUND;
        if (!n->mul_cmd_cap)
            return ZW_ERR_UNSUPPORTED;
        if (on) {
            n->mul_cmd_ctl = 1;
            return 0;
        }
        n->mul_cmd_ctl = 0;
        plt_tmr_stop(&net->plt, n->mul_cmd_tmr);
        n->mul_cmd_tmr = 0;
        if (zwnode_desc_fill(&desc, n) != 0)
            return 0;
        q.swap(n->cmd_q);
        limit = n->crc_cap ? ZWNODE_MUL_CMD_FRAME_CRC : ZWNODE_MUL_CMD_FRAME_MAX;
    }
    zwnode_cmd_q_flush(&desc, q, limit);
    return 0;
}

int zwnode_mul_cmd_ctl_get(const zwnode_desc_t *node, uint8_t *on)
{
    if (node == nullptr || node->net == nullptr || on == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(node->net);
    zwnode_p n = zwnode_rec_get(node);
    if (n == nullptr)
        return ZW_ERR_NODE_NOT_FOUND;
    *on = n->mul_cmd_ctl ? 1 : 0;
    return 0;
}
