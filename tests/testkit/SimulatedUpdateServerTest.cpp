#include <openssl/sha.h>

#include <pugixml.hpp>

#include <array>
#include <iomanip>
#include <sstream>

#include "PatternedBody.h"
#include "SimulatedServerFixture.h"
#include "common/Crc32.h"
#include "common/JsonText.h"
#include "server/HttpService.h"

namespace kvtest {
namespace {

using kv::Kavrin;

const std::string testBase = "https://update-test.kavrin.example";
const std::string imageUrl = "https://images-stage.kavrin.example/zunt/services/updates";
constexpr char fotaType[] = "application/vnd.vexaltronic.fota.update";

std::string sha256Hex(const std::string& bytes) {
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
    std::ostringstream hex;
    for (const unsigned char byte : digest) {
        hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(byte);
    }
    return hex.str();
}

// What a test states about an exchange; `body` holds the bytes read before any read failure.
struct Outcome {
    HttpResult result = HttpResult::Success;
    int32_t status = 200;
    std::string contentType;
    std::string contentRange = "<none>";
    std::string body;
    HttpResult readResult = HttpResult::Success;

    bool operator==(const Outcome& other) const {
        return result == other.result && status == other.status &&
               contentType == other.contentType && contentRange == other.contentRange &&
               body == other.body && readResult == other.readResult;
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    return out << "result " << static_cast<int>(outcome.result) << ", status " << outcome.status
               << ", type " << outcome.contentType << ", range " << outcome.contentRange << ", "
               << outcome.body.size() << " body bytes, read result "
               << static_cast<int>(outcome.readResult);
}

Outcome outcomeOf(const Fetched& fetched) {
    if (!fetched.response) {
        return {fetched.result, -1, "<none>", "<none>", "", HttpResult::Success};
    }
    return {fetched.result,
            fetched.response->statusCode,
            fetched.header("Content-Type"),
            fetched.header("Content-Range"),
            fetched.body,
            fetched.readResult};
}

Outcome served(int32_t status, uint64_t first, uint64_t length, std::string contentRange) {
    return {HttpResult::Success,
            status,
            fotaType,
            std::move(contentRange),
            PatternedBody::bytes(first, length),
            HttpResult::Success};
}

Outcome refused(int32_t status) {
    return {HttpResult::Success, status, "<none>", "<none>", "", HttpResult::Success};
}

class SimulatedUpdateServerTest : public SimulatedServerTest {
protected:
    void SetUp() override { server->addPackage(SimulatedPackage::example("p", 100)); }

    Json::Value manifest(const std::string& url) {
        return kvinternal::json::parse(fetch(url).body).root;
    }

