#include "common/local_time.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
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

TEST_F(LocalTimeTest, TimestampsGiveLocalTimeFractionAndOffset) {
  const char* eastern = "EST5EDT,M3.2.0,M11.1.0";  // 2024-03-10 07:00 UTC: -05:00 to -04:00
  const std::tuple<const char*, std::int64_t, std::uint32_t, const char*> cases[] = {
      {"UTC0", 1767580200, 0, "2026-01-05T02:30:00+00:00"},
      {"IST-5:30", 1767580200, 500000000, "2026-01-05T08:00:00.500+05:30"},
      {"NST3:30", 0, 0, "1969-12-31T20:30:00-03:30"},
      {eastern, 1710053999, 123456000, "2024-03-10T01:59:59.123456-05:00"},
      {eastern, 1710054000, 1, "2024-03-10T03:00:00.000000001-04:00"},
      {"UTC0", 1767580200, 7000000, "2026-01-05T02:30:00.007+00:00"},
      {"UTC0", 1767580200, 999999999, "2026-01-05T02:30:00.999999999+00:00"},
  };
  for (const auto& [zone, seconds, nanos, expected] : cases) {
    setenv("TZ", zone, 1);
    EXPECT_EQ(LocalTimestamps().format(seconds, nanos), std::string_view(expected)) << zone;
  }
  // local_now reads the zone again at each call: minutes differ by 30 between these.
  for (const char* zone : {"UTC0", "IST-5:30", "UTC0"}) {
    setenv("TZ", zone, 1);
    const int now = local_now().minute;
    const int after = std::stoi(std::string(LocalTimestamps().now().substr(14, 2)));
    EXPECT_LE((after - now + 60) % 60, 1) << zone;
  }
}

// The zone is read once per second of the readings given: a change of TZ shows from the first
// reading in another second, also one before the last (a clock set back).
TEST_F(LocalTimeTest, AChangedZoneShowsFromTheNextSecondOfTheReadings) {
  const std::int64_t second = 1767580200;  // 2026-01-05T02:30:00Z
  LocalTimestamps stamps;
  setenv("TZ", "UTC0", 1);
  EXPECT_EQ(stamps.format(second, 0), "2026-01-05T02:30:00+00:00");
  setenv("TZ", "IST-5:30", 1);
  const std::tuple<std::int64_t, std::uint32_t, const char*> readings[] = {
      {second, 999999999, "2026-01-05T02:30:00.999999999+00:00"},
      {second + 1, 0, "2026-01-05T08:00:01+05:30"},
      {second + 1, 250000000, "2026-01-05T08:00:01.250+05:30"},
  };
  for (const auto& [seconds, nanos, expected] : readings) {
    EXPECT_EQ(stamps.format(seconds, nanos), std::string_view(expected));
  }
  setenv("TZ", "UTC0", 1);
  EXPECT_EQ(stamps.format(second, 0), "2026-01-05T02:30:00+00:00");
}

// A child forked while another thread reads the zone (a new second each time)
// reads it too: the zone lock is never inherited held.
TEST_F(LocalTimeTest, AChildForkedWhileTheZoneIsReadReadsItToo) {
  setenv("TZ", "UTC0", 1);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    LocalTimestamps stamps;
    for (std::int64_t second = 0; !stop.load(); ++second) (void)stamps.format(second, 0);
  });
  std::map<pid_t, bool> children;  // exited
  for (int i = 0; i < 50; ++i) {
    const pid_t child = fork();
    if (child == 0) _exit(LocalTimestamps().format(0, 0) == "1970-01-01T00:00:00+00:00" ? 0 : 1);
    ASSERT_GT(child, 0);
    children[child] = false;
  }
  stop.store(true);
  reader.join();
  // A generous deadline: only a child that waits for ever is still there after it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::size_t exited = 0;
  while (exited < children.size() && std::chrono::steady_clock::now() < deadline) {
    for (auto& [child, done] : children) {
      int status = 0;
      if (done || waitpid(child, &status, WNOHANG) != child) continue;
      done = true;
      ++exited;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (const auto& [child, done] : children) {
    if (done) continue;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_EQ(exited, children.size());
}

}  // namespace
}  // namespace quillmere
