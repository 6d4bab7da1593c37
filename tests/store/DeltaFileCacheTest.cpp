#include "store/DeltaFileCache.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "CacheFileFixture.h"
#include "common/Platform.h"

namespace kvinternal {
namespace {

// Two entries as an earlier run wrote them: oldest first, members in key order.
const std::string storedCache = R"({
   "deltaFiles" : [
      {
         "downloadedSize" : 40,
         "fileName" : "/w/a.bin",
         "fileSize" : 18446744073709551615,
         "url" : "http://h/a.bin"
      },
      {
         "downloadedSize" : 0,
         "fileName" : "/w/b.bin",
         "fileSize" : 7,
         "url" : "http://h/b.bin"
      }
   ]
}
)";

class DeltaFileCacheTest : public CacheFileFixture<DeltaFileCache> {
protected:
    DeltaFileCacheTest() : CacheFileFixture("deltafiles.cache") {}
};

TEST_F(DeltaFileCacheTest, FileOfAnEarlierRunLoadsAndIsWrittenBackByteForByte) {
    writeCacheFile(storedCache);
    auto cache = construct();
    const auto a = cache->get("http://h/a.bin", UINT64_MAX);
    EXPECT_EQ(a.fileName, "/w/a.bin");
    EXPECT_EQ(a.downloadedSize, 40u);
    EXPECT_EQ(cache->get("http://h/b.bin", 7).fileName, "/w/b.bin");
    EXPECT_TRUE(
        logger->contains("Getting delta file from url: http://h/b.bin, expected file size: 7"));
    cache.reset();
    EXPECT_TRUE(
        logger->contains(Channel::Info, "Delta file cache not changed, skipping writing to file"));

    cache = construct();  // re-adding the same records, oldest first, rewrites the same bytes
    cache->add({"/w/a.bin", "http://h/a.bin", UINT64_MAX, 40});
    cache->add({"/w/b.bin", "http://h/b.bin", 7, 0});
    cache.reset();
    EXPECT_EQ(platform::readFile(path), storedCache);
    EXPECT_TRUE(logger->contains(Channel::Info, "Saving delta cache to file: " + path));
}

TEST_F(DeltaFileCacheTest, KeepsTheLatestEntriesUpToItsBoundAcrossRestarts) {
    expectTheOldestToGoAfterAReload(
        DeltaFileCache::maximumEntries,
        [](DeltaFileCache& cache, const std::string& url) {
            cache.add({"/w/f", url, 7, 0});
        },
        [](const DeltaFileCache& cache, const std::string& url) {
            return cache.get(url, 7).url == url;
        });
}

TEST_F(DeltaFileCacheTest, ErasingTheLastEntryLeavesAnEmptyList) {
    writeCacheFile(storedCache);
    auto cache = construct();
    EXPECT_EQ(cache->erase("http://h/a.bin"), 1u);
    EXPECT_EQ(cache->erase("http://h/a.bin"), 0u);
    EXPECT_EQ(cache->erase("http://h/b.bin"), 1u);
    cache.reset();
    EXPECT_EQ(platform::readFile(path), "{\n   \"deltaFiles\" : []\n}\n");
    EXPECT_EQ(construct()->get("http://h/b.bin", 7).url, "");
}

TEST_F(DeltaFileCacheTest, CorruptFileIsDeletedAndTheCacheStartsEmpty) {
    for (const std::string text :
         {"{ \"deltaFiles\" : [ { ", R"({"deltaFiles":[{"url":"u","fileSize":"7"}]})",
          R"({"deltaFiles":[{"url":["u"],"fileSize":7}]})",
          R"({"deltaFiles":[{"url":"u","fileSize":-7}]})", R"({"deltaFiles":{"x":1}})",
          R"([1, 2])"}) {
        EXPECT_EQ(constructFromCorrupt(text, "Delta file cache [")->get("u", 7).url, "") << text;
    }
}

TEST_F(DeltaFileCacheTest, MissingMembersReadAsEmptyAndZero) {
    writeCacheFile(R"({"deltaFiles":[{"url":"u"}]})");
    const auto record = construct()->get("u", 0);
    EXPECT_EQ(record.url, "u");
    EXPECT_EQ(record.fileName, "");
    EXPECT_EQ(record.downloadedSize, 0u);
}

TEST_F(DeltaFileCacheTest, FailedSaveLeavesThePreviousFileIntact) {
    writeCacheFile(storedCache);
    auto cache = construct();
    cache->add({"/w/c.bin", "http://h/c.bin", 9, 9});
    destroyWhileSaveCrashes(cache);
    EXPECT_EQ(platform::readFile(path), storedCache);
    EXPECT_TRUE(logger->contains(Channel::Error, "Could not save delta cache to file"));
}

TEST_F(DeltaFileCacheTest, DestructionIsLoggedBeforeSaving) {
    auto cache = construct();
    cache->add({"/w/a.bin", "http://h/a.bin", 1, 1});
    logger->clear();
    cache.reset();
    const auto lines = logger->lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              (kvtest::RecordingLogger::Line{Channel::Verbose, "Destructor delta file cache"}));
    EXPECT_EQ(lines[1].message, "Saving delta cache to file: " + path);
}

}  // namespace
}  // namespace kvinternal
