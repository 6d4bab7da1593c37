#include "server/YavService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "support/LastOf.h"
#include "support/ServerServicesFixture.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;
using HttpResult = kv::HttpProvider::HttpResult;
using kvtest::Endpoint;
using kvtest::ServerFault;
using Query = std::map<std::string, std::string>;

const std::string base = servers::updateServerBase(kv::Kavrin::Server::Test);
const std::string noHits =
    "Server reported bad request. This is regarded as no hits, so we won't fail the search for "
    "updates.";

IdentifierCollection phone(int protocol) {
    return {{IdentifierId::HasGotaV4Support, protocol == 4 ? "true" : "false"},
            {IdentifierId::HasDeltaSupport, protocol == 4 ? "false" : "true"},
            {IdentifierId::MtpApplicationCertificateId, "cert-7"},
            {IdentifierId::CalculatedImei, "490154203237518"},
            {IdentifierId::Language, "sv"},
            {IdentifierId::Model, "Vexa 10"},
            {IdentifierId::HwConfigRevision, "R2"},
            {IdentifierId::AppSwVersion, "61.2.A.0.120"},
            {IdentifierId::BuildVariant, "USER"},
            {IdentifierId::Tac, "49015420"},
            {IdentifierId::CarrierId, "carrier-9"},
            {IdentifierId::VexaProductCode, "VPC-1"},
            {IdentifierId::SwVariant, "variant-old"},
            {IdentifierId::CdfId, "cdf-1"},
            {IdentifierId::CdfVersion, "R5A"},
            {IdentifierId::AppSwId, "sw-1"},
            {IdentifierId::IdentifierCacheId, "iic-1"}};
}

uint64_t idNumber(const std::string& id) {
    EXPECT_EQ(id.rfind("YAV:", 0), 0u) << id;
    return std::stoull(id.substr(4));
}

// A query service of either protocol, reporting to the simulated server's tracking endpoint.
class YavServiceTest : public ServerServicesFixture, public ::testing::Test {
protected:
    // None of these answers is worth a retry; a wait would mean one happened.
    void TearDown() override { EXPECT_TRUE(sleeps.empty()) << "the query waited to retry"; }

    YavService service(int protocol, const std::string& group = "",
                       std::shared_ptr<HttpService> queryHttp = nullptr) {
        return YavService(Log(logger), queryHttp ? queryHttp : http, tracking, clientKey,
                          base + "/yav/v" + std::to_string(protocol) + "/updates", directory.path(),
                          group, {});
    }

    // What a query of a protocol 4 phone threw.
    Thrown outcome() {
        return thrownBy([this] { service(4).queryUpdates(phone(4), records); });
    }

    // The "yavSync" members of the manifest events the server received.
    std::vector<Json::Value> manifestEvents() const {
        std::vector<Json::Value> events;
        for (const auto& posted : server->trackingDocuments()) {
            events.push_back(posted.document["yavSync"]);
        }
        return events;
    }

    UpdateRegistry records;
};

TEST_F(YavServiceTest, SendsTheKeyFirstAndTheProtocolsNonEmptyParameters) {
    auto sparse = phone(3);
    sparse.erase(IdentifierId::Tac);
    sparse.erase(IdentifierId::MtpApplicationCertificateId);
    const Query common{{"channelType", "cable"},
                       {"content", "fw"},
                       {"IMEI", "490154203237518"},
                       {"lang", "sv"},
                       {"model", "Vexa 10"},
                       {"securityState", "R2"},
                       {"sw-revision", "61.2.A.0.120"},
                       {"sw-type", "user"}};
    struct Case {
        int protocol;
        IdentifierCollection identifiers;
        std::string group;
        Query added;
    };
    const Case cases[] = {
        {4,
         phone(4),
         "",
         {{"clientcertid", "cert-7"},
          {"tac", "49015420"},
          {"carrier-id", "carrier-9"},
          {"vexa-product-code", "VPC-1"},
          {"sw-variant", "variant-old"}}},
        {3,
         sparse,
         "beta testers",
         {{"group", "beta testers"},
          {"cust-id", "cdf-1"},
          {"cust-revision", "R5A"},
          {"sw-id", "sw-1"}}},
    };
    for (const auto& testCase : cases) {
        logger->clear();
        service(testCase.protocol, testCase.group).queryUpdates(testCase.identifiers, records);
        const auto served = kvtest::lastOf(server->requests(Endpoint::Updates));
        auto expected = common;
        expected.insert(testCase.added.begin(), testCase.added.end());
        EXPECT_EQ(served.query, expected);
        EXPECT_EQ(served.clientKey, clientKey);
        const auto& url = served.request.url;
        ASSERT_EQ(url.rfind(base + "/yav/v" + std::to_string(testCase.protocol) + "/updates?" +
                                clientKey + "&",
                            0),
                  0u)
            << url;
        const auto logUrl = url.substr(0, url.find(clientKey)) +
                            url.substr(url.find(clientKey) + clientKey.size() + 1);
        EXPECT_TRUE(logger->contains("HTTP GET on: " + logUrl));
        EXPECT_EQ(kvtest::lastOf(manifestEvents())["updateUrl"].asString(), logUrl);
        EXPECT_FALSE(logger->containsFragment(clientKey));
        EXPECT_FALSE(trackingLogger->containsFragment(clientKey));
    }
}

