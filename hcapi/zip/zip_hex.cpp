// Intel HEX reading, file names and writes, decimal texts.
#include "hcapi/zip/zip_hex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Lines
// ---------------------------------------------------------------------------

enum : int {
    HEX_OK = 0,
    HEX_TOO_BIG = -1,
    HEX_MALFORMED = -2,
    HEX_TOO_SMALL = -3,
    HEX_NO_MEMORY = -4,
    HEX_CHECKSUM = -5,
};

// One line without its '\n'; a longer one is refused by its source.
struct hex_line {
    char text[UTIL_HEX_LINE_MAX + 1];
    size_t len;
};

// Result of a line source: 1 a line, 0 the end, HEX_MALFORMED a line too long.
class mem_lines {
public:
    mem_lines(const uint8_t *text, size_t length) : start_(text), p_(text), end_(text + length) {}
    void reset() { p_ = start_; }

    int next(hex_line &line)
    {
        if (p_ == end_)
            return 0;
        size_t left = static_cast<size_t>(end_ - p_);
        const void *nl = std::memchr(p_, '\n', left);
        size_t n = nl ? static_cast<size_t>(static_cast<const uint8_t *>(nl) - p_) : left;
        if (n > UTIL_HEX_LINE_MAX)
            return HEX_MALFORMED;
        std::memcpy(line.text, p_, n);
        line.len = n;
        p_ += nl ? n + 1 : n;
        return 1;
    }

private:
    const uint8_t *start_;
    const uint8_t *p_;
    const uint8_t *end_;
};

class file_lines {
public:
    explicit file_lines(FILE *file) : file_(file) {}
    void reset() { std::rewind(file_); }

    int next(hex_line &line)
    {
        size_t n = 0;
        int c = std::getc(file_);
        if (c == EOF)
            return 0;
        for (; c != EOF && c != '\n'; c = std::getc(file_)) {
            if (n == UTIL_HEX_LINE_MAX)
                return HEX_MALFORMED;
            line.text[n++] = static_cast<char>(c);
        }
        if (c == EOF && std::ferror(file_))
            return HEX_MALFORMED;
        line.len = n;
        return 1;
    }

private:
    FILE *file_;
};

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

enum : uint8_t {
    REC_DATA = 0,
    REC_EOF = 1,
    REC_EXT_SEGMENT = 2,
    REC_START_SEGMENT = 3,
    REC_EXT_LINEAR = 4,
    REC_START_LINEAR = 5,
};

constexpr size_t kMinLine = 11;  // ":" count(2) address(4) type(2) checksum(2)

struct hex_rec {
    uint8_t count;
    uint16_t addr;
    uint8_t type;
    uint8_t bytes[5 + 255];  // count, address, type, data, checksum
    const uint8_t *data() const { return bytes + 4; }
};

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Two hex digits at `p`, which must hold them (checked by the caller or
// stopped by a NUL, which is no digit); -1 when they are not.
int hex_pair(const char *p)
{
    int hi = hex_digit(p[0]);
    if (hi < 0)
        return -1;
    int lo = hex_digit(p[1]);
    if (lo < 0)
        return -1;
    return hi << 4 | lo;
}

// 1 a record, 0 a line to skip, or a negative result.
int rec_decode(hex_line &line, hex_rec &rec)
{
    size_t len = line.len;
    while (len > 0 && (line.text[len - 1] == '\r' || line.text[len - 1] == ' ' || line.text[len - 1] == '\t'))
        --len;
    // Short lines (blank lines, stray line ends) have always been passed over.
    if (len < kMinLine)
        return 0;
    if (line.text[0] != ':' || (len - 1) % 2 != 0)
        return HEX_MALFORMED;
    size_t n = (len - 1) / 2;
    if (n > sizeof rec.bytes)
        return HEX_MALFORMED;
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        int b = hex_pair(line.text + 1 + 2 * i);
        if (b < 0)
            return HEX_MALFORMED;
        rec.bytes[i] = static_cast<uint8_t>(b);
        sum = static_cast<uint8_t>(sum + b);
    }
    rec.count = rec.bytes[0];
    if (n != static_cast<size_t>(rec.count) + 5)
        return HEX_MALFORMED;
    rec.addr = static_cast<uint16_t>(rec.bytes[1] << 8 | rec.bytes[2]);
    rec.type = rec.bytes[3];
    if (rec.type > REC_START_LINEAR)
        return HEX_MALFORMED;
    if (sum != 0)
        return HEX_CHECKSUM;
    if ((rec.type == REC_EXT_SEGMENT || rec.type == REC_EXT_LINEAR) && rec.count != 2)
        return HEX_MALFORMED;
    return 1;
}

