// The descriptor kinds of the daemon's messages and the per-level lists
// they are registered in and looked up from.
//
// A descriptor is a message name and a fixed set of handler slots; any slot
// may be null and is then skipped. Every slot returns 0 on success; anything
// else fails the request, which is then closed without a reply. Message
// modules include only this header: the registry above them includes the
// modules.
#pragma once

#include "daemon/zwp_runtime.h"
#include "util/zwu_array.h"

#include <avro.h>

#include <cstdint>

struct zwp_net_list_t;
struct zwp_net_t;
struct zwnode_desc_t;
struct zwep_desc_t;
struct zwif_desc_t;

// The message's own request record (`parameter`) into an argument record.
using zwp_avi_argument_handler_t = int (*)(avro_value_t *parameter, void **arguments);
using zwp_avi_free_t = void (*)(void *record);
// The results into the reply's `parameter` record.
using zwp_avi_result_handler_t = int (*)(void *results, avro_value_t *parameter);

struct zwp_avi_message;
using zwp_avi_root_call_t = int (*)(zwp_net_list_t *net_list, const char *user, void *arguments, void **results,
                                    const zwp_avi_message *message);
using zwp_avi_node_call_t = int (*)(const zwnode_desc_t *node, void *arguments, void **results);
// net is null when the message runs without a network.
using zwp_avi_network_call_t = int (*)(zwp_net_t *net, void *arguments, void **results);
using zwp_avi_endpoint_call_t = int (*)(const zwep_desc_t *ep, void *arguments, void **results);

// Root and node messages: the list they are registered in says which call
// member is used.
struct zwp_avi_message {
    const char *avro_message_name;
    zwp_avi_argument_handler_t argument_handler;
    zwp_avi_free_t argument_free;
    union {
        zwp_avi_root_call_t root;
        zwp_avi_node_call_t node;
    } call;
    zwp_avi_result_handler_t result_handler;
    zwp_avi_free_t result_free;
};

// Network, scene and security-scene messages.
struct zwp_avi_message_networks {
    const char *avro_message_name;
    zwp_avi_argument_handler_t argument_handler;
    zwp_avi_free_t argument_free;
    zwp_avi_network_call_t call;
    uint64_t flag; // 1: the call needs the network's descriptor tree
    zwp_avi_result_handler_t result_handler;
    zwp_avi_free_t result_free;
};

struct zwp_avi_message_endpoints {
    const char *avro_message_name;
    zwp_avi_argument_handler_t argument_handler;
    zwp_avi_free_t argument_free;
    zwp_avi_endpoint_call_t call;
    zwp_avi_result_handler_t result_handler;
    zwp_avi_free_t result_free;
};

// Interface messages. Each class module owns the state of its interfaces;
// a descriptor serves only interfaces of its own command class.
struct zwp_avi_message_interfaces {
    const char *avro_message_name;
    uint64_t command_class;
    // status: 0 or 1 success, above 1 a host-controller error.
    int (*setup_handler)(const zwif_desc_t *intf, uint32_t *status);
    int (*state_create)(void **state, apr_pool_t *pool);
    void (*state_destroy)(void *state);
    zwp_avi_argument_handler_t argument_handler;
    zwp_avi_free_t argument_free;
    // 0 when the awaited report is there, else nonzero: the worker then
    // waits for the network's next report (daemon/zwp_net.h) and asks again.
    int (*report_wait)(const zwif_desc_t *intf, void *arguments);
    // status: 0 sent, 1 queued, 2 answered from the cache, negative error.
    int (*hcapi_call)(const zwif_desc_t *intf, void *arguments, uint32_t *status);
    int (*result_get)(const zwif_desc_t *intf, void *arguments, void **results);
    zwp_avi_result_handler_t result_handler;
    zwp_avi_free_t result_free;
};

// Appends a descriptor to a level's list. 0 or 22.
int zwp_avi_root_message_register(zwu_array_list_t list, const zwp_avi_message *message);
int zwp_avi_network_message_register(zwu_array_list_t list, const zwp_avi_message_networks *message);
int zwp_avi_node_message_register(zwu_array_list_t list, const zwp_avi_message *message);
int zwp_avi_endpoint_message_register(zwu_array_list_t list, const zwp_avi_message_endpoints *message);
int zwp_avi_interface_message_register(zwu_array_list_t list, const zwp_avi_message_interfaces *message);

// The first descriptor of that exact name, in registration order. 0 or 22.
int zwp_avi_root_message_find(zwu_array_list_t list, const char *name, const zwp_avi_message **message);
int zwp_avi_network_message_find(zwu_array_list_t list, const char *name, const zwp_avi_message_networks **message);
int zwp_avi_node_message_find(zwu_array_list_t list, const char *name, const zwp_avi_message **message);
int zwp_avi_endpoint_message_find(zwu_array_list_t list, const char *name,
                                  const zwp_avi_message_endpoints **message);
int zwp_avi_interface_message_find(zwu_array_list_t list, const char *name,
                                   const zwp_avi_message_interfaces **message);
// The descriptor of that name that serves an interface of command_class.
// The slots of a module read that module's interface state, so a message
// addressed to an interface of another class is refused: 22. A name that
// stands for several classes (the association messages serve 0x85 and
// 0x8E) finds the descriptor of the interface's own class.
int zwp_avi_interface_message_find_for_class(zwu_array_list_t list, const char *name, uint32_t command_class,
                                             const zwp_avi_message_interfaces **message);
