// The local clock: the current local date-time for the backup scheduler and
// RFC 3339 time stamps for the audit log. Local means the zone TZ names now;
// every call re-reads TZ, so a change at run time is seen. Any thread, as
// long as no thread changes TZ at the same moment (setenv is not safe then).
#pragma once

#include <cstdint>
#include <string>

#include "common/calendar.h"

namespace quillmere {

LocalDateTime local_now();

// "YYYY-MM-DDTHH:MM:SS", a fraction only when `nanoseconds` is not 0 (3, 6 or
// 9 digits: the fewest of those that hold it exactly), then the local offset
// as "+HH:MM" or "-HH:MM" (never "Z"). `nanoseconds` is below 1e9.
std::string rfc3339_local(std::int64_t unix_seconds, std::uint32_t nanoseconds);

// rfc3339_local of one reading of the system clock.
std::string rfc3339_now();

}  // namespace quillmere
