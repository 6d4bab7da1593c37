#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "PatternedBody.h"
#include "UpdateExecutionFixture.h"
#include "common/Platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace kvtest {
namespace {

namespace fs = std::filesystem;
namespace platform = kvinternal::platform;
using Channel = RecordingLogger::Channel;

// What a hostile disk leaves in the working directory between two runs of a host: the library
// sends the phone only a package it verified, and touches no file outside the directory.
class HostileStateTest : public UpdateExecutionTest {
protected:
    // A new host over the same working directory and server: identifies and searches again.
    std::string reopen(const std::string& directory) {
        kavrin = CreateKavrin();
        auto chosen = parameters();
        chosen.workingDirectory = directory;
        EXPECT_EQ(kavrin->CreateSession(chosen), Result::Ok);
        const auto updates = search(identify());
        return updates && !updates->empty() ? updates->front().id : std::string();
    }
    std::string downloaded() {
        const std::string updateId = offerPackage();
        EXPECT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
        EXPECT_EQ(kavrin->DestroySession(), Result::Ok);
        return updateId;
    }
    void flipOneByte(const std::string& path) const {
        std::string bytes = platform::readFile(path, packageSize).value_or("");
        ASSERT_EQ(bytes.size(), packageSize);
        bytes[packageSize / 2] = static_cast<char>(bytes[packageSize / 2] ^ 0x01);
        ASSERT_TRUE(platform::writeFileAtomically(path, bytes));
    }
    bool phoneHoldsThePackage() const {
        const auto stored = phone->storedObject(firstObjectHandle);
        return stored && stored->sha256 == server->packageHash("pkg");
    }
    std::string wholePackage() const { return PatternedBody::bytes(0, packageSize); }
    // Something that is no plain file stands where the package goes: the download is refused,
    // and the session still ends as it should.
    void expectTheDownloadRefusedAndTheSessionEnded() {
        EXPECT_EQ(kavrin->DownloadDeltaUpdate(offerPackage()), Result::IllegalState);
        EXPECT_TRUE(logger->contains(
            Channel::Error,
            "Illegal state exception: Delta file could not be created: " + packagePath()));
        ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    }
};

// A package downloaded by an earlier session is hashed once before it is sent: as it was, it
// goes to the phone; changed on disk since, it is removed, nothing is sent, and a download
// fetches it again.
TEST_F(HostileStateTest, APackageFromAnEarlierSessionIsCheckedOnceBeforeItIsSent) {
    for (const bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "changed" : "as downloaded");
        restart();
        phone = std::make_shared<SimulatedPhone>();
        downloaded();
        if (changed) {
            flipOneByte(packagePath());
        }
        const std::string updateId = reopen(workingDirectory.path());
        uint64_t readBack = 0;
        {
            const platform::ScopedHooks counting(platform::installedHooks().withFileRead(
                [&readBack](uint64_t bytes) { readBack += bytes; }));
            EXPECT_EQ(kavrin->TransferDeltaToDevice(updateId),
                      changed ? Result::IllegalState : Result::Ok);
        }
        EXPECT_EQ(phoneHoldsThePackage(), !changed);
        EXPECT_EQ(readBack, packageSize);
        if (!changed) {
            continue;
        }
        EXPECT_FALSE(platform::fileSize(packagePath()));
        EXPECT_TRUE(logger->contains(Channel::Error,
                                     "Illegal state exception: Package file does not match its "
                                     "checksum, download it again for update id: " +
                                         updateId));
        EXPECT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
        EXPECT_EQ(server->requests(Endpoint::Package).size(), 2u);
        EXPECT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
        EXPECT_TRUE(phoneHoldsThePackage());
    }
}

// A package over 4 GiB found whole on disk by a new session is checked and sent.
TEST_F(HostileStateTest, APackageOver4GiBIsSentAfterARestart) {
    constexpr uint64_t size = (uint64_t{4} << 30) + 1000;
    // SHA-256 of that many zero bytes: what a sparse file of that size holds.
    const std::string zeros = "47330b4e9578d8ea3b771713efa25d0e2f03a554c9b3c66308f82fa0986dc027";
    SimulatedPackage package = SimulatedPackage::example("pkg", size);
    package.statedHash = zeros;
    server->addPackage(package);
    { std::ofstream create(platform::toPath(packagePath()), std::ios::binary); }
    std::filesystem::resize_file(platform::toPath(packagePath()), size);
    phone->setTransferMode(SimulatedPhone::TransferMode::DigestOnly);
    const std::string updateId = reopen(workingDirectory.path());
    ASSERT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
    const auto stored = phone->storedObject(firstObjectHandle);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size, size);
    EXPECT_EQ(stored->sha256, zeros);
    EXPECT_TRUE(server->requests(Endpoint::Package).empty());
}

