// Command reception: every command a node or the gateway sends enters here
// on the session layer's receive thread. It finds the sender, decides
// whether the command came secured, unpacks Multi Command encapsulations,
// routes each command to the interface of the endpoint it came from (where
// the node queues, the facilities and the report dispatcher take it),
// answers what is addressed to the controller itself, and hands the rest to
// the application's unhandled-command callback.
#pragma once

#include "hcapi/net/zwnet_int.h"

#include <cstdint>

// The receive callback that zwnet_init installs in the application layer.
void zwnet_appl_cmd_hdlr(appl_layer_ctx *ctx, const tpt_sockaddr_t *src, const zip_rx_hdr_t *hdr,
                         const uint8_t *cmd, uint16_t len, uint16_t hdr_flags, uint16_t encap_fmt);

// Sends an answer from endpoint 0 to the endpoint a command came from:
// secured when `secure` is 1 or the network's encapsulation option is on,
// with the encapsulation format when there is one (`has_fmt`). The
// application layer's result, or ZW_ERR_MEMORY / ZW_ERR_VALUE.
int zwnet_rpt_snd(zwnet_p net, const uint8_t *cmd, uint8_t len, uint8_t node_id, const zip_rx_hdr_t *hdr,
                  uint8_t secure, int has_fmt, uint16_t encap_fmt);

// 1 when `len` bytes hold exactly `count` entries of {length, bytes}.
int zwnet_grp_list_chk(uint8_t count, const uint8_t *bytes, uint16_t len);
