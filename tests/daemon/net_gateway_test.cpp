// The stored gateway file "zip_server.txt" (reading, writing, the copy of an
// unreadable file, the key kept out of the log) and gateway selection by
// discovery when there is no file.
#include "net_support.h"

#include "daemon/zwp_zwave_client.h"

#include <cstring>
#include <sstream>
#include <vector>

namespace {

using namespace net_test;

std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<uint8_t> v4(std::initializer_list<uint8_t> bytes)
{
    std::vector<uint8_t> addr(bytes);
    addr.resize(16, 0);
    return addr;
}

struct parse_case {
    const char *what;
    std::string text;
    int result;
    int count;
    int skipped;
    // Of the first entry.
    std::vector<uint8_t> addr;
    uint8_t ipv4;
    uint16_t port;
    uint8_t psk_len;
};

TEST(zip_server_file, ReadsLinesOfAddressPortAndKey)
{
    zw_test::log_capture log;
    const std::string key64(64, 'a');
    const parse_case cases[] = {
        {"address alone", "10.0.0.5\n", 0, 1, 0, v4({10, 0, 0, 5}), 1, 0, 0},
        {"address and port", "10.0.0.5|4000\n", 0, 1, 0, v4({10, 0, 0, 5}), 1, 4000, 0},
        {"port not a number", "10.0.0.5|x1\n", 0, 1, 0, v4({10, 0, 0, 5}), 1, 41231, 0},
        {"port above 65535", "10.0.0.5|65536\n", 0, 1, 0, v4({10, 0, 0, 5}), 1, 41231, 0},
        {"a 32-byte key", "10.0.0.5|1|" + key64 + "\n", 0, 1, 0, v4({10, 0, 0, 5}), 1, 1, 32},
        {"a key of 63 digits is none", "10.0.0.5|1|" + key64.substr(1) + "\n", 0, 1, 0, v4({10, 0, 0, 5}), 1, 1, 0},
        {"a key with a non-hex digit", "10.0.0.5|1|0g\n", 0, 1, 0, v4({10, 0, 0, 5}), 1, 1, 0},
        {"a 66-digit key is none", "10.0.0.5|1|" + key64 + "ab\n", 0, 1, 0, v4({10, 0, 0, 5}), 1, 1, 0},
        {"CR LF line ends", "10.0.0.5|7\r\n10.0.0.6\r\n", 0, 2, 0, v4({10, 0, 0, 5}), 1, 7, 0},
        {"no final line end", "10.0.0.5|7\n10.0.0.6", 0, 2, 0, v4({10, 0, 0, 5}), 1, 7, 0},
        {"IPv6", "fd00::1|9\n", 0, 1, 0, {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0, 9, 0},
        {"blank and bad later lines are skipped", "10.0.0.5\n\nnot-an-address\n10.0.0.7\n", 0, 2, 2,
         v4({10, 0, 0, 5}), 1, 0, 0},
        {"six lines: five are read", "1.1.1.1\n1.1.1.2\n1.1.1.3\n1.1.1.4\n1.1.1.5\n1.1.1.6\n", 0, 5, 0,
         v4({1, 1, 1, 1}), 1, 0, 0},
        {"a bad first line", "gateway\n10.0.0.6\n", 22, 0, 1, {}, 0, 0, 0},
        {"an address too long for the field", std::string(60, '1') + "|1\n", 22, 0, 1, {}, 0, 0, 0},
        {"a NUL inside the first line", std::string("10.0.0.5\0x\n", 11), 22, 0, 1, {}, 0, 0, 0},
        {"empty", "", 22, 0, 0, {}, 0, 0, 0},
    };
    for (const auto &c : cases) {
        // Exactly the text's bytes, so that a read past them shows.
        std::vector<char> bytes(c.text.begin(), c.text.end());
        zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX] = {};
        int count = -1;
        int skipped = -1;
        EXPECT_EQ(zwp_zip_server_text_parse(bytes.data(), bytes.size(), entries, &count, &skipped), c.result)
            << c.what;
        EXPECT_EQ(skipped, c.skipped) << c.what;
        if (c.result != 0)
            continue;
        EXPECT_EQ(count, c.count) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(entries[0].addr, entries[0].addr + 16), c.addr) << c.what;
        EXPECT_EQ(entries[0].ipv4, c.ipv4) << c.what;
        EXPECT_EQ(entries[0].port, c.port) << c.what;
        EXPECT_EQ(entries[0].psk_len, c.psk_len) << c.what;
        EXPECT_EQ(entries[0].flags, ZWP_ZIP_STORED) << c.what;
    }
    EXPECT_TRUE(log.has("[warning] Invalid ZIP server port number. Defaulting to 41231\n"));
    for (const std::string &line : log.lines())
        EXPECT_EQ(line.find(key64), std::string::npos) << "a key never reaches the log: " << line;
}

