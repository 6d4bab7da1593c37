#include "store/DeltaFileCache.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CacheFileFixture.h"
#include "TempDirectory.h"
#include "common/JsonText.h"
#include "common/Platform.h"

namespace kvinternal {
namespace {

constexpr uint64_t now = 1796675038571;
constexpr uint64_t day = 24 * 3600 * 1000;

// Two entries as an earlier run wrote them, now: oldest first, members in key order.
const std::string storedCache = R"({
   "deltaFiles" : [
      {
         "downloadedSize" : 40,
         "fileName" : "/w/a.bin",
         "fileSize" : 18446744073709551615,
         "lastOffered" : 1796675038571,
         "url" : "http://h/a.bin"
      },
      {
         "downloadedSize" : 0,
         "fileName" : "/w/b.bin",
         "fileSize" : 7,
         "lastOffered" : 1796675038571,
         "url" : "http://h/b.bin"
      }
   ]
}
)";

class DeltaFileCacheTest : public CacheFileFixture<DeltaFileCache> {
protected:
    DeltaFileCacheTest() : CacheFileFixture("deltafiles.cache") {}

    void setClock(uint64_t time) { clock_ = time; }
    // A package file of 3 bytes in the working directory, and its entry, dated `lastOffered`
    // (undated: none).
    Json::Value package(const std::string& name, std::optional<uint64_t> lastOffered) {
        const std::string file = directory.file(name);
        EXPECT_TRUE(platform::writeFileAtomically(file, "ppp"));
        return entry("http://h/" + name, file, lastOffered);
    }
    static Json::Value entry(const std::string& url, const std::string& file,
                             std::optional<uint64_t> lastOffered) {
        Json::Value entry;
        entry["url"] = url;
        entry["fileName"] = file;
        entry["fileSize"] = 3;
        entry["downloadedSize"] = 3;
        if (lastOffered) {
            entry["lastOffered"] = Json::UInt64(*lastOffered);
        }
        return entry;
    }
    void writeEntries(const std::vector<Json::Value>& entries) {
        Json::Value root;
        root["deltaFiles"] = Json::Value(Json::arrayValue);
        for (const Json::Value& entry : entries) {
            root["deltaFiles"].append(entry);
        }
        writeCacheFile(json::styled(root));
    }

private:
    uint64_t clock_ = now;
    platform::ScopedHooks hooks_{
        platform::installedHooks().withWallClock([this] { return clock_; })};
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

// A package no search offered for 30 days goes with its entry when the cache is loaded; what
// another session downloads, or lies outside the working directory, stays on disk.
TEST_F(DeltaFileCacheTest, PackagesNotOfferedForThirtyDaysAreRemovedAtLoad) {
    const kvtest::TempDirectory elsewhere;
    const std::string outside = elsewhere.file("o.bin");
    ASSERT_TRUE(platform::writeFileAtomically(outside, "o"));
    writeEntries({package("old.bin", now - 30 * day - 1), package("recent.bin", now - 30 * day),
                  package("undated.bin", std::nullopt), package("future.bin", now + day),
                  package("busy.bin", 0), entry("http://h/o.bin", outside, 0)});
    platform::createDirectory(directory.file("locks"));
    auto busy = platform::FileLock::open(directory.file("locks/busy.bin"));
    ASSERT_TRUE(busy && busy->tryLock());

    auto cache = construct();
    const std::map<std::string, bool> kept{{"old.bin", false},
                                           {"recent.bin", true},
                                           {"undated.bin", true},
                                           {"future.bin", true},
                                           {"busy.bin", true}};
    for (const auto& [name, stays] : kept) {
        EXPECT_EQ(platform::fileSize(directory.file(name)).has_value(), stays) << name;
        EXPECT_EQ(cache->names("http://h/" + name, directory.file(name)), stays) << name;
    }
    EXPECT_TRUE(logger->contains(
        Channel::Info, "Removing the package of an update no search has offered for 30 days: " +
                           directory.file("old.bin")));
    EXPECT_TRUE(platform::fileSize(outside));
    EXPECT_FALSE(cache->names("http://h/o.bin", outside));
    cache.reset();
    EXPECT_FALSE(construct()->names("http://h/old.bin", directory.file("old.bin")));
}

// Each offer, and each write, starts the 30 days again; an undated entry's start from its load.
TEST_F(DeltaFileCacheTest, AnOfferOrAWriteKeepsAPackageAnotherThirtyDays) {
    writeEntries({package("offered.bin", std::nullopt), package("written.bin", std::nullopt),
                  package("idle.bin", std::nullopt)});
    auto cache = construct();
    cache->add({"/w/new.bin", "http://h/new.bin", 9, 0});  // marks the undated entries' start
    cache.reset();

    setClock(now + 20 * day);
    cache = construct();
    cache->offered("http://h/offered.bin");
    const auto onDisk = json::parse(platform::readFile(path).value_or("")).root["deltaFiles"];
    ASSERT_EQ(onDisk.size(), 4u);
    EXPECT_EQ(onDisk[3]["url"], "http://h/offered.bin");  // saved at once, as the newest
    EXPECT_EQ(onDisk[3]["lastOffered"], Json::UInt64(now + 20 * day));
    cache->add({directory.file("written.bin"), "http://h/written.bin", 3, 3});
    cache.reset();

    setClock(now + 31 * day);
    cache = construct();
    EXPECT_TRUE(platform::fileSize(directory.file("offered.bin")));
    EXPECT_TRUE(platform::fileSize(directory.file("written.bin")));
    EXPECT_FALSE(platform::fileSize(directory.file("idle.bin")));
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
