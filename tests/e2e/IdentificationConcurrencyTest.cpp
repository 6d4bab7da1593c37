#include <thread>

#include "EndToEndFixture.h"

namespace kvtest {
namespace {

class IdentificationConcurrencyTest : public EndToEndTest {};

TEST_F(IdentificationConcurrencyTest, CancelDuringIdentificationStopsIt) {
    openSession();
    logger->holdAt("Successfully retrieved identifier: User type: consumer");
    Result result = Result::Ok;
    std::shared_ptr<std::string> id;
    std::thread identifier([&] { result = kavrin->IdentifyDevice(id); });
    logger->waitUntilHeld();

    double progress = 0;
    EXPECT_EQ(kavrin->GetProgress(progress), Result::Ok);
    EXPECT_EQ(progress, 0.04);  // one read of 4 units out of 100
    EXPECT_EQ(kavrin->Cancel(), Result::Ok);
    EXPECT_EQ(kavrin->GetProgress(progress), Result::Ok);
    EXPECT_EQ(progress, 1.0);
    logger->release();
    identifier.join();

    EXPECT_EQ(result, Result::Cancelled);
    EXPECT_TRUE(id->empty());
    EXPECT_TRUE(logger->contains("Cancelling session function call"));
    EXPECT_TRUE(logger->contains("Client cancelled function call: User cancelled"));
}

}  // namespace
}  // namespace kvtest
