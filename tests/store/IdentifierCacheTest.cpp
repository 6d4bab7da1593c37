#include "store/IdentifierCache.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CacheFileFixture.h"
#include "common/JsonText.h"
#include "common/Platform.h"
#include "control/Exceptions.h"

namespace kvinternal {
namespace {

const std::string storedCache = R"({
   "identifierCollections" : [
      {
         "hasGotaV4Support" : "true",
         "iicId" : "id-1",
         "model" : "X1"
      },
      {
         "iicId" : "id-2",
         "tac" : "35123456"
      }
   ]
}
)";

class IdentifierCacheTest : public CacheFileFixture<IdentifierCache> {
protected:
    IdentifierCacheTest() : CacheFileFixture("identifiers.cache") {}
};

TEST_F(IdentifierCacheTest, CollectionsSurviveTheSessionByteForByte) {
    auto cache = construct();
    cache->addCollection({{IdentifierId::IdentifierCacheId, "id-1"},
                          {IdentifierId::Model, "X1"},
                          {IdentifierId::HasGotaV4Support, "true"}});
    EXPECT_EQ(cache->addCollection({{IdentifierId::IdentifierCacheId, "id-2"},
                                    {IdentifierId::Tac, "35123456"},
                                    {IdentifierId::CalculatedImei, "never stored"}}),
              "id-2");
    cache.reset();
    EXPECT_EQ(platform::readFile(path), storedCache);

    cache = construct();
    EXPECT_EQ(cache->getCollection("id-2"),
              (IdentifierCollection{{IdentifierId::IdentifierCacheId, "id-2"},
                                    {IdentifierId::Tac, "35123456"}}));
    EXPECT_TRUE(logger->contains(Channel::Info, "Getting collection from id: id-2"));
    cache.reset();
    EXPECT_TRUE(
        logger->contains(Channel::Info, "Identifier cache not changed, skipping writing to file"));
    EXPECT_EQ(platform::readFile(path), storedCache);
}

TEST_F(IdentifierCacheTest, CarriedIdIsKeptAndReplacesTheEarlierCollection) {
    auto cache = construct();
    const auto first = cache->addCollection({{IdentifierId::Model, "X1"}});
    const auto second = cache->addCollection({{IdentifierId::Model, "X1"}});
    EXPECT_EQ(first.size(), 36u);
    EXPECT_NE(first, second);
    EXPECT_EQ(identifierValue(cache->getCollection(first), IdentifierId::IdentifierCacheId), first);

    EXPECT_EQ(cache->addCollection(
                  {{IdentifierId::IdentifierCacheId, first}, {IdentifierId::Model, "X2"}}),
              first);
    EXPECT_EQ(identifierValue(cache->getCollection(first), IdentifierId::Model), "X2");
    // An empty id, which only a hand-edited file can hold, names nothing: a new one is made.
    EXPECT_EQ(cache->addCollection({{IdentifierId::IdentifierCacheId, ""}}).size(), 36u);
}

TEST_F(IdentifierCacheTest, LoadingKeepsKnownKeysAndGivesIdlessCollectionsAnId) {
    writeCacheFile(R"({"identifierCollections":[
        {"iicId":"id-1","model":"X1","bogus":"x","Model":"y","batteryLevel":80,"hasDeltaSupport":true},
        {"swVariant":"EU"}]})");
    auto cache = construct();
    EXPECT_EQ(cache->getCollection("id-1"),
              (IdentifierCollection{{IdentifierId::IdentifierCacheId, "id-1"},
                                    {IdentifierId::Model, "X1"},
                                    {IdentifierId::BatteryLevel, "80"},
                                    {IdentifierId::HasDeltaSupport, "true"}}));
    // The id given at load is saved, so the collection keeps it in the next session.
    cache.reset();
    const auto saved = json::parse(*platform::readFile(path)).root["identifierCollections"];
    ASSERT_EQ(saved.size(), 2u);  // in the order of the file
    EXPECT_EQ(saved[1]["swVariant"], "EU");
    const std::string given = saved[1]["iicId"].asString();
    EXPECT_EQ(given.size(), 36u);
    EXPECT_EQ(identifierValue(construct()->getCollection(given), IdentifierId::SwVariant), "EU");
}

// A working directory used for years keeps a bounded file: the collections added longest ago
// make room for new ones.
TEST_F(IdentifierCacheTest, KeepsTheLatestCollectionsUpToItsBoundAcrossRestarts) {
    expectTheOldestToGoAfterAReload(
        IdentifierCache::maximumCollections,
        [](IdentifierCache& cache, const std::string& id) {
            cache.addCollection({{IdentifierId::IdentifierCacheId, id}});
        },
        [](const IdentifierCache& cache, const std::string& id) {
            try {
                return identifierValue(cache.getCollection(id), IdentifierId::IdentifierCacheId) ==
                       id;
            } catch (const IllegalArgumentException&) {
                return false;
            }
        });
}

TEST_F(IdentifierCacheTest, CorruptFileIsDeletedAndTheCacheStartsEmpty) {
    for (const std::string text : {"{\"identifierCollections\" : [",
                                   R"({"identifierCollections":[{"iicId":"id-1","model":[1]}]})",
                                   R"({"identifierCollections":[{"iicId":"id-1"}, "text"]})"}) {
        EXPECT_THROW(constructFromCorrupt(text, "Device identifier cache [")->getCollection("id-1"),
                     IllegalArgumentException);
    }
}

TEST_F(IdentifierCacheTest, FailedSaveLeavesThePreviousFileIntact) {
    writeCacheFile(storedCache);
    auto cache = construct();
    cache->addCollection({{IdentifierId::Model, "X9"}});
    destroyWhileSaveCrashes(cache);
    EXPECT_EQ(platform::readFile(path), storedCache);
    EXPECT_TRUE(logger->contains(Channel::Error, "Could not save identifier cache to file"));
    EXPECT_TRUE(logger->contains(Channel::Verbose, "Destructor identifier cache"));
}

}  // namespace
}  // namespace kvinternal
