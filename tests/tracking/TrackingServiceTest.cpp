#include "tracking/TrackingService.h"

#include <zlib.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ReferenceCrypto.h"
#include "TrackingFixture.h"
#include "server/InternalUpdateMetadata.h"

namespace kvinternal {
namespace {

using HttpResult = kv::HttpProvider::HttpResult;
using kvtest::Endpoint;
using kvtest::referenceBase64;
using kvtest::ServerFault;

constexpr std::size_t forever = kvtest::SimulatedUpdateServer::forever;

Json::Value parsed(const std::string& text) {
    const auto result = json::parse(text);
    EXPECT_TRUE(result.ok) << result.errors;
    return result.root;
}

class TrackingServiceTest : public TrackingFixture {
protected:
    TrackingServiceTest() {
        identifiers[IdentifierId::Model] = "Vexa 10";
        identifiers[IdentifierId::AppSwVersion] = "61.2.A.0.120";
    }

    std::vector<Json::Value> posted() const {
        std::vector<Json::Value> documents;
        for (const auto& received : server->trackingDocuments()) {
            documents.push_back(received.document);
        }
        return documents;
    }
    // A record whose package is never read, as for events.
    static std::shared_ptr<InternalUpdateMetadata> record(int32_t dataVersion,
                                                          const std::string& fwId) {
        return updateRecord(
            dataVersion, fwId,
            DeltaFile::create("/nonexistent", Log(), "https://dl.kavrin.example/" + fwId, 10, "",
                              nullptr));
    }
    Json::Value lastPosted() const {
        const auto documents = posted();
        return documents.empty() ? Json::Value() : documents.back();
    }
};

TEST_F(TrackingServiceTest, DownloadEventOfAFirstVersionUpdate) {
    identifiers[IdentifierId::CdfId] = "1300-1234";
    identifiers[IdentifierId::CdfVersion] = "R4C";
    tracking->downloadEvent(identifiers, *record(1, "fw-v1"), TrackingStatus::Initiated, 0, "", -1);
    const std::string sessionId =
        sessionIds->getSessionId(identifiers[IdentifierId::EncryptedImei], "", "fw-v1", true);
    ASSERT_EQ(sessionId.size(), 36u);
    EXPECT_EQ(lastPosted(), parsed(R"({"time": )" + std::to_string(now) + R"(,
        "update": {"sessionId": ")" +
                                   sessionId + R"(",
          "device": {"id": "490154203237518", "clientVersion": "2.0.1", "model": "Vexa 10",
            "buildVariant": "", "carrierId": "", "vexaProductCode": "", "swVariant": "",
            "cdfId": "1300-1234", "cdfRevision": "R4C", "swVersion": "61.2.A.0.120"},
          "fw": {"id": "fw-v1", "checksum": "sum-fw-v1", "channelType": "cable",
            "initiator": "Kavrin host", "phase": "download", "status": "initiated",
            "sourceSwVersion": "61.2", "targetSwVersion": "62.0", "sourceCdfRevision": "R2A",
            "targetCdfRevision": "R3A", "network": "Cable", "downloadMode": "Manual"}}})"));
    EXPECT_TRUE(lastPosted()["time"].isUInt64());
}

TEST_F(TrackingServiceTest, EachRecordKindGivesOnlyItsOwnVersionMembers) {
    identifiers[IdentifierId::HwConfigRevision] = "2";
    // The members follow the record's kind, not the data version it states.
    const auto claiming = record(0, "plain-claiming-2");
    claiming->dataVersion = 2;
    const std::pair<std::shared_ptr<InternalUpdateMetadata>, std::string> cases[] = {
        {record(1, "fw-v1"), R"({"sourceCdfRevision": "R2A", "targetCdfRevision": "R3A"})"},
        {record(2, "fw-v2"), R"({"sourceSwVariant": "EU", "targetSwVariant": "EU2"})"},
        {record(0, "plain"), "{}"},
        {claiming, "{}"},
    };
    for (const auto& [update, members] : cases) {
        tracking->transferEvent(identifiers, *update, TrackingStatus::Ok, 0, "", -1);
        Json::Value fw = lastPosted()["update"]["fw"];
        for (const char* common : {"id", "checksum", "channelType", "initiator", "phase", "status",
                                   "sourceSwVersion", "targetSwVersion"}) {
            Json::Value removed;
            EXPECT_TRUE(fw.removeMember(common, &removed) && removed.isString())
                << update->fwId << " " << common;
        }
        EXPECT_EQ(fw, parsed(members)) << update->fwId;  // no network, mode, code or log
        EXPECT_EQ(lastPosted()["update"]["device"]["securityState"], "2");
    }
}

TEST_F(TrackingServiceTest, LogTextIsCutTo70000BytesThenEncoded) {
    std::string longText(70001, '\0');
    for (size_t i = 0; i < longText.size(); ++i) {
        longText[i] = static_cast<char>(i % 251);
    }
    const std::string cut = longText.substr(0, 70000);
    const std::pair<std::string, std::string> cases[] = {{"", "(absent)"},
                                                         {"\xff", referenceBase64("\xff")},
                                                         {cut, referenceBase64(cut)},
                                                         {longText, referenceBase64(cut)}};
    for (const auto& [text, encoded] : cases) {
        tracking->installEvent(identifiers, *record(2, "fw-v2"), TrackingStatus::Ok, 0, text, -1);
        EXPECT_EQ(lastPosted()["update"]["fw"].get("log", "(absent)").asString(), encoded)
            << text.size() << " bytes";
    }
}

TEST_F(TrackingServiceTest, PostsToTheKeyedUrlWithAnUnsignedCrcAndKeepsTheKeyOutOfTheLog) {
    // A body whose CRC-32 has its top bit set, which a signed rendering would get wrong.
    Json::Value document;
    uLong crc = 0;
    for (int i = 0; crc < 0x80000000u; ++i) {
        document["n"] = i;
        const std::string text = json::styled(document);
        crc = ::crc32(0L, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size()));
    }
    ASSERT_TRUE(tracking->sendDocument(document));
    const auto requests = server->requests(Endpoint::Tracking);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].request.url, trackingUrl + "?" + clientKey);
    EXPECT_EQ(requests[0].request.headers.at("YAV-checksum"), std::to_string(crc));
    EXPECT_EQ(requests[0].request.headers.at("Content-Type"), "application/json");
    EXPECT_EQ(posted(), std::vector<Json::Value>{document});
    EXPECT_TRUE(logger->contains(Channel::Info, "HTTP POST on: " + trackingUrl));
    EXPECT_FALSE(logger->containsFragment(clientKey));
    EXPECT_FALSE(trackingLogger->containsFragment(clientKey));
}

