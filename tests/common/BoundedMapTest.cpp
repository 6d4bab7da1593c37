#include "common/BoundedMap.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace kvinternal {
namespace {

TEST(BoundedMapTest, DropsTheEntryPutLongestAgo) {
    BoundedMap<std::string, int> map(3);
    EXPECT_FALSE(map.put("b", 1));
    EXPECT_FALSE(map.put("a", 2));
    EXPECT_FALSE(map.put("c", 3));
    EXPECT_FALSE(map.put("b", 4));  // replaced: now the latest
    EXPECT_TRUE(map.put("d", 5));   // drops "a", put longest ago
    EXPECT_EQ(map.entries(), (std::map<std::string, int>{{"b", 4}, {"c", 3}, {"d", 5}}));
    EXPECT_EQ(map.find("a"), nullptr);
    EXPECT_TRUE(map.erase("c"));
    EXPECT_FALSE(map.erase("c"));
    EXPECT_FALSE(map.put("e", 6));  // room again after the erase
    EXPECT_TRUE(map.put("f", 7));   // drops "b"
    EXPECT_EQ(map.size(), 3u);
    ASSERT_NE(map.find("d"), nullptr);
    EXPECT_EQ(*map.find("d"), 5);
    EXPECT_EQ(map.find("b"), nullptr);
}

}  // namespace
}  // namespace kvinternal
