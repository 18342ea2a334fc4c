// The write-ahead log file of a DBEngineWebServer: the encoder the WAL writer
// thread uses and the frame reader of recovery. This comment is the one
// definition of the format.
// Threads: open_wal_file and WalFrameReader run on the constructing thread,
// before any thread starts; encode_wal_frame on the WAL writer thread.
//
// The file is a plain sequence of frames, back to back from offset 0: no
// header, magic, version, checksum, padding or end marker. An empty file
// holds no frames. One frame, integers unsigned little-endian:
//
//   offset        size          field
//   0             1             op byte: 1 = Insert, 2 = Delete, 3 = Upsert
//   1             4             key length K
//   5             4             value length V; 0 in every Delete frame
//   9             K             key: the document id's UTF-8 bytes
//   9 + K         V             value: the stored document of an Insert or
//                               Upsert, byte for byte; absent in a Delete
//
// The first kFrameHeaderSize bytes are the frame header. Backup and Shutdown
// operations write no frame.
//
// Reading stops at the first frame that is not whole: 1-8 bytes where a
// header should be (a write cut short), or a key or value that the file
// cannot supply in full. Recovery also counts as cut short a frame whose
// body it cannot apply when zeros fill the file from that body to its end
// (a file grown by a power loss before its data was written). A frame with
// any other op byte is passed over by its lengths. Keys are decoded lossily,
// invalid UTF-8 becoming U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/buffered_file.h"
#include "common/file_descriptor.h"
#include "common/status.h"
#include "engine/write_op.h"

namespace quillmere::db_engine_web_server {

// Buffer of the WAL writer's file; frames are handed to the system per batch.
inline constexpr std::size_t WAL_BUFFER_SIZE = 131072;
inline constexpr std::size_t kFrameHeaderSize = 9;

// Opens the WAL file at `wal_path` for reading and writing, created empty
// when `create` and missing, and only when it is a regular file: a symbolic
// link, FIFO, device, socket or folder there is refused unread and
// unchanged, as what may be another program's file. Nothing when there is no
// file and not `create`. Fails with "Failed to open WAL file {path}: it is
// {kind}, not a regular file; ..." or "Failed to open WAL file {system text}
// (os error {n})".
Result<std::shared_ptr<FileDescriptor>> open_wal_file(const std::string& wal_path, bool create);

// Writes the frame of an Insert, Delete or Upsert into `wal` and counts it in
// `batch_frames`; other kinds write nothing. The id and the document fit
// the 32-bit length fields: no write the store could not hold is queued.
Status encode_wal_frame(BufferedFile& wal, std::uint64_t& batch_frames, const engine::WriteOp& op);

// The bytes encode_wal_frame writes for `op`: 0 for Backup and Shutdown.
std::uint64_t wal_frame_size(const engine::WriteOp& op);

// The operation an op byte names, if any.
std::optional<engine::WriteOp::Kind> kind_of_op_byte(std::uint8_t op_byte);

struct WalFrame {
  std::uint8_t op_byte = 0;
  std::string id;     // the key, decoded lossily
  std::string value;  // empty in a Delete frame
};

enum class WalRead {
  kFrame,       // a whole frame was read
  kEnd,         // the file ends where a frame would start
  kIncomplete,  // 1-8 bytes where a header should be
  kMissingData  // the key or value cannot be read in full
};

// Reads frames from offset 0 of an open descriptor, which it does not own,
// with positioned reads and no buffer of its own: a header, then the key,
// then the value. A length beyond the bytes the file still holds is missing
// data at once, so a damaged header never makes it allocate more than the
// file's size.
class WalFrameReader {
 public:
  explicit WalFrameReader(int fd) : fd_(fd) {}

  // The next frame into `frame`, or why there is none. Fails with "WAL read
  // error {I/O error text}" when the header, or the file's size, cannot be
  // read; later calls are not meaningful after anything but kFrame.
  Result<WalRead> next(WalFrame& frame);

  // Whether every byte from the key of the last frame read to the end of the
  // file is zero (false when they cannot be read).
  bool zeros_from_last_body();

 private:
  // Reads up to `size` bytes at offset_ into `out` and advances offset_;
  // the count read (short only at the end of the file), or -errno.
  std::int64_t read_at(char* out, std::size_t size);
  // Reads a field of `size` bytes; false when the file cannot supply it.
  bool read_field(std::uint32_t size, std::string& out);

  const int fd_;
  std::uint64_t offset_ = 0;
  std::uint64_t body_offset_ = 0;  // where the last frame's key starts
  std::optional<std::uint64_t> file_size_;  // taken at the first header
  std::string key_bytes_;                   // the raw key, reused from frame to frame
};

}  // namespace quillmere::db_engine_web_server
