// One web request as a service tree: the root (zws_service_t) with the
// request's common data, and below it one record per level reached (network,
// node, endpoint, interface) until the message registry finds the message of
// the request's command and sub-command.
//
// Parsing reads the CGI variables REQUEST_URI, CONTEXT_PREFIX, HTTP_COOKIE
// and REMOTE_USER, the request body from the request's input stream
// (zws_cgi_io.h), and sets VANTOR_USER_NAME for the request's user (and
// removes it when the request has none).
//
// Status: 0 success, 13 not authorised, 22 failure, 401 unknown client.
#pragma once

#include "messages/zws_avi.h"
#include "service/zws_session.h"
#include "util/zwu_array.h"

#include <cstdint>
#include <string>
#include <vector>

enum zws_cgi_command_type_t {
    ZWS_CGI_COMMAND_TYPE_ROOT = 0,
    ZWS_CGI_COMMAND_TYPE_NETWORKS = 1,
    ZWS_CGI_COMMAND_TYPE_SCENES = 2,
    ZWS_CGI_COMMAND_TYPE_IFTTT = 3,
};

enum zws_cgi_client_type_t {
    ZWS_CGI_CLIENT_UNKNOWN = 0,
    ZWS_CGI_CLIENT_VANTOR = 1, // path keyword "networks"
    ZWS_CGI_CLIENT_IFTTT = 2,  // path keyword "ifttt"
};

enum zws_cgi_command_level_t {
    ZWS_CGI_COMMAND_LEVEL_ROOT = 0,
    ZWS_CGI_COMMAND_LEVEL_NETWORKS = 1,
    ZWS_CGI_COMMAND_LEVEL_NODES = 2,
    ZWS_CGI_COMMAND_LEVEL_ENDPOINTS = 3,
    ZWS_CGI_COMMAND_LEVEL_INTERFACES = 4,
};

enum zws_cgi_level_command_t { ZWS_CGI_NETWORKS_COMMAND_NONE = 0 };

// The request body is refused above this size.
constexpr int ZWS_CGI_MAX_BODY = 1024 * 1024;
// The request body holds at most this many pairs; more are refused (no form
// of the web interface comes near it).
constexpr int ZWS_CGI_MAX_ARGS = 1024;
// command_name holds at most this many characters.
constexpr int ZWS_CGI_COMMAND_NAME_MAX = 49;
// combo_id of a request without one.
constexpr uint64_t ZWS_CGI_NO_COMBO_ID = ~uint64_t{0};

struct zws_service_common_t {
    zws_cgi_client_type_t cgi_client = ZWS_CGI_CLIENT_UNKNOWN;
    std::string user;      // effective user name; meaningful when has_user
    bool has_user = false;
    zws_key_value_t *args = nullptr; // first pair not yet consumed
    int args_count = 0;              // pairs from `args` on
    zwu_string_buffer_t result = nullptr; // XML result text, created when the reply is read
    uint64_t combo_id = ZWS_CGI_NO_COMBO_ID;
    char command_name[ZWS_CGI_COMMAND_NAME_MAX + 1] = {};
    zws_cgi_command_level_t command_level = ZWS_CGI_COMMAND_LEVEL_ROOT;
    const char *message_name = nullptr; // borrowed from the descriptor
    const void *avi_message = nullptr;  // the matched descriptor, of the kind of command_level
    zws_avi_t avi = nullptr;
    int error_code = 0;
    const char *error_text = nullptr; // key of the last descriptor whose CGI URI matched
    int error_text_index = -1;
    std::string relative_uri;
    char *http_body = nullptr; // whole body, NUL-terminated
    int http_body_length = 0;
    std::vector<zws_key_value_t> args_all; // pairs pointing into http_body
};

struct zws_service_interfaces_t;
struct zws_service_endpoints_t;
struct zws_service_nodes_t;

struct zws_service_networks_t {
    std::string net_id;
    zws_cgi_level_command_t net_command = ZWS_CGI_NETWORKS_COMMAND_NONE;
    zws_service_nodes_t *service_node = nullptr;
    int sub_command = -1;
    zws_service_common_t *service_common = nullptr;
};

struct zws_service_nodes_t {
    int node_id = 0;
    zws_cgi_level_command_t node_command = ZWS_CGI_NETWORKS_COMMAND_NONE;
    zws_service_networks_t *service_net = nullptr;
    zws_service_endpoints_t *service_endpoint = nullptr;
    int sub_command = -1;
    zws_service_common_t *service_common = nullptr;
};

struct zws_service_endpoints_t {
    int endpoint_id = 0;
    zws_cgi_level_command_t endpoint_command = ZWS_CGI_NETWORKS_COMMAND_NONE;
    zws_service_nodes_t *service_node = nullptr;
    zws_service_interfaces_t *service_interface = nullptr;
    int sub_command = -1;
    zws_service_common_t *service_common = nullptr;
};

