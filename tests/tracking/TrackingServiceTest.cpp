#include "tracking/TrackingService.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <map>
#include <set>
#include <stdexcept>

#include "TrackingFixture.h"
#include "control/Exceptions.h"

namespace kvinternal {
namespace {

using kvtest::RecordedHttpRequest;
using HttpResult = kv::HttpProvider::HttpResult;

const char* const versionMembers[] = {"sourceSwVariant", "targetSwVariant", "sourceCdfRevision",
                                      "targetCdfRevision"};

template <typename Record, typename... Arguments>
std::shared_ptr<Record> update(const std::string& fwId, Arguments... arguments) {
    auto record = std::make_shared<Record>(
        arguments..., kv::Kavrin::UpdateMetadata{},
        DeltaFile::create("/nonexistent", Log(), "https://dl.kavrin.example/" + fwId, 10, ""));
    record->fwId = fwId;
    record->serverChecksum = "sum-" + fwId;
    record->currentSwVersion = "61.2";
    record->targetSwVersion = "62.0";
    return record;
}

std::shared_ptr<InternalUpdateMetadataV1> v1Update(const std::string& fwId = "fw-v1") {
    auto record = update<InternalUpdateMetadataV1>(fwId);
    record->cdfVersion = "R2A";
    record->cdfRevision = "R3A";
    return record;
}

std::shared_ptr<InternalUpdateMetadataV2> v2Update(const std::string& fwId = "fw-v2") {
    auto record = update<InternalUpdateMetadataV2>(fwId);
    record->swVariant = "EU";
    record->targetSwVariant = "EU2";
    return record;
}

std::string referenceBase64(const std::string& bytes) {
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    encoded.resize(static_cast<size_t>(length));
    return encoded;
}

uint32_t referenceCrc(const std::string& text) {
    return static_cast<uint32_t>(::crc32(::crc32(0L, Z_NULL, 0),
                                         reinterpret_cast<const Bytef*>(text.data()),
                                         static_cast<uInt>(text.size())));
}

class TrackingServiceTest : public TrackingFixture {
protected:
    Json::Value lastPosted() const {
        const auto documents = posted();
        return documents.empty() ? Json::Value() : documents.back();
    }
};

TEST_F(TrackingServiceTest, DownloadEventOfAFirstVersionUpdate) {
    auto service = construct();
    service->downloadEvent(identifiers, *v1Update(), TrackingStatus::Initiated, 0, "", -1);

    const std::string sessionId =
        sessionIds->getSessionId(identifiers[IdentifierId::EncryptedImei], "", "fw-v1", true);
    ASSERT_EQ(sessionId.size(), 36u);
    const auto expected = json::parse(R"({"time": )" + std::to_string(now) + R"(,
        "update": {"sessionId": ")" + sessionId +
                                      R"(",
          "device": {"id": "490154203237518", "clientVersion": "2.0.1", "model": "Vexa 10",
            "buildVariant": "", "carrierId": "", "vexaProductCode": "", "swVariant": "",
            "cdfId": "", "cdfRevision": "", "swVersion": "61.2.A.0.120"},
          "fw": {"id": "fw-v1", "checksum": "sum-fw-v1", "channelType": "cable",
            "initiator": "Kavrin host", "phase": "download", "status": "initiated",
            "sourceSwVersion": "61.2", "targetSwVersion": "62.0", "sourceCdfRevision": "R2A",
            "targetCdfRevision": "R3A", "network": "Cable", "downloadMode": "Manual"}}})");
    ASSERT_TRUE(expected.ok) << expected.errors;
    EXPECT_EQ(lastPosted(), expected.root);
    EXPECT_TRUE(lastPosted()["time"].isUInt64());
    EXPECT_TRUE(logger->contains(Channel::Info,
                                 "Handle event triggered with statusCode:  and status: initiated"));
}

TEST_F(TrackingServiceTest, EachRecordKindGivesItsOwnVersionMembers) {
    identifiers[IdentifierId::HwConfigRevision] = "2";
    struct Case {
        std::shared_ptr<InternalUpdateMetadata> record;
        std::map<std::string, std::string> members;
    } cases[] = {
        {v1Update(), {{"sourceCdfRevision", "R2A"}, {"targetCdfRevision", "R3A"}}},
        {v2Update(), {{"sourceSwVariant", "EU"}, {"targetSwVariant", "EU2"}}},
        {update<InternalUpdateMetadata>("plain", 0), {}},
        {update<InternalUpdateMetadata>("plain-claiming-2", 2), {}},
    };
    auto service = construct();
    for (const auto& testCase : cases) {
        service->transferEvent(identifiers, *testCase.record, TrackingStatus::Ok, 0, "", -1);
        const Json::Value document = lastPosted();
        const Json::Value& fw = document["update"]["fw"];
        for (const char* member : versionMembers) {
            const auto found = testCase.members.find(member);
            EXPECT_EQ(fw.get(member, "(absent)").asString(),
                      found == testCase.members.end() ? "(absent)" : found->second)
                << testCase.record->fwId << " " << member;
        }
        EXPECT_EQ(document["update"]["device"]["securityState"], "2");
        EXPECT_FALSE(fw.isMember("network") || fw.isMember("downloadMode") ||
                     fw.isMember("statusCode") || fw.isMember("log"))
            << testCase.record->fwId;
    }
}

TEST_F(TrackingServiceTest, LogTextIsCutTo70000BytesThenEncoded) {
    std::string longText(70001, 'a');
    for (size_t i = 0; i < longText.size(); ++i) {
        longText[i] = static_cast<char>(i % 251);
    }
    const std::pair<std::string, std::string> cases[] = {
        {"", "(absent)"},
        {"\xff\x01", referenceBase64("\xff\x01")},
        {longText.substr(0, 70000), referenceBase64(longText.substr(0, 70000))},
        {longText, referenceBase64(longText.substr(0, 70000))},
    };
    auto service = construct();
    for (const auto& [text, encoded] : cases) {
        service->installEvent(identifiers, *v2Update(), TrackingStatus::Ok, 0, text, -1);
        EXPECT_EQ(lastPosted()["update"]["fw"].get("log", "(absent)").asString(), encoded)
            << text.size() << " bytes";
    }
}

TEST_F(TrackingServiceTest, PostsToTheKeyedUrlWithAnUnsignedCrcAndKeepsTheKeyOutOfTheLog) {
    auto service = construct();
    // A document whose CRC-32 has its top bit set, which a signed rendering would get wrong.
    Json::Value document;
    uint32_t expected = 0;
    for (int i = 0; expected < 0x80000000u; ++i) {
        document["n"] = i;
        expected = referenceCrc(json::styled(document));
    }
    ASSERT_TRUE(service->sendDocument(document));

    const auto requests = provider->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, RecordedHttpRequest::Method::Post);
    EXPECT_EQ(requests[0].url, trackingUrl + "?" + clientKey);
    EXPECT_EQ(requests[0].headers.at("YAV-checksum"), std::to_string(expected));
    EXPECT_EQ(requests[0].headers.at("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(requests[0].body).root, document);
    EXPECT_TRUE(logger->contains(Channel::Info, "HTTP POST on: " + trackingUrl));
    EXPECT_FALSE(logger->containsFragment(clientKey));
}

TEST_F(TrackingServiceTest, SendFailuresAreLoggedByKind) {
    const std::string url = " occured when sending tracking data for tracking url: " + trackingUrl;
    const std::pair<std::function<HttpAnswer()>, std::string> cases[] = {
        {refused, "IllegalStateException" + url +
                      ", exception: General error when executing HTTP provider function"},
        {[] { return HttpAnswer::withoutResponse(HttpResult::Cancelled); },
         "CancelledException" + url + ", exception: Client cancelled"},
        {[] { return HttpAnswer::withStatus(400); },
         "NetworkException" + url + ", exception: HTTP Bad request: 400"},
        {[]() -> HttpAnswer { throw std::logic_error("provider fault"); }, "Unknown error" + url},
    };
    auto service = construct();
    for (const auto& [failure, line] : cases) {
        answer = [&failure = failure](const RecordedHttpRequest&) { return failure(); };
        logger->clear();
        EXPECT_FALSE(service->sendDocument(Json::Value("x")));
        EXPECT_EQ(logger->messages(Channel::Error), std::vector<std::string>{line});
    }
}

TEST_F(TrackingServiceTest, FailedSendStoresTheEventAndSendsNothingElse) {
    store("recent", 5 * minute, 5 * minute);
    answer = [](const RecordedHttpRequest&) { return refused(); };
    auto service = construct();  // the 5 minutes old document waits
    EXPECT_EQ(provider->calls().post, 0u);

    service->preverificationEvent(identifiers, *v1Update(), 1, "", -1);
    EXPECT_EQ(provider->calls().post, 1u);
    ASSERT_EQ(storedNames().size(), 2u);
    EXPECT_EQ(storedDocument("recent")["resend"]["latestResendAttempt"], now - 5 * minute);

    answer = [](const RecordedHttpRequest&) { return accepted(); };
    service->preverificationEvent(identifiers, *v1Update(), 0, "", -1);
    const auto documents = posted();
    ASSERT_EQ(documents.size(), 4u);  // the failed event, the new one, then both stored ones
    EXPECT_EQ(documents[1]["update"]["fw"]["status"], "ok");
    std::multiset<std::string> resent;
    for (const auto& document : {documents[2], documents[3]}) {
        resent.insert(document.get("name", document["update"]["fw"]["statusCode"]).asString());
        EXPECT_FALSE(document.isMember("resend"));
    }
    EXPECT_EQ(resent, (std::multiset<std::string>{"VE000001", "recent"}));
    EXPECT_TRUE(storedNames().empty());
}

TEST_F(TrackingServiceTest, AStartedDownloadTiesTheLaterEventsTogether) {
    auto service = construct();
    const auto firstUpdate = v2Update("fw-1");
    service->transferEvent(identifiers, *firstUpdate, TrackingStatus::Ok, 0, "", -1);
    EXPECT_EQ(lastPosted()["update"]["sessionId"], "");
    EXPECT_TRUE(
        logger->contains(Channel::Error, "Could not retrieve a update session id, using blank"));

    service->downloadEvent(identifiers, *firstUpdate, TrackingStatus::Initiated, 0, "", -1);
    const Json::Value sessionId = lastPosted()["update"]["sessionId"];
    EXPECT_EQ(sessionId.asString().size(), 36u);
    service->downloadEvent(identifiers, *firstUpdate, TrackingStatus::Ok, 0, "", -1);
    service->downloadEvent(identifiers, *firstUpdate, TrackingStatus::Initiated, 0, "", -1);
    service->installEvent(identifiers, *firstUpdate, TrackingStatus::Ok, 0, "", -1);
    service->downloadEvent(identifiers, *v2Update("fw-2"), TrackingStatus::Initiated, 0, "", -1);

    const auto documents = posted();
    ASSERT_EQ(documents.size(), 6u);
    for (size_t i = 2; i < 5; ++i) {
        EXPECT_EQ(documents[i]["update"]["sessionId"], sessionId) << i;
    }
    EXPECT_NE(documents[5]["update"]["sessionId"], sessionId);
}

TEST_F(TrackingServiceTest, PhaseOutcomesReachTheDocument) {
    auto service = construct();
    const auto record = v1Update();
    sessionIds->createSessionId(identifiers[IdentifierId::EncryptedImei], "", record->fwId);
    struct Case {
        std::function<void()> report;
        std::string status;
        std::string statusCode;
        std::vector<std::string> errors;
    } cases[] = {
        {[&] { service->downloadEvent(identifiers, *record, TrackingStatus::Warning, 0, "", -1); },
         "warning",
         "(absent)",
         {"Warning event for download not allowed"}},
        {[&] {
             service->installEvent(identifiers, *record, static_cast<TrackingStatus>(9), 3, "", 5);
         },
         "warning",
         "(absent)",
         {"Invalid update status for install phase", "No matching status found"}},
        {[&] { service->downloadEvent(identifiers, *record, TrackingStatus::Error, 6, "", 404); },
         "error",
         "DM000404",
         {}},
        {[&] { service->preverificationEvent(identifiers, *record, 4, "", -1); },
         "cancelled",
         "401",
         {}},
    };
    for (const auto& testCase : cases) {
        logger->clear();
        testCase.report();
        const Json::Value fw = lastPosted()["update"]["fw"];
        EXPECT_EQ(fw["status"], testCase.status);
        EXPECT_EQ(fw.get("statusCode", "(absent)").asString(), testCase.statusCode);
        EXPECT_EQ(logger->messages(Channel::Error), testCase.errors) << testCase.status;
    }
}

TEST_F(TrackingServiceTest, ManifestDocuments) {
    auto service = construct();
    const std::string updateUrl = "https://update.kavrin.example/yav/v4/updates?x=1";
    service->manifestReceived(
        identifiers,
        {v2Update("fw-b"), nullptr, v1Update("fw-a"), update<InternalUpdateMetadata>("fw-c", 0)},
        "manifest-sum", updateUrl);
    service->manifestReceived(identifiers, {}, "empty-sum", updateUrl);
    service->manifestError(3, identifiers, updateUrl, 404);

    const auto expectedSync = [&](const std::string& members) {
        const auto parsed = json::parse(R"({"time": )" + std::to_string(now) + R"(,
            "yavSync": {"deviceId": "490154203237518", "updateUrl": ")" +
                                        updateUrl + R"(",
            "network": "cable", "initiator": "Kavrin host", "clientVersion": "2.0.1",
            "trigger": "manual", )" + members +
                                        "}}");
        EXPECT_TRUE(parsed.ok) << parsed.errors;
        return parsed.root;
    };
    const auto documents = posted();
    ASSERT_EQ(documents.size(), 3u);
    EXPECT_EQ(documents[0], expectedSync(R"("status": "ok", "checksum": "manifest-sum",
        "hits": {"fw": [
          {"id": "fw-b", "swVersion": "62.0", "swVariant": "EU2", "checksum": "sum-fw-b"},
          {"id": "fw-a", "swVersion": "62.0", "cdfRevision": "R3A", "checksum": "sum-fw-a"},
          {"id": "fw-c", "swVersion": "62.0", "checksum": "sum-fw-c"}]})"));
    EXPECT_EQ(documents[1],
              expectedSync(R"("status": "ok", "checksum": "empty-sum", "hits": {"fw": []})"));
    EXPECT_EQ(documents[2], expectedSync(R"("status": "error", "statusCode": "DM000404")"));
    EXPECT_EQ(logger->count("Manifest received"), 2u);
}

TEST_F(TrackingServiceTest, RefusesMissingServices) {
    EXPECT_THROW(TrackingService(directory.path(), Log(logger), nullptr, sessionIds, clientKey,
                                 trackingUrl, "host", "1"),
                 IllegalArgumentException);
    EXPECT_THROW(TrackingService(directory.path(), Log(logger), http, nullptr, clientKey,
                                 trackingUrl, "host", "1"),
                 IllegalArgumentException);
}

}  // namespace
}  // namespace kvinternal
