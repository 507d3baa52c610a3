// One reader for the `parameter` fields of the network-level messages: each
// message names its fields in a table (Avro field name, member of its
// argument record, required or not, the range of an int), and the reader
// fills the record from it. A value outside its range fails the request
// before it reaches the library, which takes most of these as single bytes.
#pragma once

#include <avro.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

// The arguments of one network-level request; each message reads the
// members its table names.
struct zwp_avi_net_args_t {
    int32_t node_id = 0;
    int32_t is_broadcast = 0;
    int32_t granted_keys = 0;
    int32_t grant_csa = 0;
    int32_t accept = 0;
    std::string dsk;
    std::string name;
    std::string location;
};

struct zwp_avi_net_arg_field_t {
    const char *name;
    int32_t zwp_avi_net_args_t::*int_member;         // an int field, or
    std::string zwp_avi_net_args_t::*text_member;    // a string field
    bool required;                                   // absent: 22; else the member keeps its default
    int32_t min;                                     // an int's range
    int32_t max;
};

// Fills a new record from the table's fields: 0 and the record (release it
// with zwp_avi_net_args_free), or 22 with a log line.
int zwp_avi_net_args_read(avro_value_t *parameter, const zwp_avi_net_arg_field_t *fields, size_t count,
                          void **arguments);
void zwp_avi_net_args_free(void *arguments);

// The argument handler of a message whose fields are the table `fields`.
template <const auto &fields>
int zwp_avi_net_args_reader(avro_value_t *parameter, void **arguments)
{
    return zwp_avi_net_args_read(parameter, fields, std::size(fields), arguments);
}

// The record a reader made; defaults when the message has none.
const zwp_avi_net_args_t &zwp_avi_net_args_of(void *arguments);
