#include "hcapi/zip/zip_util.h"

#include "hcapi/zip/zip_error.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(util_lst_t) % alignof(std::max_align_t) == 0, "list items must start aligned");

namespace {

util_lst_t *node_new(const void *item, uint16_t length)
{
    auto *node = static_cast<util_lst_t *>(std::malloc(sizeof(util_lst_t) + length));
    if (node == nullptr)
        return nullptr;
    node->next = nullptr;
    node->dat_len = length;
    node->cap = length;
    if (length != 0 && item != nullptr)
        std::memcpy(util_lst_item(node), item, length);
    return node;
}

void append(util_lst_t **head, util_lst_t *node)
{
    util_lst_t **link = head;
    while (*link)
        link = &(*link)->next;
    *link = node;
}

}  // namespace

void util_lst_free(util_lst_t *node) { std::free(node); }

int util_lst_add(plt_mtx_t mtx, util_lst_t **head, const void *item, uint16_t length)
{
    if (head == nullptr)
        return ZIP_ERR_MEMORY;
    util_lst_t *node = node_new(item, length);
    if (node == nullptr)
        return ZIP_ERR_MEMORY;
    plt_lock g(mtx);
    append(head, node);
    return 0;
}

int util_lst_add_merge(plt_mtx_t mtx, util_lst_t **head, const void *item, uint8_t length, util_lst_merge_fn merge)
{
    if (head == nullptr || merge == nullptr)
        return ZIP_ERR_MEMORY;
    plt_lock g(mtx);
    if (*head != nullptr) {
        util_lst_t *last = *head;
        while (last->next)
            last = last->next;
        if (merge(util_lst_item(last), item) == 0)
            return 1;
    }
    util_lst_t *node = node_new(item, length);
    if (node == nullptr)
        return ZIP_ERR_MEMORY;
    append(head, node);
    return 0;
}

util_lst_t *util_lst_get(plt_mtx_t mtx, util_lst_t **head)
{
    if (head == nullptr)
        return nullptr;
    plt_lock g(mtx);
    util_lst_t *node = *head;
    if (node) {
        *head = node->next;
        node->next = nullptr;
    }
    return node;
}

void util_lst_flush(plt_mtx_t mtx, util_lst_t **head)
{
    if (head == nullptr)
        return;
    plt_lock g(mtx);
    util_lst_t *node = *head;
    *head = nullptr;
    while (node) {
        util_lst_t *next = node->next;
        std::free(node);
        node = next;
    }
}

int util_lst_find(plt_mtx_t mtx, util_lst_t *head, void *key, size_t key_size, util_lst_cmp_fn cmp)
{
    if (key == nullptr || cmp == nullptr)
        return 0;
    plt_lock g(mtx);
    for (util_lst_t *node = head; node; node = node->next) {
        if (cmp(util_lst_item(node), key) == 0) {
            std::memcpy(key, util_lst_item(node), std::min<size_t>(node->dat_len, key_size));
            return 1;
        }
    }
    return 0;
}

int util_lst_rm(plt_mtx_t mtx, util_lst_t **head, const void *key, util_lst_cmp_fn cmp)
{
    if (head == nullptr || cmp == nullptr)
        return 0;
    plt_lock g(mtx);
    for (util_lst_t **link = head; *link; link = &(*link)->next) {
        util_lst_t *node = *link;
        if (cmp(util_lst_item(node), key) == 0) {
            *link = node->next;
            std::free(node);
            return 1;
        }
    }
    return 0;
}

int util_lst_add_uniq(plt_mtx_t mtx, util_lst_t **head, const void *item, uint16_t length, util_lst_cmp_fn cmp)
{
    if (head == nullptr || cmp == nullptr)
        return ZIP_ERR_MEMORY;
    plt_lock g(mtx);
    for (util_lst_t **link = head; *link; link = &(*link)->next) {
        util_lst_t *node = *link;
        if (cmp(util_lst_item(node), item) != 0)
            continue;
        if (length <= node->cap) {
            if (length != 0)
                std::memmove(util_lst_item(node), item, length);
            node->dat_len = length;
            return 1;
        }
        // A longer item than the stored one gets a new node in the old one's
        // place, rather than being cut to the old size.
        util_lst_t *bigger = node_new(item, length);
        if (bigger == nullptr)
            return ZIP_ERR_MEMORY;
        bigger->next = node->next;
        *link = bigger;
        std::free(node);
        return 1;
    }
    util_lst_t *node = node_new(item, length);
    if (node == nullptr)
        return ZIP_ERR_MEMORY;
    append(head, node);
    return 0;
}

