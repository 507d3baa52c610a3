#include "daemon/zwp_avi_execute.h"

#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_net_ops.h"
#include "daemon/zwp_text.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using steady = std::chrono::steady_clock;

// Messages that answer also while no network runs.
constexpr const char *served_without_network[] = {"network_summary_get", "network_version_get"};

bool is_served_without_network(const char *name)
{
    for (const char *served : served_without_network) {
        if (std::strcmp(name, served) == 0)
            return true;
    }
    return false;
}

bool is_network_exit(const char *name) { return std::strcmp(name, "network_exit") == 0; }

// Holds the network's descriptor lock for a scope.
class desc_lock_guard {
public:
    // With need_tree the lock is taken only while the network has a tree.
    desc_lock_guard(zwp_net_t *net, bool need_tree)
    {
        const zwp_net_ops_t *ops = zwp_net_ops_get();
        int (*lock)(zwp_net_t *) = need_tree ? ops->desc_lock : ops->desc_lock_any;
        if (net && lock && ops->desc_unlock && lock(net) == 0)
            net_ = net;
    }
    ~desc_lock_guard()
    {
        if (net_)
            zwp_net_ops_get()->desc_unlock(net_);
    }
    desc_lock_guard(const desc_lock_guard &) = delete;
    desc_lock_guard &operator=(const desc_lock_guard &) = delete;
    bool held() const { return net_ != nullptr; }

private:
    zwp_net_t *net_ = nullptr;
};

int root_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request)
{
    const zwp_avi_message *message = request->root;
    request->result_free = message->result_free;
    if (message->call.root &&
        message->call.root(net_list, request->user, request->arguments, &request->results, message) != 0)
        return 22;
    return 0;
}

int network_level_execute(zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_avi_message_networks *message = request->network;
    request->result_free = message->result_free;
    request->utime = 0;
    if (is_network_exit(request->name) || !net)
        return !message->call || message->call(net, request->arguments, &request->results) == 0 ? 0 : 22;
    desc_lock_guard guard(net, message->flag == 1);
    if (!guard.held())
        return 22;
    if (message->call && message->call(net, request->arguments, &request->results) != 0)
        return 22;
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    request->utime = ops->tree_utime ? ops->tree_utime(net) : 0;
    return 0;
}

int node_level_execute(zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    desc_lock_guard guard(net, true);
    const zwnode_desc_t *node = nullptr;
    if (!guard.held() || !ops->node_find || ops->node_find(net, request->ids[ZWP_AVI_LEVEL_NODE], &node) != 0)
        return 22;
    request->result_free = request->node->result_free;
    if (request->node->call.node && request->node->call.node(node, request->arguments, &request->results) != 0)
        return 22;
    return 0;
}

int endpoint_level_execute(zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    desc_lock_guard guard(net, true);
    const zwep_desc_t *ep = nullptr;
    if (!guard.held() || !ops->ep_find ||
        ops->ep_find(net, request->ids[ZWP_AVI_LEVEL_NODE], request->ids[ZWP_AVI_LEVEL_ENDPOINT], &ep) != 0)
        return 22;
    request->result_free = request->endpoint->result_free;
    if (request->endpoint->call && request->endpoint->call(ep, request->arguments, &request->results) != 0)
        return 22;
    return 0;
}

int interface_find(const zwp_avi_request_t *request, zwp_net_t *net, const zwif_desc_t **intf)
{
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    return ops->if_find && ops->if_find(net, request->ids[ZWP_AVI_LEVEL_NODE], request->ids[ZWP_AVI_LEVEL_ENDPOINT],
                                        request->ids[ZWP_AVI_LEVEL_INTERFACE], intf) == 0
               ? 0
               : 22;
}

// The wait for the device's report after a get. The budget is one deadline
// on the monotonic clock: however often the condition variable is
// signalled before the awaited report is there, the wait as a whole never
// outlasts the configured time-out.
int report_wait(zwp_avi_request_t *request, zwp_net_t *net, uint32_t timeout_seconds, const zwif_desc_t **intf)
{
    const zwp_avi_message_interfaces *message = request->interface;
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    const auto budget_total = std::chrono::microseconds(static_cast<int64_t>(timeout_seconds) * 1000000);
    const steady::time_point deadline = steady::now() + budget_total;
    int64_t budget = budget_total.count();
    for (;;) {
        if (!ops->desc_tree_present || ops->desc_tree_present(net) != 0)
            return 22;
        // The tree may have changed while the lock was given up.
        if (interface_find(request, net, intf) != 0)
            return 22;
        if (!ops->report_seq || !ops->report_wait)
            return 22;
        // Taken before the check: a report stored after it moves the
        // sequence, and the wait below then ends at once.
        const uint64_t seq = ops->report_seq(net);
        if (message->report_wait(*intf, request->arguments) == 0)
            return 0;
        const int waited = ops->report_wait(net, seq, budget);
        if (waited == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady::now());
            budget = left.count() > 0 ? left.count() : 0;
            continue;
        }
        if (waited == ZWU_COND_TIMEDOUT) {
            ZWS_LOG_INFORMATION("Timed out on waiting for report after %ld microseconds", static_cast<long>(budget));
            return 0;
        }
        return 22;
    }
}

