#include "server/ZuntService.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <thread>

#include "HttpServiceTestSupport.h"
#include "RecordingLogger.h"
#include "ScriptedHttpProvider.h"
#include "support/LastOf.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;
using HttpResult = kv::HttpProvider::HttpResult;
using kvtest::HttpAnswer;

const std::string zuntUrl = "https://images-test.kavrin.example/zunt/services/updates";
const std::string noHits =
    "Server reported bad request. This is regarded as no hits, so we won't fail the search for "
    "updates.";

std::string element(const std::string& name, const std::string& text) {
    return text.empty() ? "" : "<" + name + ">" + text + "</" + name + ">";
}

std::string updateType(const std::string& format, const std::string& channel,
                       const std::string& type) {
    return "<updateType>" + element("format", format) + element("channel", channel) +
           element("type", type) + "</updateType>";
}

std::string imageCable(const std::string& type) {
    return updateType("image", "cable", type);
}

std::string release(const std::string& swVersion, const std::string& cdfVersion,
                    const std::string& updateTypes) {
    return "<release>" + element("swVersion", swVersion) + element("cdfVersion", cdfVersion) +
           element("releaseNotesUrl", "https://notes.example/" + swVersion) + "<updateTypes>" +
           updateTypes + "</updateTypes></release>";
}

std::string response(const std::string& releases) {
    return "<updateAvailableResponse><securityStateType>PRODUCTION</securityStateType>"
           "<ceParam>CE-0168</ceParam><releaseList>" +
           releases + "</releaseList></updateAvailableResponse>";
}

IdentifierCollection phone() {
    return {{IdentifierId::AppSwId, "1307-1234"},   {IdentifierId::AppSwVersion, "19.3.0.0.0"},
            {IdentifierId::CdfId, "1309-5555"},     {IdentifierId::CdfVersion, "R4A"},
            {IdentifierId::CalculatedImei, "3520"}, {IdentifierId::Language, "sv"},
            {IdentifierId::Model, "K 20"},          {IdentifierId::HwConfigRevision, "R1"},
            {IdentifierId::Tac, "35208811"},        {IdentifierId::IdentifierCacheId, "iic-1"}};
}

uint64_t idNumber(const std::string& id) {
    EXPECT_EQ(id.rfind("ZUNT:", 0), 0u) << id;
    return std::stoull(id.substr(5));
}

class ZuntServiceTest : public ::testing::Test {
protected:
    void answer(const std::string& xml) {
        provider->enqueue(HttpAnswer::withBody(xml, "application/xml"));
    }

    // The records of one query, in id order.
    std::vector<std::shared_ptr<InternalUpdateMetadata>> query(
        const IdentifierCollection& identifiers = phone()) {
        UpdateRegistry records;
        service.queryImageUpdates(identifiers, records);
        std::vector<std::shared_ptr<InternalUpdateMetadata>> found;
        for (const auto& [id, record] : records) {
            EXPECT_EQ(id, record->metadata.id);
            found.push_back(record);
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return idNumber(a->metadata.id) < idNumber(b->metadata.id);
        });
        return found;
    }

    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::shared_ptr<kvtest::ScriptedHttpProvider> provider =
        std::make_shared<kvtest::ScriptedHttpProvider>();
    std::shared_ptr<HttpService> http =
        std::make_shared<HttpService>(Log(logger), provider, nullptr);
    ZuntService service{Log(logger), http, zuntUrl, "Kavrin Host", "2.0"};
};

TEST_F(ZuntServiceTest, QueriesWithTheClientAndThePhonesNonEmptyIdentifiers) {
    const std::pair<IdentifierCollection, std::string> cases[] = {
        {phone(),
         "?cdfId=1309-5555&cdfVer=R4A&channel=cable&clientName=Kavrin%20Host&clientVersion=2.0"
         "&devId=3520&lang=sv&model=K%2020&securityState=R1&swId=1307-1234&swVer=19.3.0.0.0"
         "&tac_mc=35208811&updateFormat=image"},
        {{{IdentifierId::Model, "K&20"}},
         "?channel=cable&clientName=Kavrin%20Host&clientVersion=2.0&model=K%2620"
         "&updateFormat=image"},
    };
    for (const auto& [identifiers, expectedQuery] : cases) {
        answer(response(""));
        query(identifiers);
        const auto request = kvtest::lastOf(provider->requests());
        EXPECT_EQ(request.url, zuntUrl + expectedQuery);
        EXPECT_EQ(request.headers.at("Accept"), "application/xml");
        EXPECT_TRUE(logger->contains("HTTP GET on: " + zuntUrl + expectedQuery));
    }
}

