// The reserved IFTTT entry: requests below the path keyword "ifttt". It stays
// inert: no command is parsed, no message is sent, and the answer is empty
// (no header, no body). Every placeholder answers 503 (service unavailable)
// or does nothing.
#pragma once

struct zws_service_t;
struct zws_service_common_t;

// Only service_common is meaningful; nothing creates one yet.
struct _zws_service_ifttt {
    zws_service_common_t *service_common;
};

constexpr int ZWS_IFTTT_UNAVAILABLE = 503;

int zws_cgi_get_ifttt_command(zws_service_t *service);
int zws_cgi_get_ifttt_args(zws_service_t *service);
void zws_cgi_free_ifttt_args(_zws_service_ifttt *service_ifttt);
int zws_cgi_ifttt_check_user_existence(const char *user_name);
int zws_cgi_ifttt_oauth2_user_name_get(char **user_name_p);
// The two the service layer calls: both write nothing and answer 503.
int zws_cgi_ifttt_send_cgi_output(zws_service_t *service);
int zws_cgi_ifttt_send_cgi_output_error(int status, zws_service_t *service);
int zws_cgi_get_cgi_service_ifttt_from_environment(_zws_service_ifttt **service_ifttt_p);
void zws_cgi_free_cgi_service_ifttt_from_environment(_zws_service_ifttt *service_ifttt);
int zws_cgi_set_avro_value_of_request_arg_ifttt(_zws_service_ifttt *service_ifttt, void *avro_value);
int zws_cgi_set_service_result_ifttt(_zws_service_ifttt *service_ifttt, void *avro_value);