// When the changed package cannot be removed (a directory the user may not write), it is never
// taken as downloaded, in this run or the next.
TEST_F(HostileStateTest, AChangedPackageThatCannotBeRemovedIsNeverSent) {
    downloaded();
    flipOneByte(packagePath());
    const platform::ScopedHooks readOnly(
        platform::installedHooks().withRemove([](const fs::path&) { return false; }));
    for (int run = 0; run < 2; ++run) {
        const std::string updateId = reopen(workingDirectory.path());
        EXPECT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::IllegalState);
        EXPECT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::IllegalState);
        EXPECT_EQ(kavrin->DestroySession(), Result::Ok);
    }
    EXPECT_TRUE(logger->contains(
        Channel::Error, "Could not remove delta file that failed its checksum: " + packagePath()));
    EXPECT_FALSE(phone->storedObject(firstObjectHandle));
}

// A copy of a working directory names the original's package in its cache: the copy uses its
// own, and deleting it after the update leaves the original's alone.
TEST_F(HostileStateTest, ACopiedWorkingDirectoryUsesOnlyItsOwnPackage) {
    downloaded();
    TempDirectory copies;
    const std::string copy = copies.file("copy");
    fs::copy(fs::u8path(workingDirectory.path()), fs::u8path(copy), fs::copy_options::recursive);
    const std::string updateId = reopen(copy);
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    EXPECT_TRUE(logger->contains(Channel::Error,
                                 "Delta file cache entry names a file outside the working "
                                 "directory, ignoring it: " +
                                     packagePath()));
    EXPECT_EQ(server->requests(Endpoint::Package).size(), 1u);  // the copy's package is whole
    ASSERT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
    ASSERT_EQ(kavrin->UpdateDeviceWithDelta(updateId, true), Result::Ok);
    EXPECT_FALSE(platform::fileSize(copy + "/pkg.bin"));
    EXPECT_EQ(platform::fileSize(packagePath()), packageSize);
}

// Links in the working directory lead nowhere: a package file that is a link fails the
// download with a clear error, and a cache's temporary that is one is replaced.
TEST_F(HostileStateTest, LinksOutOfTheWorkingDirectoryAreNeverFollowed) {
    TempDirectory elsewhere;
    const std::string outside = elsewhere.file("victim");
    ASSERT_TRUE(platform::writeFileAtomically(outside, "precious"));
    if (!createLink(outside, packagePath())) {
        GTEST_SKIP() << "this system cannot make links here";
    }
    ASSERT_TRUE(createLink(outside, workingDirectory.file("identifiers.cache.tmp")));
    expectTheDownloadRefusedAndTheSessionEnded();
    EXPECT_EQ(platform::readFile(outside), "precious");
    EXPECT_TRUE(platform::fileSize(workingDirectory.file("identifiers.cache")));
}

// A "tracking" or "locks" folder that is a link leads outside the working directory: nothing
// there is read, sent, deleted or added to, and the update goes on.
TEST_F(HostileStateTest, ATrackingFolderThatIsALinkIsNeitherReadNorWritten) {
    TempDirectory elsewhere;
    const uint64_t yesterday = platform::currentTimeMilliseconds() - 24 * 3600 * 1000;
    const std::map<std::string, std::string> outsideFiles{
        {"ancient.failed", "{\"marker\": \"outside\"}"},
        {"fresh.failed", "{\"marker\": \"outside\", \"resend\": {\"firstFailureDate\": " +
                             std::to_string(yesterday) + "}}"},
        {"junk.failed", "not json"},
    };
    for (const auto& [name, text] : outsideFiles) {
        ASSERT_TRUE(platform::writeFileAtomically(elsewhere.file(name), text));
    }
    if (!createLink(elsewhere.path(), workingDirectory.file("tracking"), LinkTarget::Directory)) {
        GTEST_SKIP() << "this system cannot make links here";
    }
    ASSERT_TRUE(
        createLink(elsewhere.path(), workingDirectory.file("locks"), LinkTarget::Directory));
    const std::string updateId = offerPackage();
    server->injectFault(Endpoint::Tracking, ServerFault::withStatus(500),
                        SimulatedUpdateServer::forever);
    EXPECT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);

    EXPECT_TRUE(logger->contains(Channel::Error,
                                 "Tracking folder is a link or no folder, tracking data is "
                                 "neither stored nor resent: " +
                                     workingDirectory.file("tracking")));
    EXPECT_TRUE(logger->contains(Channel::Error,
                                 "Locks folder is a link or no folder, sessions that share the "
                                 "working directory are not kept apart: " +
                                     workingDirectory.file("locks")));
    for (const auto& received : server->trackingDocuments()) {
        EXPECT_FALSE(received.document.isMember("marker"));
    }
    std::map<std::string, std::string> left;
    for (const auto& entry : fs::directory_iterator(fs::u8path(elsewhere.path()))) {
        const std::string name = entry.path().filename().u8string();
        left[name] = platform::readFile(elsewhere.file(name)).value_or("");
    }
    EXPECT_EQ(left, outsideFiles);
}