int util_lst_replace(plt_mtx_t mtx, util_lst_t *head, const void *item, size_t length, util_lst_cmp_fn cmp)
{
    if (item == nullptr || cmp == nullptr)
        return 0;
    plt_lock g(mtx);
    for (util_lst_t *node = head; node; node = node->next) {
        if (cmp(util_lst_item(node), item) == 0) {
            std::memmove(util_lst_item(node), item, std::min<size_t>(node->dat_len, length));
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Byte order
// ---------------------------------------------------------------------------

int util_is_big_endian()
{
    const uint16_t probe = 0x0102;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 0x01 ? 1 : 0;
}

size_t util_ntohs_buf(void *words, size_t count)
{
    if (util_is_big_endian())
        return 1;
    auto *p = static_cast<uint8_t *>(words);
    for (size_t i = 0; p != nullptr && i < count; ++i)
        std::swap(p[2 * i], p[2 * i + 1]);
    return count;
}

// ---------------------------------------------------------------------------
// Command-class lists
// ---------------------------------------------------------------------------

int util_cmd_cls_parse(const uint8_t *bytes, uint8_t length, std::vector<uint16_t> &plain,
                       std::vector<uint16_t> &secure)
{
    plain.clear();
    secure.clear();
    if (bytes == nullptr || length == 0)
        return 0;
    try {
        plain.reserve(length);
        secure.reserve(length);
    } catch (...) {
        return 0;
    }
    enum { supported = 0, controlled = 1, secured = 2 } state = supported;
    auto take = [&](uint16_t cls) {
        if (state == supported)
            plain.push_back(cls);
        else if (state == secured)
            secure.push_back(cls);
    };
    for (size_t i = 0; i < length;) {
        uint8_t b = bytes[i];
        if (b >= 0xF1) {
            if (i + 1 >= length)
                break;  // an extended class needs both its bytes
            uint8_t second = bytes[i + 1];
            if (second == 0x00)
                state = secured;
            else
                take(static_cast<uint16_t>(b << 8 | second));
            i += 2;
        } else if (b == 0xEF) {
            state = controlled;
            ++i;
        } else {
            take(b);
            ++i;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Text and time
// ---------------------------------------------------------------------------

namespace {

void text_append(char *text, size_t size, const char *add)
{
    if (text == nullptr || size == 0)
        return;
    size_t used = strnlen(text, size);
    if (used >= size) {  // an unterminated text is first cut to its buffer
        text[size - 1] = '\0';
        used = size - 1;
    }
    std::snprintf(text + used, size - used, "%s", add);
}

}  // namespace

void util_num_string_add(char *text, size_t size, unsigned value)
{
    char add[16];
    std::snprintf(add, sizeof add, "%u, ", value);
    text_append(text, size, add);
}

void util_hex_string_add(char *text, size_t size, uint8_t value)
{
    char add[8];
    std::snprintf(add, sizeof add, "%02X, ", value);
    text_append(text, size, add);
}

int util_time_get(time_t *now)
{
    if (now == nullptr)
        return -1;
    time_t t = std::time(nullptr);
    if (t == static_cast<time_t>(-1))
        return -1;
    *now = t;
    return 0;
}

time_t util_time_now() { return std::time(nullptr); }

std::string util_path_slash_add(const char *path)
{
    if (path == nullptr || *path == '\0')
        return {};
    try {
        std::string out(path);
        if (out.back() != '/')
            out.push_back('/');
        return out;
    } catch (...) {
        return {};
    }
}

const uint8_t *util_memmem(const uint8_t *buffer, size_t length, const uint8_t *pattern, size_t pattern_length)
{
    if (buffer == nullptr || pattern == nullptr || pattern_length > length)
        return nullptr;
    if (pattern_length == 0)
        return buffer;
    for (size_t i = 0; i + pattern_length <= length; ++i)
        if (buffer[i] == pattern[0] && std::memcmp(buffer + i, pattern, pattern_length) == 0)
            return buffer + i;
    return nullptr;
}
