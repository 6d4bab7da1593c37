#include "EndToEndFixture.h"

namespace kvtest {
namespace {

using Kind = SimulatedPhone::Kind;

class UpdateSearchTest : public EndToEndTest {
protected:
    UpdateSearchTest() { offer(); }

    void offer() {
        server->addPackage(SimulatedPackage::example("p1", 4096));
        server->setImageUpdates({"COMMERCIAL", "ce-7", {{"6.0.0.1", "R9A", "", {{}}}}});
    }
};

TEST_F(UpdateSearchTest, EachPhoneKindIsOfferedItsUpdatesFromItsEndpoints) {
    struct Case {
        Kind kind;
        std::optional<Protocol> updateQuery;
        bool imageQuery;
        std::vector<int32_t> types;
    };
    const Case cases[] = {
        {Kind::GotaV4, Protocol::V4, false, {2}},
        {Kind::GotaV3, Protocol::V3, true, {2, 1}},
        {Kind::LegacyFota, Protocol::V3, true, {0, 1}},
        {Kind::NoDeltaSupport, std::nullopt, true, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        restart();
        offer();
        usePhone(c.kind);
        openSession();

        const auto updates = search(identify());
        ASSERT_TRUE(updates);
        std::vector<int32_t> types;
        for (const auto& update : *updates) {
            types.push_back(update.type);
        }
        EXPECT_EQ(types, c.types);

        const auto queries = server->requests(Endpoint::Updates);
        ASSERT_EQ(queries.size(), c.updateQuery ? 1u : 0u);
        if (c.updateQuery) {
            EXPECT_EQ(queries[0].protocol, c.updateQuery);
            EXPECT_EQ(queries[0].query.at("IMEI"), SimulatedPhone::defaultImei);
            EXPECT_EQ(queries[0].query.at("tac"), "49015420");
            EXPECT_EQ(queries[0].query.at("lang"), "en");
            EXPECT_EQ(queries[0].query.count("carrier-id"), c.kind == Kind::GotaV4 ? 1u : 0u);
            EXPECT_EQ(queries[0].query.count("sw-id"), c.kind == Kind::GotaV4 ? 0u : 1u);
            // The manifest is reported to the tracking endpoint of the same protocol.
            const auto documents = server->trackingDocuments();
            ASSERT_EQ(documents.size(), 1u);
            EXPECT_EQ(documents[0].protocol, *c.updateQuery);
            EXPECT_EQ(documents[0].document["yavSync"]["status"], "ok");
        }
        EXPECT_EQ(server->count(Endpoint::ImageUpdates), c.imageQuery ? 1u : 0u);
        ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    }
}

TEST_F(UpdateSearchTest, DeltaComesFirstAndTakesThePlainOptionFromTheImage) {
    usePhone(Kind::LegacyFota);
    server->setImageUpdates(
        {"COMMERCIAL",
         "ce-7",
         {{"6.0.0.1", "R9A", "https://notes/6", {{}, {"cable", "image", "cleanReinstall"}}}}});
    openSession();
    const auto updates = search(identify());
    ASSERT_EQ(updates->size(), 2u);
    EXPECT_EQ(updates->at(0).id.rfind("YAV:", 0), 0u);
    EXPECT_EQ(updates->at(0).updateOptions, std::vector<int32_t>{0});
    EXPECT_EQ(updates->at(1).id.rfind("ZUNT:", 0), 0u);
    EXPECT_EQ(updates->at(1).updateOptions, std::vector<int32_t>{2});
    EXPECT_EQ(updates->at(1).ceParam, "ce-7");
    EXPECT_EQ(logger->count("Found both an image and delta update; prioritizing delta, so update "
                            "option for image is removed"),
              1u);
}

TEST_F(UpdateSearchTest, UnlockedBootLoaderRefusesImageUpdatesButKeepsDeltas) {
    usePhone(Kind::LegacyFota);
    phone->setRootingStatus(1);
    openSession();
    const auto updates = search(identify(), Result::BootLoaderUnlocked);
    ASSERT_EQ(updates->size(), 1u);
    EXPECT_EQ(updates->at(0).type, 0);
    EXPECT_TRUE(
        logger->contains(RecordingLogger::Channel::Error,
                         "Device exception: Boot loader is unlocked. Updates not allowed."));
}

TEST_F(UpdateSearchTest, DevelopmentImageWithoutSecurityStatePassesAnUnlockedBootLoader) {
    usePhone(Kind::NoDeltaSupport);
    phone->setRootingStatus(1);
    // A test TAC whose whole serial range is development.
    phone->setImei("358876310000014");
    server->setImageUpdates({"", "ce-7", {{"6.0.0.1", "R9A", "", {{}}}}});
    openSession();
    const auto updates = search(identify());
    ASSERT_EQ(updates->size(), 1u);
    EXPECT_EQ(updates->at(0).securityStateType, "DEVELOPMENT");
    EXPECT_TRUE(
        logger->contains("Image update is lacking security state type, let's generate one..."));
}

TEST_F(UpdateSearchTest, SecondSearchKeepsTheFirstSearchsRecords) {
    openSession();
    const std::string id = identify();
    const auto first = search(id);
    const auto second = search(id);
    ASSERT_EQ(first->size(), 1u);
    ASSERT_EQ(second->size(), 2u);
    EXPECT_EQ(second->at(0).version, second->at(1).version);
    EXPECT_NE(second->at(0).id, second->at(1).id);
    EXPECT_TRUE(second->at(0).id == first->at(0).id || second->at(1).id == first->at(0).id);
}

TEST_F(UpdateSearchTest, DefaultCapabilityFileDescribesThePhone) {
    const std::string xml =
        "<devices><device><identification><model>K-9</model><typeID>PM-9</typeID>"
        "</identification><software><app><productnumber>1309-1</productnumber>"
        "<productrevision>5.0.1</productrevision></app></software><systemserialnumbers>"
        "<IMEI>49015420323751</IMEI></systemserialnumbers><securitystate>unknown"
        "</securitystate></device></devices>";
    std::shared_ptr<uint8_t[]> data(new uint8_t[xml.size()]);
    std::copy(xml.begin(), xml.end(), data.get());
    openSession();
    Updates updates;
    ASSERT_EQ(kavrin->GetUpdatesFromDefaultCapabilityFile(data, xml.size(), updates), Result::Ok);
    ASSERT_EQ(updates->size(), 1u);
    EXPECT_EQ(updates->at(0).type, 1);
    const auto query = server->requests(Endpoint::ImageUpdates).at(0).query;
    EXPECT_EQ(query.at("model"), "K-9");
    EXPECT_EQ(query.at("devId"), "490154203237518");  // completed with its check digit
    EXPECT_EQ(query.count("securityState"), 0u);
    EXPECT_EQ(server->count(Endpoint::Updates), 0u);
}

}  // namespace
}  // namespace kvtest
