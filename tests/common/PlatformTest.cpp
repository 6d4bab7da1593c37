#include "common/Platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TempDirectory.h"

namespace kvinternal::platform {
namespace {

TEST(PlatformTest, UuidsAreVersion4TextsAndDistinct) {
    const std::regex shape("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string uuid = newUuid();
        ASSERT_TRUE(std::regex_match(uuid, shape)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(PlatformTest, AtomicWriteReplacesTheFileOrLeavesItAndNoTemporaryFile) {
    kvtest::TempDirectory directory;
    const std::string path = directory.file("state.cache");
    ASSERT_TRUE(writeFileAtomically(path, "first"));
    ASSERT_TRUE(writeFileAtomically(path, "second, longer"));
    EXPECT_EQ(readFile(path), "second, longer");
    {
        ScopedHooks crash(Hooks().withRename([](const auto&, const auto&) { return false; }));
        EXPECT_FALSE(writeFileAtomically(path, "new"));
    }
    EXPECT_EQ(readFile(path), "second, longer");
    EXPECT_TRUE(listFilesWithSuffix(directory.path(), ".tmp").names.empty());
    EXPECT_FALSE(writeFileAtomically(directory.file("missing/state.cache"), "x"));
}

// Another session may be reading the file at the moment it is replaced (on Windows an open file
// cannot be replaced): the save waits for the reader instead of failing and losing its entries.
TEST(PlatformTest, AtomicWriteReplacesAFileThatIsBeingRead) {
    kvtest::TempDirectory directory;
    const std::string path = directory.file("state.cache");
    ASSERT_TRUE(writeFileAtomically(path, "first"));
    auto reader = File::open(path, File::Mode::Read);
    ASSERT_TRUE(reader);
    int pauses = 0;
    ScopedHooks hooks(Hooks().withSleep([&](uint64_t) {
        ++pauses;
        reader->close();
    }));
    EXPECT_TRUE(writeFileAtomically(path, "second"));
    reader->close();
    EXPECT_EQ(readFile(path), "second");
    EXPECT_LE(pauses, 1);
}

// The temporary file is flushed to disk before it replaces the target: a crash after the rename
// must find the new bytes there, not an empty file.
TEST(PlatformTest, AtomicWriteFlushesTheTemporaryBeforeTheRename) {
    kvtest::TempDirectory directory;
    const std::string path = directory.file("state.cache");
    std::vector<std::string> steps;
    ScopedHooks order(Hooks()
                          .withFileSynced([&] { steps.push_back("sync"); })
                          .withRename([&](const auto& from, const auto& to) {
                              steps.push_back("rename");
                              std::filesystem::rename(from, to);
                              return true;
                          }));
    ASSERT_TRUE(writeFileAtomically(path, "new"));
    EXPECT_EQ(steps, (std::vector<std::string>{"sync", "rename"}));
    EXPECT_EQ(readFile(path), "new");
}

// Whatever has the temporary's name (a link to another file, say) is replaced, never written
// through.
TEST(PlatformTest, AtomicWriteNeverWritesThroughALinkInThePlaceOfItsTemporary) {
    kvtest::TempDirectory directory;
    kvtest::TempDirectory elsewhere;
    const std::string outside = elsewhere.file("victim");
    ASSERT_TRUE(writeFileAtomically(outside, "precious"));
    const std::string path = directory.file("identifiers.cache");
    if (!kvtest::createLink(outside, path + ".tmp")) {
        GTEST_SKIP() << "this system cannot make links here";
    }
    ASSERT_TRUE(writeFileAtomically(path, "cache"));
    EXPECT_EQ(readFile(outside), "precious");
    EXPECT_EQ(readFile(path), "cache");
    // Read through a link, a state file reads as missing.
    ASSERT_TRUE(kvtest::createLink(outside, directory.file("linked")));
    EXPECT_EQ(readFile(directory.file("linked")), std::nullopt);
    EXPECT_EQ(fileSize(directory.file("linked")), std::nullopt);
    EXPECT_FALSE(File::open(directory.file("linked"), File::Mode::Append));
}

TEST(PlatformTest, ReadsFilesUpToTheGivenSizeOnly) {
    kvtest::TempDirectory directory;
    const std::string path = directory.file("state.cache");
    ASSERT_TRUE(writeFileAtomically(path, "0123456789"));
    EXPECT_EQ(readFile(path, 10), "0123456789");
    EXPECT_EQ(readFile(path, 9), std::nullopt);
    EXPECT_EQ(fileSize(path), 10u);
}

TEST(PlatformTest, ReadsSizesAndDeletesFilesWithUtf8Names) {
    kvtest::TempDirectory directory;
    const std::string path = directory.file("\xC3\xA9t\xC3\xA9.bin");  // été.bin
    EXPECT_EQ(fileSize(path), std::nullopt);
    EXPECT_EQ(readFile(path), std::nullopt);
    EXPECT_FALSE(deleteFile(path));
    ASSERT_TRUE(writeFileAtomically(path, std::string("a\0b", 3)));
    EXPECT_EQ(fileSize(path), 3u);
    EXPECT_EQ(readFile(path), std::string("a\0b", 3));
    EXPECT_TRUE(deleteFile(path));
    EXPECT_EQ(fileSize(path), std::nullopt);
}

TEST(PlatformTest, DirectoriesAreNeitherFilesNorDeleted) {
    kvtest::TempDirectory directory;
    createDirectory(directory.file("sub"));
    createDirectory(directory.file("sub"));  // existing: ignored
    EXPECT_EQ(fileSize(directory.file("sub")), std::nullopt);
    EXPECT_EQ(readFile(directory.file("sub")), std::nullopt);
    EXPECT_FALSE(deleteFile(directory.file("sub")));
    createDirectory(directory.file("missing/child"));  // one level only
    EXPECT_FALSE(std::filesystem::exists(toPath(directory.file("missing"))));
}

// Regular files by suffix, the one written longest ago first.
TEST(PlatformTest, ListsRegularFilesBySuffixOldestFirst) {
    kvtest::TempDirectory directory;
    const auto now = std::filesystem::file_time_type::clock::now();
    const std::pair<const char*, int> files[] = {{"a.failed", 3}, {"b.failed", 1},
                                                 {"c.failed", 2}, {"c.failed.bak", 4},
                                                 {"failed", 5},   {".failed", 6}};
    for (const auto& [name, hoursAgo] : files) {
        std::ofstream(toPath(directory.file(name))) << "x";
        std::filesystem::last_write_time(toPath(directory.file(name)),
                                         now - std::chrono::hours(hoursAgo));
    }
    createDirectory(directory.file("d.failed"));
    const auto listing = listFilesWithSuffix(directory.path(), ".failed");
    EXPECT_EQ(listing.names, (std::vector<std::string>{"a.failed", "c.failed", "b.failed"}));
    EXPECT_TRUE(listing.complete);
    const auto missing = listFilesWithSuffix(directory.file("missing"), ".failed");
    EXPECT_TRUE(missing.names.empty());
    EXPECT_TRUE(missing.complete);
}

TEST(PlatformTest, FilesBeyond260CharactersAreWrittenListedReadAndDeleted) {
    kvtest::TempDirectory directory;
    std::string deep = directory.path();
    for (const char letter : {'a', 'b', 'c'}) {
        deep += "/" + std::string(100, letter);
        createDirectory(deep);
    }
    const std::string path = deep + "/state.cache";
    ASSERT_TRUE(writeFileAtomically(path, "content"));
    EXPECT_EQ(fileSize(path), 7u);
    EXPECT_EQ(readFile(path), "content");
    EXPECT_EQ(listFilesWithSuffix(deep, ".cache").names, std::vector<std::string>{"state.cache"});
    EXPECT_TRUE(deleteFile(path));
    EXPECT_EQ(fileSize(path), std::nullopt);
}

#ifdef _WIN32
// Windows takes paths of 248 characters or more only when they are absolute, carry the "\\?\"
// prefix and have been resolved (backslashes only, no "." or "..").
TEST(PlatformTest, LongPathsTakeTheExtendedLengthPrefix) {
    const std::string longName(300, 'x');
    const std::wstring wideLongName(300, L'x');
    const struct {
        std::string path;
        std::wstring expected;
    } cases[] = {
        {"C:/data/short.cache", L"C:/data/short.cache"},
        {"C:/data/" + longName + "/state.cache",
         L"\\\\?\\C:\\data\\" + wideLongName + L"\\state.cache"},
        {"C:/data/./" + longName + "/../y/state.cache", L"\\\\?\\C:\\data\\y\\state.cache"},
        {"//server/share/" + longName, L"\\\\?\\UNC\\server\\share\\" + wideLongName},
        {"\\\\?\\C:\\" + longName, L"\\\\?\\C:\\" + wideLongName},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toPath(c.path).wstring(), c.expected) << c.path;
    }
    const std::wstring relative = toPath(longName).wstring();
    EXPECT_EQ(relative.rfind(L"\\\\?\\", 0), 0u);
    EXPECT_EQ(relative.substr(relative.size() - 301), L"\\" + wideLongName);
}
#endif

// The roots a working directory must not be: the library's files would land beside the
// system's own.
TEST(PlatformTest, RootsOfFileSystemsAreToldFromFolders) {
    const struct {
        std::string path;
        bool root;
        bool rootOnWindowsOnly = false;
    } cases[] = {
        {"/", true},
        {"///", true},
        {"/home/kavrin", false},
        {"/w/", false},
        {"C:", false, true},
        {"C:\\", false, true},
        {"C:/", false, true},
        {"\\", false, true},
        {"\\\\server\\share\\", false, true},
        {"\\\\?\\C:\\", false, true},
        {"\\\\?\\UNC\\server\\share", false, true},
        {"C:\\data", false},
        {"\\\\server\\share\\data", false},
        {"\\\\?\\C:\\data", false},
        {"CC:", false},
    };
#ifdef _WIN32
    constexpr bool windows = true;
#else
    constexpr bool windows = false;
#endif
    for (const auto& c : cases) {
        EXPECT_EQ(platform::isFileSystemRoot(c.path), c.root || (windows && c.rootOnWindowsOnly))
            << c.path;
    }
}

// A lock file excludes two holders in one process as in two; the lock goes with its holder.
TEST(PlatformTest, FileLocksExcludeEachOtherUntilReleased) {
    kvtest::TempDirectory directory;
    auto first = FileLock::open(directory.file("lock"));
    auto second = FileLock::open(directory.file("lock"));
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->tryLock());
    EXPECT_FALSE(second->tryLock());
    first.reset();
    EXPECT_TRUE(second->tryLock());
    EXPECT_FALSE(FileLock::open(directory.path()));  // a folder is no lock file
}

TEST(PlatformTest, HooksReplaceSleepAndClockUntilRestored) {
    std::vector<uint64_t> slept;
    {
        ScopedHooks hooks(
            Hooks().withSleep([&](uint64_t ms) { slept.push_back(ms); }).withWallClock([] {
                return 1234u;
            }));
        sleepMilliseconds(120000);
        EXPECT_EQ(currentTimeMilliseconds(), 1234u);
    }
    EXPECT_EQ(slept, std::vector<uint64_t>{120000});
    // 2020-01-01 in milliseconds: the real clock is back.
    EXPECT_GT(currentTimeMilliseconds(), 1577836800000u);
}

}  // namespace
}  // namespace kvinternal::platform
