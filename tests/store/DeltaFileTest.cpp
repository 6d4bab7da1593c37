#include "store/DeltaFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "RecordingLogger.h"
#include "TempDirectory.h"
#include "common/Platform.h"
#include "control/Exceptions.h"
#include "store/DeltaFileCache.h"
#include "store/PackageDigest.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;

const std::string url = "http://h/pkg/delta.bin";
const std::string abcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class DeltaFileTest : public ::testing::Test {
protected:
    DeltaFile create(uint64_t fileSize, const std::string& checksum = "") {
        return DeltaFile::create(directory.path(), Log(logger), url, fileSize, checksum, cache);
    }
    static void append(DeltaFile& file, size_t count) {
        const std::vector<uint8_t> bytes(count, 0x5a);
        file.write(bytes.data(), static_cast<int64_t>(count));
    }

    kvtest::TempDirectory directory;
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::shared_ptr<DeltaFileCache> cache =
        std::make_shared<DeltaFileCache>(Log(logger), directory.path());
    std::string derivedPath = directory.file("delta.bin");
};

template <typename Exception, typename Action>
std::string messageOf(Action action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(DeltaFileNameTest, PathsFromUrlsAndRefusedNames) {
    const std::string refused = "Could not extract delta filename from url: ";
    const struct {
        std::string root, url, pathOrError;
    } cases[] = {
        {"C:/data", "http://h/pkg/delta.bin", "C:/data/delta.bin"},
        {"C:/data/", "http://h/pkg/delta.bin", "C:/data/delta.bin"},
        {"/w", "http://h/pkg/", "/w/"},
        {"/w", "/..a", "/w/..a"},
        {"/w", "http://h/P\xC3\xA4ivitys-\xE6\x9B\xB4\xE6\x96\xB0.bin",
         "/w/P\xC3\xA4ivitys-\xE6\x9B\xB4\xE6\x96\xB0.bin"},  // Päivitys-更新.bin
        // Near misses of the names Windows keeps for devices are plain names.
        {"/w", "http://h/COM10.bin", "/w/COM10.bin"},
        {"/w", "http://h/LPT.bin", "/w/LPT.bin"},
        {"/w", "http://h/nullify", "/w/nullify"},
        {"/w", "http://h/a.con", "/w/a.con"},
        {"/w", "", "DeltaFile not created, root directory: /w. url: "},
        {"", "/a", "DeltaFile not created, root directory: . url: /a"},
        {"/w", "delta.bin", refused + "delta.bin"},
        {"/w", "http://h/.", refused + "http://h/."},
        {"/w", "http://h/..", refused + "http://h/.."},
        {"/w", "http://h/..\\..\\x.bin", refused + "http://h/..\\..\\x.bin"},
        {"/w", "http://h/C:x.bin", refused + "http://h/C:x.bin"},
        {"/w", std::string("http://h/a\0.bin", 15), refused + "http://h/a"},  // what() ends at NUL
        // The library's own files, in any letter case, and their temporaries.
        {"/w", "http://h/identifiers.cache", refused + "http://h/identifiers.cache"},
        {"/w", "http://h/packages/deltafiles.cache",
         refused + "http://h/packages/deltafiles.cache"},
        {"/w", "http://h/UpdateSessionIds.Cache", refused + "http://h/UpdateSessionIds.Cache"},
        {"/w", "http://h/identifiers.cache.tmp", refused + "http://h/identifiers.cache.tmp"},
        {"/w", "http://h/tracking", refused + "http://h/tracking"},
        {"/w", "http://h/tracking.bin", "/w/tracking.bin"},
        {"/w", "http://h/identifiers.cache.bin", "/w/identifiers.cache.bin"},
        // Names that Windows cannot hold, or for which it opens a device.
        {"/w", "http://h/get?f=a.bin", refused + "http://h/get?f=a.bin"},
        {"/w", "http://h/a\tb.bin", refused + "http://h/a\tb.bin"},
        // Windows names files in UTF-16: bytes that are not UTF-8 could not be told apart there.
        {"/w", "http://h/a\xFF.bin", refused + "http://h/a\xFF.bin"},
        {"/w", "http://h/\xE6\x9B.bin", refused + "http://h/\xE6\x9B.bin"},
        {"/w", "http://h/\xC0\xAF.bin", refused + "http://h/\xC0\xAF.bin"},
        {"/w", "http://h/\xED\xA0\x80.bin", refused + "http://h/\xED\xA0\x80.bin"},
        {"/w", "http://h/pkg.", refused + "http://h/pkg."},
        {"/w", "http://h/pkg ", refused + "http://h/pkg "},
        {"/w", "http://h/NUL", refused + "http://h/NUL"},
        {"/w", "http://h/nul.bin", refused + "http://h/nul.bin"},
        {"/w", "http://h/Con .tar.gz", refused + "http://h/Con .tar.gz"},
        {"/w", "http://h/aux", refused + "http://h/aux"},
        {"/w", "http://h/PRN.txt", refused + "http://h/PRN.txt"},
        {"/w", "http://h/COM1", refused + "http://h/COM1"},
        {"/w", "http://h/com9.bin", refused + "http://h/com9.bin"},
        {"/w", "http://h/LPT1.bin", refused + "http://h/LPT1.bin"},
        {"/w", "http://h/lpt9", refused + "http://h/lpt9"},
        {"/w", "http://h/COM\xC2\xB9.bin", refused + "http://h/COM\xC2\xB9.bin"},  // COM¹
        {"/w", "http://h/CONOUT$", refused + "http://h/CONOUT$"},
    };
    for (const auto& c : cases) {
        std::string result;
        try {
            result = DeltaFile::fileNameFromUrl(c.root, c.url);
        } catch (const IllegalArgumentException& e) {
            result = e.what();
        }
        EXPECT_EQ(result, c.pathOrError) << c.url;
    }
    for (const char character : std::string("<>\"|?*")) {
        const std::string url = std::string("http://h/a") + character + "b.bin";
        EXPECT_EQ(messageOf<IllegalArgumentException>(
                      [&] { return DeltaFile::fileNameFromUrl("/w", url); }),
                  refused + url);
    }
}

TEST_F(DeltaFileTest, CreateResumesOnlyAMatchingEntryWithTheRecordedLength) {
    const std::string cachedPath = directory.file("partial.bin");
    const struct {
        uint64_t announcedSize;
        std::optional<size_t> bytesOnDisk;
        bool resumes;
    } cases[] = {
        {100, 40, true}, {101, 40, false}, {100, 39, false}, {100, 41, false}, {100, {}, false},
    };
    for (const auto& c : cases) {
        platform::deleteFile(cachedPath);
        if (c.bytesOnDisk) {
            ASSERT_TRUE(
                platform::writeFileAtomically(cachedPath, std::string(*c.bytesOnDisk, 'x')));
        }
        cache->add({cachedPath, url, 100, 40});
        logger->clear();
        const auto file = create(c.announcedSize, "sum");
        EXPECT_EQ(file.path(), c.resumes ? cachedPath : derivedPath);
        EXPECT_EQ(file.fileSize(), c.announcedSize);
        EXPECT_EQ(file.checksum(), "sum");
        EXPECT_TRUE(logger->contains(Channel::Info, c.resumes
                                                        ? "Creating delta file from cache info"
                                                        : "Did not find the delta file in "
                                                          "cache, creating a brand new."));
    }
    cache.reset();  // without a cache nothing can be resumed
    EXPECT_EQ(create(100).path(), derivedPath);
}

// The cache file is not the library's alone to write: an entry is followed only to a package
// file directly inside this working directory, the only place the library puts one.
TEST_F(DeltaFileTest, CreateIgnoresEntriesOutsideTheWorkingDirectory) {
    kvtest::TempDirectory elsewhere;
    const std::string outside = elsewhere.file("delta.bin");
    ASSERT_TRUE(platform::writeFileAtomically(outside, std::string(40, 'o')));
    const std::string names[] = {
        outside,
        directory.path() + "/../" + std::filesystem::path(elsewhere.path()).filename().string() +
            "/delta.bin",
        directory.path() + "/sub/delta.bin",
        directory.path() + "/identifiers.cache",
        "delta.bin",
    };
    for (const std::string& name : names) {
        logger->clear();
        cache->add({name, url, 100, 40});
        const auto file = create(100, "sum");
        EXPECT_EQ(file.path(), derivedPath) << name;
        EXPECT_TRUE(logger->contains(Channel::Error,
                                     "Delta file cache entry names a file outside the working "
                                     "directory, ignoring it: " +
                                         name));
    }
    EXPECT_EQ(platform::readFile(outside), std::string(40, 'o'));
}

// A package's file belongs to one url: a second url ending in the same name gets a numbered
// name, and the plain name stays with the url that has it, in this session and the next.
TEST_F(DeltaFileTest, UrlsEndingInTheSameNameGetFilesOfTheirOwn) {
    const std::string second = "http://h/fw/2.2/delta.bin";
    const std::string third = "http://h/fw/2.3/delta.bin";
    EXPECT_EQ(create(100).path(), derivedPath);
    EXPECT_EQ(DeltaFile::create(directory.path(), Log(logger), second, 100, "", cache).path(),
              directory.file("delta-2.bin"));
    EXPECT_EQ(DeltaFile::create(directory.path(), Log(logger), third, 100, "", cache).path(),
              directory.file("delta-3.bin"));
    EXPECT_EQ(create(100).path(), derivedPath);  // the same url again: its own name

    // The next session: only the first url has a file on disk and in the cache.
    {
        auto first = create(100);
        first.open();
        append(first, 10);
        first.close();
    }
    cache.reset();
    cache = std::make_shared<DeltaFileCache>(Log(logger), directory.path());
    EXPECT_EQ(DeltaFile::create(directory.path(), Log(logger), third, 100, "", cache).path(),
              directory.file("delta-2.bin"));
    EXPECT_EQ(create(100).path(), derivedPath);
    // A name without an extension, or whose only dot starts it, is numbered at its end.
    for (const std::string name : {"get", ".get"}) {
        const auto first =
            DeltaFile::create(directory.path(), Log(logger), "http://h/a/" + name, 1, "", cache);
        EXPECT_EQ(
            DeltaFile::create(directory.path(), Log(logger), "http://h/b/" + name, 1, "", cache)
                .path(),
            directory.file(name + "-2"));
    }
}

// A package opened again for writing is no longer known to be whole and right.
TEST_F(DeltaFileTest, APackageReopenedForWritingLosesItsVerifiedMark) {
    ASSERT_TRUE(platform::writeFileAtomically(derivedPath, "abc"));
    auto file = create(3, abcSha256);
    std::string report;
    PackageDigest digest;
    ASSERT_EQ(file.verifyOrRemove(report, Log(logger), digest), DeltaFile::Verdict::Verified);
    file.open();
    EXPECT_FALSE(file.isVerified());
}

// A file that shrank since the digest covered it is hashed afresh.
TEST_F(DeltaFileTest, DigestOfAFileThatShrankIsBuiltAfresh) {
    ASSERT_TRUE(platform::writeFileAtomically(derivedPath, "abcd"));
    PackageDigest digest;
    ASSERT_TRUE(digest.catchUp(create(4)));
    ASSERT_TRUE(platform::writeFileAtomically(derivedPath, "abc"));
    ASSERT_TRUE(digest.catchUp(create(4)));
    EXPECT_EQ(digest.hex(), abcSha256);
}

TEST_F(DeltaFileTest, WritingStopsAtTheAnnouncedSize) {
    auto file = create(10);
    EXPECT_EQ(messageOf<IllegalStateException>([&] { append(file, 1); }),
              "Could not write data to delta file");
    file.open();
    append(file, 6);
    file.close();
    file.open();  // appends after the 6 bytes already on disk
    append(file, 4);
    EXPECT_EQ(messageOf<IllegalStateException>([&] { append(file, 1); }),
              "Too much data written to file");
    EXPECT_THROW(file.write(nullptr, -1), IllegalArgumentException);
    file.close();
    EXPECT_EQ(file.currentSize(), 11u);  // the bytes stay for the download to discard
    EXPECT_FALSE(file.isComplete());
    EXPECT_EQ(cache->get(url, 10).downloadedSize, 11u);
}

TEST_F(DeltaFileTest, OpeningWhereNoFileCanBeIsReported) {
    const std::string root = directory.file("missing");
    auto file = DeltaFile::create(root, Log(logger), url, 10, "", cache);
    EXPECT_EQ(messageOf<IllegalStateException>([&] { file.open(); }),
              "Delta file could not be created: " + root + "/delta.bin");
}

TEST_F(DeltaFileTest, ClosingANeverOpenedFileRecordsNothing) {
    create(10).close();
    cache.reset();
    EXPECT_TRUE(logger->contains("Delta file cache not changed, skipping writing to file"));
    EXPECT_EQ(platform::fileSize(directory.file("deltafiles.cache")), std::nullopt);
}

// A process that dies during a download leaves no package file that no entry names (and that
// would therefore never be removed).
TEST_F(DeltaFileTest, ANewPackageIsNamedInTheCacheOnDiskBeforeItsFirstByte) {
    const auto saves = [this] {
        return logger->count("Saving delta cache to file: " + cache->filePath());
    };
    auto file = create(10);
    {
        const platform::ScopedHooks full(
            platform::Hooks().withRename([](const auto&, const auto&) { return false; }));
        EXPECT_EQ(messageOf<IllegalStateException>([&] { file.open(); }),
                  "Delta file could not be created: " + derivedPath);
        EXPECT_FALSE(platform::fileSize(derivedPath));
    }
    file.open();
    append(file, 3);
    EXPECT_TRUE(DeltaFileCache(Log(), directory.path()).names(url, derivedPath));
    file.close();
    file.open();  // named already
    EXPECT_EQ(saves(), 2u);
}

TEST_F(DeltaFileTest, DiscardKeepsTheEntryAndRemoveDeletesItOnlyWhenItCan) {
    auto file = create(10);
    EXPECT_FALSE(file.remove());  // nothing on disk yet
    file.open();
    append(file, 3);
    EXPECT_FALSE(file.remove());  // still open
    file.discard();
    EXPECT_EQ(platform::fileSize(derivedPath), std::nullopt);
    EXPECT_EQ(cache->get(url, 10).downloadedSize, 3u);

    file.open();
    file.close();
    EXPECT_TRUE(file.remove());
    EXPECT_EQ(platform::fileSize(derivedPath), std::nullopt);
    EXPECT_EQ(cache->get(url, 10).url, "");
}

TEST_F(DeltaFileTest, ChecksumVerificationReport) {
    const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    const std::string onDisk =
        "\n\tfilename: " + derivedPath + "\n\texpected file size: 3\n\tfile size:          3";
    const std::string missing =
        "\n\tfilename: " + derivedPath + "\n\texpected file size: 3\n\tfile size:          0";
    const auto calculated = [](const std::string& expected) {
        return "\n\tcorrect hash:    " + expected + "\n\tcalculated hash: " + abcSha256 +
               "\n\tcalculation duration: 0 second(s)";
    };
    const struct {
        bool fileExists;
        std::string checksum;
        bool verified;
        std::string lines;
    } cases[] = {
        {false, "", true, missing + "\n\tno checksum available from server, will not calculate"},
        {true, abcSha256, true, onDisk + calculated(abcSha256)},
        {true, upper, false, onDisk + calculated(upper)},
        {true, abcSha256.substr(1) + "0", false, onDisk + calculated(abcSha256.substr(1) + "0")},
        {false, abcSha256, false,
         missing + "\n\tcorrect hash:    " + abcSha256 +
             "\n\tfile stream reference not valid, failing"},
    };
    for (const auto& c : cases) {
        platform::deleteFile(derivedPath);
        if (c.fileExists) {
            ASSERT_TRUE(platform::writeFileAtomically(derivedPath, "abc"));
        }
        logger->clear();
        std::string report = "Verifying: ";
        PackageDigest digest;
        EXPECT_EQ(create(3, c.checksum).verifyChecksum(report, Log(logger), digest), c.verified);
        EXPECT_EQ(report, "Verifying: " + c.lines);
        EXPECT_EQ(logger->contains(Channel::Info,
                                   "Starting hash calculation. This may take some time..."),
                  c.fileExists);
    }
}

}  // namespace
}  // namespace kvinternal
