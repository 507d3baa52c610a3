#include "daemon/zwp_config.h"

#include "tests/support/zws_log_capture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using zw_test::log_capture;

const std::string required_keys = R"(
portal = {
  security = {
    CA_certificate_file = "certs/ca.pem";
    SSL_certificate_file = "certs/ssl.pem";
    private_key_file = "certs/key.pem";
  };
  device_specific_configuration_file = "dev_cfg.json";
};
)";

struct Config : ::testing::Test {
    void SetUp() override
    {
        char pattern[] = "/tmp/zwp_config_XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/kestrund.conf";
    }
    void TearDown() override
    {
        zwp_config_free(config);
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    void write(const std::string &text)
    {
        std::ofstream out(path);
        out << text;
    }
    int load(std::vector<std::string> args)
    {
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        return zwp_config_init(&config, static_cast<int>(argv.size() - 1), argv.data());
    }
    int load_file(const std::string &text)
    {
        write(text);
        return load({"/usr/sbin/kestrund", "-f", path});
    }
    std::string dir;
    std::string path;
    zwp_config_t *config = nullptr;
    log_capture capture;
};

TEST_F(Config, RequiredKeysOnlyGiveDefaultsAndWarnings)
{
    ASSERT_EQ(load_file(required_keys), 0);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   "[warning] Failed to lookup gateway auto set to local flag. Using default 1\n",
                                   "[warning] Failed to lookup portal listening port. Proceeding with default port 44123\n",
                                   "[warning] Failed to lookup Z-Wave Report wait timeout. Using default 11 seconds\n",
                                   "[warning] Failed to lookup server initial thread count. Using default 10\n",
                                   "[warning] Failed to lookup server maximum thread count. Using default 50\n",
                               }));
    EXPECT_EQ(zwp_config_get_dir(config), dir);
    const zwp_net_config_t *net = zwp_config_get_net_config(config);
    EXPECT_EQ(net->listen_port, 44123);
    EXPECT_EQ(net->gw_auto_set_to_local, 1);
    EXPECT_EQ(net->report_wait_timeout, 11u);
    EXPECT_EQ(std::string(net->var_dir), dir + "/../var");
    EXPECT_EQ(std::string(net->ca_cert_file), dir + "/certs/ca.pem");
    EXPECT_EQ(std::string(net->ssl_cert_file), dir + "/certs/ssl.pem");
    EXPECT_EQ(std::string(net->private_key_file), dir + "/certs/key.pem");
    EXPECT_EQ(std::string(net->dev_cfg_file), dir + "/dev_cfg.json");
    const zwp_server_config_t *server = zwp_config_get_server_config(config);
    EXPECT_EQ(server->thread_init_count, 10u);
    EXPECT_EQ(server->thread_max_count, 50u);
    const zws_log_settings_t *log = zwp_config_get_log_settings(config);
    EXPECT_STREQ(log->ident, "kestrund");
    EXPECT_EQ(log->mask, 0xFFu);
    EXPECT_EQ(log->target, ZWS_LOG_TARGET_CONSOLE);
}

TEST_F(Config, EachMissingRequiredKeyFailsWithItsText)
{
    const struct {
        const char *key;
        const char *line;
    } cases[] = {
        {"CA_certificate_file", "[error] Failed to lookup CA certificate path\n"},
        {"SSL_certificate_file", "[error] Failed to lookup SSL certificate path\n"},
        {"private_key_file", "[error] Failed to lookup private key file path\n"},
        {"device_specific_configuration_file", "[error] Failed to lookup device specific configuration file path\n"},
    };
    for (const auto &c : cases) {
        std::string text = required_keys;
        const size_t at = text.find(c.key);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, std::string(c.key).size(), "unused_key");
        capture.clear();
        EXPECT_EQ(load_file(text), 22) << c.key;
        EXPECT_TRUE(capture.has(c.line)) << c.key;
        EXPECT_EQ(config, nullptr);
    }
}

// The required keys with room for more inside "portal" and at the top.
std::string with_keys(const std::string &in_portal, const std::string &at_top)
{
    std::string text = required_keys;
    const std::string open = "portal = {";
    text.insert(text.find(open) + open.size(), "\n  " + in_portal + "\n");
    return text + at_top + "\n";
}

