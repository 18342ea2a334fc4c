#include "engine/metadata_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmere::engine {
namespace {

std::vector<std::string> entries_of(std::string_view document) {
  IndexChanges changes;
  EXPECT_TRUE(changes.process_json_index(document, "id", true)) << document;
  std::vector<std::string> entries;
  for (const IndexChange& change : changes.net_changes()) entries.emplace_back(change.entry);
  return entries;
}

using Entries = std::vector<std::string>;

TEST(MetadataIndexTest, EntriesJoinPathAndLeafText) {
  EXPECT_EQ(entries_of(R"({"a":{"b":"x"}})"), Entries{"a.b.x"});
  EXPECT_EQ(entries_of(R"({"tags":["red","blue"]})"), (Entries{"tags.0.red", "tags.1.blue"}));
  EXPECT_EQ(entries_of(R"({"n":2.0})"), Entries{"n.2"});
  EXPECT_EQ(entries_of(R"({"n":2})"), Entries{"n.2"});
  EXPECT_EQ(entries_of(R"({"ok":true,"v":null,"e":[],"o":{}})"), Entries{"ok.true"});
  EXPECT_EQ(entries_of(R"({"s":""})"), Entries{"s."});
  EXPECT_EQ(entries_of(R"({"m":[[1,2]]})"), (Entries{"m.0.0.1", "m.0.1.2"}));
  EXPECT_EQ(entries_of(R"([{"a":1}])"), Entries{"0.a.1"});
  EXPECT_EQ(entries_of(R"("hello")"), Entries{".hello"});
  EXPECT_EQ(entries_of(R"({"a":"b.c"})"), Entries{"a.b.c"});
  EXPECT_EQ(entries_of(R"({"a.b":1})"), Entries{"a.b.1"});
  EXPECT_EQ(entries_of(R"({"":{"a":1}})"), Entries{"a.1"});
  EXPECT_EQ(entries_of(R"({"x":{"":1}})"), Entries{"x..1"});
  EXPECT_EQ(entries_of(R"({"":1})"), Entries{".1"});
}

TEST(MetadataIndexTest, LeafTextsOfScalars) {
  EXPECT_EQ(entries_of(R"({"f":false,"i":-5,"u":18446744073709551615,"z":-0})"),
            (Entries{"f.false", "i.-5", "u.18446744073709551615", "z.0"}));
  EXPECT_EQ(entries_of(R"({"a":1.5,"b":1e21,"c":1e-7,"d":-0.0})"),
            (Entries{"a.1.5", "b.1000000000000000000000", "c.0.0000001", "d.-0"}));
  EXPECT_EQ(entries_of(R"({"q":"say \"hi\"\n\u00e9"})"), Entries{"q.say \"hi\"\n\xc3\xa9"});
  const std::vector<std::string> tiny = entries_of(R"({"t":5e-324})");
  ASSERT_EQ(tiny.size(), 1u);
  EXPECT_EQ(tiny[0], "t.0." + std::string(323, '0') + "5");
  const std::vector<std::string> huge = entries_of(R"({"h":1e300})");
  ASSERT_EQ(huge.size(), 1u);
  EXPECT_EQ(huge[0].size(), 2 + 301u);
}

TEST(MetadataIndexTest, RepeatedKeysGiveAnEntryPerOccurrence) {
  EXPECT_EQ(entries_of(R"({"a":1,"a":2})"), (Entries{"a.1", "a.2"}));
  EXPECT_EQ(entries_of(R"({"a":1,"a":1})"), Entries{"a.1"});  // a set of pairs
}

TEST(MetadataIndexTest, UnparsableDocumentsRecordNothing) {
  IndexChanges changes;
  ASSERT_TRUE(changes.process_json_index(R"({"a":1})", "kept", true));
  EXPECT_FALSE(changes.process_json_index(R"({"b":2,"n":18446744073709551616})", "x", true));
  EXPECT_FALSE(changes.process_json_index(R"({"b":2,"n":1e400})", "x", true));
  EXPECT_FALSE(changes.process_json_index(R"({"b":2} x)", "x", true));
  const std::vector<IndexChange> net = changes.net_changes();
  ASSERT_EQ(net.size(), 1u);
  EXPECT_EQ(net[0].entry, "a.1");
  EXPECT_EQ(net[0].id, "kept");
}

TEST(MetadataIndexTest, LastChangeToAPairWinsAndPairsComeSorted) {
  IndexChanges changes;
  ASSERT_TRUE(changes.process_json_index(R"({"v":1,"w":1})", "b", true));
  ASSERT_TRUE(changes.process_json_index(R"({"v":1})", "a", true));
  ASSERT_TRUE(changes.process_json_index(R"({"v":1})", "b", false));
  const std::vector<IndexChange> net = changes.net_changes();
  ASSERT_EQ(net.size(), 3u);
  EXPECT_EQ(net[0].entry, "v.1");
  EXPECT_EQ(net[0].id, "a");
  EXPECT_TRUE(net[0].add);
  EXPECT_EQ(net[1].entry, "v.1");
  EXPECT_EQ(net[1].id, "b");
  EXPECT_FALSE(net[1].add);
  EXPECT_EQ(net[2].entry, "w.1");
  EXPECT_TRUE(net[2].add);
}

TEST(MetadataIndexTest, DeepNestingIsWalkedWithoutRecursion) {
  constexpr int kDepth = 1000000;
  std::string document(kDepth, '[');
  document += "7";
  document += std::string(kDepth, ']');
  IndexChanges changes;
  ASSERT_TRUE(changes.process_json_index(document, "deep", true));
  const std::vector<IndexChange> net = changes.net_changes();
  ASSERT_EQ(net.size(), 1u);
  EXPECT_EQ(net[0].entry.size(), 2u * kDepth - 1 + 2);  // "0.0. ... .0" then ".7"
  EXPECT_EQ(net[0].entry.substr(net[0].entry.size() - 4), ".0.7");
}

}  // namespace
}  // namespace quillmere::engine
