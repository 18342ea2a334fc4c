#include "python/borrow_flag.h"

#include "python/errors.h"

namespace quillmere::python {

Borrow::Borrow(BorrowFlag& flag, BorrowKind kind) : flag_(&flag), kind_(kind) {
  const bool taken = kind == BorrowKind::kShared ? flag.try_share() : flag.try_own();
  if (taken) return;
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
