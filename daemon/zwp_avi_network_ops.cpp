#include "daemon/zwp_avi_network_ops.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_alloc.h"
#include "daemon/zwp_avi_fields.h"
#include "daemon/zwp_avi_message.h"
#include "daemon/zwp_desc.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net.h"
#include "daemon/zwp_text.h"
#include "hcapi/include/zwnet.h"

#include <new>
#include <string>

namespace {

using args_t = zwp_avi_net_args_t;

// The largest node id of a Z-Wave network; an id beyond it would reach the
// library cut to its low byte, another node.
constexpr int32_t node_id_max = 232;

constexpr zwp_avi_net_arg_field_t dsk_optional[] = {
    {"dsk", nullptr, &args_t::dsk, false, 0, 0},
};
constexpr zwp_avi_net_arg_field_t node_id_only[] = {
    {"node_id", &args_t::node_id, nullptr, true, 0, node_id_max},
};
constexpr zwp_avi_net_arg_field_t node_id_dsk[] = {
    {"node_id", &args_t::node_id, nullptr, true, 0, node_id_max},
    {"dsk", nullptr, &args_t::dsk, false, 0, 0},
};
constexpr zwp_avi_net_arg_field_t send_nif_fields[] = {
    {"node_id", &args_t::node_id, nullptr, true, 0, node_id_max},
    {"is_broadcast", &args_t::is_broadcast, nullptr, true, INT32_MIN, INT32_MAX},
};
constexpr zwp_avi_net_arg_field_t grant_fields[] = {
    {"granted_keys", &args_t::granted_keys, nullptr, true, 0, 0xFF},
    {"grant_csa", &args_t::grant_csa, nullptr, false, 0, 1},
};
constexpr zwp_avi_net_arg_field_t accept_fields[] = {
    {"accept", &args_t::accept, nullptr, true, 0, 1},
    {"dsk", nullptr, &args_t::dsk, true, 0, 0},
};

// An empty DSK is no DSK.
zwnet_sec2_req_t sec2_req(zwp_net_t *net, const args_t &args)
{
    return {net, zwp_net_add_node_sec2_cb, args.dsk.empty() ? nullptr : args.dsk.c_str()};
}

// Runs the call that starts operation `op`. The operation is current
// before the call, so that a notification the library sends before the
// call returns finds it; a refused call puts the fields back as they were.
template <typename Call>
int op_start(zwp_net_t *net, uint8_t op, const char *failure_format, Call call)
{
    const zwp_net_op_state_t saved = zwp_net_op_begin(net, op);
    const int rc = call(zwp_net_hc_get(net));
    if (rc != 0) {
        zwp_net_op_restore(net, &saved);
        ZWS_LOG_ERROR(failure_format, zwp_err_str(rc));
        return 22;
    }
    return 0;
}

int node_add_call(zwp_net_t *net, void *arguments, void **)
{
    const zwnet_sec2_req_t req = sec2_req(net, zwp_avi_net_args_of(arguments));
    return op_start(net, ZWNET_OP_ADD_NODE, "zwnet_add() with 'add' failed with '%s'",
                    [&](zwnet_p hc) { return zwnet_add(hc, 1, &req, 0); });
}

int node_add_on_behalf_call(zwp_net_t *net, void *arguments, void **)
{
    const zwnet_sec2_req_t req = sec2_req(net, zwp_avi_net_args_of(arguments));
    return op_start(net, ZWNET_OP_ADD_NODE, "zwnet_add() with 'add on-behalf' failed with '%s'",
                    [&](zwnet_p hc) { return zwnet_add(hc, 1, &req, 1); });
}

int node_remove_call(zwp_net_t *net, void *, void **)
{
    return op_start(net, ZWNET_OP_RM_NODE, "zwnet_add() with 'remove' failed with '%s'",
                    [](zwnet_p hc) { return zwnet_add(hc, 0, nullptr, 0); });
}

int failed_node_remove_call(zwp_net_t *net, void *arguments, void **)
{
    const auto node_id = static_cast<uint8_t>(zwp_avi_net_args_of(arguments).node_id);
    return op_start(net, ZWNET_OP_RM_FAILED_ID, "zwnet_fail() with 'remove' failed with '%s'",
                    [&](zwnet_p hc) { return zwnet_fail(hc, node_id, 0, nullptr, 0); });
}

int failed_node_replace(zwp_net_t *net, void *arguments, int on_behalf)
{
    const args_t &args = zwp_avi_net_args_of(arguments);
    const zwnet_sec2_req_t req = sec2_req(net, args);
    const auto node_id = static_cast<uint8_t>(args.node_id);
    return op_start(net, ZWNET_OP_RP_NODE, "zwnet_fail() with 'replace' failed with '%s'",
                    [&](zwnet_p hc) { return zwnet_fail(hc, node_id, 1, &req, on_behalf); });
}

int failed_node_replace_call(zwp_net_t *net, void *arguments, void **)
{
    return failed_node_replace(net, arguments, 0);
}

int failed_node_replace_on_behalf_call(zwp_net_t *net, void *arguments, void **)
{
    return failed_node_replace(net, arguments, 1);
}

int node_update_call(zwp_net_t *net, void *arguments, void **)
{
    const zwnode_desc_t *node = nullptr;
    const auto node_id = static_cast<uint32_t>(zwp_avi_net_args_of(arguments).node_id);
    if (zwp_desc_node_find(zwp_net_desc_tree_get(net), node_id, &node) != 0)
        return 22;
    zwp_net_updated_node_set(net, node);
    return op_start(net, ZWNET_OP_NODE_UPDATE, "zwnode_update() failed with '%s'",
                    [&](zwnet_p) { return zwnode_update(node); });
}

int update_call(zwp_net_t *net, void *, void **)
{
    return op_start(net, ZWNET_OP_UPDATE, "zwnet_update() failed with '%s'",
                    [](zwnet_p hc) { return zwnet_update(hc); });
}

int send_nif_call(zwp_net_t *net, void *arguments, void **)
{
    const args_t &args = zwp_avi_net_args_of(arguments);
    const zwnode_desc_t *node = nullptr;
    if (args.is_broadcast == 0 &&
        zwp_desc_node_find(zwp_net_desc_tree_get(net), static_cast<uint32_t>(args.node_id), &node) != 0)
        return 22;
    const uint8_t broadcast = args.is_broadcast != 0 ? 1 : 0;
    return op_start(net, ZWNET_OP_SEND_NIF, "zwnet_send_nif() failed with '%s'",
                    [&](zwnet_p hc) { return zwnet_send_nif(hc, node, broadcast); });
}

int initiate_call(zwp_net_t *net, void *, void **)
{
    return op_start(net, ZWNET_OP_INITIATE, "zwnet_initiate() failed with '%s'",
                    [net](zwnet_p hc) { return zwnet_initiate(hc, zwp_net_local_dsk_cb, net); });
}

int migrate_call(zwp_net_t *net, void *, void **)
{
    return op_start(net, ZWNET_OP_MIGRATE, "zwnet_migrate() failed with '%s'",
                    [](zwnet_p hc) { return zwnet_migrate(hc); });
}

int reset_call(zwp_net_t *net, void *, void **)
{
    return op_start(net, ZWNET_OP_RESET, "zwnet_reset() failed with '%s'", [](zwnet_p hc) { return zwnet_reset(hc); });
}

int abort_call(zwp_net_t *net, void *, void **)
{
    const int rc = zwnet_abort(zwp_net_hc_get(net));
    if (rc != 0) {
        ZWS_LOG_ERROR("zwnet_abort() failed with '%s'", zwp_err_str(rc));
        zwp_net_op_abort_finish(net, false);
        return 22;
    }
    return zwp_net_op_abort_finish(net, true);
}

int grant_key_call(zwp_net_t *net, void *arguments, void **)
{
    const args_t &args = zwp_avi_net_args_of(arguments);
    const auto keys = static_cast<uint8_t>(args.granted_keys);
    const auto csa = static_cast<uint8_t>(args.grant_csa);
    const int rc = zwnet_add_sec2_grant_key(zwp_net_hc_get(net), keys, csa);
    if (rc != 0) {
        ZWS_LOG_ERROR("zwnet_add_sec2_grant_key()  with grant key %u grant_csa %u failed with '%s'", keys, csa,
                      zwp_err_str(rc));
        return 22;
    }
    return 0;
}

int accept_call(zwp_net_t *net, void *arguments, void **)
{
    const args_t &args = zwp_avi_net_args_of(arguments);
    const auto accept = static_cast<uint8_t>(args.accept);
    const int rc = zwnet_add_sec2_accept(zwp_net_hc_get(net), accept, args.dsk.c_str());
    if (rc != 0) {
        ZWS_LOG_ERROR("zwnet_add_sec2_accept()  with accept: %u and dsk: %s failed with '%s'", accept,
                      args.dsk.c_str(), zwp_err_str(rc));
        return 22;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The Security 2 data the library's callbacks left, while it waits for it.
// ---------------------------------------------------------------------------

struct dsk_results {
    uint8_t pin_required = 0;
    std::string dsk;
};

int req_key_get_call(zwp_net_t *net, void *, void **results)
{
    auto *made = zwp_record_new<zwp_net_s2_keys_t>();
    if (!made)
        return 22;
    if (zwp_net_s2_req_keys_get(net, made) != 0) {
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int req_key_get_result(void *results, avro_value_t *parameter)
{
    const auto *keys = static_cast<const zwp_net_s2_keys_t *>(results);
    if (!keys || zw_avro_field_set_int(parameter, "req_keys", keys->req_keys) != 0 ||
        zw_avro_field_set_int(parameter, "req_csa", keys->req_csa) != 0 ||
        zw_avro_field_set_string(parameter, "csa_pin", keys->csa_pin) != 0)
        return 22;
    return 0;
}

int dsk_get_call(zwp_net_t *net, void *, void **results)
{
    auto *made = zwp_record_new<dsk_results>();
    if (!made)
        return 22;
    if (zwp_net_s2_dsk_get(net, &made->pin_required, &made->dsk) != 0) {
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int dsk_get_result(void *results, avro_value_t *parameter)
{
    const auto *dsk = static_cast<const dsk_results *>(results);
    if (!dsk || zw_avro_field_set_int(parameter, "pin_required", dsk->pin_required) != 0 ||
        zw_avro_field_set_string(parameter, "dsk", dsk->dsk.c_str()) != 0)
        return 22;
    return 0;
}

int prekit_dsk_get_call(zwp_net_t *net, void *, void **results)
{
    zwp_net_op_state_t state{};
    zwp_net_op_state_get(net, &state);
    if (state.current != ZWNET_OP_ADD_NODE || state.status != 3)
        return 22;
    auto *made = zwp_record_new<dsk_results>();
    if (!made)
        return 22;
    char dsk[ZWNET_DSK_TEXT_MAX + 1];
    try {
        if (zwp_net_prekit_dsk_get(net, dsk, sizeof dsk) != 0) {
            delete made;
            return 22;
        }
        made->dsk = dsk;
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int prekit_dsk_get_result(void *results, avro_value_t *parameter)
{
    const auto *dsk = static_cast<const dsk_results *>(results);
    return dsk && zw_avro_field_set_string(parameter, "dsk", dsk->dsk.c_str()) == 0 ? 0 : 22;
}

int local_dsk_get_call(zwp_net_t *net, void *, void **results)
{
    auto *made = zwp_record_new<dsk_results>();
    if (!made)
        return 22;
    if (zwp_net_local_dsk_get(net, &made->dsk) != 0) {
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int local_dsk_get_result(void *results, avro_value_t *parameter)
{
    const auto *dsk = static_cast<const dsk_results *>(results);
    return dsk && zw_avro_field_set_string(parameter, "local_dsk", dsk->dsk.c_str()) == 0 ? 0 : 22;
}

constexpr auto free_args = zwp_avi_net_args_free;

constexpr zwp_avi_message_networks ops_messages[] = {
    {"network_node_prekit_dsk_get", nullptr, nullptr, prekit_dsk_get_call, 1, prekit_dsk_get_result,
     zwp_record_free<dsk_results>},
    {"network_node_add", zwp_avi_net_args_reader<dsk_optional>, free_args, node_add_call, 1, nullptr, nullptr},
    {"network_node_add_on_behalf", zwp_avi_net_args_reader<dsk_optional>, free_args, node_add_on_behalf_call, 1,
     nullptr, nullptr},
    {"network_node_add_req_key_get", nullptr, nullptr, req_key_get_call, 1, req_key_get_result,
     zwp_record_free<zwp_net_s2_keys_t>},
    {"network_node_add_grant_key_set", zwp_avi_net_args_reader<grant_fields>, free_args, grant_key_call, 1, nullptr,
     nullptr},
    {"network_node_add_dsk_get", nullptr, nullptr, dsk_get_call, 1, dsk_get_result, zwp_record_free<dsk_results>},
    {"network_node_add_accept", zwp_avi_net_args_reader<accept_fields>, free_args, accept_call, 1, nullptr, nullptr},
    {"network_node_remove", nullptr, nullptr, node_remove_call, 1, nullptr, nullptr},
    {"network_failed_node_remove", zwp_avi_net_args_reader<node_id_only>, free_args, failed_node_remove_call, 1,
     nullptr, nullptr},
    {"network_failed_node_replace", zwp_avi_net_args_reader<node_id_dsk>, free_args, failed_node_replace_call, 1,
     nullptr, nullptr},
    {"network_failed_node_replace_on_behalf", zwp_avi_net_args_reader<node_id_dsk>, free_args,
     failed_node_replace_on_behalf_call, 1, nullptr, nullptr},
    {"network_node_update", zwp_avi_net_args_reader<node_id_only>, free_args, node_update_call, 1, nullptr, nullptr},
    {"network_update", nullptr, nullptr, update_call, 1, nullptr, nullptr},
    {"network_send_NIF", zwp_avi_net_args_reader<send_nif_fields>, free_args, send_nif_call, 1, nullptr, nullptr},
    {"network_initiate", nullptr, nullptr, initiate_call, 1, nullptr, nullptr},
    {"network_initiate_local_dsk_get", nullptr, nullptr, local_dsk_get_call, 1, local_dsk_get_result,
     zwp_record_free<dsk_results>},
    {"network_migrate_primary", nullptr, nullptr, migrate_call, 1, nullptr, nullptr},
    {"network_reset", nullptr, nullptr, reset_call, 1, nullptr, nullptr},
    {"network_operation_abort", nullptr, nullptr, abort_call, 1, nullptr, nullptr},
};

} // namespace

int zwp_avi_networks_ops_register(zwu_array_list_t list)
{
    for (const zwp_avi_message_networks &message : ops_messages) {
        if (zwp_avi_network_message_register(list, &message) != 0)
            return 22;
    }
    return 0;
}