TEST_F(TrackingServiceTest, SendFailuresAreLoggedByKind) {
    const std::string url = " occured when sending tracking data for tracking url: " + trackingUrl;
    const std::pair<ServerFault, std::string> cases[] = {
        {ServerFault::providerFailure(HttpResult::GeneralError),
         "IllegalStateException" + url +
             ", exception: General error when executing HTTP provider function"},
        {ServerFault::providerFailure(HttpResult::Cancelled),
         "CancelledException" + url + ", exception: Client cancelled"},
        {ServerFault::withStatus(400),
         "NetworkException" + url + ", exception: HTTP Bad request: 400"},
    };
    for (const auto& [fault, line] : cases) {
        server->injectFault(Endpoint::Tracking, fault);
        trackingLogger->clear();
        EXPECT_FALSE(tracking->sendDocument(Json::Value("x")));
        EXPECT_EQ(trackingLogger->messages(Channel::Error), std::vector<std::string>{line});
    }
    http = throwingHttp([] { throw std::logic_error("provider fault"); });
    trackingLogger->clear();
    EXPECT_FALSE(makeTracking()->sendDocument(Json::Value("x")));
    EXPECT_EQ(trackingLogger->messages(Channel::Error),
              std::vector<std::string>{"Unknown error" + url});
}

TEST_F(TrackingServiceTest, FailedSendStoresTheEventAndSendsNothingElse) {
    store("recent", 5 * minute, 5 * minute);
    server->injectFault(Endpoint::Tracking, ServerFault::withStatus(400));
    auto service = makeTracking();  // the 5 minutes old document waits
    EXPECT_EQ(server->count(Endpoint::Tracking), 0u);
    service->preverificationEvent(identifiers, *record(1, "fw-v1"), 1, "", -1);
    EXPECT_EQ(server->count(Endpoint::Tracking), 1u);
    EXPECT_EQ(storedNames().size(), 2u);

    service->preverificationEvent(identifiers, *record(1, "fw-v1"), 0, "", -1);
    const auto received = server->trackingDocuments();  // checked against their CRC-32 header
    ASSERT_EQ(received.size(), 3u);                     // the new event, then both stored ones
    EXPECT_EQ(received[0].document["update"]["fw"]["status"], "ok");
    std::multiset<std::string> resent;
    for (const auto& document : {received[1].document, received[2].document}) {
        resent.insert(document.get("name", document["update"]["fw"]["statusCode"]).asString());
        EXPECT_FALSE(document.isMember("resend"));
    }
    EXPECT_EQ(resent, (std::multiset<std::string>{"VE000001", "recent"}));
    EXPECT_TRUE(storedNames().empty());
}

// The event is on disk while its post runs, so that a process killed then does not lose it.
TEST_F(TrackingServiceTest, AnEventIsStoredWhileItIsPosted) {
    const auto sending = [this] {
        return platform::listFilesWithSuffix(directory.path() + "/tracking", ".sending").names;
    };
    auto gate = std::make_shared<kvtest::ReadGate>();
    server->injectFault(Endpoint::Tracking, ServerFault::holdAnswer(gate));
    std::thread posting(
        [&] { tracking->preverificationEvent(identifiers, *record(1, "fw-v1"), 0, "", -1); });
    gate->waitUntilBlocked();
    const auto whilePosted = sending();
    gate->release();
    posting.join();
    ASSERT_EQ(whilePosted.size(), 1u);
    EXPECT_TRUE(sending().empty());
    EXPECT_TRUE(storedNames().empty());
    EXPECT_EQ(server->trackingDocuments().size(), 1u);
}

