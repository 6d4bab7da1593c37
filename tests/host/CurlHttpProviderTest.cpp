#include <unistd.h>
#include <zlib.h>

#include "CurlProviderFixture.h"
#include "InProcessServerProvider.h"
#include "PatternedBody.h"
#include "control/ServerChoice.h"

namespace kvtest {
namespace {

constexpr uint64_t size = 50'000;
constexpr uint64_t smallBuffer = 777;

std::string packageUrl() {
    return SimulatedUpdateServer::packageUrl("pkg");
}

TEST_F(CurlProviderTest, AnswersOverHttpsMatchTheInProcessFrontEndPieceByPiece) {
    struct Case {
        const char* range;
        int32_t status;
        uint64_t first;
        uint64_t length;
    };
    server->addPackage(SimulatedPackage::example("pkg", size));
    start();
    const auto curl = connect(frontEnd->port());
    InProcessServerProvider inProcess(server);
    for (const Case& c :
         {Case{"", 200, 0, size}, Case{"bytes=1000-4999", 206, 1000, 4000},
          Case{"bytes=49000-", 206, 49000, 1000}, Case{"bytes=50000-", 416, 0, 0}}) {
        SCOPED_TRACE(c.range);
        std::map<std::string, std::string> headers;
        if (*c.range) {
            headers["Range"] = c.range;
        }
        const Fetched overHttps = fetch(*curl, request(packageUrl(), headers), smallBuffer);
        const Fetched direct = fetch(inProcess, request(packageUrl(), headers));
        ASSERT_EQ(overHttps.result, HttpResult::Success);
        EXPECT_EQ(overHttps.readResult, HttpResult::Success);
        EXPECT_EQ(overHttps.response->statusCode, c.status);
        EXPECT_EQ(direct.response->statusCode, c.status);
        for (const char* name : {"Content-Type", "Content-Range"}) {
            EXPECT_EQ(overHttps.header(name), direct.header(name)) << name;
        }
        EXPECT_EQ(overHttps.body, PatternedBody::bytes(c.first, c.length));
        EXPECT_EQ(overHttps.body, direct.body);
        // Full pieces through the small buffer; only the last one says the body ended.
        for (std::size_t i = 0; i + 1 < overHttps.pieces.size(); ++i) {
            EXPECT_EQ(overHttps.pieces[i], std::make_pair(smallBuffer, true)) << i;
        }
        EXPECT_FALSE(overHttps.pieces.back().second);
    }
}

TEST_F(CurlProviderTest, PostCarriesItsBodyAndHeadersAsGiven) {
    start();
    const auto curl = connect(frontEnd->port());
    const std::string url = "https://update-test.kavrin.example/trackingv4?" +
                            kvinternal::servers::yavClientKey(kv::Kavrin::Server::Test);
    const std::string body = R"({"update":{"fw":{"phase":"download"}}})";
    const auto crc = crc32_z(0, reinterpret_cast<const Bytef*>(body.data()), body.size());
    const auto post = [&](std::map<std::string, std::string> headers) {
        auto request = std::make_shared<kv::HttpProvider::HttpPostRequest>();
        request->url = url;
        request->headers = std::move(headers);
        request->trustedKeys = {publicKeyHex("dev")};
        request->data.reset(new uint8_t[body.size()]);
        std::copy(body.begin(), body.end(), request->data.get());
        request->dataSize = body.size();
        std::shared_ptr<kv::HttpProvider::HttpResponse> response;
        EXPECT_EQ(curl->post(request, response), HttpResult::Success);
        return response ? response->statusCode : -1;
    };

    EXPECT_EQ(post({{"Content-Type", "application/json"}, {"YAV-checksum", std::to_string(crc)}}),
              200);
    EXPECT_EQ(post({{"YAV-checksum", "1"}}), 400);
    const auto documents = server->trackingDocuments();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].text, body);
    const auto requests = server->requests(Endpoint::Tracking);
    ASSERT_EQ(requests.size(), 2u);
    const auto& sent = requests[0].request.headers;
    EXPECT_EQ(sent.at("YAV-checksum"), std::to_string(crc));
    EXPECT_EQ(sent.at("Content-Type"), "application/json");
    EXPECT_EQ(sent.count("Expect"), 0u);
    // libcurl's own form content type is not sent in place of a missing one.
    EXPECT_EQ(requests[1].request.headers.count("Content-Type"), 0u);
}