TEST_F(Config, IntegerKeysAndTheirRanges)
{
    const char *const port_error = "[error] Configuration 'portal.listen_port' is out of valid range\n";
    const char *const gw_error =
        "[error] Configuration 'local.gw_auto_set_to_local' is out of valid range. Using default 1\n";
    const char *const wait_error =
        "[error] Configuration 'portal.network.interface.report_wait_timeout' is out of valid range. Using default 11\n";
    const struct {
        const char *in_portal;
        const char *at_top;
        int rc;
        const char *line; // expected among the lines, or null
        long port, gw_auto, wait, init, max;
    } cases[] = {
        {"listen_port = 65535;", "", 0, nullptr, 65535, 1, 11, 10, 50},
        {"listen_port = 0;", "", 0, nullptr, 0, 1, 11, 10, 50},
        {"listen_port = 70000;", "", 22, port_error, 0, 0, 0, 0, 0},
        {"listen_port = -1;", "", 22, port_error, 0, 0, 0, 0, 0},
        {"listen_port = \"80\";", "", 0,
         "[warning] Failed to lookup portal listening port. Proceeding with default port 44123\n", 44123, 1, 11, 10, 50},
        {"", "local = { gw_auto_set_to_local = 0; };", 0, nullptr, 44123, 0, 11, 10, 50},
        {"", "local = { gw_auto_set_to_local = -1; };", 0, gw_error, 44123, 1, 11, 10, 50},
        {"", "local = { gw_auto_set_to_local = 5; };", 0, gw_error, 44123, 1, 11, 10, 50},
        {"network = { interface = { report_wait_timeout = 0; }; };", "", 0, nullptr, 44123, 1, 0, 10, 50},
        {"network = { interface = { report_wait_timeout = -3; }; };", "", 0, wait_error, 44123, 1, 11, 10, 50},
        {"network = { interface = { report_wait_timeout = 2147483647; }; };", "", 0, wait_error, 44123, 1, 11, 10, 50},
        {"", "server = { thread_pool = { thread_max_count = 0; }; };", 0,
         "[error] Configuration 'server.thread_pool.thread_max_count' is out of valid range. Using default 50\n", 44123,
         1, 11, 10, 50},
        {"", "server = { thread_pool = { thread_init_count = -5; }; };", 0,
         "[error] Configuration 'server.thread_pool.thread_init_count' is out of valid range. Using default 10\n",
         44123, 1, 11, 10, 50},
        {"", "server = { thread_pool = { thread_init_count = 0; thread_max_count = 1; }; };", 0, nullptr, 44123, 1, 11,
         0, 1},
        {"", "server = { thread_pool = { thread_init_count = 20; thread_max_count = 5; }; };", 0,
         "[error] Configuration 'server.thread_pool.thread_init_count' 20 exceeds "
         "'server.thread_pool.thread_max_count' 5. Using 5\n",
         44123, 1, 11, 5, 5},
    };
    for (const auto &c : cases) {
        const std::string what = std::string(c.in_portal) + c.at_top;
        capture.clear();
        const int rc = load_file(with_keys(c.in_portal, c.at_top));
        ASSERT_EQ(rc, c.rc) << what;
        if (c.line) {
            EXPECT_TRUE(capture.has(c.line)) << what;
        }
        if (rc != 0)
            continue;
        const zwp_net_config_t *net = zwp_config_get_net_config(config);
        const zwp_server_config_t *server = zwp_config_get_server_config(config);
        EXPECT_EQ(net->listen_port, c.port) << what;
        EXPECT_EQ(net->gw_auto_set_to_local, c.gw_auto) << what;
        EXPECT_EQ(net->report_wait_timeout, c.wait) << what;
        EXPECT_EQ(server->thread_init_count, c.init) << what;
        EXPECT_EQ(server->thread_max_count, c.max) << what;
        zwp_config_free(config);
        config = nullptr;
    }
}

TEST_F(Config, UnreadableFilesAndTheCommandLine)
{
    write("portal = {\n  listen_port = ;\n};\n");
    EXPECT_EQ(load({"kestrund", "-f", path}), 22);
    EXPECT_TRUE(capture.has("[error] Failed to read configuration file " + path + ": (syntax error) at line 2\n\n"))
        << (capture.lines().empty() ? "" : capture.lines()[0]);

    capture.clear();
    const std::string absent = dir + "/absent.conf";
    EXPECT_EQ(load({"kestrund", "-f", absent}), 22);
    EXPECT_TRUE(capture.has("[error] Failed to read configuration file " + absent + ": (file I/O error) at line 0\n\n"));

    capture.clear();
    EXPECT_EQ(load({"kestrund"}), 22);
    EXPECT_TRUE(capture.contains("Failed to read configuration file " ZWP_CONFIG_DEFAULT_FILE ": "));

    // A later -f replaces an earlier one.
    capture.clear();
    write(required_keys);
    ASSERT_EQ(load({"kestrund", "-f", absent, "-f", path}), 0);
    EXPECT_EQ(std::string(config->file), path);

    // The record is a singleton.
    zwp_config_t *second = nullptr;
    capture.clear();
    std::vector<char *> argv = {const_cast<char *>("kestrund"), nullptr};
    EXPECT_EQ(zwp_config_init(&second, 1, argv.data()), 0);
    EXPECT_EQ(second, config);
    EXPECT_TRUE(capture.has("[warning] Multiple calls to singleton object\n"));
}

TEST(ConfigPathJoin, JoinsToTheDirectory)
{
    config_t parsed;
    config_init(&parsed);
    ASSERT_EQ(config_read_string(&parsed, "portal = { a = \"certs/a.pem\"; n = 3; };"), CONFIG_TRUE);
    log_capture capture;
    char *path = nullptr;
    ASSERT_EQ(zws_path_join(&parsed, "portal.a", "/etc/x", &path), 0);
    EXPECT_STREQ(path, "/etc/x/certs/a.pem");
    std::free(path);
    EXPECT_EQ(zws_path_join(&parsed, "portal.b", "/etc/x", &path), 22);
    EXPECT_EQ(zws_path_join(&parsed, "portal.n", "/etc/x", &path), 22);
    EXPECT_TRUE(capture.lines().empty());
    config_destroy(&parsed);
}

} // namespace
