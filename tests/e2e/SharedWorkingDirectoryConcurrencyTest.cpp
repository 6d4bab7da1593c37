#include <gtest/gtest.h>

#include <cstddef>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EndToEndFixture.h"
#include "ReadGate.h"
#include "common/JsonText.h"

namespace kvtest {
namespace {

namespace platform = kvinternal::platform;

constexpr uint64_t packageSize = 300'000;

// One host of several that share a working directory: a library object, a phone and a logger of
// its own, and the given server.
struct SharingHost {
    SharingHost(const std::shared_ptr<SimulatedUpdateServer>& server,
                const std::string& workingDirectory)
        : parameters(hostParameters(logger, std::make_shared<InProcessServerProvider>(server),
                                    std::make_shared<SimulatedPhone>(), workingDirectory)) {}

    // Opens a session, identifies the phone and returns the update id of the package `id`.
    std::string offered(const std::string& id) {
        EXPECT_EQ(kavrin->CreateSession(parameters), Result::Ok);
        std::shared_ptr<std::string> identification;
        EXPECT_EQ(kavrin->IdentifyDevice(identification), Result::Ok);
        identificationId = identification ? *identification : "";
        Updates updates;
        EXPECT_EQ(kavrin->GetUpdates(identificationId, updates), Result::Ok);
        for (const auto& update : updates ? *updates : std::vector<kv::Kavrin::UpdateMetadata>{}) {
            if (update.name == "Update " + id) {
                return update.id;
            }
        }
        ADD_FAILURE() << "no update for " << id;
        return "";
    }

    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    kv::Kavrin::SessionParameters parameters;
    std::unique_ptr<kv::Kavrin> kavrin = CreateKavrin();
    std::string identificationId;
};

// Several library objects in one process on one working directory, as a service desk runs them.
class SharedWorkingDirectoryConcurrencyTest : public ::testing::Test {
protected:
    // The values of `member` in the elements of `array` of the state file `name`.
    std::set<std::string> stored(const std::string& name, const char* array,
                                 const char* member) const {
        const auto document =
            kvinternal::json::parse(platform::readFile(directory.file(name)).value_or("")).root;
        std::set<std::string> values;
        for (const auto& element : document[array]) {
            values.insert(element[member].asString());
        }
        return values;
    }

    TempDirectory directory;
    // The retry waits and the wait for another session's download pass at once.
    platform::ScopedHooks hooks{
        platform::Hooks().withSleep([](uint64_t) { std::this_thread::yield(); })};
};

// Sessions that run at once, whichever ends first, each keep what they added to the state files:
// identifications, update session ids and download records.
TEST_F(SharedWorkingDirectoryConcurrencyTest, SessionsEndingInAnyOrderLoseNothing) {
    std::set<std::string> identifications;
    std::set<std::string> packages;
    for (int round = 0; round < 8; ++round) {
        std::vector<std::shared_ptr<SimulatedUpdateServer>> servers;
        std::vector<std::future<std::string>> runs;
        for (const char* name : {"a", "b"}) {
            const std::string id = std::string(name) + std::to_string(round);
            servers.push_back(std::make_shared<SimulatedUpdateServer>());
            servers.back()->addPackage(SimulatedPackage::example(id, packageSize));
            packages.insert(SimulatedUpdateServer::packageUrl(id));
            runs.push_back(std::async(std::launch::async, [&, server = servers.back(), id] {
                SharingHost host(server, directory.path());
                EXPECT_EQ(host.kavrin->DownloadDeltaUpdate(host.offered(id)), Result::Ok);
                EXPECT_EQ(host.kavrin->DestroySession(), Result::Ok);
                return host.identificationId;
            }));
        }
        for (auto& run : runs) {
            identifications.insert(run.get());
        }
    }
    EXPECT_EQ(stored("identifiers.cache", "identifierCollections", "iicId"), identifications);
    EXPECT_EQ(stored("deltafiles.cache", "deltaFiles", "url"), packages);
    EXPECT_EQ(stored("updatesessionids.cache", "updateSessionIdCollection", "updateId").size(),
              packages.size());
}

// Two sessions that want one package download it once: the second waits for the first, shows
// how far it has come, and then finds it whole; a session cancelled while it waits ends at once.
TEST_F(SharedWorkingDirectoryConcurrencyTest, OnePackageIsDownloadedOnceForTwoSessions) {
    const auto server = std::make_shared<SimulatedUpdateServer>();
    server->addPackage(SimulatedPackage::example("pkg", packageSize));
    auto gate = std::make_shared<ReadGate>();
    server->injectFault(Endpoint::Package, ServerFault::holdBodyAt(packageSize / 2, gate));
    SharingHost first(server, directory.path());
    SharingHost second(server, directory.path());
    SharingHost third(server, directory.path());
    const std::string firstId = first.offered("pkg");
    const std::string secondId = second.offered("pkg");
    const std::string thirdId = third.offered("pkg");

    auto downloading =
        std::async(std::launch::async, [&] { return first.kavrin->DownloadDeltaUpdate(firstId); });
    gate->waitUntilBlocked();
    auto waiting = std::async(std::launch::async,
                              [&] { return second.kavrin->DownloadDeltaUpdate(secondId); });
    auto cancelled =
        std::async(std::launch::async, [&] { return third.kavrin->DownloadDeltaUpdate(thirdId); });
    const std::string waits =
        "Another session is downloading the package, waiting for it: " + directory.file("pkg.bin");
    second.logger->waitUntilLogged(waits);
    third.logger->waitUntilLogged(waits);
    double progress = 0;
    EXPECT_EQ(second.kavrin->GetProgress(progress), Result::Ok);
    EXPECT_EQ(progress, 0.5);
    EXPECT_EQ(third.kavrin->Cancel(), Result::Ok);
    EXPECT_EQ(cancelled.get(), Result::Cancelled);
    gate->release();

    EXPECT_EQ(downloading.get(), Result::Ok);
    EXPECT_EQ(waiting.get(), Result::Ok);
    EXPECT_TRUE(second.logger->contains("File already downloaded."));
    EXPECT_EQ(server->requests(Endpoint::Package).size(), 1u);
    EXPECT_EQ(second.kavrin->TransferDeltaToDevice(secondId), Result::Ok);
}

}  // namespace
}  // namespace kvtest
