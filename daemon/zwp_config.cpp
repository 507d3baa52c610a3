#include "daemon/zwp_config.h"

#include <libgen.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

zwp_config_t *g_config = nullptr;

// What happens to an integer key whose value lies outside its range.
enum class out_of_range { fails, uses_default };

struct int_key {
    const char *key;
    int fallback;
    long min;
    long max;
    const char *missing; // warning, with the default as its "%d"
    out_of_range rule;
};

constexpr int_key gw_auto_key{"local.gw_auto_set_to_local", 1, 0, 1,
                              "Failed to lookup gateway auto set to local flag. Using default %d",
                              out_of_range::uses_default};
constexpr int_key listen_port_key{"portal.listen_port", 44123, 0, 65535,
                                  "Failed to lookup portal listening port. Proceeding with default port %d",
                                  out_of_range::fails};
constexpr int_key report_wait_key{"portal.network.interface.report_wait_timeout", 11, 0,
                                  ZWP_CONFIG_REPORT_WAIT_MAX,
                                  "Failed to lookup Z-Wave Report wait timeout. Using default %d seconds",
                                  out_of_range::uses_default};
constexpr int_key thread_init_key{"server.thread_pool.thread_init_count", 10, 0, ZWP_CONFIG_THREAD_COUNT_MAX,
                                  "Failed to lookup server initial thread count. Using default %d",
                                  out_of_range::uses_default};
constexpr int_key thread_max_key{"server.thread_pool.thread_max_count", 50, 1, ZWP_CONFIG_THREAD_COUNT_MAX,
                                 "Failed to lookup server maximum thread count. Using default %d",
                                 out_of_range::uses_default};

// 0 with the value (or the default), 22 when the key's range rule fails it.
int read_int(const config_t *parsed, const int_key &key, long *value)
{
    int found = 0;
    if (!parsed || config_lookup_int(parsed, key.key, &found) != CONFIG_TRUE) {
        ZWS_LOG_WARN(key.missing, key.fallback);
        *value = key.fallback;
        return 0;
    }
    if (found >= key.min && found <= key.max) {
        *value = found;
        return 0;
    }
    if (key.rule == out_of_range::fails) {
        ZWS_LOG_ERROR("Configuration '%s' is out of valid range", key.key);
        return 22;
    }
    ZWS_LOG_ERROR("Configuration '%s' is out of valid range. Using default %d", key.key, key.fallback);
    *value = key.fallback;
    return 0;
}

struct path_key {
    const char *key;
    const char *missing; // error; start-up fails
    char *zwp_net_config_t::*member;
};

constexpr path_key path_keys[] = {
    {"portal.security.CA_certificate_file", "Failed to lookup CA certificate path", &zwp_net_config_t::ca_cert_file},
    {"portal.security.SSL_certificate_file", "Failed to lookup SSL certificate path",
     &zwp_net_config_t::ssl_cert_file},
    {"portal.security.private_key_file", "Failed to lookup private key file path",
     &zwp_net_config_t::private_key_file},
    {"portal.device_specific_configuration_file", "Failed to lookup device specific configuration file path",
     &zwp_net_config_t::dev_cfg_file},
};

char *copy_text(const std::string &text)
{
    char *copy = strdup(text.c_str());
    if (!copy)
        ZWS_LOG_ERROR("Failed to allocate memory");
    return copy;
}

const char *base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::string dir_name(const char *path)
{
    std::string copy = path;
    return dirname(copy.data());
}

} // namespace

int zws_path_join(const config_t *parsed, const char *key, const char *dir, char **path)
{
    const char *value = nullptr;
    if (!parsed || !key || !dir || !path || config_lookup_string(parsed, key, &value) != CONFIG_TRUE || !value)
        return 22;
    *path = copy_text(std::string(dir) + "/" + value);
    return *path ? 0 : 22;
}

void zwp_net_config_free(zwp_net_config_t *net_config)
{
    if (!net_config)
        return;
    std::free(net_config->var_dir);
    for (const path_key &key : path_keys)
        std::free(net_config->*key.member);
    std::free(net_config);
}