TEST_F(ZuntServiceTest, AcceptsOrSkipsEachReleaseByItsFields) {
    struct Case {
        std::string release;
        std::vector<int32_t> installTypes;  // empty: the release is skipped
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {release("23.1", "R2A",
                 imageCable("cleanReinstall") + updateType("image", "wifi", "update")),
         {2},
         {}},
        {release("23.1", "R2A",
                 imageCable("update") + imageCable("cleanUpdate") + imageCable("cleanReinstall")),
         {0, 1, 2},
         {}},
        {release("23.1", "R2A",
                 updateType("delta", "cable", "update") + imageCable("cleanUpdate") +
                     updateType("image", "", "update")),
         {1},
         {}},
        {release("23.1", "R2A", imageCable("<![CDATA[update]]>")), {0}, {}},
        {release("23.1", "R2A", imageCable("flash") + imageCable("update")),
         {0},
         {"Update type does not exist: flash"}},
        {release("23.1", "R2A", imageCable("flash")),
         {},
         {"Update type does not exist: flash", "No update type specified"}},
        {release("23.1", "R2A", ""), {}, {"No update type specified"}},
        {release("", "R2A", imageCable("update")), {}, {"SW version could not be retrived"}},
        {release("23.1", "", imageCable("update")), {}, {"CDF version could not be retrived"}},
        {"", {}, {}},
    };
    for (const auto& testCase : cases) {
        logger->clear();
        answer(response(testCase.release));
        const auto records = query();
        ASSERT_EQ(records.size(), 1u) << testCase.release;
        // Without an accepted release one record still tells the server's device parameters.
        const auto& m = records[0]->metadata;
        EXPECT_EQ(std::tie(m.updateOptions, m.ceParam, m.securityStateType, m.type),
                  std::make_tuple(testCase.installTypes, "CE-0168", "PRODUCTION", 1));
        const bool skipped = testCase.installTypes.empty();
        EXPECT_EQ(std::make_tuple(m.version, m.requiredSpace, m.minBatteryLevel),
                  std::make_tuple(skipped ? "" : "23.1", skipped ? 0 : 500u * 1048576, -1));
        EXPECT_EQ(logger->messages(Channel::Error), testCase.errors) << testCase.release;
    }
}

TEST_F(ZuntServiceTest, AcceptedReleasesBecomeImageRecordsWithConsecutiveIds) {
    answer(response(release("23.1.0.0.0", "R2A", imageCable("update")) +
                    release("", "R3A", imageCable("update")) +
                    release("24.0.0.0.0", "R3A", imageCable("cleanUpdate"))));
    const auto records = query();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(idNumber(records[1]->metadata.id), idNumber(records[0]->metadata.id) + 1);

    ASSERT_EQ(records[0]->dataVersion, 1);
    const auto& record = static_cast<const InternalUpdateMetadataV1&>(*records[0]);
    const auto& m = record.metadata;
    EXPECT_EQ(std::tie(m.type, m.updateOptions, m.releaseNotesUrl, m.version, m.name, m.ceParam,
                       m.securityStateType),
              std::make_tuple(1, std::vector<int32_t>{0}, "https://notes.example/23.1.0.0.0",
                              "23.1.0.0.0", "", "CE-0168", "PRODUCTION"));
    EXPECT_EQ(std::tie(m.requiredSpace, m.size, m.lowMemoryWarning, m.reservedBytesForUpdate,
                       m.reservedBytesForRepartitioning, m.minUAWorkSize),
              std::make_tuple(uint64_t{500} * 1048576, 0u, 0u, 0u, 0u, 0u));
    EXPECT_EQ(std::tie(m.minBatteryLevel, m.installationDuration), std::make_tuple(-1, -1));
    EXPECT_EQ(record.deltaFile.url() + record.deltaFile.path(), "");
    EXPECT_EQ(record.deltaFile.fileSize(), 0u);
    EXPECT_EQ(record.serverChecksum + record.fwId + record.hash + record.swId + record.cdfId, "");
    EXPECT_EQ(std::tie(record.identifierCacheId, record.currentSwVersion, record.targetSwVersion,
                       record.cdfVersion, record.cdfRevision),
              std::make_tuple("iic-1", "19.3.0.0.0", "23.1.0.0.0", "R4A", "R2A"));
    EXPECT_EQ(records[1]->metadata.updateOptions, std::vector<int32_t>{1});
}

