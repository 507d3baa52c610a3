// What the association, identification, wake-up, firmware and gateway
// classes deliver from the interface caches, beside their report rows.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>

// Cached supported information (callback thread, without the network
// mutex): data kind 3 (number of association groups) and 5 (Simple AV
// command mask) handed to `cb` as the live report would; false for a kind
// of another family.
bool zwif_mgmt_data_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint16_t kind, uint16_t arg);