TEST_F(YavServiceTest, EachFotaBecomesARecordSharingItsFwElement) {
    auto first = kvtest::SimulatedPackage::example("a", 1000);
    first.dynConf["minBatteryLevel"] = 40;
    first.dynConf["lowMemoryWarning"] = Json::UInt64{7000000000};
    auto second = kvtest::SimulatedPackage::example("b", 2000);
    second.fwId = first.fwId;
    auto other = kvtest::SimulatedPackage::example("c", 3000);
    for (const auto& package : {first, second, other}) {
        server->addPackage(package);
    }
    service(4).queryUpdates(phone(4), records);
    ASSERT_EQ(records.size(), 3u);
    std::vector<std::shared_ptr<const InternalUpdateMetadata>> found;
    for (const auto& [id, record] : records) {
        found.push_back(record);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return idNumber(a->metadata.id) < idNumber(b->metadata.id);
    });
    EXPECT_EQ(idNumber(found[1]->metadata.id), idNumber(found[0]->metadata.id) + 1);
    EXPECT_EQ(idNumber(found[2]->metadata.id), idNumber(found[0]->metadata.id) + 2);

    const auto& [m0, m1, m2] = std::tie(found[0]->metadata, found[1]->metadata, found[2]->metadata);
    EXPECT_EQ(std::tie(m1.name, m1.version, m1.releaseNotesUrl, m1.type, m1.updateOptions),
              std::tie(m0.name, m0.version, m0.releaseNotesUrl, m0.type, m0.updateOptions));
    EXPECT_EQ(std::tie(m0.name, m0.releaseNotesUrl, m0.type, m0.size),
              std::make_tuple("Update a", "https://notes.kavrin.example/a", 2, 1000u));
    EXPECT_EQ(m0.updateOptions, std::vector<int32_t>{0});
    for (const auto* m : {&m0, &m1}) {
        EXPECT_EQ(std::tie(m->lowMemoryWarning, m->minBatteryLevel, m->minUAWorkSize,
                           m->installationDuration, m->reservedBytesForUpdate),
                  std::make_tuple(7000000000u, 40, 104857600u, -1, 0u));
    }
    EXPECT_EQ(std::tie(m2.lowMemoryWarning, m2.minBatteryLevel), std::make_tuple(524288000u, -1));

    ASSERT_EQ(found[1]->dataVersion, 2);
    const auto& record = static_cast<const InternalUpdateMetadataV2&>(*found[1]);
    const auto hash = server->packageHash("b");
    EXPECT_EQ(std::tie(record.fwId, record.serverChecksum, record.hash, record.targetSwVersion),
              std::make_tuple("fw-a", "checksum-a", hash, "2.0.0.b"));
    EXPECT_EQ(std::tie(record.identifierCacheId, record.currentSwVersion),
              std::make_tuple("iic-1", "61.2.A.0.120"));
    EXPECT_EQ(std::tie(record.carrierId, record.vexaProductCode, record.swVariant,
                       record.targetSwVariant),
              std::make_tuple("carrier-9", "VPC-1", "variant-old", "variant-b"));
    EXPECT_EQ(record.deltaFile.url(), kvtest::SimulatedUpdateServer::packageUrl("b"));
    EXPECT_EQ(record.deltaFile.path(), directory.file("b.bin"));
    EXPECT_EQ(std::make_tuple(record.deltaFile.fileSize(), record.deltaFile.checksum()),
              std::make_tuple(2000u, hash));

    const auto events = manifestEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["status"], "ok");
    EXPECT_EQ(events[0]["checksum"], "simulated-manifest-1");
    ASSERT_EQ(events[0]["hits"]["fw"].size(), 3u);
    EXPECT_EQ(events[0]["hits"]["fw"][2]["swVersion"], "2.0.0.c");
}

