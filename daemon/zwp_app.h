// kestrund's application record and its life: start-up in a fixed list of
// steps, the once-a-second main loop, shut-down in reverse.
#pragma once

#include "daemon/zwp_aserver.h"
#include "daemon/zwp_config.h"
#include "daemon/zwp_log.h"

#include <atomic>
#include <cstdint>

struct zwp_avi_layer_t;
struct zwp_avi_registry_t;
struct zwp_net_list_t;

enum : uint32_t {
    ZWP_APP_RUNNING = 1,
    ZWP_APP_STOP = 2, // set by the signal handler
};

struct zwp_app_t {
    zwp_config_t *config;
    zws_log_t *log;
    zwp_net_list_t *net_list;
    zwp_avi_registry_t *registry;
    zwp_aserver_t *server;
    const zwp_avi_layer_t *messages; // the message layer the program brings
    std::atomic<uint32_t> run;
};

// The daemon's main: 1 when a start-up step fails, 0 after a clean
// shut-down (on SIGTERM, SIGINT or SIGHUP, or when the server's accept
// thread has ended). `messages` is the message layer above the daemon's
// core (daemon/messages), whose families the registry takes in.
int zwp_app_main(int argc, char **argv, const zwp_avi_layer_t *messages);

// Asks the main loop to stop; installed for SIGTERM, SIGINT and SIGHUP.
void zwp_app_signal_handler(int signo);
