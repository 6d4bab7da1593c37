#include "store/UpdateSessionIdCache.h"

#include "CacheFileFixture.h"
#include "ImeiEncryption.h"

namespace kvinternal {
namespace {

using Line = kvtest::RecordingLogger::Line;

class UpdateSessionIdCacheTest : public CacheFileFixture<UpdateSessionIdCache> {
protected:
    UpdateSessionIdCacheTest() : CacheFileFixture("updatesessionids.cache") {}

    std::optional<std::string> fileText() const { return platform::readFile(path); }

    const std::string encrypted = kvtest::encryptImei("490154203237518");
    const std::string calculated = "490154203237518";
};

TEST_F(UpdateSessionIdCacheTest, StartsEmptyAndWritesNothingUnchanged) {
    construct().reset();
    EXPECT_EQ(
        logger->lines(),
        (std::vector<Line>{
            {Channel::Info, "Loading update session id cache from file at location: " + path},
            {Channel::Info, "Did not find any update session id cache."},
            {Channel::Verbose, "Destructor update session id cache"},
            {Channel::Info, "Update session ID cache not changed, skipping writing to file"}}));
    EXPECT_EQ(fileText(), std::nullopt);
}

TEST_F(UpdateSessionIdCacheTest, CreatesItsRootDirectory) {
    const std::string root = directory.file("work");
    UpdateSessionIdCache(Log(logger), root).createSessionId(encrypted, calculated, "fw");
    EXPECT_TRUE(platform::fileSize(root + "/updatesessionids.cache").has_value());
}

TEST_F(UpdateSessionIdCacheTest, StoredIdsSurviveARestartInTheStyledShape) {
    auto cache = construct();
    cache->createSessionId(" " + encrypted + "\t", calculated, "fw-2");
    cache->createSessionId(encrypted, calculated, "fw-1");
    const std::string first = cache->getSessionId(encrypted, calculated, "fw-1", false);
    const std::string second = cache->getSessionId(encrypted, "", "fw-2", true);
    cache->createSessionId(encrypted, calculated, "fw-1");  // a second download start
    EXPECT_EQ(cache->getSessionId("\n" + encrypted, calculated, "fw-1", false), first);
    EXPECT_EQ(first.size(), 36u);
    EXPECT_NE(first, second);
    cache.reset();

    const auto element = [&](const std::string& sessionId, const std::string& updateId) {
        return "      {\n         \"imei\" : \"" + encrypted + "\",\n         \"sessionId\" : \"" +
               sessionId + "\",\n         \"updateId\" : \"" + updateId + "\"\n      }";
    };
    // Oldest first, so that the age of each survives a restart.
    EXPECT_EQ(fileText(), "{\n   \"updateSessionIdCollection\" : [\n" + element(second, "fw-2") +
                              ",\n" + element(first, "fw-1") + "\n   ]\n}\n");

    cache = construct();
    EXPECT_EQ(cache->getSessionId(encrypted, "", "fw-1", true), first);
    EXPECT_EQ(cache->getSessionId(encrypted, "", "fw-2", true), second);
    logger->clear();
    EXPECT_EQ(cache->getSessionId(encrypted, calculated, "fw-3", false), "");
    EXPECT_EQ(
        logger->lines(),
        (std::vector<Line>{
            {Channel::Info, "Getting collection from encrypted IMEI: " + encrypted +
                                " real IMEI: " + calculated + " update id: fw-3"},
            {Channel::Info, "The imei and update id has no cached session id attached to it"}}));
}

TEST_F(UpdateSessionIdCacheTest, IdsWithoutAnEncryptedImeiLiveOnlyInMemory) {
    auto cache = construct();
    cache->createSessionId("not an imei", calculated, "fw-1");
    const std::string id = cache->getSessionId("not an imei", calculated, "fw-1", false);
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(cache->getSessionId("", calculated, "fw-1", false), id);
    EXPECT_EQ(cache->getSessionId("", calculated, "fw-1", true), "");
    cache->createSessionId("", calculated, "fw-1");  // keeps the first id
    EXPECT_EQ(cache->getSessionId("", calculated, "fw-1", false), id);
    cache.reset();
    EXPECT_EQ(fileText(), std::nullopt);

    cache = construct();
    logger->clear();
    EXPECT_EQ(cache->getSessionId("", calculated, "fw-1", false), "");
    EXPECT_TRUE(logger->contains(Channel::Error,
                                 "Could not find any update session id, will use empty value"));
}

TEST_F(UpdateSessionIdCacheTest, KeepsTheLatestIdsUpToItsBoundAcrossRestarts) {
    expectTheOldestToGoAfterAReload(
        UpdateSessionIdCache::maximumStoredIds,
        [this](UpdateSessionIdCache& cache, const std::string& updateId) {
            cache.createSessionId(encrypted, calculated, updateId);
        },
        [this](UpdateSessionIdCache& cache, const std::string& updateId) {
            return !cache.getSessionId(encrypted, calculated, updateId, true).empty();
        });
}

TEST_F(UpdateSessionIdCacheTest, FirstOfDuplicateElementsWins) {
    writeCacheFile(R"({"updateSessionIdCollection": [
        {"imei": "490154203237518", "updateId": "fw", "sessionId": "first"},
        {"imei": "490154203237518", "updateId": "fw", "sessionId": "second"}]})");
    EXPECT_EQ(construct()->getSessionId("490154203237518", "", "fw", true), "first");
}

TEST_F(UpdateSessionIdCacheTest, UnreadableFilesAreDeleted) {
    const char* texts[] = {
        "{ \"updateSessionIdCollection\": [",
        R"({"updateSessionIdCollection": {"imei": "490154203237518"}})",
        R"({"updateSessionIdCollection": ["490154203237518"]})",
    };
    for (const char* text : texts) {
        EXPECT_EQ(constructFromCorrupt(text, "Update session id cache [")
                      ->getSessionId("490154203237518", "", "fw", true),
                  "");
    }
}

TEST_F(UpdateSessionIdCacheTest, FailedSaveLeavesThePreviousFile) {
    auto cache = construct();
    cache->createSessionId(encrypted, calculated, "fw-1");
    cache.reset();
    const auto before = fileText();
    ASSERT_TRUE(before.has_value());

    cache = construct();
    cache->createSessionId(encrypted, calculated, "fw-2");
    destroyWhileSaveCrashes(cache);
    EXPECT_TRUE(logger->contains(Channel::Error, "Could not save update session id cache to file"));
    EXPECT_EQ(fileText(), before);
}

}  // namespace
}  // namespace kvinternal
