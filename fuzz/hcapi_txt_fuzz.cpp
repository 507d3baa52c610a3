// Device texts: byte 0 is the character presentation, byte 1 the room, the
// rest the text. The output is always terminated within the room, whole
// UTF-8, and for UTF-16 what glibc's iconv makes of the text, cut to fit.
#include "hcapi/core/zwif_rpt_def.h"
#include "hcapi/zip/zip_utf.h"

#include <iconv.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// iconv's UTF-8 of the text before its first 0 unit; false when it refuses.
bool iconv_utf8(const uint8_t *text, size_t len, std::string *out)
{
    size_t n = 0;
    while (n + 1 < len && (text[n] != 0 || text[n + 1] != 0))
        n += 2;
    if (n + 1 >= len)
        n = len;
    iconv_t cd = iconv_open("UTF-8", "UTF-16BE");
    if (cd == reinterpret_cast<iconv_t>(-1))
        std::abort();
    out->assign(n * 2 + 8, '\0');
    std::vector<char> in(text, text + n);
    char *src = in.data();
    size_t src_left = n;
    char *dst = out->data();
    size_t dst_left = out->size();
    const size_t rc = iconv(cd, src_left ? &src : nullptr, &src_left, &dst, &dst_left);
    iconv_close(cd);
    out->resize(out->size() - dst_left);
    return rc != static_cast<size_t>(-1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t charset = data[0] & 0x07;
    const size_t room = data[1];
    std::vector<uint8_t> text(data + 2, data + size);
    std::vector<char> out(room + 1, '#');  // one guard byte
    const int n = zwif_txt_to_utf8(charset, text.data(), text.size(), out.data(), room);
    if (out[room] != '#')
        std::abort();
    if (room == 0) {
        if (n >= 0)
            std::abort();
        return 0;
    }
    const size_t len = strnlen(out.data(), room);
    if (len >= room)
        std::abort();
    if (n >= 0 && static_cast<size_t>(n) != len)
        std::abort();
    if (util_utf8_valid_len(reinterpret_cast<const uint8_t *>(out.data()), len) != len)
        std::abort();
    if (charset == 2) {
        std::string want;
        if (iconv_utf8(text.data(), text.size(), &want) != (n >= 0))
            std::abort();
        // What fits is the longest prefix of iconv's text that ends between
        // characters and leaves room for the terminator.
        if (n >= 0 && want.compare(0, len, out.data(), len) != 0)
            std::abort();
        if (n >= 0 && len < want.size()) {
            const auto lead = static_cast<uint8_t>(want[len]);
            const size_t next = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            if ((lead & 0xC0) == 0x80 || len + next + 1 <= room)
                std::abort();
        }
    }
    return 0;
}
