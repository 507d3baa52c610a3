#include "util/zwu_time.h"

#include "util/zws_log.h"

#include <cstdlib>
#include <ctime>
#include <sys/time.h>

namespace {

constexpr zwu_status_t ok = 0;
constexpr zwu_status_t failed = 22;
constexpr size_t iso8601_buffer_size = 200;

} // namespace

zwu_time_t zwu_time_now(void)
{
    struct timeval now {};
    if (gettimeofday(&now, nullptr) != 0 || now.tv_sec < 0)
        return 0;
    return static_cast<zwu_time_t>(now.tv_sec);
}

zwu_status_t zwu_time_get_iso8601(zwu_time_t time, char **time_iso8601_p)
{
    // Times beyond time_t cannot be broken down.
    const time_t seconds = static_cast<time_t>(time);
    if (seconds < 0 || static_cast<zwu_time_t>(seconds) != time)
        return failed;
    struct tm broken_down {};
    if (gmtime_r(&seconds, &broken_down) == nullptr)
        return failed;
    char *text = static_cast<char *>(std::malloc(iso8601_buffer_size));
    if (text == nullptr) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return failed;
    }
    if (std::strftime(text, iso8601_buffer_size, "%FT%TZ", &broken_down) == 0) {
        std::free(text);
        return failed;
    }
    *time_iso8601_p = text;
    return ok;
}
