#include "daemon/zwp_net.h"

#include "daemon/zwp_alloc.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net_ops.h"
#include "daemon/zwp_scene_hook.h"
#include "daemon/zwp_text.h"
#include "hcapi/include/zwif_call.h"
#include "hcapi/include/zwif.h"
#include "util/zwu_inet.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace {

// One operation-status item, made by the pusher and freed by the thread.
struct op_item {
    uint8_t op;
    uint16_t status;
    bool has_info;
    zwnet_op_info_t info;
};

constexpr unsigned op_queue_slots = 20;

std::mutex g_tz_path_lock;
std::string g_tz_path = "/etc/timezone";

std::string tz_path()
{
    std::lock_guard<std::mutex> guard(g_tz_path_lock);
    return g_tz_path;
}

} // namespace

struct zwp_net_t {
    apr_pool_t *pool = nullptr;
    uint8_t id[8] = {};
    const zwp_net_config_t *config = nullptr;
    zwu_array_list_t if_messages = nullptr;
    zwp_desc_if_setup_fn if_setup = nullptr;

    zwu_mutex_t *init_lock = nullptr;
    zwu_cond_t *init_cond = nullptr;
    uint32_t init_state = ZWP_NET_STOPPED;
    bool stop_requested = false; // under init_lock: the start gives up its wait

    apr_thread_t *start_thread = nullptr;
    std::atomic<int> start_result{-1};
    apr_queue_t *op_queue = nullptr;
    apr_thread_t *op_thread = nullptr;

    // Leaf lock: operation fields, Security 2 data, DSK copies, node slots.
    std::mutex op_lock;
    uint32_t cur_op = 0;
    int32_t cur_sts = 0;
    uint32_t total_nodes = 0;
    uint32_t completed_nodes = 0;
    uint32_t prev_op = 0;
    zwnode_desc_t added{};
    zwnode_desc_t replaced{};
    zwnode_desc_t updated{};
    int32_t s2_kind = -1;
    uint8_t s2_req_keys = 0;
    uint8_t s2_req_csa = 0;
    char s2_csa_pin[12] = {};
    uint8_t s2_pin_required = 0;
    std::string s2_dsk;
    std::string local_dsk;
    int32_t prekit_kind = -1;
    char prekit_dsk[48] = {};

    zwp_net_wl_t *wl = nullptr;

    // The tree and every request.
    zwu_mutex_t *desc_lock = nullptr;
    zwp_desc_root_t *tree = nullptr;

    // Leaf lock of the report sequence: report callbacks post it without
    // the descriptor lock, and waiting workers wait for it to move.
    std::mutex report_lock;
    std::condition_variable report_cond;
    uint64_t report_seq = 0;

    // Leaf lock of the transmit status: the library's callback writes it
    // without the descriptor lock, which a worker may hold while the
    // library waits for that very callback's thread.
    std::mutex tx_lock;
    std::condition_variable tx_cond;
    uint64_t tx_ticket = 0; // 0: no request waits
    uint64_t tx_next = 0;
    int32_t tx_status = -1;
    uint64_t tree_gen = 0;  // counts clears, so that a waiter sees one

    zwnet_init_t params{};
    zwp_gw_t gw{};
    std::atomic<zwnet_p> hc{nullptr};
    std::string stor_dir;
    char time_zone[256] = {};

    std::mutex ref_lock;
    std::condition_variable ref_zero;
    int32_t refs = 0;

    zwp_hook_table_t hooks;

    zwp_net_owner_stop_t owner_stop = nullptr;
    void *owner_ctx = nullptr;
};

