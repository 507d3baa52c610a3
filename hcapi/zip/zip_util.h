// Small shared services of the Z/IP client and the host-controller library:
// lists of copied items (every queue of the library), byte order, the
// command-class list splitter, and a few text and time helpers. Tick
// comparisons live in zip_tick.h, below the platform layer that uses them.
#pragma once

#include "hcapi/zip/zip_platform.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------

// A node holds a copy of one item. A list is the address of its first node
// (none: empty). Every operation takes an optional mutex that it holds for
// its whole run; without one the caller provides exclusion.
struct util_lst_t {
    util_lst_t *next;
    uint16_t dat_len;  // length of the item
    uint16_t cap;      // bytes reserved for the item
};

// The item's bytes (dat_len of them), suitably aligned for any record.
inline void *util_lst_item(util_lst_t *node) { return node + 1; }
inline const void *util_lst_item(const util_lst_t *node) { return node + 1; }

// Frees a node taken with util_lst_get.
void util_lst_free(util_lst_t *node);

// Compare callback: (stored item, key) -> 0 on a match.
using util_lst_cmp_fn = int (*)(const void *stored, const void *key);
// Merge callback: folds `item` into the last stored item and returns 0, or
// returns non-zero to have `item` appended.
using util_lst_merge_fn = int (*)(void *stored, const void *item);

int util_lst_add(plt_mtx_t mtx, util_lst_t **head, const void *item, uint16_t length);  // 0, ZIP_ERR_MEMORY
// 0 appended, 1 folded into the last item, ZIP_ERR_MEMORY.
int util_lst_add_merge(plt_mtx_t mtx, util_lst_t **head, const void *item, uint8_t length, util_lst_merge_fn merge);
util_lst_t *util_lst_get(plt_mtx_t mtx, util_lst_t **head);  // unlinks the first node, or none
void util_lst_flush(plt_mtx_t mtx, util_lst_t **head);
// Copies the first matching item into `key` (which is also the key given to
// the compare callback), at most the smaller of the stored and the buffer's
// size. 1 found, 0 not.
int util_lst_find(plt_mtx_t mtx, util_lst_t *head, void *key, size_t key_size, util_lst_cmp_fn cmp);
int util_lst_rm(plt_mtx_t mtx, util_lst_t **head, const void *key, util_lst_cmp_fn cmp);  // 1 removed, 0 not
// A matching item (compared against `item`) takes the new length and bytes;
// otherwise the item is appended. 1 overwritten, 0 appended, ZIP_ERR_MEMORY.
int util_lst_add_uniq(plt_mtx_t mtx, util_lst_t **head, const void *item, uint16_t length, util_lst_cmp_fn cmp);
// Overwrites the first item matching `item` with it, at most the smaller of
// the stored and the given length. 1 replaced, 0 not.
int util_lst_replace(plt_mtx_t mtx, util_lst_t *head, const void *item, size_t length, util_lst_cmp_fn cmp);

// ---------------------------------------------------------------------------
// Byte order
// ---------------------------------------------------------------------------

int util_is_big_endian();
// Swaps each of `count` 16-bit words in place on a little-endian host and
// returns count; on a big-endian host leaves them and returns 1.
size_t util_ntohs_buf(void *words, size_t count);

// ---------------------------------------------------------------------------
// Command-class lists of node information
// ---------------------------------------------------------------------------

// Splits a node-information class list into the classes supported without
// security (before the first mark) and those supported under security
// (after the F1 00 mark); controlled classes after each EF are dropped.
// Classes from 0xF1 up take two bytes. 1 done, 0 on no bytes or no memory.
int util_cmd_cls_parse(const uint8_t *bytes, uint8_t length, std::vector<uint16_t> &plain,
                       std::vector<uint16_t> &secure);

// ---------------------------------------------------------------------------
// Text and time
// ---------------------------------------------------------------------------

// Append "%u, " / "%02X, " to a NUL-terminated text within `size` bytes.
void util_num_string_add(char *text, size_t size, unsigned value);
void util_hex_string_add(char *text, size_t size, uint8_t value);

int util_time_get(time_t *now);  // 0, or -1 when the clock fails
time_t util_time_now();

// The path with '/' appended unless it already ends in one; "" for an absent
// or empty path.
std::string util_path_slash_add(const char *path);

// First position of the whole pattern in the buffer, or none.
const uint8_t *util_memmem(const uint8_t *buffer, size_t length, const uint8_t *pattern, size_t pattern_length);