// A dead endpoint may hold the update once, for 3 s: after that every event of the session,
// of a tracking service built later in it too, is posted once without waiting and stored, until
// a post gets through. A post the host cancelled says nothing about the endpoint.
TEST_F(TrackingServiceTest, AFailedPostIsRetriedOnlyWhileTheEndpointLastWorked) {
    const auto update = record(1, "fw-v1");
    const auto event = [&](TrackingService& service) {
        service.preverificationEvent(identifiers, *update, 1, "", -1);
    };
    server->injectFault(Endpoint::Tracking,
                        ServerFault::providerFailure(kv::HttpProvider::HttpResult::Cancelled));
    event(*tracking);
    server->injectFault(Endpoint::Tracking, ServerFault::withStatus(503), 2 + 1 + 1);
    event(*tracking);  // posted twice, 3 s apart
    event(*tracking);
    event(*makeTracking());
    EXPECT_EQ(sleeps, std::vector<uint64_t>{3000});
    EXPECT_EQ(server->count(Endpoint::Tracking), 1u + 2u + 1u + 1u);
    EXPECT_EQ(storedNames().size(), 4u);

    event(*tracking);  // gets through, and so do the stored ones after it
    EXPECT_TRUE(storedNames().empty());
    server->injectFault(Endpoint::Tracking, ServerFault::withStatus(503));
    event(*tracking);
    EXPECT_EQ(sleeps, (std::vector<uint64_t>{3000, 3000}));
    EXPECT_EQ(server->trackingDocuments().size(), 1u + 4u + 1u);
}

TEST_F(TrackingServiceTest, AStartedDownloadTiesTheLaterEventsTogether) {
    const auto first = record(2, "fw-1");
    tracking->transferEvent(identifiers, *first, TrackingStatus::Ok, 0, "", -1);
    EXPECT_TRUE(trackingLogger->contains(Channel::Error,
                                         "Could not retrieve a update session id, using blank"));
    tracking->downloadEvent(identifiers, *first, TrackingStatus::Initiated, 0, "", -1);
    tracking->downloadEvent(identifiers, *first, TrackingStatus::Error, 6, "", 404);
    tracking->downloadEvent(identifiers, *first, TrackingStatus::Initiated, 0, "", -1);
    tracking->downloadEvent(identifiers, *record(2, "fw-2"), TrackingStatus::Initiated, 0, "", -1);

    const auto documents = posted();
    ASSERT_EQ(documents.size(), 5u);
    const Json::Value sessionId = documents[1]["update"]["sessionId"];
    EXPECT_EQ(documents[0]["update"]["sessionId"], "");
    EXPECT_EQ(sessionId.asString().size(), 36u);
    EXPECT_EQ(documents[2]["update"]["sessionId"], sessionId);
    EXPECT_EQ(documents[2]["update"]["fw"]["statusCode"], "DM000404");
    EXPECT_EQ(documents[3]["update"]["sessionId"], sessionId);
    EXPECT_NE(documents[4]["update"]["sessionId"], sessionId);
}

TEST_F(TrackingServiceTest, ManifestDocuments) {
    const std::string updateUrl = "https://update.kavrin.example/yav/v4/updates?x=1";
    tracking->manifestReceived(identifiers,
                               {record(2, "fw-b"), nullptr, record(1, "fw-a"), record(0, "fw-c")},
                               "manifest-sum", updateUrl);
    tracking->manifestReceived(identifiers, {}, "empty-sum", updateUrl);
    tracking->manifestError(3, identifiers, updateUrl, 404);

    const auto document = [&](const std::string& members) {
        return parsed(R"({"time": )" + std::to_string(now) + R"(, "yavSync": {
            "deviceId": "490154203237518", "updateUrl": ")" +
                      updateUrl + R"(",
            "network": "cable", "initiator": "Kavrin host", "clientVersion": "2.0.1",
            "trigger": "manual", )" +
                      members + "}}");
    };
    const auto documents = posted();
    ASSERT_EQ(documents.size(), 3u);
    EXPECT_EQ(documents[0], document(R"("status": "ok", "checksum": "manifest-sum",
        "hits": {"fw": [
          {"id": "fw-b", "swVersion": "62.0", "swVariant": "EU2", "checksum": "sum-fw-b"},
          {"id": "fw-a", "swVersion": "62.0", "cdfRevision": "R3A", "checksum": "sum-fw-a"},
          {"id": "fw-c", "swVersion": "62.0", "checksum": "sum-fw-c"}]})"));
    EXPECT_EQ(documents[1],
              document(R"("status": "ok", "checksum": "empty-sum", "hits": {"fw": []})"));
    EXPECT_EQ(documents[2], document(R"("status": "error", "statusCode": "DM000404")"));
}

}  // namespace
}  // namespace kvinternal
