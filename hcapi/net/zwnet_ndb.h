// The node database as the gateway's node list and node information shape
// it: nodes added and removed, controller roles, interfaces made from class
// lists, and the small routines on class lists that the machines share.
// Everything here runs under the network mutex (taken here when the caller
// does not hold it; it is recursive).
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_nm.h"

#include <cstdint>
#include <vector>

// What inclusion adds to a node's information: the keys it was granted and
// its DSK text (or null).
struct zwnode_incl_extra_t {
    uint32_t keys_valid{0};
    uint8_t grnt_keys{0};
    const char *dsk{nullptr};
};

// Reconciles the node list with a node bitmap (bit n-1 for node n, `len`
// bytes, at most 29 read): nodes whose bit is set and that do not exist are
// made (their ids written to `new_ids` when given), nodes whose bit is clear
// and whose id the bitmap covers are removed; with `notify` the application
// hears both. 0, -25 (no bitmap; count 0), -12.
int zwnet_node_list_update(zwnet_p net, const uint8_t *bitmap, uint8_t len, int notify, uint8_t *new_ids,
                           uint8_t *new_cnt);
// The controller's Z-Wave role (0..4) from the gateway's management roles.
uint8_t zwnet_role_get(uint8_t ctl_role, uint8_t suc_id, uint8_t ctl_id);

// Class lists: 16-bit classes with a byte count.
const uint16_t *zwnet_cc_find(const uint16_t *list, uint16_t cls, uint8_t cnt);
// Removes later duplicates in place, keeping the first order: the new count.
uint8_t zwnet_cc_dedup(uint16_t *list, uint8_t cnt);
// The list with `cls` in front unless it is there already; an empty list
// stays empty. A full list (255) loses its last class to make room.
std::vector<uint16_t> zwnet_cc_prepend(uint16_t cls, const uint16_t *list, uint8_t cnt);

// Security flags from the classes a node lists: 1 when (re)computed, 0 when
// the node is already known to be included securely.
int zwnet_node_sec_cc_set(zwnode_p node, const uint16_t *list, uint8_t cnt, uint8_t sec_cnt);
// Applies a node information record to its node, creating the node or
// rebuilding it in place when its classes changed (its queues, polls and
// user data stay): 0, -25 (a node id outside 1..232), -12, or the result of
// zwnode_if_create.
int zwnode_info_apply(zwnet_p net, const appl_node_info_t *info, const zwnode_incl_extra_t *extra);
// Interfaces reachable under security on an endpoint: 0 or -12.
int zwnode_if_create(zwep_p ep, const uint16_t *sec, uint8_t cnt);

// Node flags from the root interfaces (sleeping, multi command, CRC-16,
// supervision). The node interview owns it; it stands in until then.
void zwnet_node_flags_updt(zwnode_p node);
