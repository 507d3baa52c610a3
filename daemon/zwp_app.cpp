#include "daemon/zwp_app.h"

#include "daemon/zwp_avi.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_runtime.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <new>

namespace {

zwp_app_t *g_app = nullptr;

// One start-up step and the call that undoes it.
struct app_step {
    const char *name;
    int (*start)(zwp_app_t *app);
    void (*stop)(zwp_app_t *app);
};

int config_start(zwp_app_t *app, int argc, char **argv) { return zwp_config_init(&app->config, argc, argv); }

int log_start(zwp_app_t *app) { return zws_log_init(&app->log, zwp_config_get_log_settings(app->config)); }
void log_stop(zwp_app_t *app)
{
    zws_log_exit(app->log);
    app->log = nullptr;
}

// The message registry: the protocol file and every message descriptor,
// from the configuration directory.
int registry_start(zwp_app_t *app)
{
    return zwp_avi_init(&app->registry, zwp_config_get_dir(app->config), app->messages);
}
void registry_stop(zwp_app_t *app)
{
    zwp_avi_exit(app->registry);
    app->registry = nullptr;
}

// The network list (scene library, gateway selection, the network's own
// start thread), from the network configuration and the registry. Its exit
// stops every network before the registry goes.
int net_list_start(zwp_app_t *app)
{
    return zwp_net_list_init(&app->net_list, zwp_config_get_net_config(app->config), app->registry);
}
void net_list_stop(zwp_app_t *app)
{
    zwp_net_list_exit(app->net_list);
    app->net_list = nullptr;
}

int server_start(zwp_app_t *app)
{
    return zwp_aserver_init(&app->server, zwp_config_get_server_config(app->config), app->net_list);
}
void server_stop(zwp_app_t *app)
{
    zwp_aserver_exit(app->server);
    app->server = nullptr;
}

// After the configuration, in this order; undone newest first.
constexpr app_step steps[] = {
    {"logger", log_start, log_stop},
    {"message registry", registry_start, registry_stop},
    {"network list", net_list_start, net_list_stop},
    {"server", server_start, server_stop},
};
constexpr size_t step_count = sizeof steps / sizeof steps[0];

void stop_steps(zwp_app_t *app, size_t started)
{
    while (started > 0)
        steps[--started].stop(app);
    zwp_config_free(app->config);
    app->config = nullptr;
}

int start_steps(zwp_app_t *app, int argc, char **argv)
{
    if (config_start(app, argc, argv) != 0)
        return 22;
    for (size_t i = 0; i < step_count; i++) {
        if (steps[i].start(app) != 0) {
            stop_steps(app, i);
            return 22;
        }
    }
    return 0;
}

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

void zwp_app_signal_handler(int)
{
    if (g_app)
        g_app->run.store(ZWP_APP_STOP);
}

int zwp_app_main(int argc, char **argv, const zwp_avi_layer_t *messages)
{
    if (zwu_apr_init(argc, argv) != 0)
        return 1;

    // Before any thread exists, so that every thread inherits the mask: only
    // the main thread ever takes the stop signals, and SIGPIPE never ends
    // the process (a write to a closed socket fails instead).
    sigset_t blocked = stop_signals();
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    if (g_app) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
    } else {
        auto *app = new (std::nothrow) zwp_app_t{};
        if (!app) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            zwu_apr_exit();
            return 1;
        }
        app->messages = messages;
        if (start_steps(app, argc, argv) != 0) {
            delete app;
            zwu_apr_exit();
            return 1;
        }
        g_app = app;
    }
    zwp_app_t *app = g_app;

    app->run.store(ZWP_APP_RUNNING);
    struct sigaction action {};
    action.sa_handler = zwp_app_signal_handler;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signo, &action, nullptr);
    const sigset_t unblocked = stop_signals();
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);

    while (app->run.load() == ZWP_APP_RUNNING) {
        if (zwp_aserver_state_get(app->server) == ZWP_ASERVER_ENDED)
            break;
        // A stop signal cuts the sleep short.
        const timespec second{1, 0};
        nanosleep(&second, nullptr);
    }

    // Nothing may take the stop signals once the records start to go.
    pthread_sigmask(SIG_BLOCK, &unblocked, nullptr);
    stop_steps(app, step_count);
    g_app = nullptr;
    delete app;
    zwu_apr_exit();
    // Return rather than end only this thread: a thread left behind must not
    // keep the process alive.
    return 0;
}
