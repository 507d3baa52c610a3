#include "daemon/zwp_scene_hook.h"

#include "daemon/zwp_log.h"
#include "util/zwu_time.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// Tables of the networks whose library runs, found by their network record
// (the library's user context). The forwarders copy what they need under
// the lock and call without it.
std::mutex g_tables_lock;
std::vector<zwp_hook_table_t *> g_tables;

zwp_hook_table_t *table_of(void *net)
{
    if (!net)
        return nullptr;
    std::lock_guard<std::mutex> guard(g_tables_lock);
    for (zwp_hook_table_t *table : g_tables)
        if (table->net.load() == net)
            return table;
    return nullptr;
}

void table_register(zwp_hook_table_t *table)
{
    std::lock_guard<std::mutex> guard(g_tables_lock);
    if (std::find(g_tables.begin(), g_tables.end(), table) == g_tables.end())
        g_tables.push_back(table);
}

void table_unregister(zwp_hook_table_t *table)
{
    std::lock_guard<std::mutex> guard(g_tables_lock);
    g_tables.erase(std::remove(g_tables.begin(), g_tables.end(), table), g_tables.end());
}

void table_clear(zwp_hook_table_t *table)
{
    table->net = nullptr;
    table->hc = nullptr;
    table->scn_op_notify = nullptr;
    table->scn_node_change = nullptr;
    table->scn_report = nullptr;
    table->notify = nullptr;
    table->node = nullptr;
    for (auto &slot : table->rpt)
        slot = nullptr;
    table->owner = {};
}

// ---------------------------------------------------------------------------
// Forwarders of the library's callbacks
// ---------------------------------------------------------------------------

void notify_fwd(void *user, uint8_t op, uint16_t status, const zwnet_op_info_t *info)
{
    zwp_hook_table_t *table = table_of(user);
    if (!table)
        return;
    // Taken before the daemon's callback, which may start the next step.
    const bool replaced = op == ZWNET_OP_RP_NODE && status == ZWNET_OP_STS_DONE;
    uint8_t node_id = 0;
    if (replaced && table->owner.replaced_node_id)
        node_id = table->owner.replaced_node_id(user);
    if (zwnet_notify_fn daemon = table->notify.load())
        daemon(user, op, status, info);
    auto scene = table->scn_op_notify.load();
    if (!scene)
        return;
    if (replaced) {
        scene(user, op, status, &node_id, 1);
        return;
    }
    char id[25];
    if (!table->owner.ctx_persistent || table->owner.ctx_persistent(user, id, sizeof id) != 1) {
        ZWS_LOG_ERROR("zwp_net_get_ctx_persistent() failed");
        scene(user, op, status, nullptr, 0);
        return;
    }
    scene(user, op, status, id, sizeof id);
}

void node_fwd(void *user, const zwnode_desc_t *node, uint32_t mode)
{
    zwp_hook_table_t *table = table_of(user);
    if (!table)
        return;
    const zwp_hook_owner_t owner = table->owner;
    if (owner.ref)
        owner.ref(user);
    if (zwnet_node_fn daemon = table->node.load())
        daemon(user, node, mode);
    auto scene = table->scn_node_change.load();
    if (scene && node && mode <= ZWNET_NODE_STATUS_DOWN)
        scene(user, node->nodeid, mode);
    if (owner.unref)
        owner.unref(user);
}

// A timestamped value record for the scene library: the report's time, then
// the value bytes, in a record of `length` bytes.
struct value_record {
    uint8_t bytes[24] = {};
    size_t length = 16;
};

value_record stamped(const void *value, size_t size, size_t length)
{
    value_record rec;
    const uint64_t now = zwu_time_now();
    std::memcpy(rec.bytes, &now, sizeof now);
    std::memcpy(rec.bytes + sizeof now, value, std::min(size, sizeof rec.bytes - sizeof now));
    rec.length = length;
    return rec;
}

void scene_report(void *user, zwp_hook_table_t *table, const zwif_desc_t *intf, int kind, const value_record &rec)
{
    if (auto scene = table->scn_report.load())
        scene(user, intf->nodeid, intf->epid, intf->cls, kind, rec.bytes, rec.length);
}

