// The Python class DBEngine: the plain document store. Writes are converted on
// the caller's thread and queued for one background writer; close_engine
// waits for everything queued. Use only with the interpreter lock held.
#pragma once

#include <Python.h>

namespace quillmere::db_engine {

// The class object, created on first use and shared by every module object;
// a borrowed reference, or null with the error set.
PyTypeObject* db_engine_class();

}  // namespace quillmere::db_engine
