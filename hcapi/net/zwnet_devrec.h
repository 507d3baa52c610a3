// Device records: settings that a device's own reports do not give (a
// higher class version, an interface it lacks, a hidden interface, its own
// rule for clearing events), found by manufacturer, product type and
// product id, kept in the node and applied to its interfaces. Network mutex
// held for all of them.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>

// Event-clear timeout of a Notification interface older than version 4.
inline constexpr uint16_t ZWNET_EVT_CLR_TMOUT_DEFAULT = 300;

// The record for the ids (with the configuration's fall-backs): 1 and a
// copy in `out`, else 0.
int zwnet_dev_rec_find(zwnet_p net, uint32_t vid, uint32_t ptype, uint32_t pid, dev_rec_t *out);
// The property (event-clear bit 2, hidden bit 6) and event-clear timeout of
// an interface of `cls` and `ver` on `ep`, with or without a device record.
void zwnet_if_poll_flags_get(zwep_p ep, uint16_t cls, uint8_t ver, uint8_t propty, uint8_t *out_propty,
                             uint16_t *out_tmout);
// Finds the node's record, keeps a copy and applies it (nothing without one).
void zwnode_dev_rec_apply(zwnode_p node);
// Applies the record to the interfaces the node has.
void zwnode_dev_rec_if_apply(zwnode_p node);
// Creates the interfaces that the record's endpoint entries ask for.
void zwnode_dev_rec_ep_apply(zwnode_p node);
// Puts an interface of another version in place of `intf` on its endpoint,
// with its caches and report callbacks: the new record, or `intf` itself
// when the version is the same or memory runs out.
zwif_p zwnet_if_ver_replace(zwif_p intf, uint8_t ver, uint8_t propty);