#ifndef _WIN32
// A FIFO in the place of the package or of a state file would make an open wait for ever for
// its other end: it is refused like a link and nothing is written through it.
TEST_F(HostileStateTest, FifosInThePlaceOfStateFilesAndThePackageAreRefused) {
    const std::vector<std::string> caches{"deltafiles.cache", "identifiers.cache",
                                          "updatesessionids.cache"};
    for (const std::string& name : caches) {
        ASSERT_EQ(::mkfifo(workingDirectory.file(name).c_str(), 0600), 0) << name;
    }
    ASSERT_EQ(::mkfifo(packagePath().c_str(), 0600), 0);
    expectTheDownloadRefusedAndTheSessionEnded();
    EXPECT_EQ(logger
                  ->messagesContaining("failed to be parsed: it is no regular file (a link, a "
                                       "folder, a pipe or a device)")
                  .size(),
              caches.size());
    for (const std::string& name : caches) {  // gone, or replaced by what the session saved
        EXPECT_NE(platform::fileKind(workingDirectory.file(name)), platform::FileKind::Other)
            << name;
    }
    EXPECT_EQ(platform::fileKind(workingDirectory.file("identifiers.cache")),
              platform::FileKind::Regular);
}
#endif

// Two updates whose addresses end in the same name each get a file: the second is downloaded,
// not taken for the first, and the first stays.
TEST_F(HostileStateTest, UpdatesWhoseAddressesEndInTheSameNameGetFilesOfTheirOwn) {
    server->addPackage(SimulatedPackage::example("fw21/update", packageSize));
    server->addPackage(SimulatedPackage::example("fw22/update", packageSize));
    openSession();
    const auto updates = search(identify());
    ASSERT_EQ(updates->size(), 2u);
    for (const auto& update : *updates) {
        ASSERT_EQ(kavrin->DownloadDeltaUpdate(update.id), Result::Ok);
    }
    EXPECT_EQ(server->requests(Endpoint::Package).size(), 2u);
    EXPECT_EQ(platform::fileSize(workingDirectory.file("update.bin")), packageSize);
    EXPECT_EQ(platform::fileSize(workingDirectory.file("update-2.bin")), packageSize);
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);

    // The next run finds each package where it left it.
    reopen(workingDirectory.path());
    const auto found = search(identify());
    for (const auto& update : *found) {
        ASSERT_EQ(kavrin->DownloadDeltaUpdate(update.id), Result::Ok);
    }
    EXPECT_EQ(server->requests(Endpoint::Package).size(), 2u);
}

// State files far larger than the library ever writes are treated like unparsable ones.
TEST_F(HostileStateTest, HugeStateFilesAreDeletedUnread) {
    for (const char* name : {"deltafiles.cache", "identifiers.cache", "updatesessionids.cache"}) {
        ASSERT_TRUE(platform::writeFileAtomically(
            workingDirectory.file(name), std::string(platform::maximumStateFileSize + 1, '[')));
    }
    openSession();
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    for (const char* name : {"deltafiles.cache", "identifiers.cache", "updatesessionids.cache"}) {
        EXPECT_FALSE(platform::fileSize(workingDirectory.file(name))) << name;
    }
    const auto errors = logger->messages(Channel::Error);
    ASSERT_EQ(errors.size(), 3u);
    for (const std::string& error : errors) {
        EXPECT_LT(error.size(), 300u) << error.substr(0, 100);
    }
}

}  // namespace
}  // namespace kvtest
