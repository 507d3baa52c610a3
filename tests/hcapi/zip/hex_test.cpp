// Intel HEX images against files written by other tools (objcopy and an
// independent generator), malformed records, file names and writes, and
// decimal texts.
#include "hcapi/zip/zip_dec.h"
#include "hcapi/zip/zip_file.h"
#include "hcapi/zip/zip_hex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct temp_dir {
    std::string path;
    temp_dir()
    {
        char name[] = "/tmp/zw_hex_XXXXXX";
        path = ::mkdtemp(name) ? name : "";
    }
    ~temp_dir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const bytes &data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
}

int run(const std::string &command) { return std::system(command.c_str()); }

std::string source_dir()
{
    const char *dir = std::getenv("ZW_SOURCE_DIR");
    return dir ? dir : ".";
}

// Loads a HEX file the way the firmware update opens it.
int load_path(const std::string &path, uint32_t max, bytes &image)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return 99;
    uint8_t *img = nullptr;
    uint32_t size = 0;
    int rc = util_hex_img_load(f, max, &img, &size);
    std::fclose(f);
    if (rc == 0) {
        image.assign(img, img + size);
        std::free(img);
    }
    return rc;
}

int load_text(const std::string &text, uint32_t max, bytes &image)
{
    uint8_t *img = nullptr;
    uint32_t size = 0;
    int rc = util_hex_mem_img_load(reinterpret_cast<const uint8_t *>(text.data()), text.size(), max, &img, &size);
    if (rc == 0) {
        image.assign(img, img + size);
        std::free(img);
    } else {
        EXPECT_EQ(img, nullptr);
    }
    return rc;
}

// One record with a correct checksum.
std::string rec(uint8_t type, uint16_t addr, const bytes &data)
{
    bytes body{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr), type};
    body.insert(body.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : body)
        sum = static_cast<uint8_t>(sum + b);
    body.push_back(static_cast<uint8_t>(-sum));
    std::string text = ":";
    char pair[3];
    for (uint8_t b : body) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text + "\n";
}

const std::string kEof = ":00000001FF\n";

// The record with its checksum (the last pair before the line end) changed
// to another valid value.
std::string corrupt_sum(std::string text)
{
    char &c = text[text.find('\n') - 1];
    c = c == '0' ? '1' : '0';
    return text;
}

// The record with the two characters at `pos` replaced.
std::string put(std::string text, size_t pos, const char *two)
{
    text.replace(pos, 2, two);
    return text;
}
const bytes kTen{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

bytes random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    bytes out(n);
    for (auto &b : out)
        b = static_cast<uint8_t>(gen());
    return out;
}

// ---------------------------------------------------------------------------
// Files written by other tools
// ---------------------------------------------------------------------------

// objcopy writes type 02 records below 1 MiB and type 04 above; the image
// starts at address 0 with 0xFF below the first byte.
TEST(HexObjcopy, ImageEqualsTheBinaryAtItsAddress)
{
    struct {
        uint32_t at;
        size_t length;
    } cases[] = {{0, 70000}, {0x3000, 200000}, {0xF8000, 150000}};
    temp_dir dir;
    for (auto &c : cases) {
        SCOPED_TRACE(c.at);
        bytes payload = random_bytes(c.length, c.at + 1);
        write_file(dir / "fw.bin", payload);
        ASSERT_EQ(run("objcopy -I binary -O ihex --change-addresses " + std::to_string(c.at) + " '" + dir / "fw.bin" +
                      "' '" + dir / "fw.hex" + "'"),
                  0);
        bytes image;
        ASSERT_EQ(load_path(dir / "fw.hex", UTIL_HEX_IMG_MAX, image), 0);
        ASSERT_EQ(image.size(), c.at + c.length);
        EXPECT_EQ(bytes(image.begin(), image.begin() + c.at), bytes(c.at, 0xFF));
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image.begin() + c.at));
    }
}

