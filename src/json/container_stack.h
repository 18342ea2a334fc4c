// The stack of open arrays and objects used by the syntax checker and the
// parser in place of recursion. The first levels live inline, so ordinary
// documents allocate nothing; deeper ones spill to the heap. One owner thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmere::json::internal {

class ContainerStack {
 public:
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  bool top_is_object() const {
    return size_ <= kInline ? inline_[size_ - 1] != 0 : spill_.back() != 0;
  }

  void push(bool object) {
    if (size_ < kInline) {
      inline_[size_] = object;
    } else {
      spill_.push_back(object);
    }
    ++size_;
  }

  void pop() {
    if (size_ > kInline) spill_.pop_back();
    --size_;
  }

 private:
  static constexpr std::size_t kInline = 128;

  std::size_t size_ = 0;
  std::array<std::uint8_t, kInline> inline_;
  std::vector<std::uint8_t> spill_;
};

}  // namespace quillmere::json::internal
