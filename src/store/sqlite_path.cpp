#include "store/sqlite_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>

namespace quillmere::store {
namespace {

// The longest suffix SQLite adds to a database's name: "-journal".
constexpr std::size_t kSuffixBytes = 8;
// Links SQLite follows before it fails (its SQLITE_MAX_SYMLINK is 200, and
// it fails only when more than that were followed before).
constexpr int kMostLinks = 201;
// SQLite's buffer for a link's target (SQLITE_MAX_PATHLEN, which is
// FILENAME_MAX).
constexpr std::size_t kLongestTarget = 4096;

// One resolution. After its first failure SQLite only goes on appending
// elements as text, without looking at the file system; so does this, on a
// buffer without an end, to find how long the path would grow.
class Resolution {
 public:
  explicit Resolution(std::size_t max_pathname)
      : longest_built_(max_pathname > 0 ? max_pathname - 1 : 0) {}

  void append_all(std::string_view path) {
    while (!path.empty()) {
      const std::size_t end = std::min(path.find('/'), path.size());
      if (end > 0) append_one(path.substr(0, end));
      path.remove_prefix(std::min(end + 1, path.size()));
    }
  }

  // The verdict once every element is in; `longest_final` is the longest
  // final path SQLite opens.
  SqlitePath result(std::size_t longest_final) const {
    using enum SqlitePath::Verdict;
    if (failure_) return SqlitePath{failure_->verdict, longest_, failure_->error};
    // SQLite fails a path that resolves to "/" or nothing, which the system
    // reads as the root folder.
    if (built_.size() < 2) return SqlitePath{kFailed, longest_, EISDIR};
    return SqlitePath{built_.size() > longest_final ? kTooLong : kOpens, longest_, 0};
  }

 private:
  // Keeps the first failure: the verdict it gives, and the errno of kFailed.
  void fail(SqlitePath::Verdict verdict, int error = 0) {
    if (!failure_) failure_ = SqlitePath{verdict, 0, error};
  }

  void append_one(std::string_view name) {
    if (name == ".") return;
    if (name == "..") {
      if (built_.size() <= 1) return fail(SqlitePath::Verdict::kAboveRoot);
      built_.resize(built_.rfind('/'));
      return;
    }
    built_.append("/").append(name);
    longest_ = std::max(longest_, built_.size());
    if (built_.size() > longest_built_) fail(SqlitePath::Verdict::kTooLong);
    if (!failure_) follow_link(name.size());
  }

  // Replaces the element just appended by its target when it is a link.
  void follow_link(std::size_t name_size) {
    struct stat info {};
    if (::lstat(built_.c_str(), &info) != 0) {
      if (errno != ENOENT) fail(SqlitePath::Verdict::kFailed, errno);
      return;
    }
    if (!S_ISLNK(info.st_mode)) return;
    if (++links_ > kMostLinks) return fail(SqlitePath::Verdict::kFailed, ELOOP);
    char target[kLongestTarget];
    const ssize_t got = ::readlink(built_.c_str(), target, sizeof target);
    if (got <= 0 || static_cast<std::size_t>(got) >= sizeof target) {
      return fail(SqlitePath::Verdict::kFailed, got < 0 ? errno : ENAMETOOLONG);
    }
    if (target[0] == '/') {
      built_.clear();
    } else {
      built_.resize(built_.size() - name_size - 1);
    }
    append_all(std::string_view(target, static_cast<std::size_t>(got)));
  }

  const std::size_t longest_built_;  // mxPathname - 1: SQLite keeps 2 bytes of its buffer free
  std::string built_;                // the path resolved so far
  std::size_t longest_ = 0;
  int links_ = 0;
  std::optional<SqlitePath> failure_;  // the first failure
};

}  // namespace

std::size_t sqlite_longest_path(std::size_t max_pathname) {
  return max_pathname > kSuffixBytes ? max_pathname - kSuffixBytes : 0;
}

SqlitePath resolve_as_sqlite(const std::string& path, std::size_t max_pathname) {
  Resolution resolution(max_pathname);
  resolution.append_all(path);
  return resolution.result(sqlite_longest_path(max_pathname));
}

}  // namespace quillmere::store