TEST(zip_server_file, WritesTheChosenGatewayFirstWithItsKeyAndTheOthersWithout)
{
    zw_test::log_capture log;
    data_dir dir;
    const std::string path = dir.var + "/networks/zip_server.txt";
    std::ofstream(path) << "10.0.0.9|5000|00112233445566778899aabbccddeeff\n"
                           "10.0.0.5|6000|ffeeddccbbaa99887766554433221100\n"
                           "fd00::1|7\n"
                           "fd00:0:0:0:0:0:0:2\n"
                           "10.0.0.7\n";
    zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX];
    int count = 0;
    int skipped = 0;
    ASSERT_EQ(zwp_zip_server_file_read(dir.var.c_str(), entries, &count, &skipped), 0);
    ASSERT_EQ(count, 5);

    // The chosen gateway shares its address with the second line, which is
    // then not repeated; fd00::2 shares its first 4 bytes with fd00::1 and is
    // still written.
    zwp_gw_t chosen{};
    chosen.addr[0] = 10;
    chosen.addr[3] = 5;
    chosen.addr_type = 1;
    chosen.port = 41231;
    const uint8_t key[16] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::memcpy(chosen.psk, key, sizeof key);
    chosen.psk_len = sizeof key;
    ASSERT_EQ(zwp_zip_server_file_write(dir.var.c_str(), &chosen, entries, count), 0);
    EXPECT_EQ(file_text(path), "10.0.0.5|41231|deadbeef0102030405060708090a0b0c\n"
                               "10.0.0.9|5000\n"
                               "fd00::1|7\n"
                               "fd00::2\n"
                               "10.0.0.7\n");
    for (const std::string &line : log.lines())
        EXPECT_EQ(line.find("deadbeef"), std::string::npos) << "the key never reaches the log: " << line;
    EXPECT_TRUE(log.has("[error] printed key_len  = 32\n"));

    // What was written reads back as written.
    ASSERT_EQ(zwp_zip_server_file_read(dir.var.c_str(), entries, &count, &skipped), 0);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(entries[0].psk_len, 16);
    EXPECT_EQ(std::memcmp(entries[0].psk, key, sizeof key), 0);
    EXPECT_EQ(entries[0].port, 41231);
}

TEST(zip_server_file, WithoutAGatewayTheUnreadableFileIsLeftAsItWas)
{
    zw_test::log_capture log;
    data_dir dir;
    const std::string path = dir.var + "/networks/zip_server.txt";
    std::ofstream(path) << "not a gateway|1|00112233445566778899aabbccddeeff\n";
    zwp_zwave_client_t *client = nullptr;
    ASSERT_EQ(zwp_zwave_client_create(&client, dir.var.c_str()), 0);
    zwp_gw_t gw{};
    EXPECT_EQ(zwp_zwave_client_gw_get(client, &gw), 22);
    zwp_zwave_client_destroy(client);
    EXPECT_EQ(file_text(path), "not a gateway|1|00112233445566778899aabbccddeeff\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".bad")) << "nothing was rewritten";
    EXPECT_TRUE(log.has("[warning] No ZIP server selected for initialization\n"));
}

TEST(zip_server_file, DiscoveryRunsTheIPv6PassAfterTheIPv4PassAndEachPassIsBounded)
{
    zw_test::log_capture log;
    data_dir dir;
    zwp_zwave_client_t *client = nullptr;
    const auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(zwp_zwave_client_create(&client, dir.var.c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2 * ZWP_DISCOVERY_WAIT_SEC + 20));
    zwp_gw_t gw{};
    EXPECT_EQ(zwp_zwave_client_gw_get(client, &gw), 22);
    EXPECT_EQ(zwp_zwave_client_net_get(client), nullptr);
    zwp_zwave_client_destroy(client);
    std::vector<std::string> passes;
    for (const std::string &line : log.lines())
        if (line.rfind("[error] Network  MDNS = 0: ipv4 = ", 0) == 0)
            passes.push_back(line.substr(34, 1));
    ASSERT_FALSE(passes.empty());
    EXPECT_EQ(passes.front(), "1") << "IPv4 first";
    EXPECT_EQ(passes.back(), "0") << "then IPv6";
    EXPECT_FALSE(std::filesystem::exists(dir.var + "/networks/zip_server.txt"));
}

} // namespace

namespace {

TEST(zip_server_file, AFileThatDidNotReadWholeIsKeptBeforeItIsRewritten)
{
    zw_test::log_capture log;
    data_dir dir;
    const std::string path = dir.var + "/networks/zip_server.txt";
    const std::string old_text = "10.0.0.9|5\n\nnot an address\n10.0.0.7";
    std::ofstream(path) << old_text;
    zwp_zwave_client_t *client = nullptr;
    ASSERT_EQ(zwp_zwave_client_create(&client, dir.var.c_str()), 0);
    zwp_gw_t none{};
    EXPECT_EQ(zwp_zwave_client_gw_get(client, &none), 22) << "the stored gateway did not answer";
    EXPECT_TRUE(log.has("[error] Cannot find Z/IP Gateway cache entry from discovery. Z/IP Gateway not initialize.\n"));

    zwp_gw_t gw{};
    gw.addr[0] = 10;
    gw.addr[3] = 5;
    gw.addr_type = 1;
    gw.port = 41231;
    ASSERT_EQ(zwp_zwave_client_store(client, &gw), 0);
    EXPECT_EQ(file_text(path + ".bad"), old_text);
    EXPECT_EQ(file_text(path), "10.0.0.5|41231\n10.0.0.9|5\n10.0.0.7\n") << "the good lines stay";
    zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX];
    ASSERT_EQ(zwp_zwave_client_entries_get(client, entries), 0);
    EXPECT_EQ(entries[0].addr[3], 5) << "the entries follow the new file";

    // A file that reads whole is not copied again.
    std::filesystem::remove(path + ".bad");
    ASSERT_EQ(zwp_zwave_client_store(client, &gw), 0);
    EXPECT_FALSE(std::filesystem::exists(path + ".bad"));
    zwp_zwave_client_destroy(client);
}

} // namespace