TEST_F(CurlProviderTest, PinnedKeysDecideWhichServerIsTrusted) {
    struct Case {
        const char* name;
        const char* serverKey;
        const char* anchor;
        std::vector<std::string> trustedKeys;
        HttpResult expected;
    };
    const std::string dev = publicKeyHex("dev");
    const std::string other = publicKeyHex("other");
    ASSERT_EQ(dev.size(), 588u);
    server->addPackage(SimulatedPackage::example("pkg", size));
    for (const Case& c : {
             Case{"pinned key", "dev", "dev", {dev}, HttpResult::Success},
             Case{"pinned among several", "dev", "dev", {other, dev}, HttpResult::Success},
             Case{"trusted certificate, other pin",
                  "dev",
                  "dev",
                  {other},
                  HttpResult::CertificateVerificationError},
             Case{"trusted certificate, unpinned key",
                  "other",
                  "other",
                  {dev},
                  HttpResult::CertificateVerificationError},
             Case{"untrusted certificate",
                  "other",
                  "dev",
                  {},
                  HttpResult::CertificateVerificationError},
             Case{"key that is not hex", "dev", "dev", {"0g"}, HttpResult::InvalidArgument},
         }) {
        SCOPED_TRACE(c.name);
        start(c.serverKey);
        const auto curl = connect(frontEnd->port(), c.anchor);
        EXPECT_EQ(fetch(*curl, request(packageUrl(), {}, c.trustedKeys)).result, c.expected);
    }
    // Plain http presents no key to check.
    const auto curl = connect(frontEnd->port());
    EXPECT_EQ(fetch(*curl, request("http://update-test.kavrin.example/packages/pkg.bin")).result,
              HttpResult::CertificateError);
}

TEST_F(CurlProviderTest, BrokenConnectionsMapToCommunicationFailedWithoutLosingBytes) {
    server->addPackage(SimulatedPackage::example("pkg", size));
    server->injectFault(Endpoint::Package, ServerFault::cutBodyAfter(5000));
    server->injectFault(Endpoint::Package,
                        ServerFault::providerFailure(HttpResult::CommunicationFailed));
    start();
    const auto curl = connect(frontEnd->port());

    const Fetched cut = fetch(*curl, request(packageUrl()), smallBuffer);
    EXPECT_EQ(cut.result, HttpResult::Success);
    EXPECT_EQ(cut.body, PatternedBody::bytes(0, 5000));
    EXPECT_EQ(cut.readResult, HttpResult::CommunicationFailed);
    // The model's failure arrives as a connection closed without an answer.
    EXPECT_EQ(fetch(*curl, request(packageUrl())).result, HttpResult::CommunicationFailed);

    // A port where nobody listens any more.
    const auto [probe, port] = loopbackSocket();
    close(probe);
    const auto refused = connect(port);
    EXPECT_EQ(fetch(*refused, request(packageUrl())).result, HttpResult::CommunicationFailed);
}

TEST_F(CurlProviderTest, NewExchangeStartsCleanAfterABodyLeftUnread) {
    server->addPackage(SimulatedPackage::example("pkg", 4'000'000));
    start();
    const auto curl = connect(frontEnd->port());
    std::shared_ptr<kv::HttpProvider::HttpResponse> response;
    ASSERT_EQ(curl->get(request(packageUrl()), response), HttpResult::Success);
    std::shared_ptr<uint8_t[]> buffer(new uint8_t[1000]);
    uint64_t bytesRead = 0;
    bool moreData = false;
    ASSERT_EQ(curl->readBody(buffer, 1000, bytesRead, moreData), HttpResult::Success);
    EXPECT_TRUE(moreData);

    const Fetched next = fetch(*curl, request(packageUrl(), {{"Range", "bytes=100-199"}}));
    EXPECT_EQ(next.response->statusCode, 206);
    EXPECT_EQ(next.body, PatternedBody::bytes(100, 100));
}

}  // namespace
}  // namespace kvtest
