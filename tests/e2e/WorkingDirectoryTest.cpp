// What the working directory keeps when its path or the package names are unusual: names beyond
// ASCII, paths longer than Windows' classic limit, names Windows cannot hold, and (on Windows) a
// cache file that another program holds open.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "UpdateExecutionFixture.h"
#include "common/Platform.h"
#include "support/LastOf.h"

namespace kvtest {
namespace {

using Channel = RecordingLogger::Channel;
namespace platform = kvinternal::platform;

const std::string nonAsciiName = "P\xC3\xA4ivitys-\xE6\x9B\xB4\xE6\x96\xB0";  // Päivitys-更新

class WorkingDirectoryTest : public UpdateExecutionTest {
protected:
    void openSessionIn(const std::string& directory) {
        auto inDirectory = parameters();
        inDirectory.workingDirectory = directory;
        ASSERT_EQ(kavrin->CreateSession(inDirectory), Result::Ok);
    }

    // A new host and a new server, which keeps nothing of the earlier one; the phone stays.
    void restartHostAndServer(const SimulatedPackage& package) {
        kavrin = CreateKavrin();
        server = std::make_shared<SimulatedUpdateServer>();
        server->addPackage(package);
        provider = std::make_shared<InProcessServerProvider>(server);
    }

    std::vector<std::string> storedEvents(const std::string& directory) const {
        return platform::listFilesWithSuffix(directory + "/tracking", ".failed").names;
    }
};

struct DirectoryCase {
    const char* name;
    // Below the test's temporary directory; the library creates the last level.
    std::string subdirectory;
    std::string packageId;
    // Added to the directory as the first session is given it.
    std::string firstSpelling;
};

class WorkingDirectoryRoundTripTest : public WorkingDirectoryTest,
                                      public ::testing::WithParamInterface<DirectoryCase> {};

// Every store is written in one session and read in the next: the identification, the partly
// downloaded package and its cache entry, the update session id and the tracking events that
// could not be sent.
TEST_P(WorkingDirectoryRoundTripTest, EveryStoreSurvivesTheSession) {
    const DirectoryCase& c = GetParam();
    std::string directory = workingDirectory.path();
    for (size_t start = 0, slash = 0; slash != std::string::npos; start = slash + 1) {
        slash = c.subdirectory.find('/', start);
        directory += "/" + c.subdirectory.substr(start, slash - start);
        if (slash != std::string::npos) {
            platform::createDirectory(directory);
        }
    }
    const std::string package = directory + "/" + c.packageId + ".bin";
    const auto offered = SimulatedPackage::example(c.packageId, packageSize);

    restartHostAndServer(offered);
    server->injectFault(Endpoint::Tracking, ServerFault::withStatus(500),
                        SimulatedUpdateServer::forever);
    server->injectFault(Endpoint::Package, ServerFault::cutBodyAfter(2'000'000));
    server->injectFault(Endpoint::Package, ServerFault::withStatus(403));
    ASSERT_NO_FATAL_FAILURE(openSessionIn(directory + c.firstSpelling));
    const std::string identification = identify();
    auto updates = search(identification);
    ASSERT_EQ(updates->size(), 1u);
    EXPECT_EQ(kavrin->DownloadDeltaUpdate(updates->front().id), Result::NetworkError);
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    EXPECT_EQ(platform::fileSize(package), 2'000'000u);
    for (const char* cache : {"identifiers.cache", "deltafiles.cache", "updatesessionids.cache"}) {
        EXPECT_TRUE(platform::readFile(directory + "/" + cache).has_value()) << cache;
    }
    EXPECT_FALSE(storedEvents(directory).empty());

    restartHostAndServer(offered);
    ASSERT_NO_FATAL_FAILURE(openSessionIn(directory));
    updates = search(identification);
    ASSERT_EQ(updates->size(), 1u);
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updates->front().id), Result::Ok);
    EXPECT_EQ(lastOf(server->requests(Endpoint::Package)).request.headers.at("Range"),
              "bytes=2000000-3499999");
    EXPECT_FALSE(logger->containsFragment("Delta file cache entry names a file outside"));
    ASSERT_EQ(kavrin->TransferDeltaToDevice(updates->front().id), Result::Ok);
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    const auto sent = phone->storedObject(firstObjectHandle);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->sha256, server->packageHash(c.packageId));

    // The events of the first session arrived with the second one's, under one update session id.
    EXPECT_TRUE(storedEvents(directory).empty());
    const auto events = updateEvents();
    EXPECT_EQ(std::count(events.begin(), events.end(), "download/initiated"), 2);
    const auto ids = sessionIds();
    ASSERT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
    EXPECT_FALSE(ids.front().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Directories, WorkingDirectoryRoundTripTest,
    ::testing::Values(DirectoryCase{"NonAsciiNames", nonAsciiName, nonAsciiName, ""},
                      DirectoryCase{"PathLongerThan260Characters",
                                    std::string(100, 'a') + "/" + std::string(100, 'b') + "/" +
                                        std::string(60, 'c'),
                                    "pkg", ""},
                      DirectoryCase{"FirstGivenWithTrailingSlashes", "plain", "pkg", "///"}),
    [](const ::testing::TestParamInfo<DirectoryCase>& info) {
        return std::string(info.param.name);
    });

