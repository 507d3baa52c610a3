// The message registry: the Avro protocol file and every message the daemon
// understands, as constant descriptors (daemon/zwp_avi_message.h) in one
// list per level. The message modules register their descriptors here at
// start-up.
#pragma once

#include "daemon/zwp_avi_message.h"
#include "daemon/zwp_desc.h"
#include "util/zwu_array.h"

#include <avro.h>

struct zwp_avi_registry_t;
struct zwp_avro_schema_t;

// Built once from "<dir>/zwave.avsc"; a second call warns and hands back
// the first. 0 or 22.
int zwp_avro_schema_init(zwp_avro_schema_t **schema, const char *dir);
void zwp_avro_schema_exit(zwp_avro_schema_t *schema);
avro_schema_t zwp_avro_schema_types_get(const zwp_avro_schema_t *schema);
avro_value_iface_t *zwp_avro_schema_types_iface_get(const zwp_avro_schema_t *schema);
avro_value_iface_t *zwp_avro_schema_cookies_iface_get(const zwp_avro_schema_t *schema);
avro_schema_t zwp_avro_schema_messages_get(const zwp_avro_schema_t *schema);
// The "Cookies" branch of "types".
avro_schema_t zwp_avro_schema_cookies_get(const zwp_avro_schema_t *schema);

// One message of the protocol file, resolved when the file was loaded: the
// type names of its request and its response (borrowed from the schema)
// and the response's branch in "types".
struct zwp_avro_message_types_t {
    const char *request_type;
    const char *response_type;
    int response_branch;
};
// Null for a name the file does not describe completely (no such message,
// no request or response record, a response outside "types"): the caller
// then looks into the schema itself and reports what is missing.
const zwp_avro_message_types_t *zwp_avro_schema_message_types_get(const zwp_avro_schema_t *schema, const char *name);

// What the message layer above the registry brings (daemon/messages): its
// interface families, registered after the daemon's own messages, and the
// setup that gives each interface of a new tree its state. The registry
// never includes that layer; the program hands it down.
struct zwp_avi_layer_t {
    int (*interfaces_register)(zwu_array_list_t list);
    zwp_desc_if_setup_fn interface_setup;
};

// Loads the protocol file from dir and registers every message, those of
// `layer` too when one is given; singleton. 0 or 22.
int zwp_avi_init(zwp_avi_registry_t **registry, const char *dir, const zwp_avi_layer_t *layer = nullptr);
void zwp_avi_exit(zwp_avi_registry_t *registry);

zwu_array_list_t zwp_avi_root_list_get(const zwp_avi_registry_t *registry);
zwu_array_list_t zwp_avi_network_list_get(const zwp_avi_registry_t *registry);
zwu_array_list_t zwp_avi_node_list_get(const zwp_avi_registry_t *registry);
zwu_array_list_t zwp_avi_endpoint_list_get(const zwp_avi_registry_t *registry);
zwu_array_list_t zwp_avi_interface_list_get(const zwp_avi_registry_t *registry);
zwp_avro_schema_t *zwp_avi_schema_get(const zwp_avi_registry_t *registry);
// The layer's interface setup; null without a layer.
zwp_desc_if_setup_fn zwp_avi_interface_setup_get(const zwp_avi_registry_t *registry);
