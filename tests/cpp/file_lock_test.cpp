#include "store/file_lock.h"
#include "common/io_error.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "store/database.h"

namespace quillmere::store {
namespace {

class FileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "lock_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string dir_;
};

// Whether a fresh open file description can take the flock right now.
bool flock_is_free(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) ::close(fd);
  return free;
}

TEST_F(FileLockTest, HoldsTheFileItselfUntilTheLastOwnerReleasesIt) {
  const std::string path = dir_ + "/db";
  const std::string link = dir_ + "/other-name";
  std::optional<FileLock> held;
  {
    auto lock = FileLock::acquire(path);  // creates the file
    ASSERT_TRUE(lock.ok()) << lock.error();
    held.emplace(std::move(lock.value()));
  }  // the moved-from lock in the Result must not release anything
  EXPECT_FALSE(flock_is_free(path));
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);

  auto again = FileLock::acquire(link);  // same inode under another name
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), kAlreadyOpenText);

  held.reset();
  EXPECT_TRUE(flock_is_free(path));
  auto reacquired = FileLock::acquire(link);
  EXPECT_TRUE(reacquired.ok()) << reacquired.error();
}

TEST_F(FileLockTest, ReportsSystemFailuresAsIoErrors) {
  EXPECT_EQ(io_error_text(ENOENT), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(io_error_text(EACCES), "I/O error: Permission denied (os error 13)");

  auto directory = FileLock::acquire(dir_);
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error(), "I/O error: Is a directory (os error 21)");

  // The system call would see a shorter name than the caller gave.
  auto with_nul = FileLock::acquire(dir_ + std::string("/a\0b", 4));
  ASSERT_FALSE(with_nul.ok());
  EXPECT_EQ(with_nul.error(), "I/O error: file name contained an unexpected NUL byte");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/a"));
}

}  // namespace
}  // namespace quillmere::store
