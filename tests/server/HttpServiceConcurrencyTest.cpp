#include <thread>

#include "HttpServiceTestSupport.h"
#include "control/ProgressHandler.h"

namespace kvinternal {
namespace {

class HttpServiceConcurrencyTest : public HttpServiceTest {};

// Downloads start and end while the host keeps cancelling: every cancel sees either no call or
// a live one, and only a live one reaches the provider.
TEST_F(HttpServiceConcurrencyTest, CancelRacesWithDownloadsStartingAndEnding) {
    constexpr int rounds = 200;
    std::thread operation([&] {
        for (int round = 0; round < rounds; ++round) {
            auto download = std::make_shared<ProgressHandler>(10, Log(logger));
            service.setOngoingCall(download);
            service.setOngoingCall({});
        }
    });
    for (int round = 0; round < rounds; ++round) {
        service.cancel();
    }
    operation.join();
    const size_t cancelled = logger->count("Cancelling HTTP function call.");
    EXPECT_EQ(cancelled + logger->count("No ongoing HTTP function call to cancel."),
              static_cast<size_t>(rounds));
    EXPECT_EQ(provider->calls().cancel, cancelled);
}

}  // namespace
}  // namespace kvinternal