// The table that serves an interface's network, with its record.
zwp_hook_table_t *table_of_intf(const zwif_desc_t *intf, void **user)
{
    *user = intf && intf->net ? zwnet_get_user(intf->net) : nullptr;
    return table_of(*user);
}

// How each hooked class reaches the scene library.
enum class shape { value, pair, record };
struct hook_row {
    uint16_t cls;
    uint8_t rpt_cmd;
    shape kind_of_cb;
    int kind;          // 0: not forwarded
    size_t length;     // of the forwarded record
    size_t first;      // record bytes forwarded after the time
};
constexpr hook_row hook_rows[ZWP_HOOK_RPT_COUNT] = {
    {0x20, 0x03, shape::value, 3, 16, 1},   // basic
    {0x25, 0x03, shape::value, 3, 16, 1},   // switch binary
    {0x26, 0x03, shape::value, 3, 16, 1},   // switch multilevel
    {0x33, 0x04, shape::record, 0, 0, 0},   // switch color
    {0x62, 0x03, shape::record, 3, 16, 6},  // door lock operation
    {0x43, 0x03, shape::record, 3, 16, 8},  // thermostat setpoint
    {0x30, 0x03, shape::pair, 3, 24, 0},    // sensor binary
    {0x31, 0x05, shape::record, 5, 16, 8},  // sensor multilevel
    {0x71, 0x05, shape::record, 5, 24, 12}, // notification
    {0x5B, 0x03, shape::record, 3, 16, 0},  // central scene
    {0x66, 0x03, shape::value, 0, 0, 0},    // barrier operator
    {0x66, 0x08, shape::pair, 0, 0, 0},     // barrier operator signal
};
static_assert(hook_rows[ZWP_HOOK_CSC].cls == 0x5B && hook_rows[ZWP_HOOK_BSENSOR].cls == 0x30,
              "rows follow the slot order");

template <int Slot>
void value_fwd(zwif_desc_t *intf, uint8_t value, time_t ts)
{
    void *user = nullptr;
    zwp_hook_table_t *table = table_of_intf(intf, &user);
    if (!table)
        return;
    if (auto cb = reinterpret_cast<zwp_hook_value_fn>(table->rpt[Slot].load()))
        cb(intf, value, ts);
    constexpr hook_row row = hook_rows[Slot];
    if (row.kind)
        scene_report(user, table, intf, row.kind, stamped(&value, 1, row.length));
}

template <int Slot>
void pair_fwd(zwif_desc_t *intf, uint8_t first, uint8_t second, time_t ts)
{
    void *user = nullptr;
    zwp_hook_table_t *table = table_of_intf(intf, &user);
    if (!table)
        return;
    if (auto cb = reinterpret_cast<zwp_hook_pair_fn>(table->rpt[Slot].load()))
        cb(intf, first, second, ts);
    constexpr hook_row row = hook_rows[Slot];
    if (!row.kind)
        return;
    // A binary sensor's state goes with the time of an idle (0) or an
    // active report, the other time 0; no leading time.
    value_record rec;
    const uint64_t now = zwu_time_now();
    std::memcpy(rec.bytes + (first == 0 ? 0 : 8), &now, sizeof now);
    rec.bytes[16] = first;
    rec.bytes[17] = second;
    rec.length = row.length;
    scene_report(user, table, intf, row.kind, rec);
}

template <int Slot>
void record_fwd(zwif_desc_t *intf, const void *record, time_t ts)
{
    void *user = nullptr;
    zwp_hook_table_t *table = table_of_intf(intf, &user);
    if (!table)
        return;
    if (auto cb = reinterpret_cast<zwp_hook_record_fn>(table->rpt[Slot].load()))
        cb(intf, record, ts);
    constexpr hook_row row = hook_rows[Slot];
    if (!row.kind || !record)
        return;
    const auto *bytes = static_cast<const uint8_t *>(record);
    if (Slot == ZWP_HOOK_CSC) {
        const uint8_t value[2] = {bytes[2], bytes[1]};
        scene_report(user, table, intf, row.kind, stamped(value, sizeof value, row.length));
        return;
    }
    scene_report(user, table, intf, row.kind, stamped(bytes, row.first, row.length));
}

