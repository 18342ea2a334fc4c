#include "python/borrow_flag.h"

#include "python/errors.h"

namespace quillmere::python {

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag.try_share() ? &flag : nullptr) {
  if (!flag_) raise_runtime_error("Already mutably borrowed");
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag.try_own() ? &flag : nullptr) {
  if (!flag_) raise_runtime_error("Already borrowed");
}

}  // namespace quillmere::python
