// Reading the form pairs of a request into the Avro `parameter` record, by
// table.
//
// A message's argument handler is a table of pair specs walked in order
// against the pairs of the request's window: the pair at the current
// position either has exactly the name the spec expects (its value is parsed,
// the field set, the position advanced) or the spec counts as absent. Pairs
// are never searched out of order; pairs after the last spec are ignored.
// A required pair that is absent, or any present pair that does not parse,
// decode or set, refuses the whole request: a bad value must never reach a
// device as some default.
//
// Most handlers are then one table and one line:
//     constexpr zws_avi_arg_spec_t k_set[] = {
//         {"value", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "value"}};
//     ... argument_handler = zws_avi_args_handler<k_set>;
//
// Status: 0 success, 22 refused (12 out of memory).
#pragma once

#include "messages/zws_avi_types.h"
#include "util/zwu_array.h"

#include <avro.h>

#include <cstdint>

// Node ids of a Z-Wave network.
constexpr int ZWS_AVI_NODE_ID_MIN = 1;
constexpr int ZWS_AVI_NODE_ID_MAX = 232;

enum zws_avi_arg_kind_t {
    ZWS_AVI_ARG_INT,     // non-negative 32-bit decimal -> int field
    ZWS_AVI_ARG_SIGNED,  // signed 32-bit decimal -> int field
    ZWS_AVI_ARG_NODE_ID, // combined id, non-negative 64-bit; its low 8 bits -> int field
    ZWS_AVI_ARG_NODE,    // combined id of a node or of one of its endpoints (at most 16 bits) whose
                         // node byte is a node id (1..232) -> the node id to an int field
    ZWS_AVI_ARG_NODE_OR_ALL, // as ZWS_AVI_ARG_NODE, or 0 for every node
    ZWS_AVI_ARG_U8,      // decimal 0..255 -> int field
    ZWS_AVI_ARG_FLAG,    // decimal 0 or 1 -> int field
    ZWS_AVI_ARG_TEXT,    // the text as it arrived -> string field
    ZWS_AVI_ARG_DECODED, // the text percent-decoded -> string field
    ZWS_AVI_ARG_CONST,   // no pair: the spec's `value` -> int field, always
};

enum zws_avi_arg_presence_t {
    ZWS_AVI_ARG_REQUIRED, // absent: refused
    ZWS_AVI_ARG_OPTIONAL, // absent: the field keeps the record's default (not set)
    ZWS_AVI_ARG_DEFAULT,  // absent: the int field gets the spec's `value` (-1 for "absent")
};

struct zws_avi_arg_spec_t {
    const char *pair; // form name; null for ZWS_AVI_ARG_CONST
    zws_avi_arg_kind_t kind;
    zws_avi_arg_presence_t presence;
    const char *field; // field of the `parameter` record
    int32_t value = -1; // ZWS_AVI_ARG_DEFAULT and ZWS_AVI_ARG_CONST
};

// What one walk did, for handlers whose rule depends on it.
struct zws_avi_args_result_t {
    int set_count;       // fields set from pairs (constants and defaults not counted)
    int consumed;        // pairs the walk took from the window
    int32_t last_int;    // the value of the last int field set from a pair
};

// Walks `specs` over the pairs. `result_p` may be null.
int zws_avi_args_read(const zws_avi_arg_spec_t *specs, int spec_count, zws_key_value_t *args, int args_count,
                      avro_value_t *parameter, zws_avi_args_result_t *result_p);

// An argument handler made of one spec table.
template <const auto &Specs>
int zws_avi_args_handler(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_read(Specs, static_cast<int>(sizeof Specs / sizeof Specs[0]), args, args_count, parameter,
                             nullptr);
}
