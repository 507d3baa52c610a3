// The web message descriptors and their handler types: what a message
// family declares and what the service layer reads of the message a request
// matched. Constant data, no code.
#pragma once

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
