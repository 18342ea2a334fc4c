// PausedGc: keeps the cyclic garbage collector from running while a read
// builds its result. The new dicts, lists and strings hold no cycles, yet on
// CPython 3.11 every few hundred container allocations start a collection
// inside the allocation, and the older generations walk the growing result
// again and again (a large read took twice as long). CPython 3.12 and later
// already wait for the eval loop. Create it with the interpreter lock held
// and run no Python code under it; a collection that was due runs at the
// next allocation after the guard is gone.
#pragma once

#include <Python.h>

namespace quillmere::python {

class PausedGc {
 public:
  PausedGc() : was_enabled_(PyGC_Disable() != 0) {}
  ~PausedGc() {
    if (was_enabled_) PyGC_Enable();
  }
  PausedGc(const PausedGc&) = delete;
  PausedGc& operator=(const PausedGc&) = delete;

 private:
  bool was_enabled_;  // left disabled when the program had disabled it
};

}  // namespace quillmere::python
