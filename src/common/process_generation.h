// Which process a piece of state belongs to. A fork copies the parent's
// memory into the child but only the thread that forked: the child's copies
// of the parent's engines have no threads, and mutexes in them may stay held
// forever. State that must not be used across a fork remembers the
// generation it was made in and compares it with the current one. Any thread.
#pragma once

#include <cstdint>

namespace quillmere {

// A number that is the same throughout one process and changes in the child
// of every fork.
std::uint64_t process_generation();

}  // namespace quillmere
