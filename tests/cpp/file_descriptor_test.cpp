#include "common/file_descriptor.h"

#include <fcntl.h>

#include "test_support.h"

namespace quillmere {
namespace {

TEST(FileDescriptorTest, OpensOnceAndKeepsTheFileWhateverHappensToItsName) {
  testing_support::TempDir dir;
  const std::string path = dir.path() + "/f", moved = dir.path() + "/moved";
  std::shared_ptr<FileDescriptor> file = FileDescriptor::open(path, O_RDWR | O_CREAT).value();
  EXPECT_TRUE(fcntl(file->get(), F_GETFD) & FD_CLOEXEC);
  const std::optional<FileIdentity> identity = file->identity();
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity_of_path(path), identity);
  ASSERT_EQ(::rename(path.c_str(), moved.c_str()), 0);
  FileDescriptor::open(path, O_RDWR | O_CREAT).value();  // another file under the name
  EXPECT_NE(identity_of_path(path), identity);
  EXPECT_EQ(identity_of_path(moved), file->identity());
  EXPECT_EQ(identity_of_path(dir.path() + "/missing"), std::nullopt);
}

TEST(FileDescriptorTest, FailuresCarryTheirPrefixAndTheSystemsReason) {
  testing_support::TempDir dir;
  EXPECT_EQ(FileDescriptor::open(dir.path() + "/no/f", O_RDWR | O_CREAT).error(),
            "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(FileDescriptor::open(dir.path(), O_RDWR, "Failed to open WAL file ").error(),
            "Failed to open WAL file Is a directory (os error 21)");
  EXPECT_EQ(FileDescriptor::open(dir.path() + std::string("/a\0b", 4), O_RDWR | O_CREAT).error(),
            "I/O error: file name contained an unexpected NUL byte");
}

}  // namespace
}  // namespace quillmere
