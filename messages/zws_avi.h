// trellan's web message descriptor registry.
//
// Every command the web interface sends maps to one Avro message of kestrund.
// The mapping is constant data: one descriptor per command and sub-command,
// kept in six lists by level (root, IFTTT, networks, nodes, endpoints,
// interfaces). The service layer looks a request up by its level, its CGI
// command and its sub-command; the descriptor names the Avro message, the
// handler that fills the request's `parameter` record from the form pairs,
// the handler that writes the reply's `parameter` record as XML, and the
// error-text key of the web interface shown when the exchange fails.
//
// The registry also owns the process's Avro protocol holder.
//
// Status: 0 success, 22 failure (12 where an argument handler runs out of
// memory). Lists hold pointers to constant descriptors; destroying a list
// releases only the list.
#pragma once

#include "avi/zw_avro.h"
#include "util/zwu_array.h"

#include <avro.h>

// One form pair of the request body: both texts point into the body, as
// they arrived (not percent-decoded).
struct zws_key_value_t {
    char *key;
    char *value;
};

// Fills the request's `parameter` record from the pairs the service layer
// did not consume, in request order.
typedef int (*zws_avi_message_argument_t)(zws_key_value_t *args, int args_count, avro_value_t *parameter);
// Writes one form of the answer (web_api_version 1: older form, 2: current
// form) of a root or network message into `out`.
typedef int (*zws_avi_message_result_t)(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
// The same for node, endpoint and interface messages, with the combined id
// of the addressed node, endpoint or interface.
typedef int (*zws_avi_message_nodes_result_t)(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                              zwu_string_buffer_t out);
typedef zws_avi_message_nodes_result_t zws_avi_message_endpoints_result_t;
typedef zws_avi_message_nodes_result_t zws_avi_message_interfaces_result_t;

// A missing handler is null; a missing second CGI URI is null; `error_text`
// is "" where the message has none; `cgi_sub_command` is -1 where the
// command takes none.
struct zws_avi_message_t {
    const char *cgi_uri;
    const char *avro_message_name;
    zws_avi_message_argument_t argument_handler;
    zws_avi_message_result_t result_handler;
    const char *error_text;
};

struct zws_avi_message_networks_t {
    const char *cgi_uri[2]; // current command name, older alias or null
    int cgi_sub_command;
    const char *avro_message_name;
    zws_avi_message_argument_t argument_handler;
    zws_avi_message_result_t result_handler;
    const char *error_text;
};

struct zws_avi_message_nodes_t {
    const char *cgi_uri[2];
    int cgi_sub_command;
    const char *avro_message_name;
    zws_avi_message_argument_t argument_handler;
    zws_avi_message_nodes_result_t result_handler;
    const char *error_text;
};

struct zws_avi_message_endpoints_t {
    const char *cgi_uri[2];
    int cgi_sub_command;
    const char *avro_message_name;
    zws_avi_message_argument_t argument_handler;
    zws_avi_message_endpoints_result_t result_handler;
    const char *error_text;
};

struct zws_avi_message_interfaces_t {
    const char *cgi_uri[2];
    int cgi_sub_command;
    int is_passive_supported; // sub-command + 1 selects the same message, passive
    int is_setup_supported;   // sub-command 1 is answered without kestrund
    const char *avro_message_name;
    zws_avi_message_argument_t argument_handler;
    zws_avi_message_interfaces_result_t result_handler;
    const char *error_text;
};

struct zws_avi_s;
typedef struct zws_avi_s *zws_avi_t;

// Builds the registry (loads the Avro protocol, creates the lists, registers
// every family) or hands back the one already built, with a warning.
int zws_avi_init(zws_avi_t *avi_p);
// Releases the lists and the Avro holder; a later zws_avi_init builds anew.
void zws_avi_exit(zws_avi_t avi);

zw_avro_t zws_avi_get_avro(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_root(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_ifttt(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_networks(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_nodes(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_endpoints(zws_avi_t avi);
zwu_array_list_t zws_avi_get_message_list_interfaces(zws_avi_t avi);

int zws_avi_message_list_create(zwu_array_list_t *list_p);
void zws_avi_message_list_destroy(zwu_array_list_t list);
int zws_avi_message_list_add_message(zwu_array_list_t list, const zws_avi_message_t *message);
int zws_avi_message_list_add_message_networks(zwu_array_list_t list, const zws_avi_message_networks_t *message);
int zws_avi_message_list_add_message_nodes(zwu_array_list_t list, const zws_avi_message_nodes_t *message);
int zws_avi_message_list_add_message_endpoints(zwu_array_list_t list, const zws_avi_message_endpoints_t *message);
int zws_avi_message_list_add_message_interfaces(zwu_array_list_t list, const zws_avi_message_interfaces_t *message);

// A family's table of descriptors, added in table order; 22 at the first
// failure (the add call has logged it).
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_t *m)
{
    return zws_avi_message_list_add_message(list, m);
}
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_networks_t *m)
{
    return zws_avi_message_list_add_message_networks(list, m);
}
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_nodes_t *m)
{
    return zws_avi_message_list_add_message_nodes(list, m);
}
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_endpoints_t *m)
{
    return zws_avi_message_list_add_message_endpoints(list, m);
}
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_interfaces_t *m)
{
    return zws_avi_message_list_add_message_interfaces(list, m);
}
template <typename Message, unsigned long N> int zws_avi_message_list_add_table(zwu_array_list_t list, const Message (&table)[N])
{
    for (const Message &message : table) {
        if (zws_avi_message_list_add_any(list, &message) != 0)
            return 22;
    }
    return 0;
}

// Lookups by level. Out values are written as the walk goes (see below) and
// point into the constant descriptors.
//
// Root: the first descriptor whose `cgi_uri` equals `cgi_uri` exactly; 22
// with "Failed to match with supported avro messages for '%s'" otherwise.
int zws_avi_get_avi_message_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, const char **message_name,
                                         const char **error_text, const zws_avi_message_t **message_p);
