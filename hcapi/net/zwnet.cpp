// Network record and network life: zwnet_init builds a network and starts
// everything that serves it, zwnet_exit stops it in reverse, and the last of
// the references (zwnet_init's and one per library thread) frees it.
#include "hcapi/net/zwnet_int.h"

#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_cb_thrd.h"
#include "hcapi/net/zwnet_ctlr.h"
#include "hcapi/net/zwnet_incl.h"
#include "hcapi/net/zwnet_learn.h"
#include "hcapi/net/zwnet_mcmd.h"
#include "hcapi/net/zwnet_init_sm.h"
#include "hcapi/net/zwnet_ni.h"
#include "hcapi/net/zwnet_nwchg.h"
#include "hcapi/net/zwnet_rx.h"

#include <cstring>
#include <new>

namespace {

// Controller classes every network supports (version, flags 1).
constexpr zwnet_cls_ent_t ctl_cls_builtin[] = {
    {0x8F, 1, 1},  // Multi Command
    {0x85, 2, 1},  // Association
    {0x59, 3, 1},  // Association Group Info
    {0x5A, 1, 1},  // Device Reset Locally
};

// The controller's responder: gets it answers and sets it accepts.
struct ctlr_get_t {
    uint16_t cls;
    uint8_t get;
    uint8_t rpt;
};
constexpr ctlr_get_t ctlr_get_tbl[] = {
    {0x20, 0x02, 0x03}, {0x5E, 0x01, 0x02}, {0x73, 0x02, 0x03}, {0x73, 0x05, 0x06},
    {0x72, 0x04, 0x05}, {0x72, 0x06, 0x07}, {0x7A, 0x01, 0x02}, {0x6C, 0x01, 0x02},
};
struct ctlr_set_t {
    uint16_t cls;
    uint8_t set;
};
constexpr ctlr_set_t ctlr_set_tbl[] = {{0x20, 0x01}, {0x73, 0x01}, {0x73, 0x04}};

constexpr uint32_t cb_thrd_wait_steps = 50;  // of 100 ms
constexpr uint8_t zip_layer_cnt = 4;
constexpr const char *zip_layer_names[zip_layer_cnt] = {"transport", "frame", "session", "application"};

// A facility: its record in the network, its start, shut-down and release,
// and the lines zwnet_init logs about it.
struct fac_t {
    zwfac_ctx_t *zwnet::*rec;
    int (*init)(zwfac_ctx_t *);
    void (*shutdown)(zwfac_ctx_t *);
    void (*release)(zwfac_ctx_t *);
    const char *calloc_fail;  // null: the record was made earlier
    const char *init_fail;
};

// In the order zwnet_init starts them (the wake-up notification poll
// starts later, once the gateway's version is known).
const fac_t facs[] = {
    {&zwnet::poll_ctx, zwpoll_init, zwpoll_shutdown, zwpoll_exit, nullptr, "Init poll facility failed:%d"},
    {&zwnet::spoll_ctx, zwspoll_init, zwspoll_shutdown, zwspoll_exit, "Failed to calloc for post-set poll",
     "Init post-set poll facility failed:%d"},
    {&zwnet::spv_ctx, zwspv_init, zwspv_shutdown, zwspv_exit, "Failed to calloc for supervision",
     "Init supervision facility failed:%d"},
    {&zwnet::dpoll_ctx, zwdpoll_init, zwdpoll_shutdown, zwdpoll_exit, "Failed to calloc for device poll",
     "Init device poll facility failed:%d"},
    {&zwnet::evtgen_ctx, zwevtgen_init, zwevtgen_shutdown, zwevtgen_exit, "Failed to calloc for event generation",
     "Init event generation facility failed:%d"},
    {&zwnet::nspoll_ctx, zwnspoll_init, zwnspoll_shutdown, zwnspoll_exit,
     "Failed to calloc for node status polling", "Init node status polling facility failed:%d"},
    {&zwnet::nw_save_ctx, zwnwsave_init, zwnwsave_shutdown, zwnwsave_exit,
     "Failed to calloc for network save facility", "Init network save facility failed:%d"},
};
// Shut-down and release order: as started, with the wake-up poll after the
// device poll.
const fac_t wupoll_fac = {&zwnet::wupoll_ctx, zwwupoll_init, zwwupoll_shutdown, zwwupoll_exit, nullptr, nullptr};
const fac_t *const facs_stop_order[] = {&facs[0], &facs[1], &facs[2], &facs[3], &wupoll_fac,
                                        &facs[4], &facs[5], &facs[6]};

// Every library thread runs its body, then counts itself gone and gives up
// the reference zwnet_init took for it, which may free the network.
template <void (*body)(zwnet_p), zwnet_thrd_flags_t zwnet::*flags>
void thrd_main(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    body(net);
    (net->*flags).alive = 0;
    zwnet_free(net);
}

// The library's threads, in the order zwnet_init starts them.
struct thrd_t {
    zwnet_thrd_flags_t zwnet::*flags;
    plt_thrd_fn fn;
};
const thrd_t thrds[] = {
    {&zwnet::cmd_q_thrd, thrd_main<zwnode_cmd_q_thrd, &zwnet::cmd_q_thrd>},
    {&zwnet::wait_q_thrd, thrd_main<zwnode_wait_q_thrd, &zwnet::wait_q_thrd>},
    {&zwnet::req_thrd, thrd_main<zwnet_req_thrd, &zwnet::req_thrd>},
    {&zwnet::cb_thrd, thrd_main<zwnet_cb_thrd, &zwnet::cb_thrd>},
};

// Records whose 32-bit fields must be naturally aligned on the heap.
bool platform_chk()
{
    for (int round = 0; round < 2; ++round) {
        auto node = std::unique_ptr<zwnode_t>(new (std::nothrow) zwnode_t);
        auto intf = std::unique_ptr<zwif_t>(new (std::nothrow) zwif_t);
        if (!node || !intf)
            return false;
        if (reinterpret_cast<uintptr_t>(&node->wkup_intv) % 4 != 0 ||
            reinterpret_cast<uintptr_t>(&node->restart_tries) % 4 != 0 ||
            reinterpret_cast<uintptr_t>(intf.get()) % alignof(zwif_t) != 0)
            return false;
    }
    return true;
}

void node_db_clr(zwnet_p net)
{
    zwnet_lock lk(net);
    while (net->ctl.next != nullptr)
        zwnet_node_free(net, net->ctl.next->nodeid);
    zwnode_reset(&net->ctl);
}

// Frees the network and whatever part of it was made.
void net_destroy(zwnet_p net)
{
    // The application layer is down (or never ran): no receive thread can
    // be inside the network-management filter any more.
    if (appl_nm_get(net->appl.get()) != nullptr)
        appl_nm_exit(net->appl.get());
    if (net->mtx != nullptr) {
        util_lst_flush(net->req_mtx, &net->req_lst);
        util_lst_flush(net->mul_cmd_mtx, &net->mul_cmd_q);
        node_db_clr(net);
    }
    for (const fac_t *f : facs_stop_order) {
        zwfac_ctx_t *&rec = net->*(f->rec);
        if (rec != nullptr) {
            f->release(rec);
            delete rec;
            rec = nullptr;
        }
    }
    // Timer callbacks that were already dispatched take the network mutex:
    // the timer service ends (and waits for them) before it goes.
    if (net->plt.ref_cnt > 0)
        plt_exit(&net->plt);
    for (plt_sem_t s : {net->cmd_q_sem, net->wait_q_sem, net->req_sem, net->cb_sem})
        if (s != nullptr)
            plt_sem_destroy(s);
    util_lst_flush(net->cb_mtx, &net->cb_lst);
    for (plt_mtx_t m : {net->cmd_q_mtx, net->req_mtx, net->cb_mtx, net->echo_mtx, net->mul_cmd_mtx, net->mtx})
        if (m != nullptr)
            plt_mtx_destroy(m);
    if (net->dev_recs_owned)
        zwdevcfg_free(net->dev_recs, net->dev_rec_cnt);
    delete net;
}

// Device configuration (steps 5 and 6 of zwnet_init): 0 or a negative code.
int dev_cfg_load(zwnet_p net, zwnet_init_t *init)
{
    dev_glb_opt_t *opts = nullptr;
    uint32_t opt_cnt = 0;
    bool opts_owned = false;
    int rc = 0;
    if (init->dev_cfg_file != nullptr) {
        if (init->dev_cfg_file[0] != '\0') {
            rc = zwdevcfg_load(init->dev_cfg_file, &net->dev_recs, &net->dev_rec_cnt, &opts, &opt_cnt,
                               init->err_loc);
            net->dev_recs_owned = rc == 0;
            opts_owned = rc == 0;
        }
    } else if (init->dev_cfg != nullptr) {
        if (init->dev_cfg->dev_rec != nullptr && init->dev_cfg->dev_rec_cnt != 0) {
            net->dev_recs = init->dev_cfg->dev_rec;
            net->dev_rec_cnt = init->dev_cfg->dev_rec_cnt;
            if (init->dev_cfg->glb_opt != nullptr && init->dev_cfg->glb_opt_cnt != 0) {
                opts = init->dev_cfg->glb_opt;
                opt_cnt = init->dev_cfg->glb_opt_cnt;
            }
        } else {
            rc = ZW_ERR_VALUE;
        }
    } else {
        rc = ZW_ERR_VALUE;
    }
    if (rc < 0)
        return rc;
    std::memset(init->err_loc, 0, sizeof init->err_loc);
    for (uint32_t i = 0; i < opt_cnt; ++i)
        if (opts[i].id == 1)
            net->opt_val = opts[i].val;  // the last one wins
    if (opts_owned)
        zwdevcfg_glb_free(opts, opt_cnt);
    return 0;
}

zwnet_p net_of(appl_layer_ctx *ctx) { return ctx ? static_cast<zwnet_p>(ctx->user) : nullptr; }

// How long each step of exit waits.
constexpr uint32_t exit_step_ms = 100;

void wait_thread_end(zwnet_p net, zwnet_thrd_flags_t &flags, const char *name, uint32_t max_steps)
{
    for (uint32_t step = 0; flags.alive; ++step) {
        if (max_steps != 0 && step >= max_steps) {
            plt_msg_ts_show(&net->plt, "zwnet_exit: %s thread did not end in time", name);
            return;
        }
        if (step != 0 && step % 50 == 0)
            plt_msg_ts_show(&net->plt, "zwnet_exit: waiting for the %s thread", name);
        plt_sleep(exit_step_ms);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------

int zwnet_cc_tbl_merge(const zwnet_cls_ent_t *builtin, uint8_t builtin_cnt, const zwnet_cls_ent_t *extra,
                       uint8_t extra_cnt, std::vector<zwnet_cls_ent_t> &out)
{
    try {
        out.assign(builtin, builtin + builtin_cnt);
        for (uint8_t i = 0; i < extra_cnt && extra != nullptr; ++i) {
            bool known = false;
            for (const zwnet_cls_ent_t &e : out)
                known = known || e.cls == extra[i].cls;
            if (!known && out.size() < 255)
                out.push_back(extra[i]);
        }
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    return 0;
}

int zwnet_ctlr_rpt_cmd_find(const uint8_t *cmd, uint16_t len, uint16_t *cls, uint8_t *rpt)
{
    uint16_t c;
    uint8_t g;
    if (!zwif_cls_cmd_get(cmd, len, &c, &g))
        return 0;
    for (const ctlr_get_t &r : ctlr_get_tbl) {
        if (r.cls == c && r.get == g) {
            *cls = c;
            *rpt = r.rpt;
            return 1;
        }
    }
    return 0;
}

int zwnet_ctlr_set_cmd_find(const uint8_t *cmd, uint16_t len, uint16_t *cls)
{
    uint16_t c;
    uint8_t s;
    if (!zwif_cls_cmd_get(cmd, len, &c, &s))
        return 0;
    for (const ctlr_set_t &r : ctlr_set_tbl) {
        if (r.cls == c && r.set == s) {
            *cls = c;
            return 1;
        }
    }
    return 0;
}

void zwnet_appl_sts_cb(appl_layer_ctx *ctx, uint8_t cmd, uint8_t status)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr)
        return;
    plt_msg_ts_show(&net->plt, cmd == 1 ? "Received APPLICATION_BUSY" : "Received APPLICATION_REJECTED_REQUEST");
    // The node interview, the initialisation and the controller-information
    // state machines hear of it here, under the network mutex.
    const uint8_t sts[2] = {cmd, status};
    zwnet_lock lk(net);
    zwnet_ni_appl_sts(net, cmd);
    zwnet_init_sm(net, ZWNET_INIT_EVT_APP_STS, sts);
    zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_APP_STS, sts);
}

int zwnet_init_sm_start(zwnet_p net)
{
    const zwnet_init_start_t start{ZWNET_OP_INITIALIZE, 1, nullptr};
    return zwnet_init_sm(net, ZWNET_INIT_EVT_START, &start);
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

void zwnet_free(zwnet_p net)
{
    if (net == nullptr)
        return;
    bool last;
    {
        zwnet_lock lk(net);
        last = net->ref_cnt < 2;
        net->ref_cnt = last ? 0 : net->ref_cnt - 1;
    }
    // The mutex is released before the record that holds it goes.
    if (last)
        net_destroy(net);
}

int zwnet_init(zwnet_init_t *init, zwnet_p *out)
{
    if (init == nullptr || out == nullptr)
        return ZW_ERR_VALUE;
    *out = nullptr;
    if (init->psk_len != 0) {
        if (init->psk_len < 16)
            return ZW_ERR_PSK_TOO_SHORT;
        if (init->port == ZIP_UDP_PORT)
            return ZW_ERR_DISALLOWED;
        if (init->psk_len > sizeof init->psk)
            return ZW_ERR_VALUE;
    }
    if (!platform_chk())
        return ZW_ERR_UNEXPECTED;

    zwnet_p net = new (std::nothrow) zwnet;
    if (net == nullptr)
        return ZW_ERR_MEMORY;
    net->incl = std::shared_ptr<zwnet_incl_st>(new (std::nothrow) zwnet_incl_st);
    if (!net->incl) {
        delete net;
        return ZW_ERR_MEMORY;
    }
    net->ctl.net = net;
    net->ctl.ep.node = &net->ctl;
    net->ctl.listen = 1;

    int rc = zwnet_cc_tbl_merge(ctl_cls_builtin, static_cast<uint8_t>(std::size(ctl_cls_builtin)), init->ext_cls,
                                init->ext_cls_cnt, net->ctl_cls);
    if (rc == 0)
        rc = dev_cfg_load(net, init);
    if (rc < 0) {
        net_destroy(net);
        return rc;
    }
    try {
        net->data_dir = util_path_slash_add(init->data_dir);
        net->stor_dir = util_path_slash_add(init->stor_dir);
        net->grps.emplace_back();
    } catch (const std::bad_alloc &) {
        net_destroy(net);
        return ZW_ERR_MEMORY;
    }
    net->poll_ctx = new (std::nothrow) zwpoll_ctx_t;
    if (net->poll_ctx == nullptr) {
        net_destroy(net);
        return ZW_ERR_MEMORY;
    }
    net->poll_ctx->net = net;
    if (plt_init(&net->plt, init->print) != 0) {
        net_destroy(net);
        return ZW_ERR_NO_RES;
    }
    if (!plt_mtx_init(&net->mtx)) {
        net_destroy(net);
        return ZW_ERR_NO_RES;
    }
    net->ref_cnt = 1;
    if (!plt_sem_init(&net->cmd_q_sem) || !plt_mtx_init(&net->cmd_q_mtx) || !plt_sem_init(&net->req_sem) ||
        !plt_mtx_init(&net->req_mtx) || !plt_mtx_init(&net->echo_mtx) || !plt_mtx_init(&net->mul_cmd_mtx) ||
        !plt_sem_init(&net->cb_sem) || !plt_mtx_init(&net->cb_mtx) || !plt_sem_init(&net->wait_q_sem)) {
        net_destroy(net);
        return ZW_ERR_NO_RES;
    }

    net->curr_op = ZWNET_OP_NONE;
    net->init = *init;
    for (uint16_t id = 0; id < APPL_NODE_TBL; ++id)
        net->node_ref[id] = {net, static_cast<uint8_t>(id)};
    appl_layer_ctx *appl = net->appl.get();
    appl->user = net;
    appl->plt_ctx = &net->plt;
    appl->rx_cb = zwnet_appl_cmd_hdlr;
    appl->node_sts_cb = zwnet_node_sts_cb;
    net->ni_wkup_updt = zwnet_ni_wkup_updt;
    net->nm.app_sts_cb = zwnet_appl_sts_cb;
    net->nm.unsol_incl_cb = zwnet_incl_evt_cb;
    net->nm.unsol_node_list_cb = zwnet_unsolic_node_list_cb;
    net->nm.unsol_wl_cb = zwnet_unsolic_wl_sts_cb;
    if (appl_nm_init(appl, &net->nm) != 0) {
        net_destroy(net);
        return ZW_ERR_NO_RES;
    }
    // The node-list, inclusion and white-list handlers join with network
    // change, inclusion on behalf and Smart Start.
    appl->reply_wait_ms = APPL_REPLY_WAIT_MS;

    const bool ipv4 = init->addr_type == ZWNET_ADDR_IPV4;
    appl_init_param_t prm{};
    prm.gw_addr = ipv4 ? init->gw_addr + 12 : init->gw_addr;  // IPv4 from its mapped form
    prm.host_port = init->host_port;
    prm.ipv4 = ipv4 ? 1 : 0;
    prm.psk = init->psk;
    prm.psk_len = init->psk_len;
    prm.option = 0;
    rc = appl_init(appl, &prm);
    if (rc != 0) {
        const int layer = (rc >= 1 && rc <= zip_layer_cnt) ? rc : zip_layer_cnt;
        plt_msg_ts_show(&net->plt, "Init %s layer failed", zip_layer_names[layer - 1]);
        net_destroy(net);
        return -44 - layer;
    }
    // The transport holds an IPv4 gateway in its mapped form already.
    std::memcpy(net->gw_addr, appl->ssn.frm.tpt.peer_addr, sizeof net->gw_addr);

    // Each thread holds a reference and counts as alive before it exists,
    // so that zwnet_exit cannot free the network under a thread that has
    // not run yet.
    for (const thrd_t &t : thrds) {
        zwnet_thrd_flags_t &f = net->*(t.flags);
        f.run = 1;
        f.alive = 1;
        {
            zwnet_lock lk(net);
            ++net->ref_cnt;
        }
        if (plt_thrd_create(t.fn, net) != 0) {
            f.run = 0;
            f.alive = 0;
            {
                zwnet_lock lk(net);
                --net->ref_cnt;
            }
            zwnet_exit(net);
            return ZW_ERR_NO_RES;
        }
    }

    for (const fac_t &f : facs) {
        zwfac_ctx_t *&rec = net->*(f.rec);
        if (rec == nullptr) {
            rec = new (std::nothrow) zwfac_ctx_t;
            if (rec == nullptr) {
                plt_msg_ts_show(&net->plt, "%s", f.calloc_fail);
                zwnet_exit(net);
                return ZW_ERR_MEMORY;
            }
            rec->net = net;
        }
        rc = f.init(rec);
        if (rc != 0) {
            plt_msg_ts_show(&net->plt, f.init_fail, rc);
            f.release(rec);
            delete rec;
            rec = nullptr;
            zwnet_exit(net);
            return rc < 0 ? rc : ZW_ERR_NO_RES;
        }
        if (f.rec == &zwnet::poll_ctx)
            net->poll_started = 1;
    }
    zwnet_ep_hooks_set(net);

    {
        zwnet_lock lk(net);
        net->curr_op = ZWNET_OP_INITIALIZE;
        rc = zwnet_init_sm_start(net);
        if (rc != 0)
            net->curr_op = ZWNET_OP_NONE;
    }
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "Fail to start zwnet_init_sm");
        zwnet_exit(net);
        return ZW_ERR_FAILED;
    }
    plt_msg_ts_show(&net->plt, "zwnet_init done!");
    net->node_sts_ena = 1;
    *out = net;
    return 0;
}

