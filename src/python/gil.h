// ReleasedGil: releases the interpreter lock for the lifetime of the guard so
// that store work runs beside other Python threads. Create it with the lock
// held; touch no Python object until it is gone.
#pragma once

#include <Python.h>

#include <chrono>

namespace quillmere::python {

class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  // Not noexcept: a thread that comes back while the interpreter finalizes
  // is ended inside PyEval_RestoreThread by pthread_exit, which unwinds the
  // stack. Through a noexcept destructor that unwinding calls
  // std::terminate, and the exiting process aborts.
  ~ReleasedGil() noexcept(false) { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

// How long a call waits without the interpreter lock before it takes the
// lock back to handle pending signals (Ctrl+C), as a lock's acquire does.
inline constexpr std::chrono::milliseconds kSignalCheckInterval{100};

// Runs `work` with the interpreter lock released and returns its result.
template <typename Work>
auto without_gil(Work&& work) {
  ReleasedGil released;
  return work();
}

}  // namespace quillmere::python
