#include "daemon/zwp_net_list.h"

#include "daemon/zwp_avi.h"
#include "daemon/zwp_gateway_ops.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net.h"
#include "daemon/zwp_net_ops.h"
#include "daemon/zwp_zwave_client.h"
#include "scene/zwscn.h"
#include "util/zwu_array.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

const uint8_t zwp_net_list_fixed_id[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

struct zwp_net_list_t {
    apr_pool_t *pool;
    apr_hash_t *hash;
    zwu_mutex_t *hash_lock;
    zwp_avi_registry_t *registry;
    zwu_array_list_t stop_threads;
    zwu_mutex_t *stop_threads_lock;
    const zwp_net_config_t *config;
    zwp_zwave_client_t *zwave_client;
    zwu_mutex_t *zwave_client_lock;
    bool scene_started;
};

namespace {

std::mutex g_singleton_lock;
zwp_net_list_t *g_net_list = nullptr;

constexpr size_t id_size = sizeof zwp_net_list_fixed_id;

void gateway_release(zwp_net_list_t *list)
{
    zwp_zwave_client_destroy(list->zwave_client);
    list->zwave_client = nullptr;
}

// Everything made by construction, newest first; also the error path.
void net_list_free(zwp_net_list_t *list)
{
    gateway_release(list);
    if (list->scene_started)
        zwscn_shutdown();
    if (list->stop_threads)
        zwu_array_list_destroy(list->stop_threads);
    // Locks and the hash live in the pool.
    if (list->pool)
        zwu_pool_destroy(list->pool);
    delete list;
}

int scene_start(zwp_net_list_t *list)
{
    char saved[ZWU_THREAD_NAME_SIZE] = {};
    const bool named = zwu_thread_name_set("Scene", saved) == 0;
    const int result = zwscn_init();
    if (named)
        zwu_thread_name_set(saved, nullptr);
    if (result != 0) {
        ZWS_LOG_ERROR("Failed to init scene module");
        return 22;
    }
    list->scene_started = true;
    return 0;
}

// Gateway selection (the stored gateway file, or discovery), then the
// network of the chosen gateway. Without a gateway the daemon runs without
// a network.
int gateway_select(zwp_net_list_t *list)
{
    zwp_zwave_client_t *client = nullptr;
    if (zwp_zwave_client_create(&client, zwp_net_list_var_dir_get(list)) != 0)
        return 22;
    list->zwave_client = client;
    zwp_gw_t gw{};
    if (zwp_zwave_client_gw_get(client, &gw) != 0)
        return 0;
    zwp_net_t *net = nullptr;
    zwu_mutex_guard guard(list->zwave_client_lock);
    if (!guard.held() || portal_client_spawn(list, &net) != 0) {
        ZWS_LOG_ERROR("portal_client_spawn failed");
        return 22;
    }
    return 0;
}


// Stops and frees one network taken out of the hash; one that cannot be
// stopped stays allocated, since its threads may still use it.
int net_stop_free(zwp_net_t *net, const char *failure = "zwp_net_stop() failed. 'net' not freed. Possible memory leak")
{
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    if (!ops->stop || ops->stop(net) != 0) {
        ZWS_LOG_WARN("%s", failure);
        return 22;
    }
    if (ops->free)
        ops->free(net);
    return 0;
}

struct stop_async_job {
    zwp_net_list_t *list;
    zwp_net_t *net;
    apr_thread_t *thread;
};

void *APR_THREAD_FUNC stop_async_handler(apr_thread_t *, void *data)
{
    auto *job = static_cast<stop_async_job *>(data);
    zwu_thread_name_set("ANetStopHdlr", nullptr);
    const int result = net_stop_free(job->net);
    zwp_net_list_t *list = job->list;
    // The creator registered the handle under the array's lock before this
    // thread could get here; whoever takes it out of the array ends it.
    apr_thread_t *thread = nullptr;
    {
        zwu_mutex_guard guard(list->stop_threads_lock);
        thread = job->thread;
    }
    delete job;
    if (zwp_net_list_stop_thread_remove(list, thread) == 0)
        zwu_thread_detach(thread);
    return reinterpret_cast<void *>(static_cast<intptr_t>(result));
}

int id_parse(const char *text, uint8_t id[8])
{
    unsigned values[8];
    int consumed = 0;
    if (!text ||
        std::sscanf(text, "%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x%n", &values[0], &values[1], &values[2],
                    &values[3], &values[4], &values[5], &values[6], &values[7], &consumed) != 8 ||
        text[consumed] != '\0') {
        ZWS_LOG_ERROR("Invalid value '%s' for Network ID", text ? text : "(null)");
        return 22;
    }
    for (size_t i = 0; i < 8; i++) {
        if (values[i] > 0xFF) {
            ZWS_LOG_ERROR("Invalid value '%s' for Network ID", text);
            return 22;
        }
        id[i] = static_cast<uint8_t>(values[i]);
    }
    return 0;
}

int lookup_ref(zwp_net_list_t *list, const uint8_t *key, zwp_net_t **out)
{
    if (!list || !out)
        return 2;
    zwu_mutex_guard guard(list->hash_lock);
    if (!guard.held())
        return 2;
    auto *net = static_cast<zwp_net_t *>(apr_hash_get(list->hash, key, id_size));
    if (!net)
        return 2;
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    if (ops->ref)
        ops->ref(net);
    *out = net;
    return 0;
}

// Takes one network out of the hash; null when it is empty (or the lock
// fails).
zwp_net_t *hash_take_any(zwp_net_list_t *list)
{
    zwu_mutex_guard guard(list->hash_lock);
    if (!guard.held())
        return nullptr;
    apr_hash_index_t *index = apr_hash_first(nullptr, list->hash);
    if (!index)
        return nullptr;
    const void *key = nullptr;
    void *value = nullptr;
    apr_hash_this(index, &key, nullptr, &value);
    apr_hash_set(list->hash, key, id_size, nullptr);
    return static_cast<zwp_net_t *>(value);
}

// The calls of this list that the root gateway messages use.
constexpr zwp_gateway_ops_t gateway_ops{
    zwp_net_list_zwave_client_get, zwp_net_list_zwave_client_lock, zwp_net_list_zwave_client_unlock,
    zwp_net_list_net_get,          zwp_net_list_net_stop,          portal_client_spawn,
};

} // namespace

int zwp_net_list_init(zwp_net_list_t **out, const zwp_net_config_t *config, zwp_avi_registry_t *registry)
{
    if (!out)
        return 22;
    zwp_gateway_ops_set(&gateway_ops);
    std::lock_guard<std::mutex> guard(g_singleton_lock);
    if (g_net_list) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *out = g_net_list;
        return 0;
    }
    auto *list = new (std::nothrow) zwp_net_list_t{};
    if (!list) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    list->config = config;
    list->registry = registry;
    struct step {
        bool ok;
        const char *failure;
    };
    const auto steps_ok = [&]() {
        if (zwu_pool_create(&list->pool, nullptr) != 0)
            return step{false, "Failed to create pool for network level"};
        if (zwu_hash_create(&list->hash, list->pool) != 0)
            return step{false, "Failed to create hash table for networks"};
        if (zwu_mutex_create(&list->hash_lock, ZWU_MUTEX_DEFAULT, list->pool) != 0)
            return step{false, "Failed to create lock for networks hash table"};
        if (zwu_mutex_create(&list->zwave_client_lock, ZWU_MUTEX_DEFAULT, list->pool) != 0)
            return step{false, "Failed to create lock for zip client initialization"};
        if (zwu_array_list_create(0, &list->stop_threads) != 0) {
            list->stop_threads = nullptr;
            return step{false, "Failed to allocate memory"};
        }
        if (zwu_mutex_create(&list->stop_threads_lock, ZWU_MUTEX_DEFAULT, list->pool) != 0)
            return step{false, "Failed to create lock for stop network thread array"};
        return step{true, nullptr};
    }();
    if (!steps_ok.ok) {
        ZWS_LOG_ERROR("%s", steps_ok.failure);
        net_list_free(list);
        return 22;
    }
    zwp_net_ops_install();
    if (scene_start(list) != 0 || gateway_select(list) != 0) {
        net_list_free(list);
        return 22;
    }
    g_net_list = list;
    *out = list;
    return 0;
}