void zwnet_exit(zwnet_p net)
{
    if (net == nullptr)
        return;
    zwnet_abort(net);
    {
        zwnet_lock lk(net);
        zwnet_node_info_sm_stop(net);
        zwnet_mul_cmd_sm(net, ZWNET_MCMD_EVT_STOP, nullptr, 0);
    }
    net->cb_thrd.run = 0;
    net->req_thrd.run = 0;
    net->wait_q_thrd.run = 0;
    net->cmd_q_thrd.run = 0;
    for (const fac_t *f : facs_stop_order) {
        zwfac_ctx_t *rec = net->*(f->rec);
        if (rec != nullptr)
            rec->run = 0;
    }
    for (plt_sem_t s : {net->cmd_q_sem, net->wait_q_sem, net->req_sem, net->cb_sem})
        plt_sem_post(s);
    appl_stop(net->appl.get());

    // Senders of these threads leave the stopped application layer at once.
    wait_thread_end(net, net->cmd_q_thrd, "command queue", 0);
    wait_thread_end(net, net->wait_q_thrd, "wait queue", 0);
    wait_thread_end(net, net->req_thrd, "request", 0);
    // An application callback may block: exit does not wait for it beyond
    // this; the thread's reference keeps the record until it returns.
    wait_thread_end(net, net->cb_thrd, "callback", cb_thrd_wait_steps);

    plt_mtx_lck(net->cmd_q_mtx);
    net->wkup_list.clear();
    plt_mtx_ulck(net->cmd_q_mtx);
    {
        zwnet_lock lk(net);
        net->wait_q_list.clear();
    }
    util_lst_flush(net->cb_mtx, &net->cb_lst);

    for (const fac_t *f : facs_stop_order) {
        zwfac_ctx_t *rec = net->*(f->rec);
        if (rec != nullptr)
            f->shutdown(rec);
    }

    if (!net->nif_path.empty() && net->homeid != 0 && !net->no_save) {
        const int rc = zwnet_ni_file_save(net, net->nif_path.c_str());
        if (rc < 0)
            plt_msg_ts_show(&net->plt, "Save node information file '%s' failed: %d", net->nif_path.c_str(), rc);
    }
    appl_shutdown(net->appl.get());
    zwnet_free(net);
}

void *zwnet_get_user(zwnet_p net) { return net ? net->init.user : nullptr; }

uint16_t zwnet_host_port_get(zwnet_p net) { return net ? net->appl->ssn.frm.tpt.host_port : 0; }