    Outcome fetchPackage(const char* range) {
        std::map<std::string, std::string> headers;
        if (range) {
            headers["Range"] = range;
        }
        return outcomeOf(fetch(SimulatedUpdateServer::packageUrl("p"), headers));
    }
};

TEST_F(SimulatedUpdateServerTest, AnswersRangesAtTheEdgesOfThePackage) {
    const std::pair<const char*, Outcome> cases[] = {
        {nullptr, served(200, 0, 100, "<none>")},
        {"bytes=0-0", served(206, 0, 1, "bytes 0-0/100")},
        {"bytes=99-99", served(206, 99, 1, "bytes 99-99/100")},
        {"bytes=37-", served(206, 37, 63, "bytes 37-99/100")},
        {"bytes=90-150", served(206, 90, 10, "bytes 90-99/100")},
        {"bytes=100-100", {HttpResult::Success, 416, fotaType, "bytes */100", "", {}}},
        {"bytes=5-4", refused(400)},
        {"bytes=-5", refused(400)},
        {"items=0-1", refused(400)},
    };
    for (const auto& [range, expected] : cases) {
        EXPECT_EQ(fetchPackage(range), expected) << (range ? range : "no range");
    }
}

TEST_F(SimulatedUpdateServerTest, EachFaultChangesTheAnswerAsNamed) {
    const std::pair<ServerFault, Outcome> cases[] = {
        {ServerFault::withStatus(503), refused(503)},
        {ServerFault::providerFailure(HttpResult::CertificateError),
         {HttpResult::CertificateError, -1, "<none>", "<none>", "", HttpResult::Success}},
        {ServerFault::cutBodyAfter(30),
         {HttpResult::Success, 206, fotaType, "bytes 10-99/100", PatternedBody::bytes(10, 30),
          HttpResult::CommunicationFailed}},
        {ServerFault::rangeIgnored(), served(200, 0, 100, "<none>")},
        {ServerFault::wrongContentRange("bytes 10-99/101"), served(206, 10, 90, "bytes 10-99/101")},
        {ServerFault::withoutContentType(),
         {HttpResult::Success, 206, "<none>", "bytes 10-99/100", PatternedBody::bytes(10, 90), {}}},
        {ServerFault::withBody("{"),
         {HttpResult::Success, 206, fotaType, "bytes 10-99/100", "{", {}}},
    };
    for (const auto& [fault, expected] : cases) {
        server->injectFault(Endpoint::Package, fault);
        EXPECT_EQ(fetchPackage("bytes=10-99"), expected);
    }
    EXPECT_EQ(fetchPackage("bytes=10-99"), served(206, 10, 90, "bytes 10-99/100"));
}

TEST_F(SimulatedUpdateServerTest, FaultsAreConsumedInOrderPerEndpoint) {
    server->injectFault(Endpoint::Updates, ServerFault::withStatus(503), 2);
    server->injectFault(Endpoint::Updates, ServerFault::withStatus(500),
                        SimulatedUpdateServer::forever);
    const std::string url = testBase + "/yav/v4/updates?" + testKey;
    for (int i = 0; i < 4; ++i) {
        fetch(url);
    }
    EXPECT_EQ(fetchPackage(nullptr).status, 200);
    std::vector<int32_t> statuses;
    for (const ServedRequest& request : server->requests(Endpoint::Updates)) {
        statuses.push_back(request.status);
    }
    EXPECT_EQ(statuses, (std::vector<int32_t>{503, 503, 500, 500}));
    EXPECT_EQ(server->count(Endpoint::Package), 1u);
}

TEST_F(SimulatedUpdateServerTest, AResumedDownloadIsServedOnlyTheMissingBytesInLimitedPieces) {
    server->setPieceLimit(7);
    server->injectFault(Endpoint::Package, ServerFault::cutBodyAfter(40));
    const Fetched first = fetch(SimulatedUpdateServer::packageUrl("p"));
    const Fetched rest =
        fetch(SimulatedUpdateServer::packageUrl("p"), {{"Range", "bytes=40-99"}}, 5);
    EXPECT_EQ(first.readResult, HttpResult::CommunicationFailed);
    EXPECT_EQ(first.body + rest.body, PatternedBody::bytes(0, 100));
    EXPECT_EQ(first.pieces, (std::vector<uint64_t>{7, 7, 7, 7, 7, 5}));
    EXPECT_EQ(rest.pieces.size(), 12u);
    EXPECT_EQ(server->bytesServed("p"), 100u);
}

TEST_F(SimulatedUpdateServerTest, StreamedMultiMebibytePackageHasTheManifestHash) {
    const uint64_t size = 5 * 1024 * 1024 + 5;
    server->addPackage(SimulatedPackage::example("big", size));
    const Json::Value fotas =
        manifest(testBase + "/yav/v4/updates?" + testKey)["fw"][1]["installElements"]["fotas"];
    const Fetched download = fetch(fotas[0]["downloadUrl"].asString(), {}, 1000000);
    EXPECT_EQ(download.body.size(), size);
    EXPECT_EQ(download.pieces.size(), 6u);
    EXPECT_EQ(sha256Hex(download.body), fotas[0]["hash"].asString());
    EXPECT_EQ(server->packageHash("big"), fotas[0]["hash"].asString());
}

// "fw-a[a a2]" per "fw" element, naming each package by its address.
std::string offered(const Json::Value& manifest) {
    std::string text;
    for (const Json::Value& fw : manifest["fw"]) {
        text += fw["id"].asString() + "[";
        for (const Json::Value& fota : fw["installElements"]["fotas"]) {
            const std::string url = fota["downloadUrl"].asString();
            const std::size_t name = url.rfind('/') + 1;
            text += url.substr(name, url.size() - name - 4) + " ";
        }
        text.back() = ']';
    }
    return text;
}

TEST_F(SimulatedUpdateServerTest, OffersPackagesPerProtocolAndPhoneGroupedByFwId) {
    SimulatedPackage second = SimulatedPackage::example("p2", 200);
    second.fwId = "fw-p";
    SimulatedPackage forX1 = SimulatedPackage::example("x", 300);
    forX1.models = {"X1"};
    forX1.protocols = {Protocol::V4};
    SimulatedPackage legacy = SimulatedPackage::example("l", 400);
    legacy.protocols = {Protocol::V3};
    for (const auto& package : {second, forX1, legacy}) {
        server->addPackage(package);
    }
    const std::pair<std::string, std::string> cases[] = {
        {"/yav/v4/updates?" + std::string(testKey) + "&model=X1", "fw-p[p p2]fw-x[x]"},
        {"/yav/v4/updates?" + std::string(testKey) + "&model=Y2", "fw-p[p p2]"},
        {"/yav/v3/updates?" + std::string(testKey) + "&model=X1", "fw-p[p p2]fw-l[l]"},
    };
    for (const auto& [query, expected] : cases) {
        EXPECT_EQ(offered(manifest(testBase + query)), expected) << query;
    }
}

TEST_F(SimulatedUpdateServerTest, ManifestMembersFollowTheProtocol) {
    SimulatedPackage package = SimulatedPackage::example("p", 100);
    package.dynConf["minBatteryLevel"] = 40;
    package.statedHash = "";
    server->addPackage(package);
    server->setManifestChecksum("m-1");
    const std::string stage = "https://update-stage.kavrin.example";
    const Json::Value v4 = manifest(stage + "/yav/v4/updates?" + testKey);
    const Json::Value v3 = manifest(stage + "/yav/v3/updates?" + testKey);
    EXPECT_EQ(v4["checksum"], "m-1");
    const Json::Value& fw = v4["fw"][0];
    EXPECT_EQ(fw.getMemberNames(),
              (std::vector<std::string>{"checksum", "dynConf", "extendedInfo", "id",
                                        "installElements", "name", "version"}));
    EXPECT_EQ(fw["dynConf"]["minBatteryLevel"], 40);
    const Json::Value& fota = fw["installElements"]["fotas"][0];
    EXPECT_EQ(fota.getMemberNames(),
              (std::vector<std::string>{"downloadUrl", "hash", "size", "swVariant", "swVersion"}));
    EXPECT_EQ(fota["downloadUrl"], SimulatedUpdateServer::packageUrl("p", Kavrin::Server::Stage));
    EXPECT_EQ(fota["hash"], "");
    EXPECT_EQ(fota["size"].asUInt64(), 100u);
    EXPECT_EQ(v3["fw"][0]["installElements"]["fotas"][0].getMemberNames(),
              (std::vector<std::string>{"cdfId", "cdfRevision", "downloadUrl", "hash", "size",
                                        "swId", "swVersion"}));
}

TEST_F(SimulatedUpdateServerTest, AQueryWithoutHitsGetsAnEmptyListOrBadRequest) {
    const std::string url = testBase + "/yav/v4/updates?" + testKey + "&model=none";
    server->addPackage([] {
        SimulatedPackage package = SimulatedPackage::example("p", 100);
        package.models = {"other"};
        return package;
    }());
    const Fetched empty = fetch(url);
    EXPECT_EQ(empty.header("Content-Type"), "application/json");
    EXPECT_EQ(kvinternal::json::parse(empty.body).root["fw"], Json::Value(Json::arrayValue));
    server->setNoHitsAnswer(SimulatedUpdateServer::NoHits::BadRequest);
    EXPECT_EQ(fetch(url).response->statusCode, 400);
}

TEST_F(SimulatedUpdateServerTest, UpdateQueriesNeedTheKeyOfTheEnvironment) {
    const std::string release = "https://update.kavrin.example";
    const std::pair<std::string, int32_t> cases[] = {
        {testBase + "/yav/v3/updates?" + testKey, 200},
        {testBase + "/yav/v3/updates?" + releaseKey, 401},
        {testBase + "/yav/v3/updates?model=X&" + testKey, 400},
        {testBase + "/yav/v4/updates?model=X", 401},
        {release + "/yav/v4/updates?" + releaseKey, 200},
        {release + "/yav/v4/updates?" + testKey, 401},
    };
    for (const auto& [url, status] : cases) {
        EXPECT_EQ(fetch(url).response->statusCode, status) << url;
    }
}

TEST_F(SimulatedUpdateServerTest, RecordsTheDecodedQueryTheLibraryComposes) {
    const std::map<std::string, std::string> parameters{
        {"model", "A&B=C+D"}, {"lang", "sv se"}, {"sw-type", "\xc3\xa9"}};
    fetch(kvinternal::HttpService::composeUrl(testBase + "/yav/v3/updates", testKey, parameters));
    fetch(testBase + "/yav/v3/updates?" + testKey + "&model=%zz");
    const auto requests = server->requests(Endpoint::Updates);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].query, parameters);
    EXPECT_EQ(requests[0].clientKey, testKey);
    EXPECT_EQ(requests[0].protocol, Protocol::V3);
    EXPECT_EQ(requests[0].environment, Kavrin::Server::Test);
    EXPECT_TRUE(requests[1].malformedQuery);
    EXPECT_EQ(requests[1].status, 400);
}

TEST_F(SimulatedUpdateServerTest, TrackingKeepsOnlyDocumentsWithTheRightChecksumAndKey) {
    const std::string good = "{\"n\": 1}";
    const std::string crc = std::to_string(kvinternal::crc32(good));
    const std::string wrongCrc = std::to_string(kvinternal::crc32(good) ^ 1u);
    const std::string v4 = testBase + "/trackingv4?" + testKey;
    const std::string notJson = "not json";
    const std::tuple<std::string, std::string, std::map<std::string, std::string>, int32_t>
        cases[] = {
            {v4, good, {{"YAV-checksum", crc}}, 200},
            {testBase + "/trackingv3?" + testKey,
             "{\"n\": 2}",
             {{"YAV-checksum", std::to_string(kvinternal::crc32("{\"n\": 2}"))}},
             200},
            {v4, good, {{"YAV-checksum", wrongCrc}}, 400},
            {v4, good, {}, 400},
            {v4, notJson, {{"YAV-checksum", std::to_string(kvinternal::crc32(notJson))}}, 400},
            {testBase + "/trackingv4?" + releaseKey, good, {{"YAV-checksum", crc}}, 401},
        };
    for (const auto& [url, body, headers, status] : cases) {
        EXPECT_EQ(post(url, body, headers), status) << url << " " << body;
    }
    const auto documents = server->trackingDocuments();
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(documents[0].protocol, Protocol::V4);
    EXPECT_EQ(documents[0].document["n"], 1);
    EXPECT_EQ(documents[1].protocol, Protocol::V3);
    EXPECT_EQ(documents[1].text, "{\"n\": 2}");
}

TEST_F(SimulatedUpdateServerTest, ImageQueriesGetTheConfiguredReleasesAsXml) {
    ImageRelease release{
        "23.1.0.0.0", "", "https://notes/1", {{}, {"wifi", "image", "cleanUpdate"}}};
    server->setImageUpdates({"secure", "ce-7", {release}});
    const Fetched fetched = fetch(imageUrl + "?channel=cable&model=X%201");
    EXPECT_EQ(fetched.header("Content-Type"), "application/xml");
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(fetched.body.c_str()));
    const pugi::xml_node root = document.child("updateAvailableResponse");
    EXPECT_STREQ(root.child("securityStateType").text().get(), "secure");
    EXPECT_STREQ(root.child("ceParam").text().get(), "ce-7");
    const pugi::xml_node first = root.child("releaseList").first_child();
    EXPECT_STREQ(first.child("swVersion").text().get(), "23.1.0.0.0");
    EXPECT_FALSE(first.child("cdfVersion"));
    const pugi::xml_node type = first.child("updateTypes").last_child();
    EXPECT_STREQ(type.child("channel").text().get(), "wifi");
    EXPECT_STREQ(type.child("type").text().get(), "cleanUpdate");
    const auto requests = server->requests(Endpoint::ImageUpdates);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].query,
              (std::map<std::string, std::string>{{"channel", "cable"}, {"model", "X 1"}}));
    EXPECT_EQ(requests[0].environment, Kavrin::Server::Stage);
}

TEST_F(SimulatedUpdateServerTest, UnknownAddressesAreRefusedLikeAServerWould) {
    EXPECT_EQ(fetch(imageUrl + "/more").response->statusCode, 404);
    EXPECT_EQ(fetch(testBase + "/packages/missing.bin").response->statusCode, 404);
    EXPECT_EQ(fetch(testBase + "/trackingv4?" + testKey).response->statusCode, 405);
    EXPECT_EQ(fetch("https://elsewhere.example/yav/v4/updates").result, HttpResult::UrlError);
    EXPECT_EQ(server->count(Endpoint::Unknown), 2u);
}

}  // namespace
}  // namespace kvtest