struct zws_service_interfaces_t {
    int interface_id = 0;
    zws_cgi_level_command_t interface_command = ZWS_CGI_NETWORKS_COMMAND_NONE;
    zws_service_endpoints_t *service_endpoint = nullptr;
    int sub_command = -1;
    zws_service_common_t *service_common = nullptr;
};

struct zws_service_t {
    zws_cgi_command_type_t command_type = ZWS_CGI_COMMAND_TYPE_ROOT;
    zws_service_networks_t *service_next = nullptr; // when command_type is NETWORKS
    zws_service_common_t *service_common = nullptr;
};

// ---- Parsing (the root of the tree) -------------------------------------

// Builds the tree of the current request. The tree handed back, also on
// failure, is freed by the caller.
int zws_cgi_get_cgi_service_from_environment(zws_service_t **service_p, zws_avi_t avi, zws_session_t *session);
void zws_cgi_free_cgi_service_from_environment(zws_service_t *service);

// REQUEST_URI below CONTEXT_PREFIX, undecoded, query string included.
int zws_cgi_get_relative_uri(std::string *relative_uri);
// The client keyword: the first path segment of the relative URI.
int zws_cgi_get_client(const char *relative_uri, zws_service_common_t *service_common);
// The request's user: the session's (web interface only), else a non-empty
// REMOTE_USER; 13 or 22 (the session's status) without either.
int zws_cgi_get_user(zws_service_common_t *service_common, zws_cgi_client_type_t client, const char *relative_uri,
                     zws_session_t *session, std::string *user);
// Splits `body` in place into key/value pairs ('&', or CR LF when the rest
// holds no '&'); a backtick anywhere, an entry without '=' or with an empty
// key refuse the whole body.
int zws_cgi_get_args(char *body, std::vector<zws_key_value_t> *args);
// The command rules of the path (client "networks").
int zws_cgi_get_vantor_command(zws_service_t *service, int user_status);

void zws_cgi_set_error_text(zws_service_t *service, const char *error_text);
const char *zws_cgi_get_error_text(zws_service_t *service); // "" without one
zws_service_common_t *zws_cgi_get_service_common(zws_service_t *service);
void zws_cgi_set_service_command_type(zws_service_t *service, zws_cgi_command_type_t command_type);
void zws_cgi_set_service_next(zws_service_t *service, zws_service_networks_t *service_next);

// ---- Level resolution -----------------------------------------------------

// Resolves `rest_uri` (the path after the network id) level by level.
int zws_cgi_get_cgi_service_networks_from_environment(const char *rest_uri, const char *net_id,
                                                      zws_service_common_t *service_common,
                                                      zws_service_networks_t **service_networks_p);
void zws_cgi_free_cgi_service_networks_from_environment(zws_service_networks_t *service_networks);

// Below the network level, each level's record is made and linked to its
// parent (`rest_uri` is the path after the network id); the level's lookup
// runs and, without a match, the next level down takes over. 22 when no
// level matches.
int zws_cgi_get_cgi_service_nodes_from_environment(const char *rest_uri, int sub_command,
                                                   zws_service_common_t *service_common,
                                                   zws_service_networks_t *service_networks,
                                                   zws_service_nodes_t **service_nodes_p);
int zws_cgi_get_cgi_service_endpoints_from_environment(const char *rest_uri, int sub_command,
                                                       zws_service_common_t *service_common,
                                                       zws_service_nodes_t *service_nodes,
                                                       zws_service_endpoints_t **service_endpoints_p);
int zws_cgi_get_cgi_service_interfaces_from_environment(const char *rest_uri, int sub_command,
                                                        zws_service_common_t *service_common,
                                                        zws_service_endpoints_t *service_endpoints,
                                                        zws_service_interfaces_t **service_interfaces_p);

// The registry lookup of one level with command_name (and the sub-command):
// writes message_name, error_text, avi_message and, from node level down,
// error_text_index of the common data; 0 on a match, else 22.
int zws_cgi_set_avi_message_info(zws_service_common_t *service_common);
int zws_cgi_set_avi_message_networks_info(zws_service_common_t *service_common, int sub_command);
int zws_cgi_set_avi_message_nodes_info(zws_service_common_t *service_common, int sub_command);
int zws_cgi_set_avi_message_endpoints_info(zws_service_common_t *service_common, int sub_command);
int zws_cgi_set_avi_message_interfaces_info(zws_service_common_t *service_common, int sub_command);