TEST_F(ZuntServiceTest, RequiredSpaceDependsOnTheProductAndTheReleaseVersion) {
    const auto table = buildProductTable();
    const auto productWith = [&table](uint64_t space, const std::string& fromVersion) {
        const auto found = std::find_if(table.begin(), table.end(), [&](const auto& row) {
            return row.second.space == space && row.second.fromVersion == fromVersion;
        });
        return found == table.end() ? std::string("missing") : found->first;
    };
    const auto large = productWith(1229, "23.1.0.0.0");
    struct Case {
        std::string hwType;
        std::string swVersion;
        uint64_t mebibytes;
    };
    const Case cases[] = {
        {large, "23.1.0.0.0", 1229},
        {large, "23.1", 1229},
        {large, "19.3.0.0.0", 500},
        {productWith(2700, "23.1.0.0.0"), "24.0", 2700},
        {productWith(500, ""), "23.1.0.0.0", 500},
        {"0000-0000", "23.1.0.0.0", 500},
    };
    for (const auto& testCase : cases) {
        auto identifiers = phone();
        identifiers[IdentifierId::HwType] = testCase.hwType;
        answer(response(release(testCase.swVersion, "R2A", imageCable("update"))));
        const auto records = query(identifiers);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0]->metadata.requiredSpace, testCase.mebibytes * 1048576)
            << testCase.hwType << " " << testCase.swVersion;
    }
}

TEST(ZuntServiceVersionTest, ComparesDottedVersionsPieceByPieceAsNumbers) {
    struct Case {
        std::string version;
        std::string minimum;
        bool atLeast;
    };
    const Case cases[] = {
        {"23.1.0.0.0", "23.1.0.0.0", true},
        {"23.1.0.0.0", "23.1", true},
        {"23.1", "23.1.0.0.1", true},
        {"23.0.9", "23.1", false},
        {"24", "23.1.0", true},
        {"19.3.0.0.0", "23.1.0.0.0", false},
        {"23.10", "23.9", true},
        {"23.9", "23.10", false},
        {"23.1.0", "23.1.1", false},
        {"23.1", "", true},
        {"x.1", "23.1", true},
        {"22.x", "23.1", false},
        {"23.x", "23.1", true},
        {"23..0", "23.1", true},
        {"23.-1", "23.1", true},
        {"23. 0", "23.1", true},
        {"99999999999999999999", "23", true},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(ZuntService::isVersionAtLeast(testCase.version, testCase.minimum),
                  testCase.atLeast)
            << testCase.version << " vs " << testCase.minimum;
    }
}

TEST_F(ZuntServiceTest, LogsTheResponseAsSavedOrFailsWithTheParsersAccount) {
    answer("<updateAvailableResponse><ceParam>CE</ceParam></updateAvailableResponse>");
    query();
    EXPECT_TRUE(logger->contains(
        Channel::Info,
        "ZUNT XML response [ <?xml version=\"1.0\"?>\n<updateAvailableResponse>\n"
        "\t<ceParam>CE</ceParam>\n</updateAvailableResponse>\n] parsed successfully"));

    answer("<r><a></r>");
    EXPECT_EQ(thrownBy([this] { query(); }),
              illegalState("ZUNT XML response [<r><a></r>] parsed with errors\n"
                           "Error description: Start-end tags mismatch\n"
                           "Error offset: 8 (error at [...r>]\n\n"));
}

