#include "scene/zwscn.h"

#include <sys/prctl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct zwscn_library {
    std::mutex lock;
    bool running = false;
    char init_thread_name[16] = {};
};

zwscn_library &library()
{
    static zwscn_library instance;
    return instance;
}

} // namespace

int zwscn_init(void)
{
    zwscn_library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    if (lib.running)
        return 0;
    char name[16] = {};
    if (prctl(PR_GET_NAME, name, 0, 0, 0) != 0)
        name[0] = '\0';
    std::memcpy(lib.init_thread_name, name, sizeof name);
    lib.init_thread_name[sizeof lib.init_thread_name - 1] = '\0';
    lib.running = true;
    return 0;
}

void zwscn_shutdown(void)
{
    zwscn_library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    lib.running = false;
}

int zwscn_is_running(void)
{
    zwscn_library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    return lib.running ? 1 : 0;
}

void zwscn_init_thread_name_get(char *name, size_t size)
{
    if (!name || size == 0)
        return;
    zwscn_library &lib = library();
    std::lock_guard<std::mutex> guard(lib.lock);
    std::strncpy(name, lib.init_thread_name, size - 1);
    name[size - 1] = '\0';
}

namespace {

struct scene_network {
    void *ctx;
    zwscn_network_view_t view;
};

std::mutex g_networks_lock;
std::vector<scene_network> g_networks;

scene_network *network_find(void *ctx)
{
    for (scene_network &net : g_networks)
        if (net.ctx == ctx)
            return &net;
    return nullptr;
}

void event_record(void *ctx, zwscn_event_t event)
{
    std::lock_guard<std::mutex> guard(g_networks_lock);
    scene_network *net = network_find(ctx);
    if (net && net->view.bound)
        net->view.events.push_back(std::move(event));
}

void hook_op_notify(void *ctx, uint8_t op, uint16_t status, const void *data, size_t length)
{
    const auto *bytes = static_cast<const uint8_t *>(data);
    event_record(ctx, {'o', op, 0, status, 0, std::vector<uint8_t>(bytes, bytes ? bytes + length : bytes)});
}

void hook_node_change(void *ctx, uint8_t node_id, uint32_t mode)
{
    event_record(ctx, {'n', node_id, 0, 0, static_cast<int>(mode), {}});
}

void hook_report(void *ctx, uint8_t node_id, uint8_t ep_id, uint16_t cls, int kind, const void *record,
                 size_t length)
{
    const auto *bytes = static_cast<const uint8_t *>(record);
    event_record(ctx, {'r', node_id, ep_id, cls, kind, std::vector<uint8_t>(bytes, bytes ? bytes + length : bytes)});
}

} // namespace

int zwscn_init_network(const zwscn_init_network_t *param, zwscn_hooks_t **hooks)
{
    if (!param || !hooks || !param->ctx || !zwscn_is_running())
        return -1;
    auto *block = static_cast<zwscn_hooks_t *>(std::malloc(sizeof(zwscn_hooks_t)));
    if (!block)
        return -1;
    *block = {hook_op_notify, hook_node_change, hook_report};
    std::lock_guard<std::mutex> guard(g_networks_lock);
    scene_network *net = network_find(param->ctx);
    if (!net) {
        g_networks.push_back({param->ctx, {}});
        net = &g_networks.back();
    }
    net->view = {};
    net->view.bound = true;
    net->view.param = *param;
    *hooks = block;
    return 0;
}

void zwscn_exit_network(void *ctx)
{
    std::lock_guard<std::mutex> guard(g_networks_lock);
    if (scene_network *net = network_find(ctx))
        net->view.bound = false;
}

int zwscn_status_update_all_scenes(void *ctx)
{
    std::lock_guard<std::mutex> guard(g_networks_lock);
    scene_network *net = network_find(ctx);
    if (!net || !net->view.bound)
        return -1;
    net->view.status_updates++;
    return 0;
}

bool zwscn_network_view_get(void *ctx, zwscn_network_view_t *view)
{
    std::lock_guard<std::mutex> guard(g_networks_lock);
    scene_network *net = network_find(ctx);
    if (!net || !view)
        return false;
    *view = net->view;
    return true;
}
