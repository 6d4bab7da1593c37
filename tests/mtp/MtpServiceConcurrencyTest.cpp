#include <gtest/gtest.h>

#include <thread>

#include "RecordingLogger.h"
#include "SimulatedPhone.h"
#include "TempDirectory.h"
#include "common/Platform.h"
#include "control/Exceptions.h"
#include "control/ProgressHandler.h"
#include "mtp/MtpService.h"

namespace kvinternal {
namespace {

using MtpResult = kv::MtpProvider::MtpResult;

// The operation thread plays the transfer: it names its progress handler as the ongoing call and
// sends a file, while this thread, as the host's second thread, cancels or polls.
class MtpServiceConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        content.resize(16 * 4096);
        for (size_t i = 0; i < content.size(); ++i) {
            content[i] = static_cast<char>(i * 7);
        }
        ASSERT_TRUE(platform::writeFileAtomically(path, content));
        phone->setTransferChunkSize(4096);
    }

    std::thread startTransfer() {
        return std::thread([this] {
            const auto handler = std::make_shared<ProgressHandler>(0, Log(logger));
            service.setOngoingCall(handler);
            result = phone->sendFile(kvtest::SimulatedPhone::defaultDeviceId, path,
                                     "/recovery/update_package", objectHandle);
        });
    }

    // Polls, as a host would, while the operation thread names its call, until the transfer is
    // under way; then waits for it to reach its hold point and returns the progress there.
    double progressAtHoldPoint() {
        while (service.ongoingCallProgress() == 1.0) {
            std::this_thread::yield();
        }
        phone->waitUntilTransferHeld();
        return service.ongoingCallProgress();
    }

    kvtest::TempDirectory directory;
    std::string path = directory.file("package.zip");
    std::string content;
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::shared_ptr<kvtest::SimulatedPhone> phone = std::make_shared<kvtest::SimulatedPhone>();
    MtpService service{Log(logger), phone, kvtest::SimulatedPhone::defaultDeviceId};
    MtpResult result = MtpResult::GeneralError;
    uint32_t objectHandle = 0;
};

TEST_F(MtpServiceConcurrencyTest, CancelFromTheHostThreadStopsTheTransfer) {
    phone->holdTransferAt(content.size() / 2);
    auto operation = startTransfer();
    EXPECT_EQ(progressAtHoldPoint(), 0.5);
    service.cancelOngoingCall();
    operation.join();

    EXPECT_EQ(result, MtpResult::Cancelled);
    EXPECT_THROW(service.checkMtpResult(result), CancelledException);
    EXPECT_TRUE(logger->contains("Cancelling MTP function call."));
    EXPECT_EQ(phone->cancelCalls(), 1);
    // The operation's handler is gone, so there is nothing left to cancel.
    service.cancelOngoingCall();
    EXPECT_EQ(phone->cancelCalls(), 1);
}

TEST_F(MtpServiceConcurrencyTest, ProgressMovesUpWhileTheTransferRuns) {
    phone->holdTransferAt(content.size() / 4);
    auto operation = startTransfer();
    double last = progressAtHoldPoint();
    EXPECT_EQ(last, 0.25);
    phone->releaseTransfer();
    while (last < 1.0) {
        const double progress = service.ongoingCallProgress();
        EXPECT_GE(progress, last);
        last = progress;
    }
    operation.join();

    EXPECT_EQ(result, MtpResult::Success);
    EXPECT_EQ(service.ongoingCallProgress(), 1.0);
    const auto stored = phone->storedObject(objectHandle);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->destinationPath, "/recovery/update_package");
    EXPECT_EQ(std::string(stored->content.begin(), stored->content.end()), content);
}

}  // namespace
}  // namespace kvinternal