void zwp_net_list_exit(zwp_net_list_t *list)
{
    if (!list)
        return;
    {
        std::lock_guard<std::mutex> guard(g_singleton_lock);
        if (g_net_list == list)
            g_net_list = nullptr;
    }
    // Entries are taken out under the lock and stopped without it: a stop
    // waits for requests that themselves looked the network up. The scene
    // library goes after the networks it is bound to.
    while (zwp_net_t *net = hash_take_any(list)) {
        zwp_zwave_client_net_set(list->zwave_client, nullptr);
        net_stop_free(net);
    }
    if (list->scene_started) {
        zwscn_shutdown();
        list->scene_started = false;
    }
    gateway_release(list);
    apr_thread_t *thread = nullptr;
    while (zwp_net_list_stop_thread_pop(list, &thread) == 0) {
        apr_status_t status = 0;
        if (zwu_thread_join(&status, thread) != 0)
            ZWS_LOG_ERROR("Failed to join thread handler %p", static_cast<void *>(thread));
    }
    net_list_free(list);
}

int zwp_net_list_add(zwp_net_list_t *list, zwp_net_t *net)
{
    if (!list || !net)
        return 22;
    zwu_mutex_guard guard(list->hash_lock);
    if (!guard.held())
        return 22;
    if (apr_hash_get(list->hash, zwp_net_list_fixed_id, id_size)) {
        ZWS_LOG_ERROR("A network is already registered under '%s'", ZWP_NET_LIST_FIXED_ID_TEXT);
        return 22;
    }
    apr_hash_set(list->hash, zwp_net_list_fixed_id, id_size, net);
    return 0;
}

