#include "common/JsonCacheFile.h"

#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "TempDirectory.h"
#include "common/Platform.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;

const JsonCacheTexts texts{
    "Loading test cache from: ", "Did not find any test cache.", "Test cache",
    "Test cache JSON response",  "Test cache not changed",       "Saving test cache to: ",
    "Could not save test cache"};

class JsonCacheFileTest : public ::testing::Test {
protected:
    kvtest::TempDirectory directory;
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    JsonCacheFile file{directory.file("test.cache"), texts, Log(logger)};
};

TEST_F(JsonCacheFileTest, MissingFileLoadsNothing) {
    EXPECT_EQ(file.load(), std::nullopt);
    EXPECT_EQ(logger->messages(),
              (std::vector<std::string>{"Loading test cache from: " + file.path(),
                                        "Did not find any test cache."}));
}

TEST_F(JsonCacheFileTest, UnparsableFileIsLoggedAndDeleted) {
    ASSERT_TRUE(platform::writeFileAtomically(file.path(), "{ \"a\": "));
    EXPECT_EQ(file.load(), std::nullopt);
    const auto errors = logger->messages(Channel::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Test cache [{ \"a\": ] failed to be parsed: * Line 1", 0), 0u)
        << errors[0];
    EXPECT_EQ(platform::fileSize(file.path()), std::nullopt);
}

TEST_F(JsonCacheFileTest, DocumentOfWrongTypesIsTreatedAsUnparsable) {
    ASSERT_TRUE(platform::writeFileAtomically(file.path(), "{ \"size\": [1] }"));
    int stored = 0;
    EXPECT_FALSE(file.loadInto([&](const Json::Value& root) { stored = root["size"].asInt(); }));
    EXPECT_EQ(stored, 0);
    EXPECT_TRUE(logger->containsFragment("Test cache [{\"size\":[1]}] failed to be parsed: "));
    EXPECT_EQ(platform::fileSize(file.path()), std::nullopt);
}

TEST_F(JsonCacheFileTest, SavesStyledDocumentOnlyWhenChanged) {
    const auto build = [] {
        Json::Value root;
        root["b"] = 2;
        root["a"] = "x";
        return root;
    };
    EXPECT_FALSE(file.save(false, build));
    EXPECT_TRUE(logger->contains(Channel::Info, "Test cache not changed"));
    EXPECT_EQ(platform::fileSize(file.path()), std::nullopt);

    EXPECT_TRUE(file.save(true, build));
    EXPECT_EQ(platform::readFile(file.path()), "{\n   \"a\" : \"x\",\n   \"b\" : 2\n}\n");
    logger->clear();
    ASSERT_TRUE(file.load().has_value());
    EXPECT_TRUE(logger->contains(
        Channel::Info, "Test cache JSON response [{\"a\":\"x\",\"b\":2}] parsed successfully"));
}

TEST_F(JsonCacheFileTest, SaveIntoMissingDirectoryIsLogged) {
    JsonCacheFile lost(directory.file("missing/test.cache"), texts, Log(logger));
    EXPECT_FALSE(lost.save(true, [] { return Json::Value(Json::objectValue); }));
    EXPECT_TRUE(logger->contains(Channel::Error, "Could not save test cache"));
}

}  // namespace
}  // namespace kvinternal
