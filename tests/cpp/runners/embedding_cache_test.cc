#include "runners/embedding_cache.h"

#include <gtest/gtest.h>

namespace pinnet::runners {
namespace {

TEST(EmbeddingCache, KeepsTheMostRecentWithinItsBytes) {
  // Each entry costs 1 + 4·4 + 64 = 81 bytes: three fit in 250.
  EmbeddingCache cache(250);
  const std::vector<float> v = {1, 2, 3, 4};
  for (const char* t : {"a", "b", "c"}) cache.put(t, v);
  ASSERT_TRUE(cache.find("a"));  // "a" becomes the most recent, "b" the oldest
  cache.put("d", {5, 6, 7, 8});
  EXPECT_FALSE(cache.find("b"));
  EXPECT_EQ(*cache.find("a"), v);
  EXPECT_EQ(*cache.find("d"), (std::vector<float>{5, 6, 7, 8}));
  EXPECT_TRUE(cache.find("c"));
  // Larger than the whole budget: never kept, nothing evicted for it.
  cache.put("huge", std::vector<float>(100));
  EXPECT_FALSE(cache.find("huge"));
  EXPECT_TRUE(cache.find("a") && cache.find("c") && cache.find("d"));
}

}  // namespace
}  // namespace pinnet::runners
