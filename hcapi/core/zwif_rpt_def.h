// Report records, the rows that make them and the interface caches they go
// to, as each family of classes writes its rows: one row per (class, report
// command) tying parse, store, cached read and call together. The dispatcher
// (zwif_rpt.h) finds a row in the families listed in zwif_rpt_def.cpp; each
// family file keeps its rows sorted by class, then command.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// A parsed report. It never points into the frame, so it outlives it. A row
// keeps either the report's bytes or a trivially copyable record of its own
// in `val` (copied in and out with memcpy).
inline constexpr uint8_t ZWIF_RPT_REC_MAX = 255;
struct zwif_rpt_rec_t {
    uint16_t cls{0};
    uint8_t cmd{0};
    uint8_t len{0};  // bytes used of `val`
    alignas(8) uint8_t val[ZWIF_RPT_REC_MAX]{};
};

// Bytes -> record: 0; ZW_ERR_TOO_SMALL for a frame shorter than its report
// needs; ZW_ERR_RPT_NOT_FOUND for a report without a row; ZW_ERR_VALUE for a
// frame whose own fields rule it out. A refused frame leaves the record as
// it was.
int zwif_rpt_parse(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec);

struct zwif_rpt_def_t {
    uint16_t cls;
    uint8_t cmd;
    uint8_t min_len;  // whole frame, class and command included
    // Bytes -> record; the length was checked against min_len. No side
    // effects: a frame that is short for what it announces is cut to the
    // bytes present. A parse that refuses the frame (a size its class does
    // not allow, parameters announced beyond the frame) leaves `len` at 0.
    void (*parse)(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec);
    // Record -> cache (network mutex held): 1 changed (or not cached), 0 a
    // repeat; *ts the time the callbacks hand on.
    int (*store)(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts);
    // Cache -> record for cached-report delivery: the entry's time, or 0 when
    // nothing is cached (the record then stays zeroed). May be null: the
    // report is never delivered from a cache.
    time_t (*cached)(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec);
    // Record -> callback (no mutex held).
    void (*call)(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts);
    // Optional, for reports that come in several frames, that a layout alone
    // cannot judge, that outgrow `val` or that ask the device for more: after
    // store (network mutex held), a set of ZWIF_RPT_CALL / ZWIF_RPT_FOLLOW;
    // 0 takes the frame without any callback (held for the frames to come,
    // or refused). It may replace the record by a heap whole that `release`
    // frees after the callbacks.
    int (*collect)(zwif_p intf, zwif_rpt_rec_t *rec){nullptr};
    // With ZWIF_RPT_FOLLOW: asks the device for more, after the callbacks
    // and like them without the network mutex.
    void (*follow)(const zwif_desc_t *intf, const zwif_rpt_rec_t *rec){nullptr};
    void (*release)(zwif_rpt_rec_t *rec){nullptr};
};

enum : int {
    ZWIF_RPT_CALL = 0x01,
    ZWIF_RPT_FOLLOW = 0x02,
};

// One family's rows.
struct zwif_rpt_defs_t {
    const zwif_rpt_def_t *rows;
    size_t cnt;
};

// Row tables are sorted by class, then command, each pair once.
template <size_t N>
constexpr bool zwif_rpt_defs_sorted(const zwif_rpt_def_t (&rows)[N])
{
    for (size_t i = 1; i < N; ++i) {
        const uint32_t a = uint32_t(rows[i - 1].cls) << 8 | rows[i - 1].cmd;
        const uint32_t b = uint32_t(rows[i].cls) << 8 | rows[i].cmd;
        if (a >= b)
            return false;
    }
    // (Whether a function pointer is null is no constant expression where
    // null-pointer checks are kept, as sanitizer builds do: rows name their
    // functions.)
    for (const zwif_rpt_def_t &r : rows)
        if (r.min_len < 2)
            return false;
    return true;
}