void basic_set_fwd(void *user, uint8_t node_id, uint8_t ep_id, const uint8_t *cmd, uint16_t len)
{
    if (!cmd || len < 3 || cmd[0] != 0x20 || cmd[1] != 0x01)
        return;
    zwp_hook_table_t *table = table_of(user);
    auto scene = table ? table->scn_report.load() : nullptr;
    if (!scene)
        return;
    const value_record rec = stamped(&cmd[2], 1, 16);
    scene(user, node_id, ep_id, 0x20, 1, rec.bytes, rec.length);
}

// The library's own setter of a class, or the generic one with the class's
// report command.
int rpt_register(const zwif_desc_t *intf, int slot, zwif_rpt_fn fwd)
{
    if (slot == ZWP_HOOK_BASIC)
        return zwif_basic_rpt_set(intf, reinterpret_cast<zwrep_ts_fn>(fwd));
    if (slot == ZWP_HOOK_SWITCH)
        return zwif_switch_rpt_set(intf, reinterpret_cast<zwrep_ts_fn>(fwd));
    return zwif_set_report(intf, fwd, hook_rows[slot].rpt_cmd);
}

int install(const zwif_desc_t *intf, int slot, void *cb, zwif_rpt_fn fwd)
{
    void *user = nullptr;
    zwp_hook_table_t *table = table_of_intf(intf, &user);
    if (!table)
        return -1;
    if (intf->cls != hook_rows[slot].cls)
        return ZW_ERR_CLASS_NOT_FOUND;
    table->rpt[slot] = cb;
    return rpt_register(intf, slot, fwd);
}

template <int Slot>
zwif_rpt_fn forwarder()
{
    switch (hook_rows[Slot].kind_of_cb) {
    case shape::value:
        return reinterpret_cast<zwif_rpt_fn>(&value_fwd<Slot>);
    case shape::pair:
        return reinterpret_cast<zwif_rpt_fn>(&pair_fwd<Slot>);
    case shape::record:
        break;
    }
    return reinterpret_cast<zwif_rpt_fn>(&record_fwd<Slot>);
}

// ---------------------------------------------------------------------------
// Action callbacks offered to the scene library
// ---------------------------------------------------------------------------

zwnet_p hc_of(void *ctx)
{
    zwp_hook_table_t *table = table_of(ctx);
    return table ? table->hc.load() : nullptr;
}

int cb_rsvd(void *) { return 0; }

int action_set(void *ctx, uint8_t node_id, uint8_t ep_id, uint16_t cls, int kind, void *data, zwscn_cmpl_fn)
{
    std::unique_ptr<void, decltype(&std::free)> owned(data, std::free);
    zwif_desc_t intf{};
    zwnet_p hc = hc_of(ctx);
    if (!hc || zwnet_if_desc_get(hc, node_id, ep_id, cls, &intf) != 0)
        return ZW_ERR_INTF_NOT_FOUND;
    if (kind != ZWSCN_ACTION_KIND_VALUE)
        return ZW_ERR_UNSUPPORTED;
    const auto *value = static_cast<const uint8_t *>(data);
    switch (cls) {
    case 0x20:
        return value ? zwif_basic_set(&intf, value[0]) : ZW_ERR_VALUE;
    case 0x25:
        return value ? zwif_switch_set(&intf, value[0]) : ZW_ERR_VALUE;
    default:
        ZWS_LOG_ERROR("Unsupported command class:%04Xh", cls);
        return ZW_ERR_CLASS_NOT_FOUND;
    }
}

int action_get(void *ctx, uint8_t node_id, uint8_t ep_id, uint16_t cls, int kind, void *data, zwscn_poll_req_t *poll)
{
    std::unique_ptr<void, decltype(&std::free)> owned(data, std::free);
    zwif_desc_t intf{};
    zwnet_p hc = hc_of(ctx);
    if (!hc || zwnet_if_desc_get(hc, node_id, ep_id, cls, &intf) != 0)
        return ZW_ERR_INTF_NOT_FOUND;
    if (kind != ZWSCN_ACTION_KIND_VALUE)
        return ZW_ERR_UNSUPPORTED;
    if (poll)
        return ZW_ERR_UNSUPPORTED;  // the library's polling gets
    switch (cls) {
    case 0x20:
        return zwif_basic_get(&intf, ZWIF_GET_BMSK_CACHE | ZWIF_GET_BMSK_LIVE);
    case 0x25:
        return zwif_switch_get(&intf, ZWIF_GET_BMSK_CACHE | ZWIF_GET_BMSK_LIVE);
    default:
        ZWS_LOG_ERROR("Unsupported command class:%04Xh", cls);
        return ZW_ERR_CLASS_NOT_FOUND;
    }
}

