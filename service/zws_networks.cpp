#include "service/zws_networks.h"

#include "service/zws_fcgi.h"
#include "service/zws_web_log.h"
#include "util/zws_log.h"

#include <new>

trellan_t *g_trellan = nullptr;

int zws_networks_init(trellan_t **trellan_p)
{
    if (g_trellan) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *trellan_p = g_trellan;
        return 0;
    }
    auto *trellan = new (std::nothrow) trellan_t{};
    if (!trellan) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    if (zws_avi_init(&trellan->avi) != 0) {
        delete trellan;
        return 22;
    }
    if (zws_memcache_init(&trellan->memcache) != 0) {
        zws_avi_exit(trellan->avi);
        delete trellan;
        return 22;
    }
    if (zws_session_init(&trellan->session, trellan->memcache) != 0) {
        zws_memcache_exit(trellan->memcache);
        zws_avi_exit(trellan->avi);
        delete trellan;
        return 22;
    }
    zws_portal_get_receive_timeout(&trellan->portal_receive_timeout);
    g_trellan = trellan;
    *trellan_p = trellan;
    return 0;
}

void zws_networks_exit(trellan_t *trellan)
{
    if (!trellan)
        return;
    zws_session_exit(trellan->session);
    zws_memcache_exit(trellan->memcache);
    zws_avi_exit(trellan->avi);
    if (g_trellan == trellan)
        g_trellan = nullptr;
    delete trellan;
}

int zws_rpc_send_recv(trellan_t *trellan, const char *request, int request_length, char **reply_p,
                      int *reply_length_p)
{
    ZWS_LOG_DEBUGGING("RPC request of %d bytes", request_length);
    ZWS_LOG_DUMP_FUNC(ZWS_LOG_DEBUG, reinterpret_cast<const uint8_t *>(request), request_length);
    if (zws_portal_init(&trellan->portal, trellan->portal_receive_timeout) != 0) {
        trellan->portal = nullptr;
        return 22;
    }
    int status = zws_portal_send(trellan->portal, request, request_length);
    if (status == 0)
        status = zws_portal_recv(trellan->portal, reply_p, reply_length_p);
    zws_portal_exit(trellan->portal);
    trellan->portal = nullptr;
    return status == 0 ? 0 : 22;
}

void zws_rpc_send_recv_free(char *reply) { zws_portal_recv_free(reply); }

int zws_cgi_handle(trellan_t *trellan, zws_service_t *service)
{
    char *frame = nullptr;
    int frame_length = 0;
    if (zws_cgi_get_rpc_request_from_cgi_service(service, &frame, &frame_length) != 0)
        return 22;
    char *reply = nullptr;
    int reply_length = 0;
    if (frame_length > 0 && zws_rpc_send_recv(trellan, frame, frame_length, &reply, &reply_length) != 0) {
        zws_cgi_free_rpc_request_from_cgi_service(frame);
        return 22;
    }
    int status = zws_cgi_set_cgi_service_result_from_rpc_response(service, reply, reply_length);
    if (status == 0)
        status = zws_cgi_send_cgi_output(service);
    zws_rpc_send_recv_free(reply);
    zws_cgi_free_rpc_request_from_cgi_service(frame);
    return status == 0 ? 0 : 22;
}

void zws_cgi_answer_request(trellan_t *trellan)
{
    zws_service_t *service = nullptr;
    const int status = zws_cgi_get_cgi_service_from_environment(&service, trellan->avi, trellan->session);
    if (status == 0) {
        if (zws_cgi_handle(trellan, service) != 0)
            zws_cgi_send_cgi_output_error(service);
    } else {
        ZWS_LOG_ERROR("Get environment var error: %d", status);
        if (status == 13)
            zws_cgi_send_cgi_output_access_denied();
        else
            zws_cgi_send_cgi_output_error(nullptr);
    }
    zws_cgi_free_cgi_service_from_environment(service);
}

int zws_trellan_main()
{
    zws_web_log_start();
    zws_fcgi_init();
    trellan_t *trellan = nullptr;
    if (zws_networks_init(&trellan) != 0) {
        if (zws_fcgi_accept() >= 0) {
            zws_cgi_send_cgi_output_error(nullptr);
            zws_fcgi_set_exit_status(0);
        }
        zws_fcgi_shutdown();
        return 0;
    }
    int count = 0;
    while (zws_fcgi_accept() >= 0) {
        count++;
        zws_web_log_request_begin();
        ZWS_LOG_DEBUGGING("Request %d of current process", count);
        zws_cgi_answer_request(trellan);
        // The answer first, then what the request logged (zws_web_log.h);
        // both go out with the request's end.
        zws_web_log_request_end();
        zws_fcgi_set_exit_status(0);
    }
    if (count == 0)
        zws_cgi_send_cgi_output_error(nullptr);
    zws_fcgi_shutdown();
    zws_networks_exit(trellan);
    ZWS_LOG_DEBUGGING("Exiting current process with %d requests", count);
    return 0;
}
