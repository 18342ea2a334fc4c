// KeyCache: the str objects of object keys seen recently while converting
// stored documents. Documents repeat their keys, so reusing the str (with its
// hash already computed) saves decoding, allocating and hashing it again.
// One per process; use only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillmere::convert {

class KeyCache {
 public:
  // A new reference to a str equal to `text` (valid UTF-8), or null with the
  // error set.
  PyObject* key(std::string_view text);

 private:
  static constexpr std::size_t kSlots = 1024;  // a power of two
  static constexpr std::size_t kMaxKeySize = 32;

  struct Slot {
    PyObject* key = nullptr;  // a strong reference, kept for the process
    std::uint8_t size = 0;
    char text[kMaxKeySize];
  };

  std::array<Slot, kSlots> slots_{};
};

// The process's cache.
KeyCache& key_cache();

}  // namespace quillmere::convert