// The firmware update's bound: one byte more than 1,000,000 is refused
// before anything is allocated, exactly 1,000,000 is taken.
TEST(HexObjcopy, BoundOfTheFirmwareUpdate)
{
    temp_dir dir;
    write_file(dir / "fw.bin", random_bytes(1000, 3));
    for (uint32_t at : {999000u, 999001u}) {
        ASSERT_EQ(run("objcopy -I binary -O ihex --change-addresses " + std::to_string(at) + " '" + dir / "fw.bin" +
                      "' '" + dir / "fw.hex" + "'"),
                  0);
        bytes image;
        EXPECT_EQ(load_path(dir / "fw.hex", 1000000, image), at == 999000u ? 0 : -1) << at;
    }
}

// Shuffled records with gaps, both kinds of extended address, start address
// records, lower-case digits, CRLF and blank lines: our image equals the
// generator's and objcopy's reading of the same file.
TEST(HexGenerated, MatchesGeneratorAndObjcopy)
{
    temp_dir dir;
    for (int seed : {1, 2, 3, 4, 5}) {
        SCOPED_TRACE(seed);
        std::string hex = dir / "g.hex", want = dir / "g.bin", theirs = dir / "o.bin";
        ASSERT_EQ(run("python3 '" + source_dir() + "/tests/hcapi/zip/hex_gen.py' " + std::to_string(seed) + " '" +
                      hex + "' '" + want + "'"),
                  0);
        ASSERT_EQ(run("objcopy -I ihex -O binary --gap-fill 0xFF '" + hex + "' '" + theirs + "'"), 0);
        bytes image;
        ASSERT_EQ(load_path(hex, UTIL_HEX_IMG_MAX, image), 0);
        EXPECT_EQ(image, read_file(want));
        // objcopy's binary starts at the lowest address written.
        bytes other = read_file(theirs);
        ASSERT_LE(other.size(), image.size());
        size_t low = image.size() - other.size();
        EXPECT_TRUE(std::equal(other.begin(), other.end(), image.begin() + static_cast<long>(low)));
        EXPECT_EQ(bytes(image.begin(), image.begin() + static_cast<long>(low)), bytes(low, 0xFF));

        FILE *f = std::fopen(hex.c_str(), "r");
        ASSERT_NE(f, nullptr);
        uint64_t size = 0;
        EXPECT_EQ(util_hex_file_size(f, &size), 0);
        EXPECT_EQ(size, image.size());
        EXPECT_EQ(std::ftell(f), 0);  // rewound for the reading pass
        std::fclose(f);
    }
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

TEST(HexRecords, AddressingAndSkippedLines)
{
    bytes image;
    // A type 04 record of 0x0001 puts the next data at 0x10000 + its address.
    ASSERT_EQ(load_text(rec(4, 0, {0x00, 0x01}) + rec(0, 0x0002, kTen) + kEof, UTIL_HEX_IMG_MAX, image), 0);
    ASSERT_EQ(image.size(), 0x10000u + 2 + 10);
    EXPECT_EQ(image[0x10001], 0xFF);
    EXPECT_EQ(bytes(image.end() - 10, image.end()), kTen);

    // Type 02: the base is the value times 16.
    ASSERT_EQ(load_text(rec(2, 0, {0x00, 0x10}) + rec(0, 0x0001, kTen) + kEof, UTIL_HEX_IMG_MAX, image), 0);
    ASSERT_EQ(image.size(), 0x100u + 1 + 10);
    EXPECT_EQ(bytes(image.end() - 10, image.end()), kTen);

    // A later 04 record leaves segment mode; a 02 record leaves linear mode.
    ASSERT_EQ(load_text(rec(2, 0, {0x10, 0x00}) + rec(4, 0, {0x00, 0x00}) + rec(0, 0, kTen) + kEof, 100, image), 0);
    EXPECT_EQ(image, kTen);

    // Blank and short lines, count-0 data and start address records are
    // passed over; nothing after the end-of-file record is read; a file
    // without one ends at its last record.
    std::string text = "\n\r\n   \n" + rec(0, 0, {}) + rec(3, 0, {1, 2, 3, 4}) + rec(5, 0, {0, 0, 0, 9}) +
                       rec(0, 0, kTen) + kEof + "garbage that is not a record\n";
    ASSERT_EQ(load_text(text, 100, image), 0);
    EXPECT_EQ(image, kTen);
    std::string no_eof = rec(0, 0, kTen);
    no_eof.pop_back();  // and no line end at all
    ASSERT_EQ(load_text(no_eof, 100, image), 0);
    EXPECT_EQ(image, kTen);

    // Lower case, CRLF; a later record overwrites an earlier one.
    std::string lower = rec(0, 0, kTen) + rec(0, 4, {0xAB});
    for (auto &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_EQ(load_text(lower.replace(lower.find('\n'), 1, "\r\n"), 100, image), 0);
    EXPECT_EQ(image[4], 0xAB);
}

TEST(HexRecords, SizeBoundsAndNoWrap)
{
    bytes image;
    // Four bytes only: below 10.
    EXPECT_EQ(load_text(rec(0, 0, {1, 2, 3, 4}) + kEof, 1000000, image), -3);
    EXPECT_EQ(load_text("", 1000000, image), -3);
    EXPECT_EQ(load_text(kEof, 1000000, image), -3);
    EXPECT_EQ(load_text(rec(0, 0, kTen), 9, image), -1);
    // The caller's bound is capped by ours.
    EXPECT_EQ(load_text(rec(4, 0, {0x01, 0x00}) + rec(0, 0, kTen), UINT32_MAX, image), -1);

    // The highest linear address: the end lies past 4 GiB and must not wrap
    // to a small size.
    std::string top = rec(4, 0, {0xFF, 0xFF}) + rec(0, 0xFFF8, kTen) + kEof;
    uint64_t size = 0;
    ASSERT_EQ(util_hex_mem_size(reinterpret_cast<const uint8_t *>(top.data()), top.size(), &size), 0);
    EXPECT_EQ(size, 0x100000002ull);
    EXPECT_EQ(load_text(top, UINT32_MAX, image), -1);

    // Writing into an image too small for a record refuses instead of
    // writing past it (ASan watches the exact-size buffer).
    std::string text = rec(0, 0, kTen) + rec(0, 8, kTen);
    bytes small(12, 0xFF);
    EXPECT_EQ(util_hex_mem_to_bin(reinterpret_cast<const uint8_t *>(text.data()), text.size(), small.data(),
                                  static_cast<uint32_t>(small.size())),
              -1);
}

TEST(HexRecords, MalformedRecordsAreRefused)
{
    const std::string good = rec(0, 0, kTen);
    std::string long_line = ":" + std::string(600, '0');
    std::string with_nul = good;
    with_nul[5] = '\0';

    struct {
        const char *what;
        std::string text;
        int rc;
    } cases[] = {
        {"data checksum", corrupt_sum(good), -5},
        {"linear address checksum", corrupt_sum(rec(4, 0, {0x00, 0x01})) + good, -5},
        {"segment address checksum", corrupt_sum(rec(2, 0, {0x00, 0x01})) + good, -5},
        {"start address checksum", corrupt_sum(rec(5, 0, {0, 0, 0, 1})) + good, -5},
        {"end-of-file checksum", good + corrupt_sum(kEof), -5},
        {"checksum missing", ":0A00000000010203040506070809\n", -2},
        {"short line", ":0400000001020304\n", -2},
        {"odd digit count", ":0A00000000010203040506070809D\n", -2},
        {"count past the line", ":10000000000102030405060708092F\n", -2},
        {"bytes beyond the count", ":02000000000102FB\n", -2},
        {"not a hex digit", ":0A000000000102030G0506070809D3\n", -2},
        {"sign inside a pair", put(good, 9, "-1"), -2},
        {"0x prefix", put(good, 1, "0x"), -2},
        {"no colon", good.substr(1), -2},
        {"leading space", " " + good, -2},
        {"space inside", put(good, 11, " 1"), -2},
        {"NUL inside", with_nul, -2},
        {"unknown type 06", rec(6, 0, {1, 2}) + good, -2},
        {"linear record of one byte", rec(4, 0, {0x01}) + good, -2},
        {"segment record of three bytes", rec(2, 0, {0, 0, 1}) + good, -2},
        {"line over 530 characters", good + long_line + "\n", -2},
        {"long line without line end", long_line, -2},
    };
    for (auto &c : cases) {
        bytes image;
        EXPECT_EQ(load_text(c.text, 1000000, image), c.rc) << c.what;
    }
}

// The FILE form decodes the same and leaves a failed image unreturned.
TEST(HexRecords, FromAFile)
{
    temp_dir dir;
    std::string text = rec(4, 0, {0, 0}) + rec(0, 0x20, kTen) + kEof;
    write_file(dir / "a.hex", bytes(text.begin(), text.end()));
    bytes image;
    ASSERT_EQ(load_path(dir / "a.hex", 1000000, image), 0);
    EXPECT_EQ(image.size(), 0x2Au);
    std::string broken = corrupt_sum(text);  // checksum of the address record
    write_file(dir / "b.hex", bytes(broken.begin(), broken.end()));
    EXPECT_EQ(load_path(dir / "b.hex", 1000000, image), -5);
    uint8_t *img = reinterpret_cast<uint8_t *>(1);
    uint32_t size = 0;
    EXPECT_EQ(util_hex_img_load(nullptr, 1000000, &img, &size), -2);
}

TEST(HexRecords, RecordParse)
{
    uint8_t out[4] = {};
    uint8_t sum = 0xAA;
    EXPECT_EQ(util_hex_rec_parse("0102FD", out, 2, &sum), 1);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x02);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(util_hex_rec_parse("ff01", out, 1, &sum), 1);
    EXPECT_EQ(sum, 0);
    for (const char *bad : {"0102", "01020", "01G2FD", "", " 10102"})
        EXPECT_EQ(util_hex_rec_parse(bad, out, 2, &sum), 0) << bad;
}

// ---------------------------------------------------------------------------
// File names and writes
// ---------------------------------------------------------------------------

TEST(FileUtil, Extension)
{
    struct {
        const char *name;
        const char *ext;
    } cases[] = {
        {"fw.hex", "hex"}, {"/a/b/fw.v2.OTZ", "OTZ"}, {"noext", nullptr}, {"/fw.d/image", nullptr},
        {".hidden", "hidden"}, {"x.", ""}, {"", nullptr},
    };
    for (auto &c : cases) {
        const char *got = util_file_ext_get(c.name);
        if (!c.ext) {
            EXPECT_EQ(got, nullptr) << c.name;
        } else {
            EXPECT_STREQ(got, c.ext) << c.name;
        }
    }
    EXPECT_EQ(util_file_ext_get(nullptr), nullptr);
}

size_t entries(const std::string &dir)
{
    size_t n = 0;
    DIR *d = ::opendir(dir.c_str());
    while (dirent *e = d ? ::readdir(d) : nullptr)
        n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
    if (d)
        ::closedir(d);
    return n;
}

TEST(FileUtil, WriteReplacesDurably)
{
    temp_dir dir;
    std::string path = dir / "out.bin";
    bytes first = random_bytes(5000, 9), second{1, 2, 3};
    ASSERT_EQ(util_file_write(path.c_str(), first.data(), first.size()), 1);
    EXPECT_EQ(read_file(path), first);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_EQ(util_file_write(path.c_str(), second.data(), second.size()), 1);
    EXPECT_EQ(read_file(path), second);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the old file's permissions stay
    ASSERT_EQ(util_file_write(path.c_str(), nullptr, 0), 1);
    EXPECT_TRUE(read_file(path).empty());
    EXPECT_EQ(entries(dir.path), 1u);  // no temporary file left

    // Failures: nothing replaced, nothing left behind.
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    write_file(dir / "sub/keep", {7});
    EXPECT_EQ(util_file_write((dir / "sub").c_str(), second.data(), second.size()), 0);  // a folder
    EXPECT_EQ(read_file(dir / "sub/keep"), bytes{7});
    EXPECT_EQ(util_file_write((dir / "none/x").c_str(), second.data(), second.size()), 0);
    EXPECT_EQ(util_file_write(nullptr, second.data(), second.size()), 0);
    EXPECT_EQ(util_file_write("", second.data(), second.size()), 0);
    EXPECT_EQ(util_file_write(path.c_str(), nullptr, 3), 0);
    EXPECT_EQ(entries(dir.path), 2u);
}

// ---------------------------------------------------------------------------
// Decimal text
// ---------------------------------------------------------------------------

TEST(DecimalText, Table)
{
    struct {
        const char *text;
        uint8_t max_dec;
        int rc;
        uint8_t precision;
        bytes value;
        const char *after;  // the text as left in place
    } cases[] = {
        {"-3.14159", 2, 0, 2, {0xFE, 0xC6}, "-314"},
        {"25", 0, 0, 0, {0x19}, "25"},
        {"1.2.3", 3, -2, 0, {}, nullptr},
        {"127", 0, 0, 0, {0x7F}, nullptr},
        {"128", 0, 0, 0, {0x00, 0x80}, nullptr},
        {"-128", 0, 0, 0, {0x80}, nullptr},
        {"-129", 0, 0, 0, {0xFF, 0x7F}, nullptr},
        {"32767", 0, 0, 0, {0x7F, 0xFF}, nullptr},
        {"-32768", 0, 0, 0, {0x80, 0x00}, nullptr},
        {"32768", 0, 0, 0, {0x00, 0x00, 0x80, 0x00}, nullptr},
        {"2147483647", 0, 0, 0, {0x7F, 0xFF, 0xFF, 0xFF}, nullptr},
        {"-2147483648", 0, 0, 0, {0x80, 0x00, 0x00, 0x00}, nullptr},
        {"2147483648", 0, -4, 0, {}, nullptr},
        {"-2147483649", 0, -4, 0, {}, nullptr},
        {"99999999999999999999999999", 0, -4, 0, {}, nullptr},
        {"21474836.48", 2, -4, 0, {}, nullptr},
        {"0000000000000000000001", 0, 0, 0, {0x01}, nullptr},
        {"1.5", 0, 0, 0, {0x01}, "1"},
        {"0.001", 3, 0, 3, {0x01}, "0001"},
        {"-0.009", 2, 0, 2, {0x00}, "-000"},
        {"-.5", 1, 0, 1, {0xFB}, "-5"},
        {".25", 2, 0, 2, {0x19}, "25"},
        {"7.", 2, 0, 0, {0x07}, "7"},
        {"", 0, -4, 0, {}, nullptr},
        {"-", 0, -4, 0, {}, nullptr},
        {".", 2, -4, 0, {}, nullptr},
        {"-.", 2, -4, 0, {}, nullptr},
        {"1-2", 0, -1, 0, {}, nullptr},
        {"--1", 0, -1, 0, {}, nullptr},
        {"1.2-", 2, -1, 0, {}, nullptr},
        {"1..2", 2, -2, 0, {}, nullptr},
        {"12a", 0, -3, 0, {}, nullptr},
        {"+1", 0, -3, 0, {}, nullptr},
        {" 1", 0, -3, 0, {}, nullptr},
        {"1e3", 0, -3, 0, {}, nullptr},
        {"a-", 0, -3, 0, {}, nullptr},
        {"1,5", 0, -3, 0, {}, nullptr},
    };
    for (auto &c : cases) {
        std::string text = c.text;
        util_dec_val_t val{};
        int rc = util_dec_str_to_val(text.data(), c.max_dec, &val);
        EXPECT_EQ(rc, c.rc) << c.text;
        if (rc != 0 || c.rc != 0)
            continue;
        EXPECT_EQ(val.precision, c.precision) << c.text;
        EXPECT_EQ(bytes(val.value, val.value + val.size), c.value) << c.text;
        if (c.after) {
            EXPECT_STREQ(text.c_str(), c.after) << c.text;
        }
    }
    util_dec_val_t val{};
    EXPECT_EQ(util_dec_str_to_val(nullptr, 0, &val), -4);
}

}  // namespace
