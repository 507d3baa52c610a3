// Wall-clock seconds and their ISO 8601 text.
#pragma once

#include <cstdint>

using zwu_status_t = int;

// Whole seconds since 1970-01-01 UTC.
typedef uint64_t zwu_time_t;

// The current time of day in whole seconds, or 0 when the clock cannot be read.
zwu_time_t zwu_time_now(void);

// A new 200-byte buffer (release with free()) holding `time` in UTC as
// "%FT%TZ" (0 gives "1970-01-01T00:00:00Z"). 22 without a log line when the
// time cannot be broken down or formatted; 22 with "Failed to allocate memory"
// when the buffer cannot be had. *time_iso8601_p is written only on success.
zwu_status_t zwu_time_get_iso8601(zwu_time_t time, char **time_iso8601_p);
