#include "control/IdentifierCatalogue.h"

#include <gtest/gtest.h>

#include "RecordingLogger.h"

namespace kvinternal {
namespace {

TEST(IdentifierCatalogueTest, NamesAndKeysOfEveryIdentifier) {
    EXPECT_EQ(identifierDisplayName(IdentifierId::AndroidRevision), "Android revision");
    EXPECT_EQ(identifierDisplayName(IdentifierId::HasGotaV4Support), "Has GOTA V4 support");
    EXPECT_EQ(identifierDisplayName(IdentifierId::UserType), "User type");
    EXPECT_EQ(identifierJsonKey(IdentifierId::BootLoaderProductNumber), "bootLoaderProdNumber");
    EXPECT_EQ(identifierJsonKey(IdentifierId::HwConfigRevision), "hwConfig");
    EXPECT_EQ(identifierJsonKey(IdentifierId::IdentifierCacheId), "iicId");
    EXPECT_EQ(identifierJsonKey(IdentifierId::Language), "lang");
    EXPECT_EQ(identifierJsonKey(IdentifierId::CalculatedImei), std::nullopt);
    // Every key leads back to its own number; only "Calculated imei" has none.
    int withoutKey = 0;
    for (int32_t id = 0; id <= 32; ++id) {
        const auto key = identifierJsonKey(static_cast<IdentifierId>(id));
        if (!key) {
            ++withoutKey;
            continue;
        }
        EXPECT_EQ(identifierFromJsonKey(*key), static_cast<IdentifierId>(id)) << *key;
        EXPECT_NE(identifierDisplayName(static_cast<IdentifierId>(id)), "unknown");
    }
    EXPECT_EQ(withoutKey, 1);
}

TEST(IdentifierCatalogueTest, NumbersOutsideTheCatalogueAreUnknown) {
    for (int32_t id : {-1, 33, 1000}) {
        EXPECT_EQ(identifierDisplayName(static_cast<IdentifierId>(id)), "unknown");
        EXPECT_EQ(identifierJsonKey(static_cast<IdentifierId>(id)), std::nullopt);
    }
    EXPECT_EQ(identifierFromJsonKey("Model"), std::nullopt);  // keys are case-sensitive
    EXPECT_EQ(identifierFromJsonKey(""), std::nullopt);
}

TEST(IdentifierCatalogueTest, EmptyValuesAreLoggedAndKeepEarlierValues) {
    auto logger = std::make_shared<kvtest::RecordingLogger>();
    const Log log(logger);
    IdentifierCollection collection;
    setIdentifier(collection, IdentifierId::Model, "X1", log);
    setIdentifier(collection, IdentifierId::Model, "", log);
    EXPECT_EQ(identifierValue(collection, IdentifierId::Model), "X1");
    EXPECT_EQ(logger->messages(), std::vector<std::string>{"Identifier value is empty: Model"});
    setIdentifier(collection, IdentifierId::Model, "X2", log);
    EXPECT_EQ(identifierValue(collection, IdentifierId::Model), "X2");
    EXPECT_EQ(identifierValue(collection, IdentifierId::Tac), "");
    EXPECT_EQ(collection.count(IdentifierId::Tac), 0u);
}

}  // namespace
}  // namespace kvinternal