namespace {

// ---------------------------------------------------------------------------
// Operation fields (under op_lock)
// ---------------------------------------------------------------------------

void op_end(zwp_net_t *net, int32_t status)
{
    std::lock_guard<std::mutex> guard(net->op_lock);
    net->prev_op = net->cur_op;
    net->cur_op = 0;
    net->cur_sts = status;
    net->total_nodes = 0;
    net->completed_nodes = 0;
}

// The start's own end of operation 1: the status thread may have ended it
// already, and then only the final status is the start's to tell.
void init_op_end(zwp_net_t *net, int32_t status)
{
    std::lock_guard<std::mutex> guard(net->op_lock);
    if (net->cur_op == ZWNET_OP_INITIALIZE) {
        net->prev_op = net->cur_op;
        net->cur_op = 0;
    }
    net->cur_sts = status;
    net->total_nodes = 0;
    net->completed_nodes = 0;
}

uint32_t init_state_locked_get(zwp_net_t *net)
{
    zwu_mutex_guard guard(net->init_lock);
    return net->init_state;
}

// Pushes without holding a lock: a full queue blocks until the status
// thread, which takes the init-state lock, makes room.
int op_push(zwp_net_t *net, op_item *item) { return zwu_queue_push(net->op_queue, item); }

void tx_tree_gone(zwp_net_t *net)
{
    {
        std::lock_guard<std::mutex> guard(net->tx_lock);
        net->tree_gen++;
    }
    net->tx_cond.notify_all();
}

void tree_clear_locked(zwp_net_t *net)
{
    zwp_desc_tree_free(net->tree);
    net->tree = nullptr;
    zwp_net_report_post(net);
}

int tree_build_locked(zwp_net_t *net)
{
    zwnet_p hc = net->hc.load();
    zwp_desc_owner_t owner{net, net->if_messages, net->if_setup, net->pool};
    zwp_desc_root_t *root = nullptr;
    if (!hc || zwp_desc_tree_build(&root, hc, &owner) != 0)
        return 22;
    zwp_desc_tree_free(net->tree);
    net->tree = root;
    zwp_net_report_post(net);
    return 0;
}

// Clears and builds again, with the init-state lock, only while the network
// is initialised.
void tree_rebuild(zwp_net_t *net)
{
    zwu_mutex_guard init(net->init_lock);
    if (!init.held() || net->init_state != ZWP_NET_INITIALISED)
        return;
    zwp_net_desc_tree_clear(net);
    if (zwp_net_desc_tree_build_locked(net) != 0)
        ZWS_LOG_ERROR("Failed to rebuild descriptor container tree: %s", "Failed");
}

// Adds (or replaces) a node taken from a node slot, while initialised.
void tree_node_add(zwp_net_t *net, const zwnode_desc_t &node)
{
    zwu_mutex_guard init(net->init_lock);
    if (!init.held() || net->init_state != ZWP_NET_INITIALISED)
        return;
    zwu_mutex_guard desc(net->desc_lock);
    if (!desc.held() || !net->tree)
        return;
    if (zwp_desc_tree_node_add(net->tree, &node) != 0)
        ZWS_LOG_ERROR("Failed to add node to descriptor container tree: %s", "Failed");
}

// What follows the end (done or failed) of an operation.
void op_finished(zwp_net_t *net, uint8_t op, bool done)
{
    switch (op) {
    case ZWNET_OP_INITIALIZE: {
        zwu_mutex_guard init(net->init_lock);
        if (init.held() && net->init_state == ZWP_NET_INITIALISING) {
            if (!done)
                ZWS_LOG_ERROR("Failed to initialize network: %s", zwp_net_op_sts_str(ZWNET_OP_STS_FAILED));
            net->init_state = done ? ZWP_NET_INITIALISED : ZWP_NET_STOPPED;
            zwu_cond_broadcast(net->init_cond);
        }
        return;
    }
    case ZWNET_OP_ADD_NODE:
    case ZWNET_OP_RP_NODE: {
        if (!done)
            return;
        zwnode_desc_t node;
        {
            std::lock_guard<std::mutex> guard(net->op_lock);
            node = op == ZWNET_OP_ADD_NODE ? net->added : net->replaced;
        }
        tree_node_add(net, node);
        return;
    }
    case ZWNET_OP_NODE_UPDATE: {
        zwnode_desc_t node;
        {
            std::lock_guard<std::mutex> guard(net->op_lock);
            node = net->updated;
        }
        tree_node_add(net, node);
        return;
    }
    case ZWNET_OP_INITIATE:
    case ZWNET_OP_UPDATE:
    case ZWNET_OP_RESET:
    case ZWNET_OP_MIGRATE:
    case ZWNET_OP_NW_CHANGED:
        tree_rebuild(net);
        return;
    default:
        return;
    }
}

void *APR_THREAD_FUNC op_status_handler(apr_thread_t *, void *data)
{
    auto *net = static_cast<zwp_net_t *>(data);
    zwu_thread_name_set("ANetOpStatusHdlr", nullptr);
    for (;;) {
        void *popped = nullptr;
        if (zwu_queue_pop(net->op_queue, &popped) != 0) {
            ZWS_LOG_CRITICAL("Network operation status handler: Failed abruptly");
            return reinterpret_cast<void *>(static_cast<intptr_t>(22));
        }
        if (!popped) {
            zwu_mutex_guard init(net->init_lock);
            if (net->init_state == ZWP_NET_STOPPING) {
                net->init_state = ZWP_NET_STOPPED;
                zwu_cond_broadcast(net->init_cond);
            }
            return nullptr;
        }
        const op_item item = *static_cast<op_item *>(popped);
        delete static_cast<op_item *>(popped);

        if (item.status >> 8) {
            std::lock_guard<std::mutex> guard(net->op_lock);
            net->total_nodes = item.status >> 8;
            net->completed_nodes = item.status & 0xFF;
            continue;
        }
        if (item.status == ZWNET_OP_STS_FAILED) {
            ZWS_LOG_ERROR("Network operation '%s' failed", zwp_net_op_str(item.op));
            op_end(net, ZWP_NET_OP_FAILED);
            op_finished(net, item.op, false);
            continue;
        }
        if (item.status != ZWNET_OP_STS_DONE) {
            {
                std::lock_guard<std::mutex> guard(net->op_lock);
                if (item.has_info && item.op == ZWNET_OP_ADD_NODE && item.status == 3 && item.info.type == 0) {
                    net->prekit_kind = 0;
                    std::memcpy(net->prekit_dsk, item.info.dsk, sizeof net->prekit_dsk);
                    net->prekit_dsk[sizeof net->prekit_dsk - 1] = '\0';
                }
                if (item.op != net->cur_op) {
                    net->prev_op = net->cur_op;
                    net->cur_op = item.op;
                    net->total_nodes = 0;
                    net->completed_nodes = 0;
                }
                net->cur_sts = item.status;
            }
            ZWS_LOG_INFORMATION("Network operation '%s' in progress with intermediate status '%s'",
                                zwp_net_op_str(item.op), zwp_net_op_sub_sts_str(item.op, item.status));
            continue;
        }
        ZWS_LOG_INFORMATION("Network operation '%s' completed", zwp_net_op_str(item.op));
        if (item.op == ZWNET_OP_NW_CHANGED) {
            tree_rebuild(net);
            continue;
        }
        op_end(net, ZWP_NET_OP_DONE);
        op_finished(net, item.op, true);
    }
}

// ---------------------------------------------------------------------------
// Start
// ---------------------------------------------------------------------------

void params_fill(zwp_net_t *net)
{
    zwnet_init_t &p = net->params;
    p = {};
    p.user = net;
    const zwp_gw_t &gw = net->gw;
    p.addr_type = gw.addr_type == 1 ? ZWNET_ADDR_IPV4 : ZWNET_ADDR_IPV6;
    // The library takes IPv4 mapped into IPv6.
    if (p.addr_type == ZWNET_ADDR_IPV4) {
        p.gw_addr[10] = p.gw_addr[11] = 0xFF;
        std::memcpy(p.gw_addr + 12, gw.addr, 4);
    } else {
        std::memcpy(p.gw_addr, gw.addr, sizeof p.gw_addr);
    }
    // The stored port is where the gateway sends what it reports unasked:
    // our own port. The gateway listens on its Z/IP port (DTLS on its own).
    p.host_port = gw.port ? gw.port : ZWNET_HOST_PORT_DEFAULT;
    p.port = gw.psk_len ? 41230 : 4123;
    std::memcpy(p.psk, gw.psk, sizeof p.psk);
    p.psk_len = gw.psk_len;
    p.notify = zwp_net_op_notify_cb;
    p.node = zwp_net_node_cb;
    p.tx_sts = zwp_net_tx_status_cb;
    p.sec2 = zwp_net_add_node_sec2_unsolicited_notification;
    p.stor_dir = net->stor_dir.c_str();
    p.data_dir = net->stor_dir.c_str();
    p.dev_cfg_file = net->config && net->config->dev_cfg_file ? net->config->dev_cfg_file : "";
}

void dev_cfg_error_log(const zwnet_init_t &p)
{
    const uint32_t *at = p.err_loc;
    if (at[0] == 0)
        return;
    if (at[1] == 0)
        ZWS_LOG_ERROR("Failed to parse device specific configuration file: Entry numbers (Device): (%u)", at[0]);
    else if (at[2] == 0)
        ZWS_LOG_ERROR("Failed to parse device specific configuration file: Entry numbers (Device, Endpoint): (%u, %u)",
                      at[0], at[1]);
    else
        ZWS_LOG_ERROR("Failed to parse device specific configuration file: Entry numbers (Device, Endpoint, "
                      "Interface): (%u, %u, %u)",
                      at[0], at[1], at[2]);
}

// The library refreshes one descriptor per network at each call; copying it
// out under one lock keeps readers on several threads off each other's
// refresh.
std::mutex g_net_desc_lock;

bool net_desc_copy(zwnet_p hc, zwnet_desc_t *out)
{
    if (!hc)
        return false;
    std::lock_guard<std::mutex> guard(g_net_desc_lock);
    const zwnet_desc_t *desc = zwnet_get_desc(hc);
    if (!desc)
        return false;
    *out = *desc;
    return true;
}

// Unsolicited Destination Set of the Z/IP Gateway class: the library sends
// none of its own after initialisation, so the frame goes through the
// interface's send path.
// Points the gateway's unsolicited destination at this host; failures are
// logged only.
void unsolicited_ip_set_local(zwp_net_t *net)
{
    zwnet_p hc = net->hc.load();
    zwnet_desc_t desc{};
    if (!net_desc_copy(hc, &desc)) {
        ZWS_LOG_ERROR("Getting controller node id failed.");
        return;
    }
    zwif_desc_t intf{};
    {
        zwu_mutex_guard guard(net->desc_lock);
        const zwif_desc_t *found = nullptr;
        if (!guard.held() || !net->tree || zwp_desc_if_find(net->tree, desc.ctl_id, 0, 0x5F, &found) != 0) {
            ZWS_LOG_ERROR("Setting unsolicited IP failed.");
            return;
        }
        intf = *found;
    }
    const int ipv4 = net->gw.addr_type == 1;
    uint8_t local[16] = {};
    char text[ZWU_INET_ADDRSTRLEN] = {};
    uint8_t addr[16] = {};
    if (zwnet_local_addr_for_peer(hc, net->gw.addr, local, ipv4) != 0 ||
        zwu_inet_ntop_iptype(local, text, ipv4 ? 1 : 0, sizeof text) != 0) {
        ZWS_LOG_ERROR("Setting unsolicited IP failed.");
        return;
    }
    if (zwu_inet_pton(text, addr) != 0) {
        ZWS_LOG_ERROR("IPv6 pton conversion failed");
        return;
    }
    if (zwif_gw_unsolic_set(&intf, addr, zwnet_host_port_get(hc)) < 0)
        ZWS_LOG_ERROR("Setting unsolicited IP failed.");
}

uint8_t owner_replaced_node_id(void *user)
{
    auto *net = static_cast<zwp_net_t *>(user);
    std::lock_guard<std::mutex> guard(net->op_lock);
    return net->replaced.nodeid;
}

int owner_ctx_persistent(void *user, char *buffer, size_t size)
{
    return zwp_net_get_ctx_persistent(static_cast<zwp_net_t *>(user), buffer, size);
}

void owner_ref(void *user) { zwp_net_ref(static_cast<zwp_net_t *>(user)); }
void owner_unref(void *user) { zwp_net_unref(static_cast<zwp_net_t *>(user)); }

constexpr zwp_hook_owner_t hook_owner{owner_ref, owner_unref, owner_replaced_node_id, owner_ctx_persistent};

// Stops the library without the init-state lock: zwnet_exit waits for the
// library's callback thread, which may be waiting for that lock or for room
// in the status queue.
// The caller holds the init-state lock once and has left state 1, so that
// nothing moves the state on meanwhile.
void library_exit(zwp_net_t *net)
{
    zwnet_p hc = net->hc.load();
    if (!hc)
        return;
    zwu_mutex_unlock(net->init_lock);
    zwp_hook_zwnet_exit(&net->hooks, hc);
    net->hc = nullptr;
    zwu_mutex_lock(net->init_lock);
}

// Ends the status thread: the null item, then the wait for it to be taken.
void op_thread_end(zwp_net_t *net)
{
    {
        zwu_mutex_guard init(net->init_lock);
        net->init_state = ZWP_NET_STOPPING;
    }
    if (op_push(net, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to push stop handler notification into network operation status queue");
        return;
    }
    {
        zwu_mutex_guard init(net->init_lock);
        while (init.held() && net->init_state != ZWP_NET_STOPPED)
            if (zwu_cond_wait(net->init_cond, net->init_lock) != 0)
                return;
    }
    apr_status_t status = 0;
    if (zwu_thread_join(&status, net->op_thread) != 0) {
        ZWS_LOG_ERROR("Failed to join the handler for network operation status");
        return;
    }
    net->op_thread = nullptr;
    if (status != 0)
        ZWS_LOG_ERROR("Network operation status handler returned with failure");
}

int net_start(zwp_net_t *net)
{
    if (net->config && net->config->var_dir && zwp_net_storage_dir_make(net->config->var_dir) != 0)
        ZWS_LOG_WARN("Failed to create the directory '%s'", net->stor_dir.c_str());
    if (zwu_thread_create(&net->op_thread, net->pool, false, op_status_handler, net) != 0) {
        init_op_end(net, ZWP_NET_OP_FAILED);
        return 22;
    }
    params_fill(net);
    bool started = false;
    {
        zwu_mutex_guard init(net->init_lock);
        if (init.held() && !net->stop_requested) {
            ZWS_LOG_INFORMATION("zwnet_init() Intialization paramters");
            net->init_state = ZWP_NET_INITIALISING;
            char saved[ZWU_THREAD_NAME_SIZE] = {};
            const bool named = zwu_thread_name_set("HCAPINet", saved) == 0;
            zwnet_p hc = nullptr;
            const int result = zwp_hook_zwnet_init(&net->hooks, net, &hook_owner, &net->params, &hc);
            if (named)
                zwu_thread_name_set(saved, nullptr);
            if (result != 0) {
                ZWS_LOG_ERROR("zwnet_init() failed with '%s'", zwp_err_str(result));
                init_op_end(net, ZWP_NET_OP_FAILED);
                dev_cfg_error_log(net->params);
            } else {
                net->hc = hc;
                // The status thread moves the state on when operation 1 ends;
                // a stop while it runs gives up the wait.
                while (net->init_state == ZWP_NET_INITIALISING && !net->stop_requested)
                    if (zwu_cond_wait(net->init_cond, net->init_lock) != 0)
                        break;
                if (net->init_state != ZWP_NET_INITIALISED) {
                    ZWS_LOG_ERROR("Failed to initialize network");
                } else if (zwp_net_desc_tree_build_locked(net) != 0) {
                    init_op_end(net, ZWP_NET_OP_FAILED);
                } else {
                    if (net->config && net->config->gw_auto_set_to_local)
                        unsolicited_ip_set_local(net);
                    const std::string path = tz_path();
                    if (zwp_hook_scene_init(&net->hooks, net->stor_dir.c_str(), nullptr, path.c_str(),
                                            net->time_zone) == 0) {
                        init_op_end(net, ZWP_NET_OP_DONE);
                        started = true;
                    } else {
                        init_op_end(net, ZWP_NET_OP_FAILED);
                        zwp_net_desc_tree_clear(net);
                    }
                }
                if (!started) {
                    net->init_state = ZWP_NET_STOPPING;
                    library_exit(net);
                }
            }
        }
    }
    if (started)
        return 0;
    op_thread_end(net);
    return 22;
}

void *APR_THREAD_FUNC start_handler(apr_thread_t *, void *data)
{
    auto *net = static_cast<zwp_net_t *>(data);
    zwu_thread_name_set("ANetStartHdlr", nullptr);
    const int result = net_start(net);
    net->start_result = result;
    return reinterpret_cast<void *>(static_cast<intptr_t>(result));
}

void stop_library(zwp_net_t *net)
{
    {
        zwu_mutex_guard init(net->init_lock);
        if (!init.held())
            return;
        net->init_state = ZWP_NET_STOPPING;
        zwp_net_desc_tree_clear(net);
        zwscn_exit_network(net);
        // The scene library has let go of the network: nothing more is
        // forwarded to it.
        net->hooks.scn_op_notify = nullptr;
        net->hooks.scn_node_change = nullptr;
        net->hooks.scn_report = nullptr;
        library_exit(net);
    }
    op_end(net, ZWP_NET_OP_STOPPED);
    op_thread_end(net);
}

} // namespace

// ---------------------------------------------------------------------------
// Record
// ---------------------------------------------------------------------------

int zwp_net_storage_dir_make(const char *var_dir)
{
    if (!var_dir)
        return 22;
    const std::string var = var_dir;
    for (const std::string &dir : {var, var + "/networks"})
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return 22;
    return 0;
}

int zwp_net_create(zwp_net_t **out, const uint8_t id[8], const zwp_net_config_t *config, apr_pool_t *parent,
                   zwu_array_list_t if_messages, zwp_desc_if_setup_fn if_setup)
{
    if (!out)
        return 22;
    auto *net = new (std::nothrow) zwp_net_t;
    if (!net) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    net->config = config;
    net->if_messages = if_messages;
    net->if_setup = if_setup;
    if (id)
        std::memcpy(net->id, id, sizeof net->id);
    try {
        const char *var_dir = config && config->var_dir ? config->var_dir : ".";
        net->stor_dir = std::string(var_dir) + "/networks/";
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        delete net;
        return 22;
    }
    const char *failure = nullptr;
    if (zwu_pool_create(&net->pool, parent) != 0)
        failure = "Failed to create pool for network level";
    else if (zwu_queue_create(&net->op_queue, op_queue_slots, net->pool) != 0)
        failure = "Failed to create queue for network operation status notification";
    else if (zwu_mutex_create(&net->init_lock, ZWU_MUTEX_DEFAULT, net->pool) != 0)
        failure = "Failed to create lock for network initialize state";
    else if (zwu_cond_create(&net->init_cond, net->pool) != 0)
        failure = "Failed to create condvar for network initialized state";
    else if (zwu_mutex_create(&net->desc_lock, ZWU_MUTEX_NESTED, net->pool) != 0)
        failure = "Failed to create lock for network descriptors";
    else if (zwp_net_wl_create(&net->wl) != 0)
        failure = "Failed to create lock for whitelist";
    if (failure) {
        ZWS_LOG_ERROR("%s", failure);
        if (net->pool)
            zwu_pool_destroy(net->pool);
        delete net;
        return 22;
    }
    *out = net;
    return 0;
}

void zwp_net_free(zwp_net_t *net)
{
    if (!net)
        return;
    {
        std::unique_lock<std::mutex> guard(net->ref_lock);
        net->ref_zero.wait(guard, [net]() { return net->refs < 1; });
    }
    // Items still queued (a start that never ran its status thread).
    void *left = nullptr;
    while (apr_queue_trypop(net->op_queue, &left) == APR_SUCCESS)
        delete static_cast<op_item *>(left);
    zwp_desc_tree_free(net->tree);
    zwp_net_wl_free(net->wl);
    zwu_pool_destroy(net->pool);
    delete net;
}

void zwp_net_ref(zwp_net_t *net)
{
    if (!net)
        return;
    std::lock_guard<std::mutex> guard(net->ref_lock);
    net->refs++;
}

void zwp_net_unref(zwp_net_t *net)
{
    if (!net)
        return;
    std::lock_guard<std::mutex> guard(net->ref_lock);
    if (net->refs > 0)
        net->refs--;
    if (net->refs < 1)
        net->ref_zero.notify_all();
}

void zwp_net_gw_params_set(zwp_net_t *net, const zwp_gw_t *gw)
{
    if (net && gw)
        net->gw = *gw;
}

void zwp_net_gw_params_get(const zwp_net_t *net, zwp_gw_t *gw)
{
    if (net && gw)
        *gw = net->gw;
}

const uint8_t *zwp_net_id_get(const zwp_net_t *net) { return net ? net->id : nullptr; }

void zwp_net_owner_set(zwp_net_t *net, zwp_net_owner_stop_t stop, void *ctx)
{
    if (!net)
        return;
    net->owner_stop = stop;
    net->owner_ctx = ctx;
}

int zwp_net_owner_stop(zwp_net_t *net, const char *id)
{
    if (!net || !net->owner_stop)
        return 22;
    const zwp_net_owner_stop_t stop = net->owner_stop;
    void *ctx = net->owner_ctx;
    return stop(ctx, id);
}

int zwp_net_start_async(zwp_net_t *net)
{
    if (!net || net->start_thread)
        return 22;
    {
        std::lock_guard<std::mutex> guard(net->op_lock);
        net->prev_op = net->cur_op;
        net->cur_op = ZWNET_OP_INITIALIZE;
        net->cur_sts = 0;
    }
    return zwu_thread_create(&net->start_thread, net->pool, false, start_handler, net) == 0 ? 0 : 22;
}

int zwp_net_stop(zwp_net_t *net)
{
    if (!net)
        return 22;
    if (net->start_thread) {
        {
            zwu_mutex_guard init(net->init_lock);
            net->stop_requested = true;
            zwu_cond_broadcast(net->init_cond);
        }
        apr_status_t status = 0;
        if (zwu_thread_join(&status, net->start_thread) != 0) {
            ZWS_LOG_ERROR("Failed to join network start handler");
            return 22;
        }
        net->start_thread = nullptr;
    }
    if (net->start_result.load() != 0)
        return 0;
    stop_library(net);
    net->start_result = -1;
    return 0;
}

int zwp_net_start_result_get(zwp_net_t *net) { return net ? net->start_result.load() : -1; }

uint32_t zwp_net_init_state_get(zwp_net_t *net) { return net ? init_state_locked_get(net) : ZWP_NET_STOPPED; }

void zwp_net_op_set(zwp_net_t *net, uint8_t op)
{
    if (!net)
        return;
    std::lock_guard<std::mutex> guard(net->op_lock);
    net->prev_op = net->cur_op;
    net->cur_op = op;
    net->cur_sts = 0;
    net->total_nodes = 0;
    net->completed_nodes = 0;
}

zwp_net_op_state_t zwp_net_op_begin(zwp_net_t *net, uint8_t op)
{
    zwp_net_op_state_t saved{};
    if (!net)
        return saved;
    std::lock_guard<std::mutex> guard(net->op_lock);
    saved = {net->cur_op, net->cur_sts, net->total_nodes, net->completed_nodes, net->prev_op};
    net->prev_op = net->cur_op;
    net->cur_op = op;
    net->cur_sts = 0;
    net->total_nodes = 0;
    net->completed_nodes = 0;
    return saved;
}

void zwp_net_op_restore(zwp_net_t *net, const zwp_net_op_state_t *saved)
{
    if (!net || !saved)
        return;
    std::lock_guard<std::mutex> guard(net->op_lock);
    net->cur_op = saved->current;
    net->cur_sts = saved->status;
    net->total_nodes = saved->total_nodes;
    net->completed_nodes = saved->completed_nodes;
    net->prev_op = saved->previous;
}

void zwp_net_op_state_get(zwp_net_t *net, zwp_net_op_state_t *state)
{
    if (!net || !state)
        return;
    std::lock_guard<std::mutex> guard(net->op_lock);
    *state = {net->cur_op, net->cur_sts, net->total_nodes, net->completed_nodes, net->prev_op};
}

int zwp_net_prekit_dsk_get(zwp_net_t *net, char *dsk, size_t size)
{
    if (!net || !dsk || size == 0)
        return 22;
    std::lock_guard<std::mutex> guard(net->op_lock);
    if (net->prekit_kind != 0)
        return 22;
    std::snprintf(dsk, size, "%s", net->prekit_dsk);
    return 0;
}

zwnet_p zwp_net_hc_get(const zwp_net_t *net) { return net ? net->hc.load() : nullptr; }

namespace {

bool op_at_add_step(const zwp_net_t *net, int32_t own_status, int32_t unsolicited_status, int32_t kind)
{
    return (net->cur_op == ZWNET_OP_ADD_NODE || net->cur_op == ZWNET_OP_RP_NODE) &&
           (net->cur_sts == own_status || net->cur_sts == unsolicited_status) && net->s2_kind == kind;
}

} // namespace

int zwp_net_s2_req_keys_get(zwp_net_t *net, zwp_net_s2_keys_t *keys)
{
    if (!net || !keys)
        return 22;
    std::lock_guard<std::mutex> guard(net->op_lock);
    if (!op_at_add_step(net, 11, 21, 0))
        return 22;
    keys->req_keys = net->s2_req_keys;
    keys->req_csa = net->s2_req_csa;
    std::memcpy(keys->csa_pin, net->s2_csa_pin, sizeof keys->csa_pin);
    return 0;
}

int zwp_net_s2_dsk_get(zwp_net_t *net, uint8_t *pin_required, std::string *dsk)
{
    if (!net || !pin_required || !dsk)
        return 22;
    std::lock_guard<std::mutex> guard(net->op_lock);
    if (!op_at_add_step(net, 12, 22, 1))
        return 22;
    if (zwp_assign(*dsk, net->s2_dsk) != 0)
        return 22;
    *pin_required = net->s2_pin_required;
    return 0;
}

int zwp_net_local_dsk_get(zwp_net_t *net, std::string *dsk)
{
    if (!net || !dsk)
        return 22;
    std::lock_guard<std::mutex> guard(net->op_lock);
    if (net->cur_op != ZWNET_OP_INITIATE || net->cur_sts != 11)
        return 22;
    return zwp_assign(*dsk, net->local_dsk);
}

void zwp_net_updated_node_set(zwp_net_t *net, const zwnode_desc_t *node)
{
    if (!net || !node)
        return;
    std::lock_guard<std::mutex> guard(net->op_lock);
    net->updated = *node;
}

int zwp_net_op_abort_finish(zwp_net_t *net, bool aborted)
{
    if (!net)
        return 22;
    {
        std::lock_guard<std::mutex> guard(net->op_lock);
        if (aborted) {
            net->prev_op = net->cur_op;
            net->cur_sts = ZWP_NET_OP_ABORTED;
        }
        net->cur_op = 0;
        net->total_nodes = 0;
        net->completed_nodes = 0;
    }
    // The caller holds the descriptor lock; the clear wakes every worker
    // that waits with pointers into the old tree.
    if (zwp_net_desc_tree_clear(net) != 0 || zwp_net_desc_tree_build_locked(net) != 0) {
        ZWS_LOG_ERROR("Failed to rebuild descriptor container tree: %s", "Failed");
        return 22;
    }
    return 0;
}

zwp_net_wl_t *zwp_net_wl_get(zwp_net_t *net) { return net ? net->wl : nullptr; }


int zwp_net_get_ctx_persistent(zwp_net_t *net, char *buffer, size_t size)
{
    zwnet_desc_t desc{};
    if (!net || !buffer || size < 25 || !net_desc_copy(net->hc.load(), &desc))
        return 0;
    const uint8_t *id = net->id;
    std::snprintf(buffer, size, "%02X%02X%02X%02X%02X%02X%02X%02X%08X", id[0], id[1], id[2], id[3], id[4], id[5],
                  id[6], id[7], desc.id);
    return 1;
}

const char *zwp_net_time_zone_get(const zwp_net_t *net) { return net ? net->time_zone : ""; }

// ---------------------------------------------------------------------------
// Descriptor lock and tree
// ---------------------------------------------------------------------------

int zwp_net_desc_lock(zwp_net_t *net)
{
    if (!net || zwu_mutex_lock(net->desc_lock) != 0)
        return 22;
    if (!net->tree) {
        zwu_mutex_unlock(net->desc_lock);
        return 22;
    }
    return 0;
}

int zwp_net_desc_lock_any(zwp_net_t *net) { return net && zwu_mutex_lock(net->desc_lock) == 0 ? 0 : 22; }

int zwp_net_desc_unlock(zwp_net_t *net) { return net && zwu_mutex_unlock(net->desc_lock) == 0 ? 0 : 22; }

zwp_desc_root_t *zwp_net_desc_tree_get(zwp_net_t *net) { return net ? net->tree : nullptr; }

int zwp_net_desc_tree_present(zwp_net_t *net) { return net && net->tree ? 0 : 22; }

zwu_time_t zwp_net_tree_utime_get(zwp_net_t *net)
{
    return net && net->hc.load() && net->tree ? zwp_desc_tree_utime_get(net->tree) : 0;
}

int zwp_net_desc_tree_build_locked(zwp_net_t *net)
{
    if (!net)
        return 22;
    zwu_mutex_guard guard(net->desc_lock);
    return guard.held() ? tree_build_locked(net) : 22;
}

int zwp_net_desc_tree_clear(zwp_net_t *net)
{
    if (!net)
        return 22;
    {
        zwu_mutex_guard guard(net->desc_lock);
        if (!guard.held())
            return 22;
        tree_clear_locked(net);
    }
    tx_tree_gone(net);
    return 0;
}

int zwp_net_if_lock_find(const zwif_desc_t *intf, const zwif_desc_t **found)
{
    if (!intf || !intf->net || !found)
        return 22;
    auto *net = static_cast<zwp_net_t *>(zwnet_get_user(intf->net));
    if (!net || zwp_net_desc_lock(net) != 0)
        return 22;
    if (zwp_desc_if_find(net->tree, intf->nodeid, intf->epid, intf->cls, found) != 0) {
        zwp_net_desc_unlock(net);
        return 22;
    }
    return 0;
}

void zwp_net_if_unlock(const zwif_desc_t *intf)
{
    if (intf && intf->net)
        zwp_net_desc_unlock(static_cast<zwp_net_t *>(zwnet_get_user(intf->net)));
}

int zwp_net_node_lock_find(zwnet_p hc, uint8_t node_id, const zwnode_desc_t **found)
{
    auto *net = hc ? static_cast<zwp_net_t *>(zwnet_get_user(hc)) : nullptr;
    if (!net || !found || zwp_net_desc_lock(net) != 0)
        return 22;
    if (zwp_desc_node_find(net->tree, node_id, found) != 0) {
        zwp_net_desc_unlock(net);
        return 22;
    }
    return 0;
}

void zwp_net_node_unlock(zwnet_p hc)
{
    if (hc)
        zwp_net_desc_unlock(static_cast<zwp_net_t *>(zwnet_get_user(hc)));
}

// ---------------------------------------------------------------------------
// Transmit status and report waits
// ---------------------------------------------------------------------------

int zwp_net_tx_status_reset(zwp_net_t *net)
{
    if (!net || !net->tree)
        return 22;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(ZWP_NET_TX_WAIT_USEC);
    bool got = false;
    zwu_mutex_unlock(net->desc_lock);
    {
        std::unique_lock<std::mutex> guard(net->tx_lock);
        const uint64_t gen = net->tree_gen;
        got = net->tx_cond.wait_until(guard, deadline,
                                      [net, gen]() { return net->tx_ticket == 0 || net->tree_gen != gen; }) &&
              net->tx_ticket == 0 && net->tree_gen == gen;
        if (got) {
            net->tx_ticket = ++net->tx_next;
            net->tx_status = -1;
        }
    }
    zwu_mutex_lock(net->desc_lock);
    if (!got) {
        ZWS_LOG_ERROR("Timed out on waiting for the transmit status of another request");
        return 22;
    }
    if (!net->tree) {
        zwp_net_tx_status_end(net);
        return 22;
    }
    return 0;
}

int zwp_net_tx_status_wait(zwp_net_t *net, uint8_t *status)
{
    if (!net || !status)
        return 22;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(ZWP_NET_TX_WAIT_USEC);
    int result = 22;
    zwu_mutex_unlock(net->desc_lock);
    {
        std::unique_lock<std::mutex> guard(net->tx_lock);
        const uint64_t gen = net->tree_gen;
        const bool ended = net->tx_cond.wait_until(
            guard, deadline, [net, gen]() { return net->tx_status != -1 || net->tree_gen != gen; });
        if (ended && net->tree_gen == gen) {
            *status = static_cast<uint8_t>(net->tx_status);
            result = 0;
        } else if (!ended) {
            ZWS_LOG_ERROR("Timed out on waiting for transmit status");
        }
        net->tx_ticket = 0;
        net->tx_status = -1;
    }
    net->tx_cond.notify_all();
    zwu_mutex_lock(net->desc_lock);
    if (result == 0 && !net->tree)
        result = 22;
    return result;
}

void zwp_net_tx_status_end(zwp_net_t *net)
{
    if (!net)
        return;
    {
        std::lock_guard<std::mutex> guard(net->tx_lock);
        net->tx_ticket = 0;
        net->tx_status = -1;
    }
    net->tx_cond.notify_all();
}

uint64_t zwp_net_report_seq_get(zwp_net_t *net)
{
    if (!net)
        return 0;
    std::lock_guard<std::mutex> guard(net->report_lock);
    return net->report_seq;
}

void zwp_net_report_post(zwp_net_t *net)
{
    if (!net)
        return;
    {
        std::lock_guard<std::mutex> guard(net->report_lock);
        net->report_seq++;
    }
    net->report_cond.notify_all();
}

int zwp_net_report_wait(zwp_net_t *net, uint64_t seq, int64_t usec)
{
    if (!net)
        return 22;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(usec > 0 ? usec : 0);
    bool posted = false;
    zwu_mutex_unlock(net->desc_lock);
    {
        std::unique_lock<std::mutex> guard(net->report_lock);
        posted = net->report_cond.wait_until(guard, deadline, [net, seq]() { return net->report_seq != seq; });
    }
    zwu_mutex_lock(net->desc_lock);
    return posted ? 0 : ZWU_COND_TIMEDOUT;
}

int zwp_net_info_get(zwp_net_t *net, zwp_net_info_t *info)
{
    zwnet_desc_t desc{};
    if (!net || !info || !net_desc_copy(net->hc.load(), &desc))
        return 22;
    *info = {desc.id, desc.ctl_id, desc.ctl_role, desc.ctl_cap, desc.zw_role};
    return 0;
}

int zwp_hcapi_result_check(int status) { return status == 0 ? 0 : 22; }

// ---------------------------------------------------------------------------
// Callbacks of the library
// ---------------------------------------------------------------------------

void zwp_net_op_notify_cb(void *user, uint8_t op, uint16_t status, const zwnet_op_info_t *info)
{
    auto *net = static_cast<zwp_net_t *>(user);
    if (!net)
        return;
    auto *item = new (std::nothrow) op_item{op, status, info != nullptr, {}};
    if (!item) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return;
    }
    if (info)
        item->info = *info;
    if (op_push(net, item) != 0) {
        ZWS_LOG_ERROR("Failed to push network operation status notification into the queue");
        delete item;
    }
}

