#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "ReadGate.h"
#include "UpdateExecutionFixture.h"
#include "common/JsonText.h"

namespace kvtest {
namespace {

using Channel = RecordingLogger::Channel;

// Everything one host needs for its own phone: a library object, a phone, a server and a
// working directory of its own.
struct Host {
    explicit Host(const std::string& name) : phone(std::make_shared<SimulatedPhone>()) {
        server->addPackage(SimulatedPackage::example(name, 2'000'000));
        EXPECT_EQ(kavrin->CreateSession(
                      hostParameters(logger, std::make_shared<InProcessServerProvider>(server),
                                     phone, directory.path())),
                  Result::Ok);
        std::shared_ptr<std::string> id;
        EXPECT_EQ(kavrin->IdentifyDevice(id), Result::Ok);
        Updates updates;
        EXPECT_EQ(kavrin->GetUpdates(*id, updates), Result::Ok);
        updateId = updates->front().id;
    }

    // Downloads on a thread of its own, held at `holdAt` until `gate` opens.
    std::future<Result> startDownload(uint64_t holdAt) {
        server->injectFault(Endpoint::Package, ServerFault::holdBodyAt(holdAt, gate));
        auto download = std::async(std::launch::async,
                                   [this] { return kavrin->DownloadDeltaUpdate(updateId); });
        gate->waitUntilBlocked();
        return download;
    }

    std::string cachedPackages() const {
        const auto text = kvinternal::platform::readFile(directory.file("deltafiles.cache"));
        return kvinternal::json::parse(text.value_or("")).root.toStyledString();
    }

    TempDirectory directory;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<SimulatedPhone> phone;
    std::shared_ptr<SimulatedUpdateServer> server = std::make_shared<SimulatedUpdateServer>();
    std::shared_ptr<ReadGate> gate = std::make_shared<ReadGate>();
    std::unique_ptr<kv::Kavrin> kavrin = CreateKavrin();
    std::string updateId;
};

using CancellationConcurrencyTest = UpdateExecutionTest;

// A service desk updates two phones at once, one library object each: cancelling one leaves
// the other's operation and files untouched.
TEST_F(CancellationConcurrencyTest, TwoObjectsUpdateTwoPhonesWithoutCrossing) {
    Host first("first");
    Host second("second");
    auto firstDownload = first.startDownload(500'000);
    auto secondDownload = second.startDownload(1'000'000);  // started last

    EXPECT_EQ(first.kavrin->Cancel(), Result::Ok);
    double progress = -1;
    EXPECT_EQ(second.kavrin->GetProgress(progress), Result::Ok);
    EXPECT_EQ(progress, 0.5);
    second.gate->release();
    EXPECT_EQ(firstDownload.get(), Result::Cancelled);
    EXPECT_EQ(secondDownload.get(), Result::Ok);
    EXPECT_EQ(second.kavrin->TransferDeltaToDevice(second.updateId), Result::Ok);
    EXPECT_EQ(first.kavrin->DestroySession(), Result::Ok);
    EXPECT_EQ(second.kavrin->DestroySession(), Result::Ok);

    // Each package is recorded in its own working directory only.
    EXPECT_NE(first.cachedPackages().find("first.bin"), std::string::npos);
    EXPECT_EQ(first.cachedPackages().find("second.bin"), std::string::npos);
    EXPECT_EQ(second.cachedPackages().find("first.bin"), std::string::npos);
}

// A server that never finishes the manifest holds GetUpdates only until the host cancels.
TEST_F(CancellationConcurrencyTest, CancelStopsAQueryThatNeverEnds) {
    server->addPackage(SimulatedPackage::example("pkg", packageSize));
    openSession();
    const std::string id = identify();
    auto gate = std::make_shared<ReadGate>();
    server->injectFault(Endpoint::Updates, ServerFault::holdBodyAt(0, gate));
    auto search = std::async(std::launch::async, [&] {
        Updates updates;
        return kavrin->GetUpdates(id, updates);
    });
    gate->waitUntilBlocked();
    EXPECT_EQ(kavrin->Cancel(), Result::Ok);
    const bool ended = search.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    gate->release();
    ASSERT_TRUE(ended);
    EXPECT_EQ(search.get(), Result::Cancelled);
    EXPECT_TRUE(logger->contains(Channel::Info, "Cancelling HTTP function call."));
}

// A cancel belongs to the operation it lands in, also when it lands in a tracking post: the
// post that the provider could abort is stored for later, one that reports how a download ended
// goes out, and either way the operation ends cancelled once the post has returned.
TEST_F(CancellationConcurrencyTest, ACancelDuringATrackingPostEndsTheOperation) {
    server->addPackage(SimulatedPackage::example("pkg", packageSize));
    openSession();
    const std::string id = identify();
    auto gate = std::make_shared<ReadGate>();
    const auto cancelWhileHeld = [&](const std::function<Result()>& operation) {
        auto running = std::async(std::launch::async, operation);
        gate->waitUntilBlocked();
        EXPECT_EQ(kavrin->Cancel(), Result::Ok);
        gate->release();
        return running.get();
    };

    server->injectFault(Endpoint::Tracking, ServerFault::holdAnswer(gate));  // manifest received
    Updates updates;
    EXPECT_EQ(cancelWhileHeld([&] { return kavrin->GetUpdates(id, updates); }), Result::Cancelled);
    EXPECT_EQ(
        kvinternal::platform::listFilesWithSuffix(workingDirectory.file("tracking"), ".failed")
            .names.size(),
        1u);

    gate = std::make_shared<ReadGate>();
    updates = search(id);
    server->injectFault(Endpoint::Tracking, ServerFault{});                  // the download starts
    server->injectFault(Endpoint::Tracking, ServerFault::holdAnswer(gate));  // and ends
    const std::string updateId = updates->front().id;
    EXPECT_EQ(cancelWhileHeld([&] { return kavrin->DownloadDeltaUpdate(updateId); }),
              Result::Cancelled);
    EXPECT_EQ(updateEvents().back(), "download/ok");
    EXPECT_EQ(kvinternal::platform::fileSize(packagePath()), packageSize);
    EXPECT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
}

}  // namespace
}  // namespace kvtest
