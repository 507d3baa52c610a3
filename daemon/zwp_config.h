// kestrund's configuration: the command line (-f FILE) and the keys of the
// configuration file (libconfig syntax). The parsed file is destroyed once
// the records are built, so every value here is a copy.
#pragma once

#include "daemon/zwp_log.h"

#include <libconfig.h>

#include <cstdint>

// Used when no -f option is given.
#define ZWP_CONFIG_DEFAULT_FILE "/usr/local/kestrund/etc/kestrund.conf"

struct zwp_net_config_t {
    uint16_t listen_port;    // portal.listen_port; held, not used by the daemon
    char *var_dir;           // "<dir>/../var": the daemon's data
    char *ca_cert_file;      // the four file keys, joined to the configuration directory
    char *ssl_cert_file;
    char *private_key_file;
    char *dev_cfg_file;      // handed to the host-controller library
    uint32_t report_wait_timeout; // seconds; longest wait for a device report
    uint8_t gw_auto_set_to_local; // 0 or 1
};

struct zwp_server_config_t {
    uint32_t thread_init_count;
    uint32_t thread_max_count;
};

struct zwp_config_t {
    char *program; // argv[0]
    char *file;    // the configuration file
    char *dir;     // its directory
    zws_log_settings_t *log_settings;
    zwp_net_config_t *net_config;
    zwp_server_config_t *server_config;
};

// Bounds beyond which the numeric keys fall back to their default with an
// error: a wait must stay countable in microseconds and a pool must be able
// to run at least one worker.
enum : uint32_t {
    ZWP_CONFIG_REPORT_WAIT_MAX = 3600,
    ZWP_CONFIG_THREAD_COUNT_MAX = 1024,
};

// Parses the command line and reads the file; singleton. 0 or 22.
int zwp_config_init(zwp_config_t **config, int argc, char *const *argv);
void zwp_config_free(zwp_config_t *config);

// Readers of one part of a parsed file; dir is the configuration directory.
int zwp_net_config_init(zwp_net_config_t **net_config, const config_t *parsed, const char *dir);
void zwp_net_config_free(zwp_net_config_t *net_config);
int zwp_server_config_init(zwp_server_config_t **server_config, const config_t *parsed, const char *dir);
void zwp_server_config_free(zwp_server_config_t *server_config);

const char *zwp_config_get_dir(const zwp_config_t *config);
zws_log_settings_t *zwp_config_get_log_settings(const zwp_config_t *config);
zwp_net_config_t *zwp_config_get_net_config(const zwp_config_t *config);
zwp_server_config_t *zwp_config_get_server_config(const zwp_config_t *config);

// Looks key up as a string and joins it to dir with "%s/%s" into a new
// malloc'd string owned by the caller. 22 without a message when absent.
int zws_path_join(const config_t *parsed, const char *key, const char *dir, char **path);
