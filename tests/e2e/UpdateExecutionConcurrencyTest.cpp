#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "ReadGate.h"
#include "UpdateExecutionFixture.h"
#include "support/LastOf.h"

namespace kvtest {
namespace {

class UpdateExecutionConcurrencyTest : public UpdateExecutionTest {
protected:
    // Runs `operation` on a second thread while this one reads GetProgress until it returns.
    // `whileHeld` runs once the operation is held, with the progress read so far.
    Result runWatchingProgress(const std::function<Result()>& operation,
                               const std::function<void()>& waitUntilHeld,
                               const std::function<void()>& whileHeld) {
        std::atomic<bool> finished{false};
        Result result = Result::GeneralError;
        std::thread worker([&] {
            result = operation();
            finished = true;
        });
        waitUntilHeld();
        double progress = 0;
        EXPECT_EQ(kavrin->GetProgress(progress), Result::Ok);
        observed.push_back(progress);
        whileHeld();
        while (!finished) {
            EXPECT_EQ(kavrin->GetProgress(progress), Result::Ok);
            observed.push_back(progress);
        }
        worker.join();
        return result;
    }

    bool observedRisingToOne() const {
        return !observed.empty() && std::is_sorted(observed.begin(), observed.end()) &&
               observed.back() <= 1.0;
    }

    std::vector<double> observed;
};

TEST_F(UpdateExecutionConcurrencyTest, ProgressRisesDuringDownloadAndTransfer) {
    const std::string updateId = offerPackage();
    server->setPieceLimit(100'000);
    auto gate = std::make_shared<ReadGate>();
    server->injectFault(Endpoint::Package, ServerFault::holdBodyAt(packageSize / 2, gate));
    const Result download =
        runWatchingProgress([&] { return kavrin->DownloadDeltaUpdate(updateId); },
                            [&] { gate->waitUntilBlocked(); }, [&] { gate->release(); });
    ASSERT_EQ(download, Result::Ok);
    EXPECT_EQ(observed.front(), 0.5);
    EXPECT_TRUE(observedRisingToOne());

    observed.clear();
    phone->setTransferChunkSize(100'000);
    phone->holdTransferAt(packageSize / 4);
    const Result transfer = runWatchingProgress(
        [&] { return kavrin->TransferDeltaToDevice(updateId); },
        [&] { phone->waitUntilTransferHeld(); }, [&] { phone->releaseTransfer(); });
    ASSERT_EQ(transfer, Result::Ok);
    EXPECT_GT(observed.front(), 0.0);
    EXPECT_LT(observed.front(), 0.5);
    EXPECT_TRUE(observedRisingToOne());
}

// The host cancels and ends the session while a download runs; the next session, in the same
// working directory, fetches only the bytes that are missing.
TEST_F(UpdateExecutionConcurrencyTest, CancelledDownloadResumesInTheNextSession) {
    const std::string updateId = offerPackage();
    auto gate = std::make_shared<ReadGate>();
    server->injectFault(Endpoint::Package, ServerFault::holdBodyAt(1'000'000, gate));
    Result result = Result::GeneralError;
    std::thread downloader([&] { result = kavrin->DownloadDeltaUpdate(updateId); });
    gate->waitUntilBlocked();
    EXPECT_EQ(kavrin->Cancel(), Result::Ok);
    EXPECT_EQ(kavrin->DestroySession(), Result::Ok);  // waits for the download to give up
    downloader.join();
    EXPECT_EQ(result, Result::Cancelled);
    EXPECT_EQ(std::filesystem::file_size(packagePath()), 1'000'000u);
    EXPECT_EQ(updateEvents(),
              (std::vector<std::string>{"download/initiated", "download/cancelled"}));

    kavrin = CreateKavrin();
    openSession();
    const auto updates = search(identificationId);
    ASSERT_EQ(updates->size(), 1u);
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updates->front().id), Result::Ok);
    EXPECT_EQ(lastOf(server->requests(Endpoint::Package)).request.headers.at("Range"),
              "bytes=1000000-3499999");
    EXPECT_EQ(server->bytesServed("pkg"), packageSize);
}

TEST_F(UpdateExecutionConcurrencyTest, CancelDuringTransferStoresNothingOnThePhone) {
    const std::string updateId = offerPackage();
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    phone->holdTransferAt(1'000'000);
    const Result result = runWatchingProgress(
        [&] { return kavrin->TransferDeltaToDevice(updateId); },
        [&] { phone->waitUntilTransferHeld(); }, [&] { EXPECT_EQ(kavrin->Cancel(), Result::Ok); });
    EXPECT_EQ(result, Result::Cancelled);
    EXPECT_EQ(std::filesystem::file_size(packagePath()), packageSize);
    EXPECT_EQ(kavrin->UpdateDeviceWithDelta(updateId, false), Result::IllegalState);
    EXPECT_TRUE(logger->containsFragment("Could not find MTP object handle for update id: "));
    // The package is still whole: a new transfer goes through.
    EXPECT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
}

}  // namespace
}  // namespace kvtest
