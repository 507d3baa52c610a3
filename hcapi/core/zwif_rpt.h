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

#include "hcapi/core/zwif_rpt_def.h"
#include "hcapi/core/zwrec.h"

#include <cstdint>
#include <ctime>

// Hands a frame a device sent to the interface it is addressed to: 0 when
// the frame was not taken (the caller goes on with it), 1 otherwise. Call
// with the network mutex held; callbacks run with it released in full, so
// the interface record may be gone on return: find it again by descriptor.
int zwif_report_dispatch(zwif_p intf, const uint8_t *cmd, uint16_t len);

// Cached-report delivery (callback thread): the report that `rpt` names,
// read from the cache (keys select the entry of keyed classes), handed to
// `cb` with the arguments of a live report. Without the network mutex.
void zwif_cached_rpt_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt, uint8_t cnt,
                             const uint16_t *keys);