// One pass over the records. Without an image it only measures: `size`
// gets the highest end address + 1. With one it writes the data bytes.
// Addresses are 64-bit: base (at most 0xFFFF0000) + address + count cannot
// wrap there.
template <class Src>
int hex_pass(Src &src, uint8_t *image, uint64_t image_size, uint64_t *size)
{
    hex_line line;
    hex_rec rec;
    uint64_t base = 0;
    uint64_t high = 0;
    for (;;) {
        int rc = src.next(line);
        if (rc < 0)
            return rc;
        if (rc == 0)
            break;
        rc = rec_decode(line, rec);
        if (rc < 0)
            return rc;
        if (rc == 0)
            continue;
        if (rec.type == REC_EOF)
            break;
        switch (rec.type) {
        case REC_DATA: {
            if (rec.count == 0)
                break;
            uint64_t start = base + rec.addr;
            uint64_t end = start + rec.count;
            if (end > high)
                high = end;
            if (image) {
                if (end > image_size)
                    return HEX_TOO_BIG;
                std::memcpy(image + start, rec.data(), rec.count);
            }
            break;
        }
        case REC_EXT_SEGMENT:
            base = uint64_t{rec.data()[0]} << 12 | uint64_t{rec.data()[1]} << 4;
            break;
        case REC_EXT_LINEAR:
            base = uint64_t{rec.data()[0]} << 24 | uint64_t{rec.data()[1]} << 16;
            break;
        default:  // start addresses mean nothing to an image
            break;
        }
    }
    if (size)
        *size = high;
    return HEX_OK;
}

// Measures, then reads. The sizing pass only bounds the allocation: a file
// that changes between the passes is caught by the check of every write.
template <class Src>
int hex_img_load(Src &src, uint32_t max_size, uint8_t **image, uint32_t *size)
{
    uint64_t need = 0;
    int rc = hex_pass(src, nullptr, 0, &need);
    src.reset();
    if (rc != HEX_OK)
        return rc;
    uint64_t bound = max_size < UTIL_HEX_IMG_MAX ? max_size : UTIL_HEX_IMG_MAX;
    if (need > bound)
        return HEX_TOO_BIG;
    if (need < UTIL_HEX_IMG_MIN)
        return HEX_TOO_SMALL;
    auto *img = static_cast<uint8_t *>(std::malloc(need));
    if (!img)
        return HEX_NO_MEMORY;
    std::memset(img, 0xFF, need);
    rc = hex_pass(src, img, need, nullptr);
    if (rc != HEX_OK) {
        std::free(img);
        return rc;
    }
    *image = img;
    *size = static_cast<uint32_t>(need);
    return HEX_OK;
}

// ---------------------------------------------------------------------------
// Durable file replacement
// ---------------------------------------------------------------------------

