#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "CurlProviderFixture.h"
#include "PatternedBody.h"
#include "ReadGate.h"

namespace kvtest {
namespace {

using CurlProviderConcurrencyTest = CurlProviderTest;

TEST_F(CurlProviderConcurrencyTest, CancelEndsAReadHeldByTheServerAndKeepsWhatArrived) {
    const uint64_t holdAt = 300'000;
    server->addPackage(SimulatedPackage::example("pkg", 1'000'000));
    auto gate = std::make_shared<ReadGate>();
    server->injectFault(Endpoint::Package, ServerFault::holdBodyAt(holdAt, gate));
    start();
    const auto curl = connect(frontEnd->port());
    Fetched held;
    ASSERT_EQ(curl->get(request(SimulatedUpdateServer::packageUrl("pkg")), held.response),
              HttpResult::Success);
    // Cancelled while the reads below wait for the held body (or before they start).
    std::thread canceller([&] {
        gate->waitUntilBlocked();
        curl->cancel();
    });
    std::shared_ptr<uint8_t[]> buffer(new uint8_t[1 << 20]);
    bool moreData = true;
    while (moreData && held.readResult == HttpResult::Success) {
        uint64_t bytesRead = 0;
        held.readResult = curl->readBody(buffer, 1 << 20, bytesRead, moreData);
        held.body.append(reinterpret_cast<const char*>(buffer.get()), bytesRead);
    }
    canceller.join();
    EXPECT_EQ(held.readResult, HttpResult::Cancelled);
    EXPECT_LE(held.body.size(), holdAt);
    EXPECT_EQ(held.body, PatternedBody::bytes(0, held.body.size()));

    // The provider serves the next exchange; the model's fault was for one request.
    gate->release();
    EXPECT_EQ(fetch(*curl, request(SimulatedUpdateServer::packageUrl("pkg"))).body.size(),
              1'000'000u);
}

TEST_F(CurlProviderConcurrencyTest, CancelEndsAGetWhoseServerNeverAnswers) {
    // A listener that takes the connection and then says nothing, not even TLS.
    const auto [bound, port] = loopbackSocket();
    const int listener = bound;  // a plain variable, for the lambda
    ASSERT_EQ(listen(listener, 1), 0);
    const auto curl = connect(port);
    int connection = -1;
    std::thread canceller([&] {
        connection = accept(listener, nullptr, nullptr);
        curl->cancel();
    });
    std::shared_ptr<kv::HttpProvider::HttpResponse> response;
    EXPECT_EQ(curl->get(request(SimulatedUpdateServer::packageUrl("pkg")), response),
              HttpResult::Cancelled);
    canceller.join();
    EXPECT_FALSE(response);
    close(connection);
    close(listener);
}

}  // namespace
}  // namespace kvtest