void zwp_net_node_cb(void *user, const zwnode_desc_t *node, uint32_t mode)
{
    auto *net = static_cast<zwp_net_t *>(user);
    if (!net || !node)
        return;
    zwu_mutex_guard init(net->init_lock);
    if (!init.held() || net->init_state != ZWP_NET_INITIALISED)
        return;
    zwu_mutex_guard desc(net->desc_lock);
    if (!desc.held() || !net->tree)
        return;
    switch (mode) {
    case ZWNET_NODE_ADDED: {
        std::lock_guard<std::mutex> guard(net->op_lock);
        net->added = *node;
        break;
    }
    case ZWNET_NODE_REMOVED:
        zwp_desc_tree_node_remove(net->tree, node->nodeid);
        break;
    case ZWNET_NODE_UPDATED: {
        std::lock_guard<std::mutex> guard(net->op_lock);
        net->replaced = *node;
        break;
    }
    case ZWNET_NODE_STATUS_ALIVE:
    case ZWNET_NODE_STATUS_DOWN:
    case ZWNET_NODE_STATUS_SLEEP:
        zwp_desc_tree_node_alive_refresh(net->tree, node->nodeid);
        break;
    default:
        break;
    }
}

void zwp_net_tx_status_cb(void *user, uint8_t status)
{
    auto *net = static_cast<zwp_net_t *>(user);
    if (!net)
        return;
    {
        std::lock_guard<std::mutex> guard(net->tx_lock);
        // A status that no request waits for (or that its request already
        // gave up on) belongs to nobody.
        if (net->tx_ticket == 0 || net->tx_status != -1)
            return;
        net->tx_status = status;
    }
    net->tx_cond.notify_all();
}