class fd_guard {
public:
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool fsync_folder(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    fd_guard fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// HEX
// ---------------------------------------------------------------------------

int util_hex_img_load(FILE *file, uint32_t max_size, uint8_t **image, uint32_t *size)
{
    if (!file || !image || !size)
        return HEX_MALFORMED;
    file_lines src(file);
    return hex_img_load(src, max_size, image, size);
}

int util_hex_mem_img_load(const uint8_t *text, size_t length, uint32_t max_size, uint8_t **image, uint32_t *size)
{
    if ((!text && length > 0) || !image || !size)
        return HEX_MALFORMED;
    mem_lines src(text, length);
    return hex_img_load(src, max_size, image, size);
}

int util_hex_file_size(FILE *file, uint64_t *size)
{
    if (!file || !size)
        return HEX_MALFORMED;
    file_lines src(file);
    int rc = hex_pass(src, nullptr, 0, size);
    src.reset();
    return rc;
}

int util_hex_mem_size(const uint8_t *text, size_t length, uint64_t *size)
{
    if ((!text && length > 0) || !size)
        return HEX_MALFORMED;
    mem_lines src(text, length);
    return hex_pass(src, nullptr, 0, size);
}

int util_hex_file_to_bin(FILE *file, uint8_t *image, uint32_t image_size)
{
    if (!file || !image)
        return HEX_MALFORMED;
    file_lines src(file);
    return hex_pass(src, image, image_size, nullptr);
}

int util_hex_mem_to_bin(const uint8_t *text, size_t length, uint8_t *image, uint32_t image_size)
{
    if ((!text && length > 0) || !image)
        return HEX_MALFORMED;
    mem_lines src(text, length);
    return hex_pass(src, image, image_size, nullptr);
}

int util_hex_rec_parse(const char *hex, uint8_t *out, unsigned count, uint8_t *sum)
{
    if (!hex || (!out && count > 0) || !sum)
        return 0;
    uint8_t total = 0;
    for (unsigned i = 0; i <= count; ++i) {
        int b = hex_pair(hex + 2 * static_cast<size_t>(i));
        if (b < 0)
            return 0;
        if (i < count)
            out[i] = static_cast<uint8_t>(b);
        total = static_cast<uint8_t>(total + b);
    }
    *sum = total;
    return 1;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

const char *util_file_ext_get(const char *name)
{
    if (!name)
        return nullptr;
    const char *slash = std::strrchr(name, '/');
    const char *base = slash ? slash + 1 : name;
    const char *dot = std::strrchr(base, '.');
    return dot ? dot + 1 : nullptr;
}

int util_file_write(const char *path, const uint8_t *buffer, size_t size)
{
    if (!path || !*path || (!buffer && size > 0))
        return 0;
    std::string target(path);
    std::string tmp_name = target + ".XXXXXX";
    fd_guard fd(::mkostemp(tmp_name.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return 0;
    struct stat old{};
    mode_t mode = ::stat(path, &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), buffer, size) && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    if (!ok || ::rename(tmp_name.c_str(), path) != 0) {
        ::unlink(tmp_name.c_str());
        return 0;
    }
    // The new content is in place; without the folder sync it may not
    // survive a crash, which the caller hears as a failure.
    return fsync_folder(target) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Decimal text
// ---------------------------------------------------------------------------

int util_dec_str_to_val(char *text, uint8_t max_dec, util_dec_val_t *val)
{
    if (!text || !val)
        return -4;
    char *point = nullptr;
    for (char *p = text; *p; ++p) {
        if (*p >= '0' && *p <= '9')
            continue;
        if (*p == '-') {
            if (p != text)
                return -1;
        } else if (*p == '.') {
            if (point)
                return -2;
            point = p;
        } else {
            return -3;
        }
    }
    uint8_t precision = 0;
    if (point) {
        size_t decimals = std::strlen(point + 1);
        if (decimals > max_dec) {
            point[1 + max_dec] = '\0';
            decimals = max_dec;
        }
        precision = static_cast<uint8_t>(decimals);
        std::memmove(point, point + 1, decimals + 1);
    }

    const char *p = text;
    bool negative = *p == '-';
    if (negative)
        ++p;
    if (!*p)
        return -4;
    // Accumulate the magnitude with a stop just past the 32-bit range, so no
    // text length can overflow it.
    constexpr int64_t kLimit = int64_t{1} << 31;
    int64_t magnitude = 0;
    for (; *p; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > kLimit)
            return -4;
    }
    int64_t v = negative ? -magnitude : magnitude;
    if (v > INT32_MAX)
        return -4;

    uint8_t width = v >= -128 && v <= 127 ? 1 : v >= -32768 && v <= 32767 ? 2 : 4;
    auto bits = static_cast<uint32_t>(static_cast<int32_t>(v));
    val->precision = precision;
    val->size = width;
    for (uint8_t i = 0; i < width; ++i)
        val->value[i] = static_cast<uint8_t>(bits >> (8 * (width - 1 - i)));
    return 0;
}