TEST_F(YavServiceTest, ProtocolThreeRecordsCarryCdfFieldsAndNeedNoTracking) {
    server->addPackage(kvtest::SimulatedPackage::example("a", 1000));
    tracking.reset();
    service(3).queryUpdates(phone(3), records);
    ASSERT_EQ(records.size(), 1u);
    const auto& record = *records.begin()->second;
    ASSERT_EQ(record.dataVersion, 1);
    const auto& v1 = static_cast<const InternalUpdateMetadataV1&>(record);
    EXPECT_EQ(std::tie(v1.swId, v1.cdfId, v1.cdfVersion, v1.cdfRevision),
              std::make_tuple("sw-a", "cdf-a", "R5A", "cdf-rev-a"));
    EXPECT_EQ(record.metadata.type, 0);
    EXPECT_TRUE(manifestEvents().empty());
}

TEST_F(YavServiceTest, ManifestWithoutPackagesIsStillReported) {
    for (const std::string body : {R"({"checksum":"c"})", R"({"checksum":"c","fw":[]})",
                                   R"({"checksum":"c","fw":[{"installElements":{}}]})"}) {
        server->injectFault(Endpoint::Updates, ServerFault::withBody(body));
        service(4).queryUpdates(phone(4), records);
        EXPECT_TRUE(records.empty()) << body;
        const auto event = kvtest::lastOf(manifestEvents());
        EXPECT_EQ(std::tie(event["status"], event["checksum"]), std::make_tuple("ok", "c"));
        EXPECT_TRUE(event["hits"]["fw"].empty()) << event;
    }
    EXPECT_TRUE(logger->contains(
        Channel::Info, "YAV JSON response [{\n  \"checksum\" : \"c\"\n}] parsed successfully"));
}

TEST_F(YavServiceTest, MalformedManifestEndsInAClearExceptionAndAddsNothing) {
    const std::string fota = R"({"downloadUrl":"https://h/p/a.bin","size":5})";
    const std::pair<std::string, Thrown> cases[] = {
        {R"({"fw":{}})", illegalState("Malformed YAV manifest: fw: not an array")},
        {"[1]", illegalState("Malformed YAV manifest: the document: not an object")},
        {R"({"fw":["x"]})", illegalState("Malformed YAV manifest: fw[0]: not an object")},
        {R"({"fw":[{"name":{}}]})",
         illegalState("Malformed YAV manifest: fw[0].name: Type is not convertible to string")},
        {R"({"fw":[{"dynConf":[]}]})",
         illegalState("Malformed YAV manifest: fw[0].dynConf: not an object")},
        {R"({"fw":[{"installElements":{"fotas":{}}}]})",
         illegalState("Malformed YAV manifest: fw[0].installElements.fotas: not an array")},
        {R"({"fw":[{"installElements":{"fotas":[)" + fota + R"(,{"size":"5"}]}}]})",
         illegalState("Malformed YAV manifest: fw[0].installElements.fotas[1].size: "
                      "Value is not convertible to UInt64.")},
        {R"({"fw":[{"installElements":{"fotas":[{"size":-5}]}}]})",
         illegalState("Malformed YAV manifest: fw[0].installElements.fotas[0].size: "
                      "LargestInt out of UInt64 range")},
        {R"({"fw":[{"installElements":{"fotas":[)" + fota +
             R"(,{"downloadUrl":"https://h/p/.."}]}}]})",
         {"illegal argument", "Could not extract delta filename from url: https://h/p/.."}},
        {R"({"fw":[{"installElements":{"fotas":[{"downloadUrl":"a.bin"}]}}]})",
         {"illegal argument", "Could not extract delta filename from url: a.bin"}},
        // A package may not take the place of the library's own files.
        {R"({"fw":[{"installElements":{"fotas":[{"downloadUrl":"https://h/identifiers.cache"}]}}]})",
         {"illegal argument",
          "Could not extract delta filename from url: https://h/identifiers.cache"}},
    };
    records["YAV:earlier"] = nullptr;
    for (const auto& [body, expected] : cases) {
        server->injectFault(Endpoint::Updates, ServerFault::withBody(body));
        EXPECT_EQ(outcome(), expected) << body;
        EXPECT_EQ(records.size(), 1u);
    }
    EXPECT_TRUE(manifestEvents().empty());
}

