#include "common/local_time.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace quillmere {
namespace {

timespec read_clock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

// glibc's localtime_r reads TZ only once per process unless tzset() asks
// again. Outside the years an int holds localtime_r fails; the fields then
// stay zero, which no real clock reading reaches.
std::tm local_fields(std::int64_t unix_seconds) {
  tzset();
  const auto seconds = static_cast<time_t>(unix_seconds);
  std::tm fields{};
  localtime_r(&seconds, &fields);
  return fields;
}

}  // namespace

LocalDateTime local_now() {
  const timespec now = read_clock();
  const std::tm f = local_fields(now.tv_sec);
  return LocalDateTime{f.tm_year + 1900,
                       static_cast<unsigned>(f.tm_mon + 1),
                       static_cast<unsigned>(f.tm_mday),
                       f.tm_hour,
                       f.tm_min,
                       f.tm_sec,
                       static_cast<std::uint32_t>(now.tv_nsec)};
}

std::string rfc3339_local(std::int64_t unix_seconds, std::uint32_t nanoseconds) {
  const std::tm f = local_fields(unix_seconds);
  char text[80];
  int size = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", f.tm_year + 1900,
                           f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
  if (nanoseconds != 0) {
    const int digits = nanoseconds % 1000000 == 0 ? 3 : nanoseconds % 1000 == 0 ? 6 : 9;
    const std::uint32_t fraction = digits == 3   ? nanoseconds / 1000000
                                   : digits == 6 ? nanoseconds / 1000
                                                 : nanoseconds;
    size += std::snprintf(text + size, sizeof text - size, ".%0*u", digits, fraction);
  }
  // Offsets with a seconds part (old local mean times) keep whole minutes.
  const long offset_minutes = std::labs(f.tm_gmtoff) / 60;
  std::snprintf(text + size, sizeof text - size, "%c%02ld:%02ld", f.tm_gmtoff < 0 ? '-' : '+',
                offset_minutes / 60, offset_minutes % 60);
  return text;
}

std::string rfc3339_now() {
  const timespec now = read_clock();
  return rfc3339_local(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

}  // namespace quillmere