namespace {

// Keeps what the library asks for at an inclusion step; the status that
// stands for that step (key request, DSK request), or 0 for another kind.
uint16_t sec2_data_keep(zwp_net_t *net, const zwnet_sec2_cb_data_t *data, uint16_t key_status, uint16_t dsk_status)
{
    net->s2_dsk.clear();
    if (data->cb_type == ZWNET_SEC2_CB_KEY_REQ) {
        net->s2_kind = 0;
        net->s2_req_keys = data->key_req.req_keys;
        net->s2_req_csa = data->key_req.req_csa;
        std::memcpy(net->s2_csa_pin, data->key_req.csa_pin, sizeof net->s2_csa_pin);
        net->s2_csa_pin[sizeof net->s2_csa_pin - 1] = '\0';
        return key_status;
    }
    if (data->cb_type == ZWNET_SEC2_CB_DSK_REQ) {
        net->s2_kind = 1;
        net->s2_pin_required = data->dsk_req.pin_required;
        zwp_assign(net->s2_dsk, data->dsk_req.dsk ? data->dsk_req.dsk : "");
        return dsk_status;
    }
    return 0;
}

} // namespace

void zwp_net_add_node_sec2_unsolicited_notification(void *user, zwnet_sec2_cb_data_t *data)
{
    auto *net = static_cast<zwp_net_t *>(user);
    if (!net || !data)
        return;
    uint16_t status = 0;
    {
        std::lock_guard<std::mutex> guard(net->op_lock);
        status = sec2_data_keep(net, data, 21, 22);
        net->prev_op = net->cur_op;
        net->cur_op = ZWNET_OP_ADD_NODE;
        net->cur_sts = 0;
        net->total_nodes = 0;
        net->completed_nodes = 0;
    }
    zwp_net_op_notify_cb(net, ZWNET_OP_ADD_NODE, status, nullptr);
}