void text_cut(char *to, size_t size, const char *from)
{
    if (!to || size == 0)
        return;
    std::snprintf(to, size, "%s", from);
}

int nameloc_get(void *ctx, uint8_t node_id, uint8_t ep_id, uint32_t, char *name, size_t name_size, char *loc,
                size_t loc_size)
{
    zwep_desc_t ep{};
    zwnet_p hc = hc_of(ctx);
    if (!hc || zwnet_ep_desc_get(hc, node_id, ep_id, &ep) != 0)
        return ZW_ERR_EP_NOT_FOUND;
    ep.name[sizeof ep.name - 1] = '\0';
    ep.loc[sizeof ep.loc - 1] = '\0';
    text_cut(name, name_size, ep.name);
    text_cut(loc, loc_size, ep.loc);
    return 0;
}

int poll_rm(void *ctx, uint16_t handle) { return zwnet_poll_rm(hc_of(ctx), handle); }
int poll_rm_key(void *ctx, uint32_t key) { return zwnet_poll_rm_key(hc_of(ctx), key); }

int exists(void *ctx, int kind, uint8_t node_id, uint8_t ep_id, uint16_t cls)
{
    zwnet_p hc = hc_of(ctx);
    if (!hc)
        return 0;
    switch (kind) {
    case ZWSCN_EXIST_NODE:
        return zwnet_node_desc_get(hc, node_id, nullptr) == 0 ? 1 : 0;
    case ZWSCN_EXIST_EP:
        return zwnet_ep_desc_get(hc, node_id, ep_id, nullptr) == 0 ? 1 : 0;
    case ZWSCN_EXIST_IF:
        return zwnet_if_desc_get(hc, node_id, ep_id, cls, nullptr) == 0 ? 1 : 0;
    default:
        return 0;
    }
}

} // namespace

int zwp_hook_zwnet_init(zwp_hook_table_t *table, void *net, const zwp_hook_owner_t *owner, zwnet_init_t *params,
                        zwnet_p *hc)
{
    if (!table || !net || !params || !hc)
        return ZW_ERR_VALUE;
    table_clear(table);
    table->owner = owner ? *owner : zwp_hook_owner_t{};
    table->notify = params->notify;
    table->node = params->node;
    table->net = net;
    table_register(table);
    const zwnet_notify_fn daemon_notify = params->notify;
    const zwnet_node_fn daemon_node = params->node;
    params->notify = notify_fwd;
    params->node = node_fwd;
    params->appl_cmd = basic_set_fwd;
    const int result = zwnet_init(params, hc);
    params->notify = daemon_notify;
    params->node = daemon_node;
    if (result != 0) {
        table_unregister(table);
        return result;
    }
    table->hc = *hc;
    return 0;
}

void zwp_hook_zwnet_exit(zwp_hook_table_t *table, zwnet_p hc)
{
    zwnet_exit(hc);
    if (table) {
        table_unregister(table);
        table->hc = nullptr;
    }
}

zwp_hook_table_t *zwp_hook_table_get(zwnet_p hc) { return hc ? table_of(zwnet_get_user(hc)) : nullptr; }

