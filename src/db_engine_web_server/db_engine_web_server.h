// The Python class DBEngineWebServer: the document store with a write-ahead
// log. Writes are converted on the caller's thread, framed into the WAL file
// by the WAL writer thread and applied by the database writer thread;
// close_engine stops and awaits both. Use only with the interpreter lock held.
#pragma once

#include <Python.h>

namespace quillmere::db_engine_web_server {

// The class object, created on first use and shared by every module object;
// a borrowed reference, or null with the error set.
PyTypeObject* db_engine_web_server_class();

}  // namespace quillmere::db_engine_web_server
