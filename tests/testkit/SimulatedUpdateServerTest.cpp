// The parts of the test kit that other tests trust without seeing: a wrong word of the body, a
// wrong range or a tracking endpoint that takes anything would let a wrong download or a wrong
// checksum pass.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "PatternedBody.h"
#include "common/Crc32.h"
#include "support/ServerServicesFixture.h"

namespace kvtest {
namespace {

using HttpResult = kv::HttpProvider::HttpResult;
using kvinternal::ContentType;
using kvinternal::network;
using kvinternal::Thrown;
using kvinternal::thrownBy;

uint64_t littleEndianWord(const std::string& bytes) {
    uint64_t value = 0;
    for (auto byte = bytes.rbegin(); byte != bytes.rend(); ++byte) {
        value = value << 8 | static_cast<uint8_t>(*byte);
    }
    return value;
}

TEST(PatternedBodyTest, EachWordHoldsItsOwnOffset) {
    for (const uint64_t offset : {uint64_t{0}, uint64_t{8}, uint64_t{4096}, uint64_t{1} << 33,
                                  uint64_t{0x0102030405060708} & ~uint64_t{7}}) {
        EXPECT_EQ(littleEndianWord(PatternedBody::bytes(offset, 8)), offset);
    }
}

TEST(PatternedBodyTest, AnUnalignedPieceIsTheSameBytesAsInTheWhole) {
    const std::string whole = PatternedBody::bytes(0, 64);
    for (const auto& [offset, length] : {std::make_pair(3, 21), std::make_pair(8, 5),
                                         std::make_pair(13, 0), std::make_pair(1, 63)}) {
        EXPECT_EQ(PatternedBody::bytes(offset, length), whole.substr(offset, length))
            << offset << "+" << length;
    }
}

class SimulatedUpdateServerTest : public kvinternal::ServerServicesFixture, public ::testing::Test {
protected:
    // Status, Content-Range and body of the answer to a request of package "p" with this Range
    // header (none when empty).
    std::tuple<int32_t, std::string, std::string> fetchPackage(const std::string& range) {
        kv::HttpProvider::HttpRequest request{SimulatedUpdateServer::packageUrl("p"), {}, {}};
        if (!range.empty()) {
            request.headers["Range"] = range;
        }
        std::shared_ptr<kv::HttpProvider::HttpResponse> response;
        EXPECT_EQ(
            provider->get(std::make_shared<const kv::HttpProvider::HttpRequest>(request), response),
            HttpResult::Success);
        std::string body;
        std::shared_ptr<uint8_t[]> buffer(new uint8_t[1000]);
        for (bool moreData = true; moreData;) {
            uint64_t bytesRead = 0;
            EXPECT_EQ(provider->readBody(buffer, 1000, bytesRead, moreData), HttpResult::Success);
            body.append(reinterpret_cast<const char*>(buffer.get()), bytesRead);
        }
        const auto contentRange = response->headers.find("Content-Range");
        return {response->statusCode,
                contentRange == response->headers.end() ? "" : contentRange->second, body};
    }
};

TEST_F(SimulatedUpdateServerTest, AnswersRangesAtTheEdgesOfThePackage) {
    server->addPackage(SimulatedPackage::example("p", 100));
    const auto served = [](int32_t status, uint64_t first, uint64_t length, std::string range) {
        return std::make_tuple(status, std::move(range), PatternedBody::bytes(first, length));
    };
    const std::pair<std::string, std::tuple<int32_t, std::string, std::string>> cases[] = {
        {"", served(200, 0, 100, "")},
        {"bytes=0-0", served(206, 0, 1, "bytes 0-0/100")},
        {"bytes=99-99", served(206, 99, 1, "bytes 99-99/100")},
        {"bytes=37-", served(206, 37, 63, "bytes 37-99/100")},
        {"bytes=90-150", served(206, 90, 10, "bytes 90-99/100")},
        {"bytes=100-100", served(416, 0, 0, "bytes */100")},
        {"bytes=5-4", served(400, 0, 0, "")},
        {"bytes=-5", served(400, 0, 0, "")},
        {"items=0-1", served(400, 0, 0, "")},
    };
    for (const auto& [range, expected] : cases) {
        EXPECT_EQ(fetchPackage(range), expected) << range;
    }
}

TEST_F(SimulatedUpdateServerTest, UpdateQueriesNeedTheKeyOfTheEnvironment) {
    const std::string test = "https://update-test.kavrin.example/yav/v";
    const std::string release = "https://update.kavrin.example/yav/v";
    const std::string releaseKey = kvinternal::servers::yavClientKey(kv::Kavrin::Server::Release);
    const std::pair<std::string, int64_t> cases[] = {
        {test + "3/updates?" + clientKey, 0},           {test + "3/updates?" + releaseKey, 401},
        {test + "3/updates?model=X&" + clientKey, 400}, {test + "4/updates?model=X", 401},
        {release + "4/updates?" + releaseKey, 0},       {release + "4/updates?" + clientKey, 401},
    };
    for (const auto& [url, status] : cases) {
        EXPECT_EQ(thrownBy([&, url = url] { http->get(url, url, ContentType::Json); }).code, status)
            << url;
    }
}

TEST_F(SimulatedUpdateServerTest, TrackingKeepsOnlyDocumentsWithTheRightChecksumAndKey) {
    const auto post = [this](const std::string& url, const std::string& body,
                             std::map<std::string, std::string> headers) {
        return thrownBy([&] { http->post(url, url, body, ContentType::Json, headers); });
    };
    const auto checksum = [](const std::string& body, uint32_t flip = 0) {
        return std::map<std::string, std::string>{
            {"YAV-checksum", std::to_string(kvinternal::crc32(body) ^ flip)}};
    };
    const std::string v3 = "https://update-test.kavrin.example/trackingv3?" + clientKey;
    const std::string v4 = trackingUrl + "?" + clientKey;
    const std::string good = "{\"n\": 1}";
    const Thrown badRequest = network("HTTP Bad request: 400", 400, true);
    EXPECT_EQ(post(v4, good, checksum(good)), Thrown{});
    EXPECT_EQ(post(v3, "{\"n\": 2}", checksum("{\"n\": 2}")), Thrown{});
    EXPECT_EQ(post(v4, good, checksum(good, 1)), badRequest);
    EXPECT_EQ(post(v4, good, {}), badRequest);
    EXPECT_EQ(post(v4, "not json", checksum("not json")), badRequest);
    EXPECT_EQ(
        post(trackingUrl + "?" + kvinternal::servers::yavClientKey(kv::Kavrin::Server::Release),
             good, checksum(good))
            .code,
        401);
    const auto documents = server->trackingDocuments();
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(std::make_tuple(documents[0].protocol, documents[0].document["n"].asInt()),
              std::make_tuple(Protocol::V4, 1));
    EXPECT_EQ(std::make_tuple(documents[1].protocol, documents[1].text),
              std::make_tuple(Protocol::V3, std::string("{\"n\": 2}")));
}

}  // namespace
}  // namespace kvtest
