// The report dispatcher: every command a device sends to an interface
// becomes interface-cache state and report callbacks here, and cached
// reports go back to the application through the same callback shapes.
//
// Three steps, kept apart: parse (frame bytes -> report record, no side
// effects, refuses short frames), store (record -> interface cache, under
// the network mutex) and deliver (callbacks, with copies, after the network
// mutex was released in full). One row per (class, report command) ties the
// three together.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>
#include <ctime>

// A parsed report. It never points into the frame, so it outlives it.
inline constexpr uint8_t ZWIF_RPT_REC_MAX = 64;
struct zwif_rpt_rec_t {
    uint16_t cls{0};
    uint8_t cmd{0};
    uint8_t len{0};  // bytes used of `val`
    uint8_t val[ZWIF_RPT_REC_MAX]{};
};

// Bytes -> record: 0; ZW_ERR_TOO_SMALL for a frame shorter than its report
// needs; ZW_ERR_RPT_NOT_FOUND for a report without a row.
int zwif_rpt_parse(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec);

// Hands a frame a device sent to the interface it is addressed to: 0 when
// the frame was not taken (the caller goes on with it), 1 otherwise. Call
// with the network mutex held; callbacks run with it released in full, so
// the interface record may be gone on return: find it again by descriptor.
int zwif_report_dispatch(zwif_p intf, const uint8_t *cmd, uint16_t len);

// The report cache (network mutex held). Kind 0 holds entries of a 64-bit
// time and the value record; kind 1 (slot list) holds one heap buffer per
// slot. 0, or ZW_ERR_MEMORY.
int zwif_cache_init(zwif_p intf, uint8_t size, int slot_list);
// Stores a keyed value record (its first key_len bytes are the key): 1 when
// the key is new or the record differs from the cached one, 0 when it is the
// same, and 1 without storing when there is no cache of this record size,
// the cache is full (255 keys) or memory runs out.
int zwif_cache_upsert(zwif_p intf, const uint8_t *rec, uint8_t rec_sz, uint8_t key_len, time_t now);
// The supported information of an interface: replaces the block, growing the
// buffer when the new block is larger. 0, or ZW_ERR_MEMORY (old block kept).
int zwif_data_set(zwif_p intf, uint8_t cnt, uint8_t item_sz, const void *bytes);

// Cached-report delivery (callback thread): the report that `rpt` names,
// read from the cache (keys select the entry of keyed classes), handed to
// `cb` with the arguments of a live report. Without the network mutex.
void zwif_cached_rpt_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt, uint8_t cnt,
                             const uint16_t *keys);
