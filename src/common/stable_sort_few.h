// stable_sort_few: std::stable_sort, but by insertion for short ranges, which is
// faster there and allocates no buffer. Sorting the members of one JSON
// object is the typical use: objects rarely have many members. Any thread.
#pragma once

#include <algorithm>
#include <iterator>
#include <utility>

namespace quillmere {

template <typename Iterator, typename Less>
void stable_sort_few(Iterator begin, Iterator end, Less less) {
  constexpr std::ptrdiff_t kInsertionLimit = 24;
  if (std::distance(begin, end) > kInsertionLimit) {
    std::stable_sort(begin, end, less);
    return;
  }
  for (Iterator next = begin; next != end; ++next) {
    auto value = std::move(*next);
    Iterator hole = next;
    // Equal elements are not passed, which keeps the sort stable.
    for (; hole != begin && less(value, *std::prev(hole)); --hole) {
      *hole = std::move(*std::prev(hole));
    }
    *hole = std::move(value);
  }
}

}  // namespace quillmere
