#include "convert/key_cache.h"

#include <cstring>

namespace quillmere::convert {
namespace {

PyObject* make_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// FNV-1a: short keys, spread over the slots.
std::size_t slot_of(std::string_view text, std::size_t slots) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : text) hash = (hash ^ byte) * 1099511628211ull;
  return static_cast<std::size_t>(hash ^ (hash >> 32)) & (slots - 1);
}

}  // namespace

PyObject* KeyCache::key(std::string_view text) {
  if (text.size() > kMaxKeySize) return make_str(text);
  Slot& slot = slots_[slot_of(text, kSlots)];
  if (slot.key != nullptr && slot.size == text.size() &&
      std::memcmp(slot.text, text.data(), text.size()) == 0) {
    Py_INCREF(slot.key);
    return slot.key;
  }
  PyObject* key = make_str(text);
  if (key == nullptr) return nullptr;
  Py_XDECREF(slot.key);
  Py_INCREF(key);
  slot.key = key;
  slot.size = static_cast<std::uint8_t>(text.size());
  std::memcpy(slot.text, text.data(), text.size());
  return key;
}

KeyCache& key_cache() {
  // Never destroyed: its references may outlive the interpreter's own cleanup.
  static KeyCache* cache = new KeyCache();
  return *cache;
}

}  // namespace quillmere::convert
