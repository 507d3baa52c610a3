// Intel HEX reading.
#include "hcapi/zip/zip_hex.h"

#include "util/zwu_number.h"

#include <cstdlib>
#include <cstring>

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

// Two hex digits at `p`, which must hold them (checked by the caller or
// stopped by a NUL, which is no digit); -1 when they are not.
int hex_pair(const char *p)
{
    int hi = zwu_hex_digit(p[0]);
    if (hi < 0)
        return -1;
    int lo = zwu_hex_digit(p[1]);
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