// Network, node, endpoint: every URI match sets *error_text (and, from node
// level down, *error_text_index to 0); a URI and sub-command match also sets
// the message, its name and the index (the sub-command) and returns 0. No
// full match: 22 without a log line, *error_text left at the last URI match.
int zws_avi_get_avi_message_networks_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                  const char **message_name, const char **error_text,
                                                  const zws_avi_message_networks_t **message_p);
int zws_avi_get_avi_message_nodes_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                               const char **message_name, const char **error_text,
                                               int *error_text_index, const zws_avi_message_nodes_t **message_p);
int zws_avi_get_avi_message_endpoints_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                   const char **message_name, const char **error_text,
                                                   int *error_text_index,
                                                   const zws_avi_message_endpoints_t **message_p);
// Interface: a URI match is a full match when the sub-command equals the
// descriptor's (or the descriptor's + 1 with passive support), which sets the
// message; or, failing that, when the descriptor supports setup and the
// sub-command is 1, which sets the message and its name to null (answered
// without kestrund). The first descriptor that fits decides.
int zws_avi_get_avi_message_interfaces_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                    const char **message_name, const char **error_text,
                                                    int *error_text_index,
                                                    const zws_avi_message_interfaces_t **message_p);

// A family of descriptors: its registration adds the family's descriptors to
// the list of its level, in order, and returns 22 at the first failure.
enum zws_avi_level_t {
    ZWS_AVI_LEVEL_ROOT,
    ZWS_AVI_LEVEL_NETWORKS,
    ZWS_AVI_LEVEL_NODES,
    ZWS_AVI_LEVEL_ENDPOINTS,
    ZWS_AVI_LEVEL_INTERFACES,
};
typedef int (*zws_avi_family_init_t)(zwu_array_list_t list);
struct zws_avi_family_t {
    zws_avi_level_t level;
    zws_avi_family_init_t init;
};
// The families in registration order (zws_avi_families.cpp); *count_p gets
// their number.
const zws_avi_family_t *zws_avi_families(int *count_p);