// The sub-command from the first remaining pair ("cmd", "cmd_cgi",
// "cmd_type"), consumed; -1 without one; 22 when its value does not parse.
int zws_cgi_take_sub_command(zws_service_common_t *service_common, int *sub_command_p);
// The combined id from the first remaining pair ("ifd", "epd", "noded"),
// consumed, into combo_id; all ones without one; 22 when it does not parse.
int zws_cgi_take_combo_id(zws_service_common_t *service_common);

// ---- Request frame and reply (service layer) ------------------------------

// The Avro request frame of the matched message: a 4-byte big-endian length
// and the Avro payload. No message, or a variant answered without kestrund:
// no frame (null, length 0) and 0.
int zws_cgi_get_rpc_request_from_cgi_service(zws_service_t *service, char **frame_p, int *frame_length_p);
void zws_cgi_free_rpc_request_from_cgi_service(char *frame);
// Decodes the reply into the service's result (the XML frames and the result
// handler's output).
int zws_cgi_set_cgi_service_result_from_rpc_response(zws_service_t *service, const char *reply, int reply_length);

// The argument value of the request, level by level: each function acts when
// command_level is its level (fills `command` with the level's record and
// the records above it, then `parameter` with the message's argument
// handler) and otherwise hands on to the level below; the interface level
// fails with "Failed to match with supported command levels" when the level
// is not INTERFACES. The root one also skips "Void" and the IFTTT client.
int zws_cgi_set_avro_value_of_request_arg_root(zws_service_t *service, avro_value_t *argument, const char *type_name);
int zws_cgi_set_avro_value_of_request_arg_networks(zws_service_networks_t *service_networks, avro_value_t *argument,
                                                   const char *type_name);
int zws_cgi_set_avro_value_of_request_arg_nodes(zws_service_nodes_t *service_nodes, avro_value_t *argument,
                                                const char *type_name);
int zws_cgi_set_avro_value_of_request_arg_endpoints(zws_service_endpoints_t *service_endpoints,
                                                    avro_value_t *argument, const char *type_name);
int zws_cgi_set_avro_value_of_request_arg_interfaces(zws_service_interfaces_t *service_interfaces,
                                                     avro_value_t *argument, const char *type_name);
// One level's record (Network, Node, Endpoint, Interface) with the ones above.
int zws_cgi_set_avro_value_of_field_networks(zws_service_networks_t *service_networks, avro_value_t *network);
int zws_cgi_set_avro_value_of_field_nodes(zws_service_nodes_t *service_nodes, avro_value_t *node);
int zws_cgi_set_avro_value_of_field_endpoints(zws_service_endpoints_t *service_endpoints, avro_value_t *endpoint);
int zws_cgi_set_avro_value_of_field_interfaces(zws_service_interfaces_t *service_interfaces,
                                               avro_value_t *interface);
// The reply's record branch into the result, level by level as above: the
// result handler's forms in the level's frame.
int zws_cgi_set_service_result_root(zws_service_t *service, avro_value_t *reply, const char *type_name);
int zws_cgi_set_service_result_networks(zws_service_networks_t *service_networks, avro_value_t *reply,
                                        const char *type_name);
int zws_cgi_set_service_result_nodes(zws_service_nodes_t *service_nodes, avro_value_t *reply, const char *type_name);
int zws_cgi_set_service_result_endpoints(zws_service_endpoints_t *service_endpoints, avro_value_t *reply,
                                         const char *type_name);
int zws_cgi_set_service_result_interfaces(zws_service_interfaces_t *service_interfaces, avro_value_t *reply,
                                          const char *type_name);

// ---- Output -------------------------------------------------------------

// The normal answer: header, then the document with the result.
int zws_cgi_send_cgi_output(zws_service_t *service);
int zws_cgi_send_cgi_output_networks(zws_service_networks_t *service_networks);
int zws_cgi_send_cgi_output_nodes(zws_service_nodes_t *service_nodes);
int zws_cgi_send_cgi_output_endpoints(zws_service_endpoints_t *service_endpoints);
int zws_cgi_send_cgi_output_interfaces(zws_service_interfaces_t *service_interfaces);
// The error document; with a tree it carries the error text (and index).
int zws_cgi_send_cgi_output_error(zws_service_t *service);
// "Status: 403 Forbidden" and the blank line, nothing else.
int zws_cgi_send_cgi_output_access_denied();

// The frames around a result handler's two outputs (first: web API version
// 1, second: version 2), written into `out`.
int zws_cgi_frame_networks(zwu_string_buffer_t out, const char *message_name, const char *first, const char *second,
                           uint64_t utime, const char *net_id);
int zws_cgi_frame_level(zwu_string_buffer_t out, zws_cgi_command_level_t level, uint64_t combo_id, const char *first,
                        const char *second);
