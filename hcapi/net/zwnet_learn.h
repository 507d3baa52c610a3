// Learn mode (operation 6), the provisioning list and the inclusions that
// the gateway runs on behalf of this controller: what the network's other
// modules call of them. The public calls are in hcapi/include/zwnet.h.
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_nm.h"

#include <cstdint>

// How long learn mode waits for the gateway's final status.
inline constexpr uint32_t ZWNET_LEARN_WATCHDOG_MS = 240000;
// How long joining waits for the gateway's own DSK.
inline constexpr uint32_t ZWNET_LEARN_DSK_WAIT_MS = 5300;

// An inclusion event that no add or replace of ours asked for (receive or
// request thread, without the network mutex): with a gateway that includes
// on behalf it becomes operation 2, or waits for the running operation.
void zwnet_on_behalf_incl_start(zwnet_p net, const appl_incl_evt_t &evt);

// The gateway's unasked provisioning-list status (installed into the Z/IP
// layer by the network's initialisation).
void zwnet_unsolic_wl_sts_cb(appl_layer_ctx *ctx, const appl_wl_dsk_t *dsk, uint8_t status);
