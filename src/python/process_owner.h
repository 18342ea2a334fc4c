// ProcessOwner: the process an engine object was made in. A forked child
// inherits a copy of the object but none of its threads, and mutexes its
// threads use may stay held forever: there every call raises, and releasing
// the object leaves its fields alone, so that nothing of the parent's is
// touched. Use only with the interpreter lock held.
#pragma once

#include <cstdint>

#include "common/process_generation.h"

namespace quillmere::python {

class ProcessOwner {
 public:
  // Whether this is the process that made the object.
  bool is_current() const { return generation_ == process_generation(); }

  // True in the process that made the object; otherwise raises RuntimeError
  // saying to open a new engine in this process.
  bool check() const;

 private:
  std::uint64_t generation_ = process_generation();
};

}  // namespace quillmere::python
