#include "common/local_time.h"

#include <gtest/gtest.h>
#include <time.h>

#include <tuple>

namespace quillmere {
namespace {

// Sets TZ to POSIX zone strings (no zone files needed); TZ is restored after.
class LocalTimeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    saved_ ? setenv("TZ", saved_->c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  const std::optional<std::string> saved_ =
      std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
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
  // The zone is read again at each call: minutes differ by 30 between these.
  for (const char* zone : {"UTC0", "IST-5:30", "UTC0"}) {
    setenv("TZ", zone, 1);
    const int now = local_now().minute, after = std::stoi(rfc3339_now().substr(14, 2));
    EXPECT_LE((after - now + 60) % 60, 1) << zone;
  }
}

}  // namespace
}  // namespace quillmere
