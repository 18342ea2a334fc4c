#include "common/stable_sort_few.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmere {
namespace {

// The insertion path (short ranges) and the library path keep equal keys in their order.
TEST(StableSortTest, SortsAndKeepsTheOrderOfEqualKeys) {
  std::mt19937 random(7);
  const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  for (int size : {0, 1, 2, 5, 24, 25, 200}) {
    std::vector<std::pair<int, int>> items;  // (key, original position)
    for (int i = 0; i < size; ++i) items.emplace_back(static_cast<int>(random() % 6), i);
    std::vector<std::pair<int, int>> expected = items;
    std::stable_sort(expected.begin(), expected.end(), by_key);
    stable_sort_few(items.begin(), items.end(), by_key);
    EXPECT_EQ(items, expected) << "size " << size;
  }
}

}  // namespace
}  // namespace quillmere
