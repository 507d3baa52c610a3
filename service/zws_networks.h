// trellan: the process singleton, the FastCGI accept loop and the handling of
// one request after parsing (frame, exchange with kestrund, reply, answer).
//
// Status: 0 success, 22 failure.
#pragma once

#include "messages/zws_avi.h"
#include "service/zws_cgi.h"
#include "service/zws_portal.h"
#include "service/zws_session.h"

struct trellan_t {
    zws_portal_t *portal;       // the daemon client of the exchange in progress
    int portal_receive_timeout; // seconds, read once at start-up
    zws_avi_t avi;              // message registry with the Avro protocol
    zws_memcache_t *memcache;   // always empty
    zws_session_t *session;
};

extern trellan_t *g_trellan;

// Builds the singleton (registry, cache, session holder, receive time-out);
// a second call hands back the existing one with a warning.
int zws_networks_init(trellan_t **trellan_p);
void zws_networks_exit(trellan_t *trellan);

// One complete exchange with kestrund: connect, send the frame, read until
// the daemon closes. The reply is released with zws_rpc_send_recv_free.
int zws_rpc_send_recv(trellan_t *trellan, const char *request, int request_length, char **reply_p,
                      int *reply_length_p);
void zws_rpc_send_recv_free(char *reply);

// Everything after parsing for one request.
int zws_cgi_handle(trellan_t *trellan, zws_service_t *service);

// Parses, handles and answers the current request (the body of the accept
// loop, without the accept).
void zws_cgi_answer_request(trellan_t *trellan);

// The whole program: log set-up, start-up, the accept loop, shut-down.
// Always returns 0, the process's exit status.
int zws_trellan_main();