// The families (each defined in its own file).
extern const zwif_rpt_defs_t zwif_rpt_defs_basic;  // Basic, Binary Switch, Battery
extern const zwif_rpt_defs_t zwif_rpt_defs_sw;     // switches, sensors, meters, notifications
extern const zwif_rpt_defs_t zwif_rpt_defs_ctl;    // thermostats, locks, scenes, user interaction
extern const zwif_rpt_defs_t zwif_rpt_defs_mgmt;   // association, identification, wake-up, firmware, gateway

// The row of a (class, report command), or null.
const zwif_rpt_def_t *zwif_rpt_def_find(uint16_t cls, uint8_t cmd);

// --- shared pieces of rows -------------------------------------------------------

// Cache entries begin with their 64-bit arrival time.
using zwif_cache_time_t = int64_t;
inline constexpr uint8_t ZWIF_CACHE_TIME_SZ = sizeof(zwif_cache_time_t);

// The first entry of a plain cache of `rec_sz`-byte records, or null.
uint8_t *zwif_cache_plain_entry(zwif_p intf, uint8_t rec_sz);

// A plain cache of one entry of `val_sz` bytes after its time, or of parts
// that each begin with a time of their own at offset `at`: writes `len` bytes
// of `val` and the time into the part (creating the cache first). 1 when the
// cache is new or the bytes differ, and 1 without storing when the cache
// cannot be made or has another size; 0 for a repeat.
int zwif_cache_single_put(zwif_p intf, uint8_t val_sz, size_t at, const uint8_t *val, uint8_t len, time_t now);
// Copies `len` bytes of the part at `at` to `out`: the part's time, or 0 with
// `out` untouched when nothing is cached.
time_t zwif_cache_single_get(zwif_p intf, uint8_t val_sz, size_t at, uint8_t *out, uint8_t len);

// A single-value report: the byte after class and command.
void zwif_rpt_parse_b2(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec);
int zwif_rpt_store_single(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts);
time_t zwif_rpt_cached_single(zwif_p intf, uint8_t cnt, const uint16_t *keys, zwif_rpt_rec_t *rec);
// Calls a zwrep_ts_fn with the record's first byte.
void zwif_rpt_call_single(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t ts);

// A text that a device sends after its character presentation byte (0
// ASCII, 1 extended ASCII, 2 UTF-16 big-endian; other values are read as 0)
// as UTF-8 in `out`, always terminated within its `room` bytes. UTF-16
// converts as iconv converts UTF-16BE to UTF-8 (surrogate pairs joined,
// noncharacters kept). Other texts are cut to their longest prefix of whole
// UTF-8 sequences. A text ends at a 0 unit or byte, as a padded field does.
// Output that does not fit is cut before the first character that would not
// fit. The bytes written (without the terminator), or ZW_ERR_VALUE for no
// room, and for UTF-16 that iconv refuses (an unpaired surrogate, an odd
// byte count), which leaves `out` an empty text.
int zwif_txt_to_utf8(uint8_t charset, const uint8_t *text, size_t len, char *out, size_t room);

// The report cache (network mutex held). Kind 0 holds entries of a 64-bit
// time and the value record; kind 1 (slot list) holds one heap buffer per
// slot. 0, or ZW_ERR_MEMORY.
int zwif_cache_init(zwif_p intf, uint8_t size, int slot_list);
// Stores a keyed value record (its first key_len bytes are the key): 1 when
// the key is new or the record differs from the cached one, 0 when it is the
// same, and 1 without storing when there is no cache of this record size,
// the cache is full (255 keys) or memory runs out.
int zwif_cache_upsert(zwif_p intf, const uint8_t *rec, uint8_t rec_sz, uint8_t key_len, time_t now);
// The same for a key that is not a prefix of the record: `same_key` tells
// whether a cached record (first argument) has the key of `rec`.
using zwif_cache_key_fn = bool (*)(const uint8_t *cached, const uint8_t *rec);
int zwif_cache_upsert_by(zwif_p intf, const uint8_t *rec, uint8_t rec_sz, zwif_cache_key_fn same_key, time_t now);
// The supported information of an interface: replaces the block, growing the
// buffer when the new block is larger. 0, or ZW_ERR_MEMORY (old block kept).
int zwif_data_set(zwif_p intf, uint8_t cnt, uint8_t item_sz, const void *bytes);
