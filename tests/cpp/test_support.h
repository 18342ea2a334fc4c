// Shared by the tests: a self-removing temporary directory, deep folders, readers of a store's
// rows, and a lowered store length limit.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "store/database.h"

namespace quillmere::testing_support {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillmere_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

using Rows = std::vector<std::pair<std::string, std::string>>;
using Ids = std::vector<std::string>;

inline std::shared_ptr<store::Database> open_store(const std::string& path) {
  auto db = store::Database::open(path);
  EXPECT_TRUE(db.ok()) << db.error();
  return db.ok() ? db.value() : nullptr;
}

// Waits up to 30 seconds for `done`: whether it came.
inline bool wait_until(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// A folder under `base` whose path is exactly `length` bytes, made with the folders above it.
inline std::string folder_of_length(const std::string& base, std::size_t length) {
  std::string folder = base;
  while (folder.size() + 51 + 2 < length) folder += "/" + std::string(50, 'd');
  folder += "/" + std::string(length - folder.size() - 1, 'e');
  std::filesystem::create_directories(folder);
  return folder;
}

// Runs `body` in a forked child, `meanwhile` here: the child's exit code, -1 if it did not exit.
inline int in_child(const std::function<int()>& body, const std::function<void()>& meanwhile = {}) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  if (meanwhile) meanwhile();
  int status = 0;
  const bool exited = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
  return exited ? WEXITSTATUS(status) : -1;
}

// Whether a fresh open file description can take the flock right now.
inline bool flock_is_free(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) ::close(fd);
  return free;
}

// Readers of a transaction, also of one made for the call.
inline Rows documents(auto&& read, std::string_view from = "") {  // (id, body) from `from` on
  Rows rows;
  EXPECT_TRUE(read.scan_documents(from, [&](auto id, auto body) {
                    return rows.emplace_back(id, body), true;
                  }).ok());
  return rows;
}

inline Ids index_ids(auto&& read, std::string_view entry) {
  Ids ids;
  EXPECT_TRUE(read.scan_index(entry, [&](auto id) { return ids.emplace_back(id), true; }).ok());
  return ids;
}

inline Rows index_pairs(auto&& read) {  // every (entry, id), in store order
  Rows rows;
  EXPECT_TRUE(read.scan_index_pairs([&](auto entry, auto id) {
                    return rows.emplace_back(entry, id), true;
                  }).ok());
  return rows;
}

// Every connection opened while one of these lives gets kLoweredLengthLimit
// as its length limit, so that rows at the limit stay small.
inline constexpr int kLoweredLengthLimit = 100000;

class LoweredLengthLimit {
  using EntryPoint = void (*)();
  static int lower(sqlite3* db, char**, const sqlite3_api_routines*) {
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kLoweredLengthLimit);
    return SQLITE_OK;
  }
  static EntryPoint entry_point() { return reinterpret_cast<EntryPoint>(&lower); }

 public:
  LoweredLengthLimit() { sqlite3_auto_extension(entry_point()); }
  LoweredLengthLimit(const LoweredLengthLimit&) = delete;
  LoweredLengthLimit& operator=(const LoweredLengthLimit&) = delete;
  ~LoweredLengthLimit() { sqlite3_cancel_auto_extension(entry_point()); }
};

}  // namespace quillmere::testing_support
