// BorrowFlag: the per-object borrow state of a native class. Methods take a
// shared borrow for their whole call (also while the interpreter lock is
// released); close-like methods take an exclusive one. A conflicting borrow
// fails with RuntimeError "Already borrowed" (exclusive wanted) or "Already
// mutably borrowed" (shared wanted). Atomic, so any thread may use it.
#pragma once

#include <atomic>

namespace quillmere::python {

class BorrowFlag {
 public:
  bool try_share() {
    int current = state_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) return false;
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    return true;
  }
  void unshare() { state_.fetch_sub(1, std::memory_order_release); }

  bool try_own() {
    int expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire);
  }
  void disown() { state_.store(0, std::memory_order_release); }

 private:
  static constexpr int kExclusive = -1;
  std::atomic<int> state_{0};  // number of shared borrows, or kExclusive
};

enum class BorrowKind { kShared, kExclusive };

// Holds a borrow of a flag for its lifetime; check ok() after construction
// (on failure the Python error is already set). Needs the interpreter lock to
// be constructed, not to be destroyed.
class Borrow {
 public:
  Borrow(BorrowFlag& flag, BorrowKind kind);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;  // null when the borrow was refused
  BorrowKind kind_;
};

}  // namespace quillmere::python
