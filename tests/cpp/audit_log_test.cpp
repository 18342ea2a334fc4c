#include "db_engine_web_server/audit_log.h"

#include <algorithm>
#include <fstream>
#include <regex>

#include "test_support.h"

namespace quillmere::db_engine_web_server {
namespace {

// Sends `ops`, a Shutdown and a record behind it to a new log thread; the join outcome.
std::optional<std::string> run_log(const std::string& path, std::vector<LogOp> ops) {
  auto [sender, receiver] = make_channel<LogOp>(ops.size() + 2);
  for (LogOp& op : ops) EXPECT_TRUE(sender.send(std::move(op)).ok());
  EXPECT_TRUE(sender.send(LogOp::shutdown()).ok());
  (void)sender.send(LogOp::entry(kInsertAction, "behind the shutdown"));
  auto counters = std::make_shared<Counters>();
  Result<WorkerThread> thread =
      start_log_thread(std::move(receiver), open_audit_log(path), counters);
  std::optional<std::string> outcome = thread.value().join();
  EXPECT_FALSE(counters->alive.load());
  return outcome;
}

TEST(AuditLogTest, LinesFollowTheTemplateAndAppendAcrossRuns) {
  testing_support::TempDir dir;
  const std::string path = dir.path() + "/audit.jsonl";
  std::vector<std::string> many;  // several buffers' worth, one time stamp
  for (int i = 0; i < 400; ++i) many.push_back("id" + std::to_string(i));
  EXPECT_EQ(run_log(path, {LogOp::entry(kInsertAction, "a"), LogOp::batch(kUpsertAction, many),
                           LogOp::batch(kDeleteAction, {})}),
            std::nullopt);
  const std::string torn = R"({"timestam)";  // a line an earlier run could not finish
  std::ofstream(path, std::ios::app) << torn;
  const std::pair<std::string, std::string> odd_ids[] = {
      {"q\"\n\xF0\x9F\x98\x80 /", R"(q\"\n)" "\xF0\x9F\x98\x80 /"},
      {std::string("z\0", 2), R"(z\u0000)"}};
  EXPECT_EQ(run_log(path, {LogOp::entry(kDeleteAction, odd_ids[0].first),
                           LogOp::entry(kDeleteAction, odd_ids[1].first)}), std::nullopt);

  auto line = [](const char* action, const std::string& id) {
    return std::string("\", \"action\": \"") + action + "\", \"id\": \"" + id + "\"}";
  };
  std::vector<std::string> expected = {line("INSERT", "a")}, stamps, lines;
  for (const std::string& id : many) expected.push_back(line("UPSERT", id));
  for (const auto& [id, escaped] : odd_ids) expected.push_back(line("DELETE", escaped));
  static const std::regex kLine(R"re(\{"timestamp": "(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)re"
                                R"re((\.\d{3}|\.\d{6}|\.\d{9})?[+-]\d\d:\d\d)(.*))re");
  std::ifstream file(path);
  std::vector<std::string> texts;
  for (std::string text; std::getline(file, text);) texts.push_back(text);
  ASSERT_EQ(texts.size(), 404u);
  EXPECT_EQ(texts[401], torn);  // ended there, so the next record starts a line of its own
  texts.erase(texts.begin() + 401);
  for (const std::string& text : texts) {
    std::smatch parts;
    EXPECT_TRUE(std::regex_match(text, parts, kLine)) << text;
    stamps.push_back(parts[1]);
    lines.push_back(parts[3]);
  }
  ASSERT_EQ(lines, expected);
  EXPECT_EQ(std::count(stamps.begin() + 1, stamps.begin() + 401, stamps[1]), 400);
}

TEST(AuditLogTest, AFileThatCannotOpenEndsTheThreadAsACrash) {
  testing_support::TempDir dir;
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_log(dir.path() + "/no/log", {LogOp::entry(kInsertAction, "a")}),
            "I/O error: No such file or directory (os error 2)");
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace quillmere::db_engine_web_server
