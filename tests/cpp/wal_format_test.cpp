#include "db_engine_web_server/wal_format.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace quillmere::db_engine_web_server {
namespace {

using namespace std::string_literals;
using Kind = engine::WriteOp::Kind;

class WalFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "wal_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/db.wal";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The bytes the encoder writes for `op`, and the frames it counts.
  std::string encode(const engine::WriteOp& op, std::uint64_t& frames) {
    {
      auto wal = BufferedFile::open(path_, O_WRONLY | O_CREAT | O_TRUNC, WAL_BUFFER_SIZE);
      EXPECT_TRUE(wal.ok()) << wal.error();
      EXPECT_TRUE(encode_wal_frame(wal.value(), frames, op).ok());
    }
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The frames the reader finds in `bytes`, as "op:id=value", then its end.
  std::vector<std::string> read_all(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
    const int fd = ::open(path_.c_str(), O_RDONLY);
    WalFrameReader reader(fd);
    std::vector<std::string> seen;
    WalFrame frame;
    Result<WalRead> read = reader.next(frame);
    for (; read.ok() && read.value() == WalRead::kFrame; read = reader.next(frame)) {
      seen.push_back(std::to_string(frame.op_byte) + ":" + frame.id + "=" + frame.value);
    }
    ::close(fd);
    const char* const ends[] = {"", "end", "incomplete", "missing"};
    seen.push_back(read.ok() ? ends[static_cast<int>(read.value())] : read.error());
    return seen;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(WalFormatTest, EncodesOneFramePerDataOperation) {
  const struct {
    engine::WriteOp op;
    std::string bytes;
  } cases[] = {
      {{Kind::kDelete, "a", "ignored"}, "\x02\x01\0\0\0\0\0\0\0a"s},
      {{Kind::kInsert, "k1", R"({"a":1})"}, "\x01\x02\0\0\0\x07\0\0\0k1{\"a\":1}"s},
      {{Kind::kUpsert, "k1", R"({"a":1})"}, "\x03\x02\0\0\0\x07\0\0\0k1{\"a\":1}"s},
      {{Kind::kInsert, "", "{}"}, "\x01\0\0\0\0\x02\0\0\0{}"s},
      {{Kind::kInsert, std::string(300, 'i'), ""}, "\x01\x2c\x01\0\0\0\0\0\0"s + std::string(300, 'i')},
      {{Kind::kBackup, "/tmp/backup", ""}, ""},
      {{Kind::kShutdown, "", ""}, ""},
  };
  for (const auto& c : cases) {
    std::uint64_t frames = 5;
    EXPECT_EQ(encode(c.op, frames), c.bytes) << c.op.id;
    EXPECT_EQ(frames, c.bytes.empty() ? 5u : 6u) << c.op.id;
  }
}

TEST(WalFrameFitsTest, LengthsMustFitThirtyTwoBits) {
  const std::size_t max = 4294967295;
  EXPECT_TRUE(check_frame_fits(max, max).ok());
  EXPECT_EQ(check_frame_fits(max + 1, 0).message(),
            "Document id of 4294967296 bytes is too large for the write-ahead log "
            "(at most 4294967295 bytes)");
  EXPECT_EQ(check_frame_fits(0, max + 1).message(),
            "Document of 4294967296 bytes is too large for the write-ahead log "
            "(at most 4294967295 bytes)");
}

TEST_F(WalFormatTest, ReaderStopsAtTheFirstFrameThatIsNotWhole) {
  const std::string del = "\x02\x01\0\0\0\0\0\0\0a"s;
  using Seen = std::vector<std::string>;
  const struct {
    std::string bytes;
    Seen seen;
  } cases[] = {
      {"", {"end"}},
      {del + del, {"2:a=", "2:a=", "end"}},
      {del + "\x01\x02\0\0"s, {"2:a=", "incomplete"}},
      {"\x01\x01\0\0\0\x05\0\0\0kabc"s, {"missing"}},
      {"\x01\x05\0\0\0\0\0\0\0k"s, {"missing"}},
      {"\x01\x01\0\0\0\xff\xff\xff\xffk{}"s, {"missing"}},
      {"\x09\x02\0\0\0\x03\0\0\0ab{}x"s + del, {"9:ab={}x", "2:a=", "end"}},
      {"\x02\x02\0\0\0\0\0\0\0\xff\x41"s, {"2:\xEF\xBF\xBD\x41=", "end"}},
  };
  for (const auto& c : cases) EXPECT_EQ(read_all(c.bytes), c.seen) << c.bytes;
}

TEST_F(WalFormatTest, DamagedLengthsAllocateNoMoreThanTheFileHolds) {
  // In a child whose address space cannot hold the 4 GiB the header announces.
  const pid_t child = fork();
  if (child == 0) {
    const rlimit limit{1u << 30, 1u << 30};
    setrlimit(RLIMIT_AS, &limit);
    _exit(read_all("\x03\xff\xff\xff\xff\0\0\0\0k"s) == std::vector<std::string>{"missing"} ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(WalFormatTest, HeaderReadFailureIsAnError) {
  const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  WalFrame frame;
  EXPECT_EQ(WalFrameReader(fd).next(frame).error(),
            "WAL read error I/O error: Is a directory (os error 21)");
  ::close(fd);
}

}  // namespace
}  // namespace quillmere::db_engine_web_server
