#include "common/calendar.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quillmere {
namespace {

using namespace std::string_view_literals;
constexpr std::string_view kRange = "input is out of range",
                           kBad = "input contains invalid characters",
                           kShort = "premature end of input", kLong = "trailing input";

// The parsed time as "H:M", or the failure's text.
std::string outcome(std::string_view text) {
  Result<TimeOfDay> parsed = parse_backup_time(text);
  if (!parsed.ok()) return parsed.error();
  return std::to_string(parsed.value().hour) + ":" + std::to_string(parsed.value().minute);
}

TEST(CalendarTest, ParseBackupTimeMatchesTheHourMinutePattern) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"00:00", "0:0"}, {"23:59", "23:59"}, {"9:5", "9:5"}, {" 12: 30", "12:30"},
      {"\t\n\v\f\r7:\r08", "7:8"}, {"24:00", kRange}, {"24:ab", kRange}, {"12:60", kRange},
      {"12:999", kRange}, {"ab:cd", kBad}, {"123:00", kBad}, {"-1:00", kBad}, {"12 :30", kBad},
      {"12:x0", kBad}, {"", kShort}, {"   ", kShort}, {"12", kShort}, {"12:", kShort},
      {"12: ", kShort}, {"12:30:00", kLong}, {"12:30 ", kLong}, {"12:3a", kLong},
      {"12:30\0"sv, kLong},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(outcome(text), expected) << text;
}

// The next run as the stamp of its file name, or "none"; the path joins folder and name.
TEST(CalendarTest, NextBackupRunIsTodayOrOneCalendarMonthOnAndNamesItsFile) {
  const struct { LocalDateTime now; TimeOfDay at; std::string_view expected; } cases[] = {
      {{2026, 1, 5, 10, 29, 59, 999999999}, {10, 30}, "20260105_103000"},
      {{2026, 1, 5, 10, 30, 0, 0}, {10, 30}, "20260205_103000"},
      {{2026, 1, 5, 10, 30, 0, 1}, {10, 30}, "20260205_103000"},
      {{2026, 1, 5, 23, 0, 0, 0}, {2, 30}, "20260205_023000"},
      {{2026, 1, 31, 12, 0, 0, 0}, {2, 30}, "20260228_023000"},
      {{2028, 1, 31, 12, 0, 0, 0}, {2, 30}, "20280229_023000"},
      {{2100, 1, 31, 12, 0, 0, 0}, {2, 30}, "21000228_023000"},
      {{2026, 2, 28, 12, 0, 0, 0}, {2, 30}, "20260328_023000"},
      {{2026, 3, 31, 12, 0, 0, 0}, {2, 30}, "20260430_023000"},
      {{2026, 12, 31, 12, 0, 0, 0}, {2, 30}, "20270131_023000"},
      {{262142, 11, 30, 12, 0, 0, 0}, {2, 30}, "2621421230_023000"},
      {{262142, 12, 1, 1, 0, 0, 0}, {2, 30}, "2621421201_023000"},
      {{262142, 12, 31, 12, 0, 0, 0}, {2, 30}, "none"},
  };
  for (const auto& c : cases) {
    std::optional<LocalDateTime> target = next_backup_run(c.now, c.at);
    const std::string name = target ? backup_file_name(*target) : "backup_none.redb";
    EXPECT_EQ(name, "backup_" + std::string(c.expected) + ".redb");
  }
  const std::string name = backup_file_name({2026, 1, 5, 2, 3, 4, 999});
  EXPECT_EQ(name, "backup_20260105_020304.redb");
  EXPECT_EQ(join_backup_path("", name), name);
  EXPECT_EQ(join_backup_path("/data/bk", name), "/data/bk/" + name);
  EXPECT_EQ(join_backup_path("/data/bk/", name), "/data/bk/" + name);
}

TEST(CalendarTest, WallClockDifferenceCountsNaiveDays) {
  using std::chrono::nanoseconds, std::chrono::seconds;
  const struct { LocalDateTime later, earlier; nanoseconds expected; } cases[] = {
      {{2026, 1, 5, 10, 30, 0, 0}, {2026, 1, 5, 10, 0, 0, 250}, seconds(1800) - nanoseconds(250)},
      {{2028, 3, 1, 0, 0, 0, 0}, {2028, 2, 28, 23, 59, 59, 0}, seconds(86401)},
      {{2027, 1, 31, 2, 30, 0, 0}, {2026, 12, 31, 12, 0, 0, 0}, seconds(30 * 86400 + 52200)},
      {{262143, 1, 1, 0, 0, 0, 0}, {262142, 12, 31, 0, 0, 0, 0}, seconds(86400)},
  };
  for (const auto& c : cases) EXPECT_EQ(wall_clock_difference(c.later, c.earlier), c.expected);
}

}  // namespace
}  // namespace quillmere
