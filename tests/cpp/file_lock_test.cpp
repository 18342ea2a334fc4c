#include "store/file_lock.h"

#include "common/io_error.h"
#include "test_support.h"

namespace quillmere::store {
namespace {

using testing_support::flock_is_free;

TEST(FileLockTest, HoldsTheFileItselfUntilTheLastOwnerReleasesIt) {
  testing_support::TempDir dir;
  const std::string path = dir.path() + "/db", link = dir.path() + "/other-name";
  std::optional<FileLock> held;
  {
    auto lock = FileLock::acquire(path);  // creates the file
    ASSERT_TRUE(lock.ok()) << lock.error();
    held.emplace(std::move(lock.value()));
  }  // the moved-from lock in the Result must not release anything
  EXPECT_FALSE(flock_is_free(path));
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  EXPECT_EQ(FileLock::acquire(link).error(), kAlreadyOpenText);  // same inode, other name
  held.reset();
  EXPECT_TRUE(flock_is_free(path));
  EXPECT_TRUE(FileLock::acquire(link).ok());
  // System failures are I/O errors.
  EXPECT_EQ(io_error_text(EACCES), "I/O error: Permission denied (os error 13)");
  EXPECT_EQ(FileLock::acquire(dir.path()).error(), "I/O error: Is a directory (os error 21)");
  EXPECT_EQ(FileLock::acquire(dir.path() + std::string("/a\0b", 4)).error(),
            "I/O error: file name contained an unexpected NUL byte");  // not cut short
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/a"));
}

}  // namespace
}  // namespace quillmere::store
