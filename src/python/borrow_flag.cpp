#include "python/borrow_flag.h"

#include "python/errors.h"
#include "python/gil.h"

namespace quillmere::python {

Borrow::Borrow(BorrowFlag& flag, BorrowKind kind) : flag_(&flag), kind_(kind) {
  for (;;) {
    const bool taken = kind == BorrowKind::kShared ? flag.try_share() : flag.try_own();
    if (taken) return;
    const BorrowFlag::Holder holder = flag.holder();
    // A close in progress on another thread: once it ends, this call runs
    // as after a close; a signal handler's exception ends the wait. Waiting
    // for its own close would never end.
    if (holder == BorrowFlag::Holder::kOtherThread) {
      const bool ended = without_gil([&] { return flag.wait_while_owned(kSignalCheckInterval); });
      if (!ended && PyErr_CheckSignals() < 0) {
        flag_ = nullptr;
        return;
      }
    } else if (holder == BorrowFlag::Holder::kThisThread ||
               (holder == BorrowFlag::Holder::kSharers && kind == BorrowKind::kExclusive)) {
      break;
    }
  }
  flag_ = nullptr;
  raise_runtime_error(kind == BorrowKind::kShared ? "Already mutably borrowed"
                                                  : "Already borrowed");
}

Borrow::~Borrow() {
  if (flag_ == nullptr) return;
  if (kind_ == BorrowKind::kShared) {
    flag_->unshare();
  } else {
    flag_->disown();
  }
}

}  // namespace quillmere::python