int zwp_net_list_remove(zwp_net_list_t *list, zwp_net_t *net, int check)
{
    if (!list)
        return 22;
    zwu_mutex_guard guard(list->hash_lock);
    if (!guard.held())
        return 22;
    if (check && apr_hash_get(list->hash, zwp_net_list_fixed_id, id_size) != net) {
        ZWS_LOG_INFORMATION("Unable to find network [%p] in the list of connected networks", static_cast<void *>(net));
        return 2;
    }
    apr_hash_set(list->hash, zwp_net_list_fixed_id, id_size, nullptr);
    return 0;
}

int zwp_net_list_net_get(zwp_net_list_t *list, zwp_net_t **net) { return lookup_ref(list, zwp_net_list_fixed_id, net); }

int zwp_net_list_get_by_id(zwp_net_list_t *list, const char *id, zwp_net_t **net)
{
    uint8_t key[8];
    if (id_parse(id, key) != 0)
        return 22;
    return lookup_ref(list, key, net);
}

int zwp_net_list_stop_thread_add(zwp_net_list_t *list, apr_thread_t *thread)
{
    if (!list)
        return 22;
    zwu_mutex_guard guard(list->stop_threads_lock);
    if (!guard.held())
        return 22;
    return zwu_array_list_add(list->stop_threads, thread) == 0 ? 0 : 22;
}

int zwp_net_list_stop_thread_remove(zwp_net_list_t *list, apr_thread_t *thread)
{
    if (!list)
        return 22;
    zwu_mutex_guard guard(list->stop_threads_lock);
    if (!guard.held())
        return 22;
    return zwu_array_list_remove(list->stop_threads, thread) == 0 ? 0 : 2;
}

int zwp_net_list_stop_thread_pop(zwp_net_list_t *list, apr_thread_t **thread)
{
    if (!list || !thread)
        return 22;
    zwu_mutex_guard guard(list->stop_threads_lock);
    if (!guard.held())
        return 22;
    if (zwu_array_list_size(list->stop_threads) == 0)
        return 2;
    *thread = static_cast<apr_thread_t *>(zwu_array_list_get(list->stop_threads, 0));
    zwu_array_list_remove_at_index(list->stop_threads, 0);
    return 0;
}