// The names on disk are the ones given: the standard library finds the package by them, apart
// from the library's own conversions.
TEST_F(WorkingDirectoryTest, NonAsciiNamesAreStoredAsGiven) {
    const std::string directory = workingDirectory.file(nonAsciiName);
    restartHostAndServer(SimulatedPackage::example(nonAsciiName, packageSize));
    openSessionIn(directory);
    const auto updates = search(identify());
    ASSERT_EQ(updates->size(), 1u);
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updates->front().id), Result::Ok);
    const auto package = std::filesystem::u8path(workingDirectory.path()) /
                         std::filesystem::u8path(nonAsciiName) /
                         std::filesystem::u8path(nonAsciiName + ".bin");
    EXPECT_EQ(std::filesystem::file_size(package), packageSize);
}

TEST_F(WorkingDirectoryTest, PackageNamesWindowsCannotHoldAreRefusedAndNothingIsWritten) {
    for (const char* id : {"NUL", "con", "COM1", "lpt9", "a|b", "a*b"}) {
        restart();
        server->addPackage(SimulatedPackage::example(id, packageSize));
        openSession();
        search(identify(), Result::IllegalArgument);
        EXPECT_TRUE(logger->contains(
            Channel::Error,
            "Illegal argument exception: Could not extract delta filename from url: " +
                SimulatedUpdateServer::packageUrl(id)))
            << id;
        ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
        EXPECT_TRUE(platform::listFilesWithSuffix(workingDirectory.path(), ".bin").names.empty())
            << id;
    }
}

#ifdef _WIN32
// Opens a file as a backup tool or a virus scanner might, without letting it be deleted or
// replaced while open.
class HeldFile {
public:
    explicit HeldFile(const std::string& path)
        : handle_(CreateFileW(platform::toPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldFile() {
        if (isHeld()) {
            CloseHandle(handle_);
        }
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool isHeld() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

TEST_F(WorkingDirectoryTest, CacheThatAnotherProgramHoldsOpenKeepsItsOldContent) {
    const std::string cache = workingDirectory.file("identifiers.cache");
    openSession();
    const std::string first = identify();
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    const auto saved = platform::readFile(cache);
    ASSERT_TRUE(saved.has_value());

    kavrin = CreateKavrin();
    openSession();
    ASSERT_NE(identify(), first);  // a second collection to save
    {
        const HeldFile held(cache);
        ASSERT_TRUE(held.isHeld());
        EXPECT_EQ(kavrin->DestroySession(), Result::Ok);
    }
    EXPECT_TRUE(logger->contains(Channel::Error, "Could not save identifier cache to file"));
    EXPECT_EQ(platform::readFile(cache), saved);
    EXPECT_TRUE(platform::listFilesWithSuffix(workingDirectory.path(), ".tmp").names.empty());

    kavrin = CreateKavrin();
    openSession();
    search(first);  // still known
}
#endif

}  // namespace
}  // namespace kvtest
