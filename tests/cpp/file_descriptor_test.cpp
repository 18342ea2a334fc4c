#include "common/file_descriptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>

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

// Nothing but a regular file is opened, created or not: a link is not
// followed, anything else is neither read nor blocked on (a FIFO would block).
TEST(FileDescriptorTest, OpenRegularOpensNothingButARegularFile) {
  testing_support::TempDir dir;
  const auto at = [&](const std::string& name) { return dir.path() + "/" + name; };
  ASSERT_EQ(::symlink(at("gone").c_str(), at("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  std::ofstream(at("named")) << "another's";
  ASSERT_EQ(::link(at("named").c_str(), at("second name").c_str()), 0);
  sockaddr_un address{AF_UNIX, {}};
  at("socket").copy(address.sun_path, sizeof address.sun_path - 1);
  const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::pair<std::string, std::string> refused[] = {
      {at("link"), "a symbolic link, not a regular file; the engine neither follows"},
      {at("fifo"), "a FIFO, not a regular file; the engine neither reads"},
      {"/dev/null", "a character device, not a regular file; the engine neither reads"},
      {dir.path(), "a folder, not a regular file; the engine neither reads"},
      {at("socket"), "a socket, not a regular file; the engine neither reads"},
      {at("second name"), "a file of 2 names (hard links), not one of its own; the engine neither reads"},
  };
  for (const auto& [path, kind] : refused) {
    for (int flags : {O_RDWR, O_RDWR | O_CREAT}) {
      EXPECT_EQ(FileDescriptor::open_regular(path, flags, "P ").error(),
                "P " + path + ": it is " + kind + " nor changes it");
    }
  }
  ::close(listening);
  EXPECT_FALSE(std::filesystem::exists(at("gone")));  // not made through the link

  // A regular file opens blocking; a missing one is nothing unless created.
  EXPECT_EQ(FileDescriptor::open_regular(at("new"), O_RDWR, "P ").value(), nullptr);
  auto made = FileDescriptor::open_regular(at("new"), O_RDWR | O_CREAT, "P ").value();
  EXPECT_EQ(fcntl(made->get(), F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDWR);
  EXPECT_TRUE(std::filesystem::is_regular_file(at("new")));
}

}  // namespace
}  // namespace quillmere