apr_pool_t *zwp_net_list_pool_get(const zwp_net_list_t *list) { return list ? list->pool : nullptr; }
zwp_avi_registry_t *zwp_net_list_registry_get(const zwp_net_list_t *list) { return list ? list->registry : nullptr; }
const char *zwp_net_list_var_dir_get(const zwp_net_list_t *list)
{
    return list && list->config ? list->config->var_dir : nullptr;
}
const char *zwp_net_list_dev_cfg_file_get(const zwp_net_list_t *list)
{
    return list && list->config ? list->config->dev_cfg_file : nullptr;
}
uint32_t zwp_net_list_report_wait_timeout_get(const zwp_net_list_t *list)
{
    return list && list->config ? list->config->report_wait_timeout : 0;
}
uint8_t zwp_net_list_gw_auto_set_to_local_get(const zwp_net_list_t *list)
{
    return list && list->config ? list->config->gw_auto_set_to_local : 0;
}
zwp_zwave_client_t *zwp_net_list_zwave_client_get(const zwp_net_list_t *list)
{
    return list ? list->zwave_client : nullptr;
}
int zwp_net_list_zwave_client_set(zwp_net_list_t *list, zwp_zwave_client_t *zwave_client)
{
    if (!list || !zwave_client)
        return 22;
    list->zwave_client = zwave_client;
    return 0;
}
int zwp_net_list_zwave_client_lock(zwp_net_list_t *list)
{
    return list && zwu_mutex_lock(list->zwave_client_lock) == 0 ? 0 : 22;
}
int zwp_net_list_zwave_client_unlock(zwp_net_list_t *list)
{
    return list && zwu_mutex_unlock(list->zwave_client_lock) == 0 ? 0 : 22;
}

int portal_client_spawn(zwp_net_list_t *list, zwp_net_t **out)
{
    zwp_gw_t gw{};
    if (!list || zwp_zwave_client_gw_get(list->zwave_client, &gw) != 0)
        return 22;
    zwp_net_t *net = nullptr;
    if (zwp_net_create(&net, zwp_net_list_fixed_id, list->config, list->pool,
                       zwp_avi_interface_list_get(list->registry), zwp_avi_interface_setup_get(list->registry)) != 0)
        return 22;
    zwp_net_gw_params_set(net, &gw);
    zwp_net_owner_set(
        net, [](void *ctx, const char *id) { return zwp_net_list_net_stop(static_cast<zwp_net_list_t *>(ctx), id); },
        list);
    if (zwp_net_list_add(list, net) != 0) {
        zwp_net_free(net);
        return 22;
    }
    if (zwp_net_start_async(net) != 0) {
        zwp_net_list_remove(list, net, 0);
        zwp_net_free(net);
        return 22;
    }
    zwp_zwave_client_net_set(list->zwave_client, net);
    if (out)
        *out = net;
    return 0;
}

int zwp_net_list_net_stop(zwp_net_list_t *list, const char *id)
{
    if (!list)
        return 22;
    zwp_net_t *net = nullptr;
    {
        zwu_mutex_guard guard(list->hash_lock);
        if (!guard.held())
            return 22;
        net = static_cast<zwp_net_t *>(apr_hash_get(list->hash, zwp_net_list_fixed_id, id_size));
        if (!net) {
            ZWS_LOG_INFORMATION("Unable to find '%s' in the list of connected networks", id ? id : "");
            return 22;
        }
        apr_hash_set(list->hash, zwp_net_list_fixed_id, id_size, nullptr);
    }
    if (net_stop_free(net) != 0)
        return 22;
    if (zwp_zwave_client_net_get(list->zwave_client) == net)
        zwp_zwave_client_net_set(list->zwave_client, nullptr);
    return 0;
}

int zwp_net_list_net_stop_async(zwp_net_list_t *list, zwp_net_t *net)
{
    if (!list || !net || zwp_net_list_remove(list, net, 1) != 0)
        return 22;
    if (zwp_zwave_client_net_get(list->zwave_client) == net)
        zwp_zwave_client_net_set(list->zwave_client, nullptr);
    auto *job = new (std::nothrow) stop_async_job{list, net, nullptr};
    if (!job) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    zwu_mutex_guard guard(list->stop_threads_lock);
    if (!guard.held() || zwu_thread_create(&job->thread, list->pool, false, stop_async_handler, job) != 0) {
        delete job;
        return 22;
    }
    if (zwu_array_list_add(list->stop_threads, job->thread) != 0)
        ZWS_LOG_ERROR("Failed to keep the handle of the network stop thread");
    return 0;
}

int zwp_net_list_net_kill(zwp_net_list_t *list, zwp_net_t *net)
{
    if (!list || !net || zwp_net_list_remove(list, net, 1) != 0)
        return 22;
    if (zwp_zwave_client_net_get(list->zwave_client) == net)
        zwp_zwave_client_net_set(list->zwave_client, nullptr);
    return net_stop_free(net, "Network kill: zwp_net_stop() failed. 'net' not freed. Possible memory leak");
}
