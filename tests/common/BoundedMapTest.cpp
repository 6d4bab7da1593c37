#include "common/BoundedMap.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

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

// A session's own puts and erasures, made again in their order on what another session saved in
// the meantime; what it loaded is no change of its own.
TEST(BoundedMapTest, RebasingMakesTheOwnChangesAgainOnAnotherBase) {
    BoundedMap<std::string, int> mine(4);
    mine.put("loaded", 1);
    mine.put("gone", 2);
    mine.forgetChanges();
    mine.put("mine", 3);
    mine.erase("gone");
    mine.put("loaded", 4);

    BoundedMap<std::string, int> saved(4);
    saved.put("theirs", 5);
    saved.put("gone", 2);
    saved.put("loaded", 1);
    mine.rebaseOnto(saved);
    EXPECT_EQ(mine.entries(),
              (std::map<std::string, int>{{"loaded", 4}, {"mine", 3}, {"theirs", 5}}));
    std::vector<std::string> oldestFirst;
    mine.forEachOldestFirst([&](const std::string& key, int) { oldestFirst.push_back(key); });
    EXPECT_EQ(oldestFirst, (std::vector<std::string>{"theirs", "mine", "loaded"}));
    EXPECT_FALSE(mine.put("new", 6));
    EXPECT_TRUE(mine.put("newer", 7));  // drops "theirs", the oldest
    EXPECT_EQ(mine.find("theirs"), nullptr);
}

}  // namespace
}  // namespace kvinternal
