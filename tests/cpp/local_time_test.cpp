#include "common/local_time.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <string>
#include <tuple>

namespace quillmere {
namespace {

// Tests set TZ to POSIX zone strings (no zone files needed); TZ is restored after.
class LocalTimeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    had_tz_ ? setenv("TZ", saved_tz_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  const bool had_tz_ = std::getenv("TZ") != nullptr;
  const std::string saved_tz_ = had_tz_ ? std::getenv("TZ") : "";
};

TEST_F(LocalTimeTest, Rfc3339GivesLocalTimeFractionAndOffset) {
  const char* eastern = "EST5EDT,M3.2.0,M11.1.0";  // 2024-03-10 07:00 UTC: -05:00 to -04:00
  const std::tuple<const char*, std::int64_t, std::uint32_t, const char*> cases[] = {
      {"UTC0", 1767580200, 0, "2026-01-05T02:30:00+00:00"},
      {"IST-5:30", 1767580200, 500000000, "2026-01-05T08:00:00.500+05:30"},
      {"NST3:30", 0, 0, "1969-12-31T20:30:00-03:30"},
      {eastern, 1710053999, 123456000, "2024-03-10T01:59:59.123456-05:00"},
      {eastern, 1710054000, 1, "2024-03-10T03:00:00.000000001-04:00"},
  };
  for (const auto& [zone, seconds, nanos, expected] : cases) {
    setenv("TZ", zone, 1);
    EXPECT_EQ(rfc3339_local(seconds, nanos), expected) << zone;
  }
}

// Minutes differ by 30 between the zones, so a stale zone shows.
TEST_F(LocalTimeTest, LocalNowFollowsAZoneChangedAtRunTime) {
  for (const char* zone : {"UTC0", "IST-5:30", "UTC0"}) {
    setenv("TZ", zone, 1);
    const int now = local_now().minute, after = std::stoi(rfc3339_now().substr(14, 2));
    EXPECT_LE((after - now + 60) % 60, 1) << zone;
  }
}

}  // namespace
}  // namespace quillmere