TEST_F(ZuntServiceTest, BadRequestMeansNoHitsAndOtherFailuresReachTheCaller) {
    struct Case {
        HttpAnswer answer;
        Thrown thrown;
        bool logged;
    };
    const Case cases[] = {
        {HttpAnswer::withStatus(400), {}, true},
        {HttpAnswer::withStatus(403), network("HTTP Forbidden: 403", 403, true), true},
        {HttpAnswer::withoutResponse(HttpResult::CommunicationFailed),
         network("Network problem: communication failed", 3, false), true},
        {HttpAnswer::withoutResponse(HttpResult::Cancelled),
         {"cancelled", "Client cancelled"},
         false},
    };
    for (const auto& testCase : cases) {
        logger->clear();
        provider->enqueue(testCase.answer);
        UpdateRegistry records;
        EXPECT_EQ(thrownBy([&] { service.queryImageUpdates(phone(), records); }), testCase.thrown);
        EXPECT_TRUE(records.empty());
        EXPECT_EQ(logger->contains(Channel::Error, "ZUNT caught a network exception"),
                  testCase.logged);
        EXPECT_EQ(logger->contains(Channel::Info, noHits), testCase.answer.statusCode == 400);
    }
}

const std::string capabilityFile =
    "<devices><device><identification><model>K 20</model><typeID>1316-9976</typeID>"
    "</identification><software>"
    "<vxecboot><productnumber>1301-0001</productnumber><productrevision>B1</productrevision>"
    "</vxecboot>"
    "<app><productnumber>1307-1234</productnumber><productrevision>19.3.0.0.0</productrevision>"
    "</app>"
    "<cdf><productnumber>1309-5555</productnumber><productrevision>R4A</productrevision></cdf>"
    "</software><systemserialnumbers><IMEI>35208811</IMEI><EIMEI>c2VjcmV0</EIMEI>"
    "</systemserialnumbers><securitystate>unknown</securitystate></device></devices>";

TEST_F(ZuntServiceTest, ReadsTheDefaultCapabilityFileUpToTheGivenLength) {
    const auto withTrailer = capabilityFile + "<<not part of it";
    const auto bytes = reinterpret_cast<const uint8_t*>(withTrailer.data());
    IdentifierCollection identifiers;
    service.readDefaultCapabilityFile(bytes, capabilityFile.size(), identifiers);
    const IdentifierCollection expected{
        {IdentifierId::Model, "K 20"},
        {IdentifierId::HwType, "1316-9976"},
        {IdentifierId::BootLoaderProductNumber, "1301-0001"},
        {IdentifierId::BootLoaderRevision, "B1"},
        {IdentifierId::AppSwId, "1307-1234"},
        {IdentifierId::AppSwVersion, "19.3.0.0.0"},
        {IdentifierId::CdfId, "1309-5555"},
        {IdentifierId::CdfVersion, "R4A"},
        {IdentifierId::UnencryptedImei, "35208811"},
        {IdentifierId::EncryptedImei, "c2VjcmV0"},
    };
    EXPECT_EQ(identifiers, expected);
    EXPECT_TRUE(logger->contains("Identifier value is empty: HW config revision"));
    EXPECT_TRUE(logger->containsFragment("Default capability XML [ <?xml version=\"1.0\"?>\n"));

    const auto cut = capabilityFile.find("<software>");
    const auto thrown =
        thrownBy([&] { service.readDefaultCapabilityFile(bytes, cut, identifiers); });
    EXPECT_EQ(thrown.message.rfind("Default capability XML [" + capabilityFile.substr(0, cut) +
                                       "] parsed with errors\nError description: ",
                                   0),
              0u)
        << thrown.kind << ": " << thrown.message;
    EXPECT_THROW(service.readDefaultCapabilityFile(nullptr, 5, identifiers),
                 IllegalArgumentException);
}

TEST(ZuntServiceConcurrencyTest, SearchesOnTwoThreadsNeverShareAnId) {
    const auto search = [](std::vector<std::string>& ids) {
        auto provider = std::make_shared<kvtest::ScriptedHttpProvider>(
            [](const auto&) { return HttpAnswer::withBody(response(""), "application/xml"); });
        ZuntService service(Log(), std::make_shared<HttpService>(Log(), provider, nullptr), zuntUrl,
                            "a", "1");
        for (int i = 0; i < 100; ++i) {
            UpdateRegistry records;
            service.queryImageUpdates({}, records);
            ids.push_back(records.begin()->first);
        }
    };
    std::vector<std::string> first;
    std::vector<std::string> second;
    std::thread other(search, std::ref(second));
    search(first);
    other.join();
    std::set<std::string> distinct(first.begin(), first.end());
    distinct.insert(second.begin(), second.end());
    EXPECT_EQ(distinct.size(), 200u);
}

}  // namespace
}  // namespace kvinternal