TEST_F(YavServiceTest, FailedQueriesAreLoggedReportedAndRethrownButBadRequestIsNoHits) {
    struct Case {
        ServerFault fault;
        Thrown thrown;
        std::string error;
        std::string status;
        std::string statusCode;
    };
    const std::string general = "General error when executing HTTP provider function";
    const Case cases[] = {
        {ServerFault::providerFailure(HttpResult::Cancelled),
         {"cancelled", "Client cancelled"},
         "Get manifest failed: cancelled by user: Client cancelled",
         "cancelled",
         "401"},
        {ServerFault::providerFailure(HttpResult::GeneralError), illegalState(general),
         "Get manifest failed: illegal state exception: " + general, "error", "409"},
        {ServerFault::providerFailure(HttpResult::CommunicationFailed),
         network("Network problem: communication failed", 3, false),
         "Get manifest failed: Network problem: communication failed", "error", "KV200003"},
        {ServerFault::withStatus(403), network("HTTP Forbidden: 403", 403, true),
         "Get manifest failed: HTTP Forbidden: 403", "error", "DM000403"},
        {ServerFault::withStatus(400),
         {},
         "Get manifest failed: HTTP Bad request: 400",
         "error",
         "DM000400"},
        {ServerFault::withBody("not json"),
         illegalState("YAV JSON response [not json] failed to be parsed: * Line 1, Column 1\n"
                      "  Syntax error: value, object or array expected.\n"),
         "Get manifest failed: manifest parser error: ", "error", "451"},
    };
    server->addPackage(kvtest::SimulatedPackage::example("a", 1000));
    for (const auto& testCase : cases) {
        logger->clear();
        server->injectFault(Endpoint::Updates, testCase.fault);
        EXPECT_EQ(outcome(), testCase.thrown);
        EXPECT_TRUE(records.empty());
        EXPECT_EQ(logger->messages(Channel::Error).at(0), testCase.error);
        const auto event = kvtest::lastOf(manifestEvents());
        EXPECT_EQ(std::tie(event["status"], event["statusCode"]),
                  std::tie(testCase.status, testCase.statusCode));
        EXPECT_FALSE(event.isMember("hits"));
        EXPECT_EQ(logger->contains(Channel::Info, noHits), testCase.thrown.kind == "nothing");
    }
    EXPECT_EQ(manifestEvents().size(), std::size(cases));
}

TEST_F(YavServiceTest, ProviderThatThrowsIsReportedAsAGeneralFailure) {
    const std::tuple<std::function<void()>, Thrown, std::string> cases[] = {
        {[] { throw std::runtime_error("provider broke"); },
         {"std", "provider broke"},
         "Sending manifest failed tracking event (general): provider broke"},
        {[] { throw 7; }, {"other", ""}, "Sending manifest failed tracking event (...)"},
    };
    for (const auto& [raise, thrown, error] : cases) {
        const auto query = service(4, "", throwingHttp(raise));
        EXPECT_EQ(thrownBy([&] { query.queryUpdates(phone(4), records); }), thrown);
        EXPECT_TRUE(logger->contains(Channel::Error, error));
        EXPECT_EQ(kvtest::lastOf(manifestEvents())["statusCode"], "409");
    }
}

}  // namespace
}  // namespace kvinternal
