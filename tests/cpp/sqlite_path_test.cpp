#include "store/sqlite_path.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "test_support.h"

namespace quillmere::store {
namespace {

using testing_support::folder_of_length;
using testing_support::TempDir;
using Verdict = SqlitePath::Verdict;

// SQLite's own verdict: its unix layer resolves the path, and the pager wants room for
// "-journal".
bool sqlite_resolves(const std::string& path) {
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  std::string full(vfs->mxPathname + 1, '\0');
  const int rc = vfs->xFullPathname(vfs, path.c_str(), vfs->mxPathname + 1, full.data());
  return (rc == SQLITE_OK || rc == SQLITE_OK_SYMLINK) &&
         std::strlen(full.c_str()) + 8 <= static_cast<std::size_t>(vfs->mxPathname);
}

void link(const std::string& target, const std::string& name) {
  ASSERT_EQ(::symlink(target.c_str(), name.c_str()), 0) << name;
}

// Paths just under and just over each limit, with and without links, and the ways SQLite fails
// a path that the system would open. Each verdict is also SQLite's.
TEST(SqlitePathTest, ResolvesAsSqliteDoes) {
  const std::size_t mx = sqlite3_vfs_find(nullptr)->mxPathname;
  ASSERT_EQ(mx, 512u);  // the figures below
  ASSERT_EQ(sqlite_longest_path(mx), 504u);
  TempDir dir;
  const std::string base = std::filesystem::canonical(dir.path()).string();
  const std::string to495 = folder_of_length(base, 495), to511 = folder_of_length(base, 511),
                    to512 = folder_of_length(base, 512);
  // 548 bytes, whose folder is short enough for a file beside it.
  const std::string to548 = folder_of_length(base, 447) + "/" + std::string(100, 'h');
  std::filesystem::create_directory(to548);
  link(to495, base + "/s495");
  link(to511, base + "/s511");
  link(to512, base + "/s512");
  link(to548, base + "/s");
  link(to511.substr(base.size() + 1), base + "/relative511");
  link("../../../../../../../../../..", base + "/up");
  link("loop", base + "/loop");
  ASSERT_TRUE(std::ofstream(base + "/plain").good());
  // A chain of 201 links to the base folder, and one more before it.
  link(base, base + "/c0");
  for (int i = 1; i <= 201; ++i) link("c" + std::to_string(i - 1), base + "/c" + std::to_string(i));

  const std::string name504(504 - 496, 'f'), name505(505 - 496, 'f');
  const std::tuple<std::string, Verdict, std::size_t, int> cases[] = {
      {to495 + "/" + name504, Verdict::kOpens, 504, 0},
      {to495 + "/" + name505, Verdict::kTooLong, 505, 0},
      {base + "/s495/" + name504, Verdict::kOpens, 504, 0},
      {base + "/s495/" + name505, Verdict::kTooLong, 505, 0},
      {to511 + "/../f.db", Verdict::kOpens, 511, 0},  // ".." removes what was built, as text
      {to512 + "/../f.db", Verdict::kTooLong, 512, 0},
      {base + "/s511/../f.db", Verdict::kOpens, 511, 0},
      {base + "/relative511/../f.db", Verdict::kOpens, 511, 0},
      {base + "/s512/../f.db", Verdict::kTooLong, 512, 0},
      {base + "/s/../f.db", Verdict::kTooLong, 548, 0},  // 452 bytes in the end
      {base + "//./missing/../f.db", Verdict::kOpens, base.size() + 8, 0},
      {"/.." + base + "/f.db", Verdict::kAboveRoot, base.size() + 5, 0},
      {base + "/up/f.db", Verdict::kAboveRoot, base.size() + 3, 0},
      {base + "/plain/f.db", Verdict::kFailed, base.size() + 11, ENOTDIR},
      {base + "/loop/f.db", Verdict::kFailed, base.size() + 10, ELOOP},
      {base + "/c200/f.db", Verdict::kOpens, base.size() + 5, 0},
      {base + "/c201/f.db", Verdict::kFailed, base.size() + 8, ELOOP},  // failed at "c0"
      {"/", Verdict::kFailed, 0, EISDIR},
  };
  for (const auto& [path, verdict, longest, error] : cases) {
    const SqlitePath resolved = resolve_as_sqlite(path, mx);
    EXPECT_EQ(resolved.verdict, verdict) << path;
    EXPECT_EQ(resolved.longest, longest) << path;
    EXPECT_EQ(resolved.error, error) << path;
    EXPECT_EQ(sqlite_resolves(path), verdict == Verdict::kOpens) << path;
  }
}

// A relative path starts from the current directory, as SQLite's does.
}  // namespace
}  // namespace quillmere::store
