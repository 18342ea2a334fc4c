// BorrowFlag: the per-object borrow state of a native class. Methods take a
// shared borrow for their whole call (also while the interpreter lock is
// released); close-like methods take an exclusive one. A borrow that meets an
// exclusive one held by another thread (a close in progress) waits for it to
// end, without the interpreter lock, as it would behind a held lock, handling
// signals meanwhile. Any other conflict fails with RuntimeError "Already
// borrowed" (exclusive wanted) or "Already mutably borrowed" (shared wanted).
// Any thread may use it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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
    if (!state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
      return false;
    }
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }
  void disown() {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> guard(ended_mutex_);
      state_.store(0, std::memory_order_release);
    }
    ended_.notify_all();
  }

  // Who holds the flag now, for a borrow that was just refused. The owner
  // is recorded before it can run anything that borrows again, so a thread
  // never finds its own exclusive borrow unrecorded.
  enum class Holder { kNobody, kSharers, kThisThread, kOtherThread };
  Holder holder() const {
    const int state = state_.load(std::memory_order_acquire);
    if (state == 0) return Holder::kNobody;
    if (state > 0) return Holder::kSharers;
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()
               ? Holder::kThisThread
               : Holder::kOtherThread;
  }
  // Waits at most `most` for the exclusive borrow to end; whether it has (one
  // may be taken again at once).
  bool wait_while_owned(std::chrono::milliseconds most) {
    std::unique_lock<std::mutex> lock(ended_mutex_);
    return ended_.wait_for(lock, most,
                           [this] { return state_.load(std::memory_order_acquire) != kExclusive; });
  }

 private:
  static constexpr int kExclusive = -1;
  std::atomic<int> state_{0};             // number of shared borrows, or kExclusive
  std::atomic<std::thread::id> owner_{};  // the exclusive borrow's thread, if any
  // Signalled when an exclusive borrow ends; its end is stored under the mutex.
  std::mutex ended_mutex_;
  std::condition_variable ended_;
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