void zwp_net_add_node_sec2_cb(void *user, zwnet_sec2_cb_data_t *data)
{
    auto *net = static_cast<zwp_net_t *>(user);
    if (!net || !data)
        return;
    uint16_t status = 0;
    {
        std::lock_guard<std::mutex> guard(net->op_lock);
        status = sec2_data_keep(net, data, 11, 12);
    }
    zwp_net_op_notify_cb(net, ZWNET_OP_ADD_NODE, status, nullptr);
}

void zwp_net_local_dsk_cb(void *user, char *dsk)
{
    auto *net = static_cast<zwp_net_t *>(user);
    if (!net || !dsk)
        return;
    {
        std::lock_guard<std::mutex> guard(net->op_lock);
        if (zwp_assign(net->local_dsk, dsk) != 0)
            return;
    }
    zwp_net_op_notify_cb(net, ZWNET_OP_INITIATE, 11, nullptr);
}

// ---------------------------------------------------------------------------
// Seams
// ---------------------------------------------------------------------------

namespace {

int ops_node_find(zwp_net_t *net, uint32_t node_id, const zwnode_desc_t **node)
{
    return zwp_desc_node_find(net->tree, node_id, node);
}
int ops_ep_find(zwp_net_t *net, uint32_t node_id, uint32_t ep_id, const zwep_desc_t **ep)
{
    return zwp_desc_ep_find(net->tree, node_id, ep_id, ep);
}
int ops_if_find(zwp_net_t *net, uint32_t node_id, uint32_t ep_id, uint32_t cls, const zwif_desc_t **intf)
{
    return zwp_desc_if_find(net->tree, node_id, ep_id, cls, intf);
}
int ops_summary_get(zwp_net_t *net, zwp_net_summary_t *summary)
{
    zwp_net_info_t info{};
    if (zwp_net_info_get(net, &info) != 0)
        return 22;
    *summary = {};
    summary->home_id = info.home_id;
    summary->controller_node_id = info.ctl_id;
    std::memcpy(summary->network_id, net->id, sizeof summary->network_id);
    std::memcpy(summary->gateway_address, net->gw.addr, sizeof summary->gateway_address);
    summary->address_type = net->gw.addr_type;
    return 0;
}
void ops_free(zwp_net_t *net) { zwp_net_free(net); }

constexpr zwp_net_ops_t record_ops{
    zwp_net_ref,
    zwp_net_unref,
    zwp_net_stop,
    ops_free,
    zwp_net_desc_lock,
    zwp_net_desc_lock_any,
    zwp_net_desc_unlock,
    zwp_net_desc_tree_present,
    zwp_net_tree_utime_get,
    ops_node_find,
    ops_ep_find,
    ops_if_find,
    zwp_net_tx_status_reset,
    zwp_net_tx_status_wait,
    zwp_net_report_seq_get,
    zwp_net_report_wait,
    ops_summary_get,
    zwp_net_tx_status_end,
};

} // namespace

void zwp_net_ops_install() { zwp_net_ops_set(&record_ops); }

void zwp_net_time_zone_path_set(const char *path)
{
    std::lock_guard<std::mutex> guard(g_tz_path_lock);
    g_tz_path = path ? path : "/etc/timezone";
}
