#include "ifttt/zws_ifttt.h"

int zws_cgi_get_ifttt_command(zws_service_t *) { return ZWS_IFTTT_UNAVAILABLE; }
int zws_cgi_get_ifttt_args(zws_service_t *) { return ZWS_IFTTT_UNAVAILABLE; }
void zws_cgi_free_ifttt_args(_zws_service_ifttt *) {}
int zws_cgi_ifttt_check_user_existence(const char *) { return ZWS_IFTTT_UNAVAILABLE; }
int zws_cgi_ifttt_oauth2_user_name_get(char **) { return ZWS_IFTTT_UNAVAILABLE; }
int zws_cgi_ifttt_send_cgi_output(zws_service_t *) { return ZWS_IFTTT_UNAVAILABLE; }
int zws_cgi_ifttt_send_cgi_output_error(int, zws_service_t *) { return ZWS_IFTTT_UNAVAILABLE; }
int zws_cgi_get_cgi_service_ifttt_from_environment(_zws_service_ifttt **) { return ZWS_IFTTT_UNAVAILABLE; }
void zws_cgi_free_cgi_service_ifttt_from_environment(_zws_service_ifttt *) {}
int zws_cgi_set_avro_value_of_request_arg_ifttt(_zws_service_ifttt *, void *) { return ZWS_IFTTT_UNAVAILABLE; }
int zws_cgi_set_service_result_ifttt(_zws_service_ifttt *, void *) { return ZWS_IFTTT_UNAVAILABLE; }