int zwp_hook_basic_rpt_set(const zwif_desc_t *intf, zwp_hook_value_fn cb)
{
    return install(intf, ZWP_HOOK_BASIC, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_BASIC>());
}
int zwp_hook_switch_rpt_set(const zwif_desc_t *intf, zwp_hook_value_fn cb)
{
    return install(intf, ZWP_HOOK_SWITCH, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_SWITCH>());
}
int zwp_hook_level_rpt_set(const zwif_desc_t *intf, zwp_hook_value_fn cb)
{
    return install(intf, ZWP_HOOK_LEVEL, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_LEVEL>());
}
int zwp_hook_col_sw_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb)
{
    return install(intf, ZWP_HOOK_COL_SW, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_COL_SW>());
}
int zwp_hook_dlck_op_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb)
{
    return install(intf, ZWP_HOOK_DLCK_OP, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_DLCK_OP>());
}
int zwp_hook_thrmo_setp_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb)
{
    return install(intf, ZWP_HOOK_THRMO_SETP, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_THRMO_SETP>());
}
int zwp_hook_bsensor_rpt_set(const zwif_desc_t *intf, zwp_hook_pair_fn cb)
{
    return install(intf, ZWP_HOOK_BSENSOR, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_BSENSOR>());
}
int zwp_hook_sensor_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb)
{
    return install(intf, ZWP_HOOK_SENSOR, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_SENSOR>());
}
int zwp_hook_alrm_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb)
{
    return install(intf, ZWP_HOOK_ALRM, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_ALRM>());
}
int zwp_hook_csc_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb)
{
    return install(intf, ZWP_HOOK_CSC, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_CSC>());
}
int zwp_hook_barrier_rpt_set(const zwif_desc_t *intf, zwp_hook_value_fn cb)
{
    return install(intf, ZWP_HOOK_BARRIER, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_BARRIER>());
}
int zwp_hook_barrier_notif_rpt_set(const zwif_desc_t *intf, zwp_hook_pair_fn cb)
{
    return install(intf, ZWP_HOOK_BARRIER_NOTIF, reinterpret_cast<void *>(cb), forwarder<ZWP_HOOK_BARRIER_NOTIF>());
}

int zwp_hook_time_zone_read(const char *path, char *out, size_t size)
{
    FILE *file = path ? std::fopen(path, "r") : nullptr;
    if (!file || !out || size == 0) {
        if (file)
            std::fclose(file);
        return 22;
    }
    const bool read = std::fgets(out, static_cast<int>(size), file) != nullptr;
    std::fclose(file);
    if (!read)
        return 22;
    out[std::strcspn(out, "\r\n")] = '\0';
    return out[0] ? 0 : 22;
}

int zwp_hook_scene_init(zwp_hook_table_t *table, const char *stor_dir, const char *time_zone, const char *tz_path,
                        char *tz_out)
{
    if (!table || !tz_out)
        return 22;
    void *net = table->net.load();
    zwscn_init_network_t param{};
    if (!table->owner.ctx_persistent ||
        table->owner.ctx_persistent(net, param.ctx_persistent, sizeof param.ctx_persistent) != 1) {
        ZWS_LOG_ERROR("zwp_net_get_ctx_persistent() failed");
        return 22;
    }
    if (time_zone) {
        std::snprintf(param.time_zone, sizeof param.time_zone, "%s", time_zone);
    } else if (zwp_hook_time_zone_read(tz_path, param.time_zone, sizeof param.time_zone) == 0) {
        ZWS_LOG_ERROR("Using time zone = %s ", param.time_zone);
    } else {
        // Schedules then run in UTC rather than the network not starting.
        ZWS_LOG_ERROR("Reading %s Failed. Scenes won't work.", tz_path ? tz_path : "");
        ZWS_LOG_WARN("Using time zone UTC instead");
        std::snprintf(param.time_zone, sizeof param.time_zone, "UTC");
    }
    std::memcpy(tz_out, param.time_zone, sizeof param.time_zone);
    param.ctx = net;
    std::snprintf(param.stor_dir, sizeof param.stor_dir, "%s", stor_dir ? stor_dir : "");
    std::fill(std::begin(param.rsvd_words), std::end(param.rsvd_words), 0xFFFFFFFFu);
    param.cb_rsvd = cb_rsvd;
    param.action_set = action_set;
    param.action_get = action_get;
    param.nameloc_get = nameloc_get;
    param.poll_rm = poll_rm;
    param.poll_rm_key = poll_rm_key;
    param.exists = exists;
    zwscn_hooks_t *hooks = nullptr;
    const int result = zwscn_init_network(&param, &hooks);
    if (result != 0 || !hooks) {
        ZWS_LOG_ERROR("zwscn_init_network with error:%d", result);
        return 22;
    }
    table->scn_op_notify = hooks->op_notify;
    table->scn_node_change = hooks->node_change;
    table->scn_report = hooks->report;
    std::free(hooks);
    const int updated = zwscn_status_update_all_scenes(net);
    if (updated != 0)
        ZWS_LOG_WARN("zwscn_status_update_all_scenes with error:%d", updated);
    return 0;
}
