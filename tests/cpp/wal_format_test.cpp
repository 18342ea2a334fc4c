#include "db_engine_web_server/wal_format.h"

#include <sys/resource.h>

#include <fstream>
#include <iterator>

#include "test_support.h"

namespace quillmere::db_engine_web_server {
namespace {

using namespace std::string_literals;
using Kind = engine::WriteOp::Kind;

class WalFormatTest : public ::testing::Test {
 protected:
  // How the reader's first call ends on a file holding `bytes`.
  Result<WalRead> read_first(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
    const int fd = ::open(path_.c_str(), O_RDONLY);
    WalFrame frame;
    Result<WalRead> read = WalFrameReader(fd).next(frame);
    ::close(fd);
    return read;
  }

  testing_support::TempDir dir_;
  std::string path_ = dir_.path() + "/db.wal";
};

TEST_F(WalFormatTest, EncodesOneFramePerDataOperationWithLengthsOfThirtyTwoBits) {
  const std::string long_id(300, 'i');  // its length needs both low bytes
  const std::pair<engine::WriteOp, std::string> cases[] = {
      {{Kind::kDelete, "a", "ignored"}, "\x02\x01\0\0\0\0\0\0\0a"s},
      {{Kind::kInsert, "k1", R"({"a":1})"}, "\x01\x02\0\0\0\x07\0\0\0k1{\"a\":1}"s},
      {{Kind::kUpsert, "k1", R"({"a":1})"}, "\x03\x02\0\0\0\x07\0\0\0k1{\"a\":1}"s},
      {{Kind::kInsert, long_id, "{}"}, "\x01\x2c\x01\0\0\x02\0\0\0"s + long_id + "{}"},
      {engine::WriteOp::backup({"/tmp/backup", "backup"}), ""}, {{Kind::kShutdown, "", ""}, ""},
  };
  for (const auto& [op, bytes] : cases) {
    std::uint64_t frames = 5;
    {
      auto wal = BufferedFile::open(path_, O_WRONLY | O_CREAT | O_TRUNC, WAL_BUFFER_SIZE);
      ASSERT_TRUE(wal.ok()) << wal.error();
      EXPECT_TRUE(encode_wal_frame(wal.value(), frames, op).ok());
    }
    std::ifstream in(path_, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes) << op.id;
    EXPECT_EQ(frames, bytes.empty() ? 5u : 6u) << op.id;
  }
}

TEST_F(WalFormatTest, DamagedHeadersAllocateNoMoreThanTheFileHolds) {
  path_ = dir_.path();  // a header that cannot be read
  EXPECT_EQ(read_first("").error(), "WAL read error Is a directory (os error 21)");
  path_ += "/db.wal";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own mappings need more address space than the limit";
#endif
  // In a child whose address space cannot hold the 4 GiB the header announces.
  const int exit_code = testing_support::in_child([&] {
    const rlimit limit{1u << 30, 1u << 30};
    setrlimit(RLIMIT_AS, &limit);
    return read_first("\x03\xff\xff\xff\xff\0\0\0\0k"s).value() == WalRead::kMissingData ? 0 : 1;
  });
  EXPECT_EQ(exit_code, 0);
}

}  // namespace
}  // namespace quillmere::db_engine_web_server
