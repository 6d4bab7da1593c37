#include <thread>

#include "HttpServiceTestSupport.h"
#include "control/Exceptions.h"

namespace kvinternal {
namespace {

class HttpServiceConcurrencyTest : public HttpServiceTest {};

// Queries start and end while the host keeps cancelling: every cancel sees either no call or
// a running one, and only a running one reaches the provider.
TEST_F(HttpServiceConcurrencyTest, CancelRacesWithCallsStartingAndEnding) {
    constexpr int rounds = 200;
    provider->enqueue(kvtest::HttpAnswer::withBody("{}", "application/json"), rounds);
    std::thread operation([&] {
        for (int round = 0; round < rounds; ++round) {
            try {
                service.get("https://u.example/q", "q", ContentType::Json);
            } catch (const CancelledException&) {
                // A cancel that met the read; the next query starts afresh.
            }
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
