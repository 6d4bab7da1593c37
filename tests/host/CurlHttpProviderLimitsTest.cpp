#include <curl/curl.h>
#include <dirent.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "CurlProviderFixture.h"
#include "PatternedBody.h"
#include "ReadGate.h"

namespace kvtest {
namespace {

using namespace std::chrono_literals;

std::string packageUrl() {
    return SimulatedUpdateServer::packageUrl("pkg");
}

// Limits a test can run into within seconds.
kvhost::TransferLimits quickLimits() {
    kvhost::TransferLimits limits;
    limits.connectTimeoutSeconds = 1;
    limits.lowSpeedBytesPerSecond = 1000;
    limits.lowSpeedSeconds = 1;
    return limits;
}

// The client end of this process's one connection to `port`.
int clientSocket(uint16_t port) {
    int found = -1;
    DIR* descriptors = opendir("/proc/self/fd");
    while (dirent* entry = descriptors ? readdir(descriptors) : nullptr) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
            found = fd;
        }
    }
    if (descriptors) {
        closedir(descriptors);
    }
    return found;
}

// Bytes the process has read from a TCP socket: what the kernel received minus what still
// waits in it.
uint64_t bytesTaken(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    int queued = 0;
    EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length), 0);
    EXPECT_EQ(ioctl(fd, FIONREAD, &queued), 0);
    return info.tcpi_bytes_received - static_cast<uint64_t>(queued);
}

TEST_F(CurlProviderTest, StalledTransfersFailAsCommunicationFailedAndKeepWhatArrived) {
    struct Case {
        const char* name;
        ServerFault fault;
        bool bytesArrive;
    };
    auto silence = std::make_shared<ReadGate>();
    server->addPackage(SimulatedPackage::example("pkg", 50'000));
    start();
    const auto curl = connect(frontEnd->port(), "dev", quickLimits());
    // One byte every 50 ms is under 1000 bytes/s, but bytes keep coming.
    for (const Case& c :
         {Case{"drip", ServerFault::dripBody(50ms), true},
          Case{"headers, then silence", ServerFault::holdBodyAt(0, silence), false}}) {
        SCOPED_TRACE(c.name);
        server->injectFault(Endpoint::Package, c.fault);
        const Fetched stalled = fetch(*curl, request(packageUrl()));
        ASSERT_EQ(stalled.result, HttpResult::Success);
        EXPECT_EQ(stalled.response->statusCode, 200);
        EXPECT_EQ(stalled.readResult, HttpResult::CommunicationFailed);
        EXPECT_EQ(!stalled.body.empty(), c.bytesArrive) << stalled.body.size();
        EXPECT_LT(stalled.body.size(), 1000u);
        EXPECT_EQ(stalled.body, PatternedBody::bytes(0, stalled.body.size()));
    }
    silence->release();
    // A transfer at full speed is not affected.
    EXPECT_EQ(fetch(*curl, request(packageUrl())).body, PatternedBody::bytes(0, 50'000));
}

TEST_F(CurlProviderTest, ConnectionNotMadeInTimeFailsTheGet) {
    // A listener that takes the connection and then says nothing, not even TLS.
    const auto [listener, port] = loopbackSocket();
    ASSERT_EQ(listen(listener, 1), 0);
    kvhost::TransferLimits limits = quickLimits();
    limits.lowSpeedSeconds = 600;  // the connect timeout alone ends it
    const auto curl = connect(port, "dev", limits);
    std::shared_ptr<kv::HttpProvider::HttpResponse> response;
    EXPECT_EQ(curl->get(request(packageUrl()), response), HttpResult::CommunicationFailed);
    EXPECT_FALSE(response);
    close(listener);
}

// A tracking post never holds an update for long: an endpoint that takes the connection and
// says nothing more ends the post within the post window, however long the others are.
TEST_F(CurlProviderTest, APostGivesUpWithinItsOwnWindow) {
    const auto [listener, port] = loopbackSocket();
    ASSERT_EQ(listen(listener, 1), 0);
    kvhost::TransferLimits limits = quickLimits();
    limits.connectTimeoutSeconds = 600;
    limits.lowSpeedSeconds = 600;
    limits.postLowSpeedSeconds = 1;
    const auto curl = connect(port, "dev", limits);
    const auto get = request(packageUrl());
    const auto body = std::make_shared<const kv::HttpProvider::HttpPostRequest>(
        kv::HttpProvider::HttpPostRequest{{get->url, {}, get->trustedKeys}, nullptr, 0});
    std::shared_ptr<kv::HttpProvider::HttpResponse> response;
    EXPECT_EQ(curl->post(body, response), HttpResult::CommunicationFailed);
    close(listener);
}

TEST_F(CurlProviderTest, EveryBufferSizeGetsTheBodyWholeInFullPieces) {
    constexpr uint64_t size = 100'000;
    server->addPackage(SimulatedPackage::example("pkg", size));
    start();
    const auto curl = connect(frontEnd->port());
    for (const uint64_t buffer :
         {uint64_t{1}, uint64_t{777}, uint64_t{CURL_MAX_WRITE_SIZE - 1},
          uint64_t{CURL_MAX_WRITE_SIZE}, uint64_t{CURL_MAX_WRITE_SIZE + 1}, uint64_t{1'000'000}}) {
        SCOPED_TRACE(buffer);
        const Fetched fetched = fetch(*curl, request(packageUrl()), buffer);
        EXPECT_EQ(fetched.readResult, HttpResult::Success);
        EXPECT_EQ(fetched.body, PatternedBody::bytes(0, size));
        for (std::size_t i = 0; i + 1 < fetched.pieces.size(); ++i) {
            ASSERT_EQ(fetched.pieces[i], std::make_pair(buffer, true)) << i;
        }
        EXPECT_FALSE(fetched.pieces.back().second);
    }
}

TEST_F(CurlProviderTest, ReaderThatStopsLeavesAtMostOneLibcurlWriteUnread) {
    constexpr uint64_t piece = 1'000'000;
    // The TLS handshake, the response headers and each record's framing (under 32 bytes a
    // record of at most 16 KiB) reach the socket too.
    constexpr uint64_t handshakeAndHeaders = 8 * 1024;
    constexpr uint64_t framingPerRecord = 32;
    server->addPackage(SimulatedPackage::example("pkg", 8 * piece));
    start();
    const auto curl = connect(frontEnd->port());
    std::shared_ptr<kv::HttpProvider::HttpResponse> response;
    ASSERT_EQ(curl->get(request(packageUrl()), response), HttpResult::Success);
    const int socket = clientSocket(frontEnd->port());
    ASSERT_GE(socket, 0);
    std::shared_ptr<uint8_t[]> buffer(new uint8_t[piece]);
    uint64_t handed = 0;
    for (int read = 0; read < 6; ++read) {
        uint64_t bytesRead = 0;
        bool moreData = false;
        ASSERT_EQ(curl->readBody(buffer, piece, bytesRead, moreData), HttpResult::Success);
        ASSERT_EQ(bytesRead, piece);
        ASSERT_EQ(std::memcmp(buffer.get(), PatternedBody::bytes(handed, piece).data(), piece), 0);
        handed += piece;
        const uint64_t taken = bytesTaken(socket);
        const uint64_t framing = (taken / (16 * 1024) + 1) * framingPerRecord;
        EXPECT_LE(taken, handed + CURL_MAX_WRITE_SIZE + handshakeAndHeaders + framing)
            << "after " << handed << " bytes";
    }
}

}  // namespace
}  // namespace kvtest
