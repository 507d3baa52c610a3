// Preference files: the bytes on disk, the round trip, each refusal of a
// malformed file, and that a save which cannot complete keeps the old file.
#include "hcapi/core/zwfac.h"

#include "hcapi/core/zwrec.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

class PrefFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zw_pref_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        path_ = dir_ + "/net0000ABCD.dat";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    bytes file() const
    {
        std::ifstream in(path_, std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), {});
    }
    void put(const bytes &b) const
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    int load(bytes *out) const
    {
        uint8_t *data = nullptr;
        uint16_t len = 0xFFFF;
        const int rc = zwnet_pref_file_read(path_.c_str(), &data, &len);
        if (rc == 0)
            out->assign(data, data + len);
        else
            EXPECT_EQ(nullptr, data);
        std::free(data);
        return rc;
    }
    static bytes with_crc(bytes b)
    {
        const uint16_t crc = zwnet_crc16(ZWNET_CRC16_INIT, b.data(), b.size());
        b.push_back(static_cast<uint8_t>(crc >> 8));
        b.push_back(static_cast<uint8_t>(crc));
        return b;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(PrefFile, WritesHeaderBlobAndTrailerAndReadsThemBack)
{
    const bytes blob = {0x01, 0x02, 0xFE};
    ASSERT_EQ(0, zwnet_pref_file_write(path_.c_str(), blob.data(), 3));
    const bytes on_disk = file();
    EXPECT_EQ(with_crc({0x18, 0x3F, 0x00, 0x01, 0x01, 0x02, 0xFE}), on_disk);
    EXPECT_EQ(0, zwnet_crc16(ZWNET_CRC16_INIT, on_disk.data(), on_disk.size()));
    bytes back;
    ASSERT_EQ(0, load(&back));
    EXPECT_EQ(blob, back);

    // The largest blob the length can name.
    const bytes big(0xFFFF, 0x5A);
    ASSERT_EQ(0, zwnet_pref_file_write(path_.c_str(), big.data(), 0xFFFF));
    ASSERT_EQ(0, load(&back));
    EXPECT_EQ(big, back);
}

TEST_F(PrefFile, RefusesWhatItDidNotWrite)
{
    struct {
        const char *what;
        bytes content;
        int rc;
    } cases[] = {
        {"empty", {}, ZW_ERR_FILE},
        {"shorter than the header", {0x18, 0x3F, 0x00}, ZW_ERR_FILE},
        {"header without trailer", {0x18, 0x3F, 0x00, 0x01}, ZW_ERR_FILE},
        {"wrong magic", with_crc({0x18, 0x3E, 0x00, 0x01, 0x07}), ZW_ERR_FILE},
        {"bad CRC", {0x18, 0x3F, 0x00, 0x01, 0x07, 0x00, 0x00}, ZW_ERR_FILE},
        {"version 2", with_crc({0x18, 0x3F, 0x00, 0x02, 0x07}), ZW_ERR_VERSION},
        {"longer than a blob can be", with_crc([] {
             bytes b = {0x18, 0x3F, 0x00, 0x01};
             b.resize(4 + 0x10000, 0x11);
             return b;
         }()),
         ZW_ERR_FILE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        put(c.content);
        bytes back;
        EXPECT_EQ(c.rc, load(&back));
    }
    uint8_t *data = nullptr;
    uint16_t len = 0;
    EXPECT_EQ(ZW_ERR_FILE_OPEN, zwnet_pref_file_read((dir_ + "/none.dat").c_str(), &data, &len));
    // An empty blob is a valid file.
    put(with_crc({0x18, 0x3F, 0x00, 0x01}));
    bytes back = {1};
    EXPECT_EQ(0, load(&back));
    EXPECT_TRUE(back.empty());
}

// Loading needs read access only: a read-only file loads.
TEST_F(PrefFile, LoadsAReadOnlyFile)
{
    const uint8_t blob[] = {9, 8, 7};
    ASSERT_EQ(0, zwnet_pref_file_write(path_.c_str(), blob, 3));
    ASSERT_EQ(0, chmod(path_.c_str(), 0444));
    bytes back;
    EXPECT_EQ(0, load(&back));
    EXPECT_EQ(bytes(blob, blob + 3), back);
}

// A save that cannot be completed leaves the last good file in place: the
// new file is cut short by a file-size limit (which binds root as well).
TEST_F(PrefFile, FailedSaveKeepsTheLastGoodFile)
{
    const uint8_t good[] = {1, 2, 3};
    ASSERT_EQ(0, zwnet_pref_file_write(path_.c_str(), good, 3));
    const pid_t pid = fork();
    ASSERT_LE(0, pid);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{8, 8};
        setrlimit(RLIMIT_FSIZE, &lim);
        const std::vector<uint8_t> next(100, 0x77);
        _exit(zwnet_pref_file_write(path_.c_str(), next.data(), 100) == ZW_ERR_FILE_WRITE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the cut save did not answer -29";
    bytes back;
    EXPECT_EQ(0, load(&back));
    EXPECT_EQ(bytes(good, good + 3), back);
}

// The network's blob and a client's blob live side by side in the data
// directory, named by the home id (and the client id).
TEST_F(PrefFile, NetworkAndClientFilesByName)
{
    zwnet net;
    net.homeid = 0xABCD;
    net.data_dir = dir_ + "/";
    const uint8_t mine[] = {1};
    const uint8_t theirs[] = {2, 2};
    ASSERT_EQ(0, zwnet_data_file_save(&net, mine, 1, 0, 0));
    ASSERT_EQ(0, zwnet_data_file_save(&net, theirs, 2, 0x42, 1));
    EXPECT_EQ(0, access((dir_ + "/net0000ABCD.dat").c_str(), R_OK));
    EXPECT_EQ(0, access((dir_ + "/cli0000ABCD_00000042.dat").c_str(), R_OK));
    uint8_t *data = nullptr;
    uint16_t len = 0;
    ASSERT_EQ(0, zwnet_data_file_load(&net, 0x42, &data, &len, 1));
    EXPECT_EQ(bytes(theirs, theirs + 2), bytes(data, data + len));
    std::free(data);
    ASSERT_EQ(0, zwnet_data_file_load(&net, 0, &data, &len, 0));
    EXPECT_EQ(bytes(mine, mine + 1), bytes(data, data + len));
    std::free(data);
}

TEST(PrefFileArgs, RefusesMissingArguments)
{
    EXPECT_EQ(ZW_ERR_VALUE, zwnet_data_file_save(nullptr, reinterpret_cast<const uint8_t *>("x"), 1, 0, 0));
    uint8_t *data = reinterpret_cast<uint8_t *>(1);
    uint16_t len = 5;
    EXPECT_EQ(ZW_ERR_VALUE, zwnet_data_file_load(nullptr, 0, &data, &len, 0));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0, len);
}

}  // namespace
