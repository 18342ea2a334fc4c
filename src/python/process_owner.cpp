#include "python/process_owner.h"

#include "python/errors.h"

namespace quillmere::python {

bool ProcessOwner::check() const {
  if (is_current()) return true;
  raise_runtime_error(
      "This engine was opened by another process and came here through a fork; open a new "
      "engine in this process");
  return false;
}

}  // namespace quillmere::python
