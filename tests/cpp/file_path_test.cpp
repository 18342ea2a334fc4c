#include "common/file_path.h"

#include "test_support.h"

namespace quillmere {
namespace {

using testing_support::in_child;

TEST(FilePathTest, ARelativePathIsJoinedToTheCurrentDirectoryAndNothingElseChanges) {
  testing_support::TempDir dir;
  EXPECT_EQ(absolute_path("/a/./b/../c").value(), "/a/./b/../c");
  EXPECT_EQ(absolute_path("").value(), "");  // names no file, as before
  // The current directory is the process's: changed in a child only.
  EXPECT_EQ(in_child([&] {
              if (::chdir(dir.path().c_str()) != 0) return 1;
              if (absolute_path("s.db").value() != dir.path() + "/s.db") return 2;
              if (absolute_path("./x/../s.db").value() != dir.path() + "/./x/../s.db") return 3;
              if (::chdir("/") != 0 || absolute_path("s.db").value() != "/s.db") return 4;
              return 0;
            }),
            0);
}

TEST(FilePathTest, ARemovedCurrentDirectoryIsNamedAsTheCause) {
  testing_support::TempDir dir;
  const std::string gone = dir.path() + "/gone";
  EXPECT_EQ(in_child([&] {
              if (::mkdir(gone.c_str(), 0700) != 0 || ::chdir(gone.c_str()) != 0) return 1;
              if (::rmdir(gone.c_str()) != 0) return 2;
              const Result<std::string> made = absolute_path("s.db");
              return made.error() ==
                             "I/O error: cannot read the current directory: No such file or "
                             "directory (os error 2)"
                         ? 0
                         : 3;
            }),
            0);
}

}  // namespace
}  // namespace quillmere
