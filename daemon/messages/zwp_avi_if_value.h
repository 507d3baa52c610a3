// The value kind that several families share: one 8-bit value and the time
// it was reported (basic, binary and multilevel switch, battery, the
// thermostat fan and operating states), with its get and set rows.
#pragma once

#include "daemon/messages/zwp_avi_if_shape.h"

#include <cstdint>
#include <ctime>

namespace zwp_if {

struct value_record {
    uint64_t utime;
    uint8_t value;
};

// The request of a value set.
struct value_args {
    int32_t value;
};
inline constexpr arg_field<value_args> value_set_fields[] = {
    {"value", &value_args::value, check::u8, "Invalid value: %d"}};

// A report of the value kind `Kind` of `State`. A report without data (time
// 0, the library's empty cache) ends a waiting get and stores nothing.
template <typename State, auto Kind> void value_report(zwif_desc_t *intf, uint8_t value, time_t ts)
{
    report_store<State>(intf, [&](State &state) {
        auto &slot = state.*Kind;
        slot.kind.touch();
        if (ts == 0)
            return;
        slot.record.value = value;
        slot.record.utime = static_cast<uint64_t>(ts);
    });
}

} // namespace zwp_if
