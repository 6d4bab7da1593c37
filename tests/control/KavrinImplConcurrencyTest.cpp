#include <algorithm>
#include <thread>

#include "e2e/EndToEndFixture.h"

namespace kvtest {
namespace {

const std::string destroyStarted =
    "----------- Destroy session operation started -------------------------";
const std::string downloadQueued =
    "----------- Download delta update operation queued -------------------";
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
