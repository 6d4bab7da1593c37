#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HttpServiceDownloadFixture.h"
#include "ReadGate.h"
#include "control/ProgressHandler.h"
#include "support/LastOf.h"

namespace kvinternal {
namespace {

using kvtest::Endpoint;
using kvtest::PatternedBody;
using kvtest::ServerFault;
using Events = std::vector<std::string>;

class HttpServiceDownloadConcurrencyTest : public HttpServiceDownloadFixture,
                                           public ::testing::Test {
protected:
    double currentFraction() const {
        const auto progress = currentProgress->current().lock();
        return progress ? progress->fraction() : -1.0;
    }
};

// The host's cancel reaches the download only through its flag (a cancel that also reaches the
// provider is the end-to-end cancellation test): the held piece arrives, is written, and the
// download stops, so nothing that arrived is fetched again.
TEST_F(HttpServiceDownloadConcurrencyTest, CancelKeepsTheBytesForTheNextSessionToResume) {
    const auto gate = std::make_shared<kvtest::ReadGate>();
    server->setPieceLimit(1000);
    server->injectFault(Endpoint::Package, ServerFault::holdBodyAt(2000, gate));
    Thrown thrown;
    std::thread operation([&] { thrown = download(update()); });
    gate->waitUntilBlocked();
    currentProgress->current().lock()->cancel();
    gate->release();
    operation.join();
    EXPECT_EQ(thrown, (Thrown{"cancelled", "Client has cancelled the download of delta package"}));
    EXPECT_EQ(events(), (Events{initiated, cancelled}));
    EXPECT_EQ(onDisk(), PatternedBody::bytes(0, 3000));

    // The cache of a new session over the same directory resumes from the recorded bytes.
    cache.reset();
    cache = std::make_shared<DeltaFileCache>(Log(logger), directory.path());
    EXPECT_EQ(recordedSize(), 3000u);
    EXPECT_EQ(download(update()), Thrown{});
    EXPECT_EQ(kvtest::lastOf(ranges()), "bytes=3000-4999");
    EXPECT_EQ(server->bytesServed(packageId), packageSize);
    EXPECT_EQ(onDisk(), PatternedBody::bytes(0, packageSize));
}

// 2,000,000 of 5,000,000 bytes are on disk and the server ignores the range: the whole body
// comes again, and the bytes fetched a second time do not count twice.
TEST_F(HttpServiceDownloadConcurrencyTest, ProgressRisesMonotonicallyToOneAcrossARestart) {
    constexpr uint64_t size = 5000000;
    const auto gate = std::make_shared<kvtest::ReadGate>();
    ServerFault restart = ServerFault::rangeIgnored();
    restart.gate = gate;
    restart.holdAt = 1000000;
    server->injectFault(Endpoint::Package, restart);
    const auto record = update(size, 2000000);
    logger->holdAt("Closing delta file");

    std::atomic<bool> finished{false};
    std::vector<double> samples;
    std::thread sampler([&] {
        while (!finished) {
            const double fraction = currentFraction();
            if (fraction >= 0.0 && (samples.empty() || fraction != samples.back())) {
                samples.push_back(fraction);
            }
            std::this_thread::yield();
        }
    });
    Thrown thrown;
    std::thread operation([&] { thrown = download(record); });
    gate->waitUntilBlocked();
    const double atHold = currentFraction();
    gate->release();
    logger->waitUntilHeld();
    const double atClose = currentFraction();
    logger->release();
    operation.join();
    finished = true;
    sampler.join();

    EXPECT_EQ(thrown, Thrown{});
    EXPECT_DOUBLE_EQ(atHold, 0.4);
    EXPECT_DOUBLE_EQ(atClose, 1.0);
    EXPECT_TRUE(std::is_sorted(samples.begin(), samples.end()));
    EXPECT_FALSE(logger->contains("Too many worked units. Setting progress to completed."));
    EXPECT_EQ(onDisk(), PatternedBody::bytes(0, size));
}

}  // namespace
}  // namespace kvinternal
