#include <thread>

#include "PatternedBody.h"
#include "SimulatedServerFixture.h"

namespace kvtest {
namespace {

class SimulatedServerConcurrencyTest : public SimulatedServerTest {
protected:
    void SetUp() override {
        server->addPackage(SimulatedPackage::example("p", 100));
        server->injectFault(Endpoint::Package, ServerFault::holdBodyAt(10, gate));
        operation =
            std::thread([this] { fetched = fetch(SimulatedUpdateServer::packageUrl("p")); });
        gate->waitUntilBlocked();
    }

    std::shared_ptr<ReadGate> gate = std::make_shared<ReadGate>();
    std::thread operation;
    Fetched fetched;
};

TEST_F(SimulatedServerConcurrencyTest, CancelEndsTheHeldRead) {
    provider->cancel();
    operation.join();
    EXPECT_EQ(fetched.body, PatternedBody::bytes(0, 10));
    EXPECT_EQ(fetched.readResult, HttpResult::Cancelled);
    EXPECT_EQ(provider->cancelCalls(), 1u);
}

TEST_F(SimulatedServerConcurrencyTest, ReleaseLetsTheHeldReadGoOn) {
    gate->release();
    operation.join();
    EXPECT_EQ(fetched.body, PatternedBody::bytes(0, 100));
    EXPECT_EQ(fetched.readResult, HttpResult::Success);
}

}  // namespace
}  // namespace kvtest
