// Allocation inside a request or a library callback: a failure is one
// "Failed to allocate memory" line and the refusal code 22, never an
// exception thrown through the request loop or the library's thread.
#pragma once

#include "daemon/zwp_log.h"

#include <new>
#include <utility>

// A value-initialised record, or null after the log line.
template <typename Record>
Record *zwp_record_new()
{
    auto *made = new (std::nothrow) Record{};
    if (!made)
        ZWS_LOG_ERROR("Failed to allocate memory");
    return made;
}

// The free slot of a message descriptor for a record made by zwp_record_new.
template <typename Record>
void zwp_record_free(void *record)
{
    delete static_cast<Record *>(record);
}

// to = from (a text or a record that owns memory): 0, or 22 after the log
// line with `to` as the assignment left it.
template <typename To, typename From>
int zwp_assign(To &to, From &&from)
{
    try {
        to = std::forward<From>(from);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    return 0;
}
