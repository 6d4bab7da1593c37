#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MtpFlowFixture.h"
#include "control/ProgressHandler.h"

namespace kvinternal {
namespace {

// The operation thread runs a transfer while this thread, as the host's second thread, cancels
// or polls it the way the dispatcher does.
class MtpServiceConcurrencyTest : public MtpFlowFixture {
protected:
    static constexpr uint64_t chunk = packageBytes / 12;

    void SetUp() override {
        MtpFlowFixture::SetUp();
        phone->setTransferChunkSize(chunk);
        writePackage(*record);
    }

    std::thread startTransfer() {
        return std::thread([this] { thrown = thrownBy([this] { transfer(service, *record); }); });
    }

    std::shared_ptr<InternalUpdateMetadata> record = update(1);
    Thrown thrown;
};

TEST_F(MtpServiceConcurrencyTest, CancelDuringTheTransferKeepsNoHandle) {
    phone->holdTransferAt(packageBytes / 2);
    auto operation = startTransfer();
    phone->waitUntilTransferHeld();
    EXPECT_EQ(service.ongoingCallProgress(), 0.5);
    currentProgress->current().lock()->cancel();
    service.cancelOngoingCall();
    operation.join();

    EXPECT_EQ(thrown, (Thrown{"cancelled", "Client cancelled"}));
    EXPECT_TRUE(service.objectHandles().empty());
    EXPECT_EQ(events({"transfer"}),
              (std::vector<std::string>{"transfer|initiated||", "transfer|cancelled|401|"}));
    // The transfer's handler is gone, so there is nothing left to cancel.
    service.cancelOngoingCall();
    EXPECT_EQ(phone->cancelCalls(), 1);
}

TEST_F(MtpServiceConcurrencyTest, ProgressRisesWhileThePhoneReceives) {
    phone->holdTransferAt(3 * chunk);
    auto operation = startTransfer();
    phone->waitUntilTransferHeld();
    EXPECT_EQ(service.ongoingCallProgress(), 0.25);
    phone->holdTransferAt(9 * chunk);
    phone->releaseTransfer();
    phone->waitUntilTransferHeld();
    double last = service.ongoingCallProgress();
    EXPECT_EQ(last, 0.75);
    // What progress falls back to once the phone reports the transfer finished.
    EXPECT_EQ(currentProgress->current().lock()->fraction(), 0.75);
    phone->releaseTransfer();
    while (last < 1.0) {
        const double progress = service.ongoingCallProgress();
        EXPECT_GE(progress, last);
        last = progress;
    }
    operation.join();

    EXPECT_EQ(thrown, Thrown{});
    EXPECT_EQ(phone->storedObject(service.objectHandles().at("YAV:1")).value().size, packageBytes);
}

}  // namespace
}  // namespace kvinternal