// The host-controller call and the waits after it, under the descriptor
// lock (which the waits give up while they wait).
int interface_call(zwp_net_list_t *net_list, zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_avi_message_interfaces *message = request->interface;
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    const zwif_desc_t *intf = nullptr;
    desc_lock_guard guard(net, true);
    if (!guard.held() || interface_find(request, net, &intf) != 0)
        return 22;
    if (!ops->tx_status_reset || ops->tx_status_reset(net) != 0)
        return 22;
    uint32_t status = 0;
    const int called = message->hcapi_call(intf, request->arguments, &status);
    if ((called != 0 || status != 0) && ops->tx_status_end)
        ops->tx_status_end(net);
    if (called != 0)
        return 22;
    if (status > 2)
        return ZWP_AVI_FAIL("HCAPI call for '%s' failed with '%s'", request->name_logged.c_str(),
                            zwp_err_str(static_cast<int>(status)));
    if (status == 0) {
        uint8_t tx_status = 0;
        if (!ops->tx_status_wait || ops->tx_status_wait(net, &tx_status) != 0)
            return 22;
        if (tx_status != 0)
            return ZWP_AVI_FAIL("Transmit for '%s' failed with status %u", request->name_logged.c_str(),
                                static_cast<unsigned>(tx_status));
    }
    // Queued for a sleeping or busy node: answered at once from the state.
    if (status == 1 || !message->report_wait)
        return 0;
    return report_wait(request, net, zwp_net_list_report_wait_timeout_get(net_list), &intf);
}

int interface_level_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_avi_message_interfaces *message = request->interface;
    request->result_free = message->result_free;
    if (!net)
        return 22;
    if (!request->passive && message->hcapi_call && interface_call(net_list, request, net) != 0)
        return 22;
    if (!message->result_get)
        return 0;
    desc_lock_guard guard(net, true);
    const zwif_desc_t *intf = nullptr;
    if (!guard.held() || interface_find(request, net, &intf) != 0)
        return 22;
    return message->result_get(intf, request->arguments, &request->results) == 0 ? 0 : 22;
}

int levels_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request, zwp_net_t *net)
{
    switch (request->level) {
    case ZWP_AVI_LEVEL_NETWORK:
        return network_level_execute(request, net);
    case ZWP_AVI_LEVEL_NODE:
        return net ? node_level_execute(request, net) : 22;
    case ZWP_AVI_LEVEL_ENDPOINT:
        return net ? endpoint_level_execute(request, net) : 22;
    case ZWP_AVI_LEVEL_INTERFACE:
        return interface_level_execute(net_list, request, net);
    default:
        return 22;
    }
}

int network_path_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request)
{
    // One network serves every request, whatever id the client named.
    char *fixed = static_cast<char *>(std::malloc(sizeof ZWP_NET_LIST_FIXED_ID_TEXT));
    if (!fixed)
        return ZWP_AVI_FAIL("Failed to allocate memory");
    std::memcpy(fixed, ZWP_NET_LIST_FIXED_ID_TEXT, sizeof ZWP_NET_LIST_FIXED_ID_TEXT);
    std::free(request->network_id);
    request->network_id = fixed;

    zwp_net_t *net = nullptr;
    if (zwp_net_list_net_get(net_list, &net) != 0) {
        net = nullptr;
        ZWS_LOG_INFORMATION("Unable to find '%s' in the list of connected networks", request->network_id);
        if (!(request->level == ZWP_AVI_LEVEL_NETWORK && is_served_without_network(request->name)))
            return 22;
    }
    const int result = levels_execute(net_list, request, net);
    // network_exit hands its reference to the stop it starts.
    if (net && !is_network_exit(request->name)) {
        const zwp_net_ops_t *ops = zwp_net_ops_get();
        if (ops->unref)
            ops->unref(net);
    }
    return result;
}

} // namespace

int zwp_net_list_request_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request)
{
    if (!request || !request->name)
        return 22;
    switch (request->kind) {
    case ZWP_AVI_KIND_ROOT:
        return request->root ? root_execute(net_list, request) : 22;
    case ZWP_AVI_KIND_LEVELED:
        return network_path_execute(net_list, request);
    case ZWP_AVI_KIND_IFTTT:
        if (request->level == ZWP_AVI_LEVEL_NETWORK || request->level == ZWP_AVI_LEVEL_INTERFACE)
            return network_path_execute(net_list, request);
        return 0;
    default:
        return 22;
    }
}
