#include "engine/metadata_index.h"

#include <gtest/gtest.h>

namespace quillmere::engine {
namespace {

// The net changes as "+entry id" / "-entry id", in their order.
std::string net(const IndexChanges& changes) {
  std::string out;
  for (const IndexChange& c : changes.net_changes()) {
    out.append(out.empty() ? "" : " | ").append(c.add ? "+" : "-").append(c.entry);
    out.append(" ").append(c.id);
  }
  return out;
}

std::string entries_of(std::string_view document) {
  IndexChanges changes;
  EXPECT_TRUE(changes.process_json_index(document, "i", true)) << document;
  return net(changes);
}

TEST(MetadataIndexTest, EntriesJoinPathAndLeafText) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"({"a":{"b":"x"}})", "+a.b.x i"},
      {R"({"tags":["red","blue"]})", "+tags.0.red i | +tags.1.blue i"},
      {R"({"ok":true,"v":null,"e":[],"o":{}})", "+ok.true i"},
      {R"({"s":""})", "+s. i"}, {R"({"m":[[1,2]]})", "+m.0.0.1 i | +m.0.1.2 i"},
      {R"([{"a":1}])", "+0.a.1 i"}, {R"("hello")", "+.hello i"}, {R"({"a":"b.c"})", "+a.b.c i"},
      {R"({"a.b":1})", "+a.b.1 i"}, {R"({"":{"a":1}})", "+a.1 i"}, {R"({"x":{"":1}})", "+x..1 i"},
      {R"({"":1})", "+.1 i"},
      // Leaf texts of scalars.
      {R"({"n":2.0,"m":2})", "+m.2 i | +n.2 i"},
      {R"({"f":false,"i":-5,"u":18446744073709551615,"z":-0})",
       "+f.false i | +i.-5 i | +u.18446744073709551615 i | +z.0 i"},
      {R"({"a":1.5,"b":1e21,"c":1e-7,"d":-0.0})",
       "+a.1.5 i | +b.1000000000000000000000 i | +c.0.0000001 i | +d.-0 i"},
      {R"({"q":"say \"hi\"\n\u00e9"})", "+q.say \"hi\"\n\xc3\xa9 i"},
      // A set of pairs: an entry per distinct occurrence.
      {R"({"a":1,"a":2})", "+a.1 i | +a.2 i"}, {R"({"a":1,"a":1})", "+a.1 i"},
  };
  for (const auto& [document, expected] : cases) EXPECT_EQ(entries_of(document), expected);
  EXPECT_EQ(entries_of(R"({"t":5e-324})"), "+t.0." + std::string(323, '0') + "5 i");
  EXPECT_EQ(entries_of(R"({"h":1e300})"), "+h.1" + std::string(300, '0') + " i");
  std::string deep = "+";  // walked without recursion
  for (int i = 0; i < 1000000; ++i) deep += "0.";
  EXPECT_EQ(entries_of(std::string(1000000, '[') + "7" + std::string(1000000, ']')), deep + "7 i");
}

// Unparsable documents record nothing; the last change to a pair wins; pairs come sorted.
TEST(MetadataIndexTest, NetChanges) {
  IndexChanges changes;
  ASSERT_TRUE(changes.process_json_index(R"({"a":1})", "kept", true));
  for (std::string_view bad : {R"({"b":2,"n":18446744073709551616})", R"({"b":2,"n":1e400})",
                               R"({"b":2} x)"}) {
    EXPECT_FALSE(changes.process_json_index(bad, "x", true)) << bad;
  }
  ASSERT_TRUE(changes.process_json_index(R"({"w":1,"v":1})", "b", true));
  ASSERT_TRUE(changes.process_json_index(R"({"v":1})", "a", true));
  ASSERT_TRUE(changes.process_json_index(R"({"v":1})", "b", false));
  EXPECT_EQ(net(changes), "+a.1 kept | +v.1 a | -v.1 b | +w.1 b");
}

}  // namespace
}  // namespace quillmere::engine
