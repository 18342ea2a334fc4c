#include "db_engine_web_server/wal_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>
#include <string_view>

#include "common/io_error.h"
#include "common/utf8.h"

namespace quillmere::db_engine_web_server {
namespace {

using engine::WriteOp;

// The op bytes of the framed kinds.
struct OpByte {
  WriteOp::Kind kind;
  std::uint8_t byte;
};
constexpr OpByte kOpBytes[] = {
    {WriteOp::Kind::kInsert, 1}, {WriteOp::Kind::kDelete, 2}, {WriteOp::Kind::kUpsert, 3}};

// The 32-bit length fields hold any id or document a write may carry: writes
// are refused beyond the store's length limit, which is an int.
static_assert(std::uint64_t{std::numeric_limits<int>::max()} <=
              std::numeric_limits<std::uint32_t>::max());

void put_u32(char* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t get_u32(const char* in) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

// A Delete frame carries no value.
std::string_view frame_value(const WriteOp& op) {
  return op.kind == WriteOp::Kind::kDelete ? std::string_view() : std::string_view(op.payload);
}

}  // namespace

Result<std::shared_ptr<FileDescriptor>> open_wal_file(const std::string& wal_path, bool create) {
  return FileDescriptor::open_regular(wal_path, O_RDWR | (create ? O_CREAT : 0),
                                      "Failed to open WAL file ");
}

std::optional<WriteOp::Kind> kind_of_op_byte(std::uint8_t op_byte) {
  for (const OpByte& known : kOpBytes) {
    if (known.byte == op_byte) return known.kind;
  }
  return std::nullopt;
}

std::uint64_t wal_frame_size(const WriteOp& op) {
  if (!op.is_data()) return 0;
  return kFrameHeaderSize + op.id.size() + frame_value(op).size();
}

Status encode_wal_frame(BufferedFile& wal, std::uint64_t& batch_frames, const WriteOp& op) {
  const OpByte* framed = std::find_if(std::begin(kOpBytes), std::end(kOpBytes),
                                      [&](const OpByte& known) { return known.kind == op.kind; });
  if (framed == std::end(kOpBytes)) return Status::Ok();  // Backup, Shutdown
  const std::string_view value = frame_value(op);
  char header[kFrameHeaderSize];
  header[0] = static_cast<char>(framed->byte);
  put_u32(header + 1, static_cast<std::uint32_t>(op.id.size()));
  put_u32(header + 5, static_cast<std::uint32_t>(value.size()));
  if (Status s = wal.write(std::string_view(header, kFrameHeaderSize)); !s.ok()) return s;
  if (Status s = wal.write(op.id); !s.ok()) return s;
  if (Status s = wal.write(value); !s.ok()) return s;
  ++batch_frames;
  return Status::Ok();
}

std::int64_t WalFrameReader::read_at(char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset_));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
    offset_ += static_cast<std::uint64_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

bool WalFrameReader::read_field(std::uint32_t size, std::string& out) {
  // Checked before allocating: a damaged length may announce up to 4 GiB.
  const std::uint64_t left = *file_size_ > offset_ ? *file_size_ - offset_ : 0;
  if (size > left) return false;
  out.resize(size);
  return read_at(out.data(), size) == static_cast<std::int64_t>(size);
}

Result<WalRead> WalFrameReader::next(WalFrame& frame) {
  if (!file_size_) {
    struct stat info;
    if (::fstat(fd_, &info) != 0) return Status::Error("WAL read error " + os_error_text(errno));
    file_size_ = static_cast<std::uint64_t>(info.st_size);
  }
  char header[kFrameHeaderSize];
  const std::int64_t got = read_at(header, kFrameHeaderSize);
  if (got < 0) return Status::Error("WAL read error " + os_error_text(static_cast<int>(-got)));
  if (got == 0) return WalRead::kEnd;
  if (got < static_cast<std::int64_t>(kFrameHeaderSize)) return WalRead::kIncomplete;
  frame.op_byte = static_cast<std::uint8_t>(header[0]);
  body_offset_ = offset_;
  if (!read_field(get_u32(header + 1), key_bytes_)) return WalRead::kMissingData;
  if (!read_field(get_u32(header + 5), frame.value)) return WalRead::kMissingData;
  frame.id = decode_utf8_lossy(key_bytes_);
  return WalRead::kFrame;
}

bool WalFrameReader::zeros_from_last_body() {
  char chunk[65536];
  offset_ = body_offset_;
  for (;;) {
    const std::int64_t got = read_at(chunk, sizeof chunk);
    if (got < 0) return false;
    if (got == 0) return true;
    if (std::any_of(chunk, chunk + got, [](char byte) { return byte != 0; })) return false;
  }
}

}  // namespace quillmere::db_engine_web_server
