#include "common/calendar.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillmere
