// When the process waits for the engines' writers (ExitWaits), so that it
// ends only after every accepted write is committed. The writers need no
// interpreter, so the wait runs after Python's own finalization, at its end
// (an uncaught KeyboardInterrupt kills the process right after it) and among
// the C library's exit functions: whatever exit handlers, finalizers and
// daemon threads wrote before is queued by then, in whatever order they ran.
// multiprocessing ends the children it forks with os._exit, which skips
// those functions: in such a child the wait runs as the last of
// multiprocessing's own finalizers. Use only with the interpreter lock held.
#pragma once

namespace quillmere::python {

// Once per process, when the module is first executed. False with the error
// set when the wait cannot be registered.
bool wait_for_writers_at_process_exit();

// Each time an engine is made: in a multiprocessing child, makes sure the
// wait runs before the child's os._exit. False with the error set.
bool wait_for_writers_before_child_exit();

}  // namespace quillmere::python
