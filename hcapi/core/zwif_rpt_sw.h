// Reports of switches, sensors, meters and notifications beyond their rows
// (zwif_rpt_def.h): what the node's device record and the endpoint's other
// interfaces add to them, the events the library ends on the device's
// behalf, and the capability data of these classes that the callback thread
// hands to the application.
#pragma once

#include "hcapi/core/zwif_rpt_def.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/include/zwif_sw.h"

#include <cstdint>

// --- the dispatcher's steps for these classes --------------------------------

// A report that reaches only the application's callback, and nothing at all
// without one (Pulse Meter).
bool zwif_rpt_sw_usr_only(uint16_t cls, uint8_t cmd);
// Network mutex held, before the record is stored: fills in what the frame
// leaves to the device record or to earlier frames (a binary sensor type,
// a notification rewritten by the device record, the types the record adds,
// the meter table's identity).
void zwif_rpt_sw_prep(zwif_p intf, zwif_rpt_rec_t *rec);
// Network mutex held, after the record was stored: hands the idle report
// that ends an active event to the event generation.
void zwif_rpt_sw_stored(zwif_p intf, const zwif_rpt_rec_t *rec);
// A report that another interface of the same endpoint receives in turn.
struct zwif_rpt_follow_t {
    uint16_t cls{0};
    uint8_t len{0};
    uint8_t frame[9]{};
};
// Network mutex held (at any depth), after the report's callbacks: the
// notifications the device record maps the report to, the meter table's
// follow-up Get; true when `follow` holds the report that another interface
// of the endpoint receives next (the Door Lock Operation Report that an
// Access Control notification stands for). The interface is found again by
// its descriptor; application callbacks run with the mutex released.
bool zwif_rpt_sw_after(zwnet_p net, const zwif_desc_t *intf, const zwif_rpt_rec_t *rec, zwif_rpt_follow_t *follow);
// Basic Set (network mutex held): the notification the device record maps
// its value to. The frame stays the receive path's.
void zwif_rpt_sw_basic_set(zwif_p intf, const uint8_t *cmd, uint16_t len);

// --- capability data (callback messages of type 1 and 2) -------------------

// The family's data kinds from the interface's supported information (type
// 1) or from the node's device record (type 2): true when the kind is one of
// the family's (the callback then ran, or there was nothing it could get),
// false for another family's kind. Without the network mutex.
bool zwif_sw_data_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint16_t kind, uint16_t arg);
bool zwif_sw_dev_rec_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint16_t kind, int16_t arg,
                             uint8_t if_type);

// Data kinds of the family.
enum : uint16_t {
    ZWIF_KIND_LVL_SUP = 4,
    ZWIF_KIND_ALRM_TYPES = 6,
    ZWIF_KIND_ALRM_EVTS = 7,
    ZWIF_KIND_METER_SUP = 10,
    ZWIF_KIND_METER_TBL = 11,
    ZWIF_KIND_BSNSR_TYPES = 13,
    ZWIF_KIND_SNSR_TYPES = 14,
    ZWIF_KIND_SNSR_UNITS = 15,
    ZWIF_KIND_SALRM_TYPES = 17,
    ZWIF_KIND_BARRIER_SUBSYS = 18,
    ZWIF_KIND_COLOR_IDS = 19,
};

// --- the notification supported block ----------------------------------------
//
// Items of 12 bytes: item 0 is the header {version-1 alarm flag, number of
// types, 10 bytes 0}, then one item per type {type, event mask length (0..10),
// event mask}. `data_cnt` = types + 1 and `data_item_sz` = 12, so the block
// keeps its true size in the interface's two size bytes for up to 254 types.
inline constexpr uint8_t ZWIF_ALRM_SUP_ITEM_SZ = 12;
inline constexpr uint8_t ZWIF_ALRM_EVT_MASK_MAX = 10;
struct zwif_alrm_sup_ent_t {
    uint8_t type;
    uint8_t mask_len;
    uint8_t mask[ZWIF_ALRM_EVT_MASK_MAX];
};
static_assert(sizeof(zwif_alrm_sup_ent_t) == ZWIF_ALRM_SUP_ITEM_SZ);

// A notification's parameters classified (kind, length, bytes) into the
// record, which has room for at least ZW_ALRM_HDR_SZ + 33 bytes beyond its
// fixed part: the new record length, or 0 when the parameters are dropped.
uint8_t zwif_alrm_param_parse(const uint8_t *param, uint8_t len, zwalrm_t *rec);
