// Texts for the host-controller library's numbers, for log lines and replies.
//
// Every lookup returns a constant string (or the caller's buffer) and never
// fails: a number that is not in its table gives "Unknown".
#pragma once

#include <cstddef>
#include <cstdint>

// Host-controller status (0 success, 1 queued, 2 from cache, negative errors).
const char *zwp_err_str(int status);

// Network operation code (1 initialise, 2 add node, ...; 0 none).
const char *zwp_net_op_str(int op);

// Final status of a network operation: 0 "Done", 255 "Failed".
const char *zwp_net_op_sts_str(int status);

// Intermediate progress of a network operation.
const char *zwp_net_op_sub_sts_str(int op, int status);

// Writes the names of the set controller key bits, in the order Proxy,
// Inclusion, Primary, separated by ",", cut to fit `size` (always terminated
// when size > 0). An empty set gives an empty text. Returns `buffer`, or ""
// when there is no room at all.
const char *zwp_key_bits_str(unsigned bits, char *buffer, size_t size);

// Command class name; `version` is the interface's version, which decides the
// names of the classes renamed in version 2 (multi channel and its association).
const char *zwp_cc_name_get(uint16_t cls, uint8_t version);

// Command name within a command class.
const char *zwp_cmd_name_get(uint16_t cls, uint8_t cmd);
