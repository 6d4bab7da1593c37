#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "e2e/EndToEndFixture.h"

namespace kvtest {
namespace {

const std::string destroyStarted =
    "----------- Destroy session operation started -------------------------";
const std::string downloadQueued =
    "----------- Download delta update operation queued -------------------";
const std::string cancelBanner =
    "----------- Cancel ---------------------------------------------------";
const std::string downloadStarted =
    "----------- Download delta update operation started ------------------";

using DispatcherConcurrencyTest = EndToEndTest;

// Freezes DestroySession while it holds the operation lock.
TEST_F(DispatcherConcurrencyTest, CancelAndProgressAnswerWhileAnOperationHoldsTheLock) {
    ASSERT_EQ(kavrin->CreateSession(parameters()), Result::Ok);
    logger->holdAt(destroyStarted);
    std::thread destroyer([&] { EXPECT_EQ(kavrin->DestroySession(), Result::Ok); });
    logger->waitUntilHeld();

    double progress = -1;
    EXPECT_EQ(kavrin->Cancel(), Result::Ok);
    EXPECT_EQ(kavrin->GetProgress(progress), Result::Ok);
    EXPECT_EQ(progress, 1.0);

    logger->release();
    destroyer.join();
}

// While `GetProgress` holds the session lock (frozen at its own log line), a `Cancel` and a
// queued operation log their banners before they wait.
TEST_F(DispatcherConcurrencyTest, BannersAreLoggedBeforeTheirOperationWaits) {
    ASSERT_EQ(kavrin->CreateSession(parameters()), Result::Ok);
    const std::string noProgress = "No ongoing function call to get progress for";
    logger->holdAt(noProgress);
    double progress = -1;
    std::thread reader([&] { kavrin->GetProgress(progress); });
    logger->waitUntilHeld();
    std::thread canceller([&] { kavrin->Cancel(); });
    std::thread downloader([&] { kavrin->DownloadDeltaUpdate("YAV:0"); });
    for (const std::string& banner : {cancelBanner, downloadQueued}) {
        auto logged = std::async(std::launch::async, [&] { logger->waitUntilLogged(banner); });
        EXPECT_EQ(logged.wait_for(std::chrono::seconds(30)), std::future_status::ready) << banner;
    }
    logger->release();
    reader.join();
    canceller.join();
    downloader.join();
    EXPECT_EQ(progress, 1.0);
}

// DestroySession saves the caches, flushing them to disk, without the session lock: the second
// thread's calls answer meanwhile (there is no session any more).
TEST_F(DispatcherConcurrencyTest, CancelAndProgressDoNotWaitForTheCachesToBeSaved) {
    ASSERT_EQ(kavrin->CreateSession(parameters()), Result::Ok);
    logger->holdAt("End session");
    std::thread destroyer([&] { kavrin->DestroySession(); });
    logger->waitUntilHeld();
    auto answered = std::async(std::launch::async, [&] {
        double progress = -1;
        return std::make_pair(kavrin->Cancel(), kavrin->GetProgress(progress));
    });
    const bool ready = answered.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    logger->release();
    destroyer.join();
    ASSERT_TRUE(ready);
    EXPECT_EQ(answered.get(), std::make_pair(Result::IllegalState, Result::IllegalState));
}

TEST_F(DispatcherConcurrencyTest, QueuedOperationStartsOnlyAfterTheRunningOneReturns) {
    ASSERT_EQ(kavrin->CreateSession(parameters()), Result::Ok);
    logger->holdAt(destroyStarted);
    std::thread destroyer([&] { kavrin->DestroySession(); });
    logger->waitUntilHeld();

    std::thread downloader([&] { kavrin->DownloadDeltaUpdate("YAV:0"); });
    logger->waitUntilLogged(downloadQueued);
    EXPECT_FALSE(logger->contains(downloadStarted));

    logger->release();
    destroyer.join();
    downloader.join();
    const auto lines = logger->messages();
    const auto started = std::find(lines.begin(), lines.end(), downloadStarted);
    ASSERT_NE(started, lines.end());
    EXPECT_LT(std::find(lines.begin(), lines.end(), downloadQueued), started);
}

}  // namespace
}  // namespace kvtest