int zwp_net_config_init(zwp_net_config_t **net_config, const config_t *parsed, const char *dir)
{
    if (!net_config || !dir)
        return 22;
    auto *made = static_cast<zwp_net_config_t *>(std::calloc(1, sizeof(zwp_net_config_t)));
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    long value = 0;
    read_int(parsed, gw_auto_key, &value);
    made->gw_auto_set_to_local = static_cast<uint8_t>(value);
    if (read_int(parsed, listen_port_key, &value) != 0) {
        zwp_net_config_free(made);
        return 22;
    }
    made->listen_port = static_cast<uint16_t>(value);
    made->var_dir = copy_text(std::string(dir) + "/../var");
    if (!made->var_dir) {
        zwp_net_config_free(made);
        return 22;
    }
    for (const path_key &key : path_keys) {
        if (zws_path_join(parsed, key.key, dir, &(made->*key.member)) != 0) {
            ZWS_LOG_ERROR("%s", key.missing);
            zwp_net_config_free(made);
            return 22;
        }
    }
    read_int(parsed, report_wait_key, &value);
    made->report_wait_timeout = static_cast<uint32_t>(value);
    *net_config = made;
    return 0;
}

void zwp_server_config_free(zwp_server_config_t *server_config) { std::free(server_config); }

int zwp_server_config_init(zwp_server_config_t **server_config, const config_t *parsed, const char *dir)
{
    (void)dir;
    if (!server_config)
        return 22;
    auto *made = static_cast<zwp_server_config_t *>(std::calloc(1, sizeof(zwp_server_config_t)));
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    long init_count = 0;
    long max_count = 0;
    read_int(parsed, thread_init_key, &init_count);
    read_int(parsed, thread_max_key, &max_count);
    if (init_count > max_count) {
        // The pool would start more workers than it may ever hold.
        ZWS_LOG_ERROR("Configuration '%s' %ld exceeds '%s' %ld. Using %ld", thread_init_key.key, init_count,
                      thread_max_key.key, max_count, max_count);
        init_count = max_count;
    }
    made->thread_init_count = static_cast<uint32_t>(init_count);
    made->thread_max_count = static_cast<uint32_t>(max_count);
    *server_config = made;
    return 0;
}

void zwp_config_free(zwp_config_t *config)
{
    if (!config)
        return;
    if (config == g_config)
        g_config = nullptr;
    zwp_server_config_free(config->server_config);
    zwp_net_config_free(config->net_config);
    zws_log_settings_destroy(config->log_settings);
    std::free(config->dir);
    std::free(config->file);
    std::free(config->program);
    std::free(config);
}

int zwp_config_init(zwp_config_t **config, int argc, char *const *argv)
{
    if (!config || argc < 1 || !argv || !argv[0])
        return 22;
    if (g_config) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *config = g_config;
        return 0;
    }
    auto *made = static_cast<zwp_config_t *>(std::calloc(1, sizeof(zwp_config_t)));
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    made->program = copy_text(argv[0]);
    if (!made->program) {
        zwp_config_free(made);
        return 22;
    }
    const char *file = ZWP_CONFIG_DEFAULT_FILE;
    optind = 0; // a fresh scan, also when called again
    for (int option; (option = getopt(argc, argv, "f:")) != -1;) {
        if (option == 'f')
            file = optarg;
    }
    made->file = copy_text(file);
    made->dir = made->file ? copy_text(dir_name(made->file)) : nullptr;
    if (!made->dir) {
        zwp_config_free(made);
        return 22;
    }

    config_t parsed;
    config_init(&parsed);
    int rc = 0;
    if (config_read_file(&parsed, made->file) != CONFIG_TRUE) {
        const char *text = config_error_text(&parsed);
        ZWS_LOG_ERROR("Failed to read configuration file %s: (%s) at line %d\n", made->file, text ? text : "",
                      config_error_line(&parsed));
        rc = 22;
    }
    if (rc == 0)
        rc = zws_log_settings_create(&made->log_settings, &parsed, made->dir, base_name(made->program));
    if (rc == 0)
        rc = zwp_net_config_init(&made->net_config, &parsed, made->dir);
    if (rc == 0)
        rc = zwp_server_config_init(&made->server_config, &parsed, made->dir);
    config_destroy(&parsed);
    if (rc != 0) {
        zwp_config_free(made);
        return 22;
    }
    g_config = made;
    *config = made;
    return 0;
}

const char *zwp_config_get_dir(const zwp_config_t *config) { return config ? config->dir : nullptr; }
zws_log_settings_t *zwp_config_get_log_settings(const zwp_config_t *config)
{
    return config ? config->log_settings : nullptr;
}
zwp_net_config_t *zwp_config_get_net_config(const zwp_config_t *config)
{
    return config ? config->net_config : nullptr;
}
zwp_server_config_t *zwp_config_get_server_config(const zwp_config_t *config)
{
    return config ? config->server_config : nullptr;
}
