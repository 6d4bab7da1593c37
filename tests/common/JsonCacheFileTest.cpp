#include "common/JsonCacheFile.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RecordingLogger.h"
#include "TempDirectory.h"
#include "common/JsonText.h"
#include "common/Platform.h"

namespace kvinternal {
namespace {

// The tests of the three caches check loading, discarding and saving through their files.
TEST(JsonCacheFileTest, MissingFileLoadsNothing) {
    kvtest::TempDirectory directory;
    const auto logger = std::make_shared<kvtest::RecordingLogger>();
    const JsonCacheFile file(
        directory.file("test.cache"),
        {"Loading test cache from: ", "Did not find any test cache.", "", "", "", "", ""},
        Log(logger));
    EXPECT_EQ(file.load(), std::nullopt);
    EXPECT_EQ(logger->messages(),
              (std::vector<std::string>{"Loading test cache from: " + file.path(),
                                        "Did not find any test cache."}));
}

// `count` zeros in an array: count + 1 values.
std::string zeros(std::size_t count) {
    std::string text = "[0";
    for (std::size_t i = 1; i < count; ++i) {
        text += ",0";
    }
    return text + "]";
}

// A file far larger, or of far more values, than any the library writes is not parsed (that
// could take gigabytes of memory) but deleted like an unparsable one; no line carries more than
// an excerpt of a file.
TEST(JsonCacheFileTest, HugeFilesAreDeletedAndLogLinesCarryExcerpts) {
    kvtest::TempDirectory directory;
    const auto logger = std::make_shared<kvtest::RecordingLogger>();
    const JsonCacheFile file(
        directory.file("test.cache"),
        {"Loading: ", "Not found.", "Test cache", "Test cache JSON", "", "", ""}, Log(logger));
    const struct {
        std::string text;
        bool loads;
        std::size_t longestLine;
    } cases[] = {
        {std::string(platform::maximumStateFileSize + 1, ' '), false, 200},
        {"[" + std::string(100000, '1'), false, 2 * json::maximumLoggedText + 200},
        {"[\"" + std::string(100000, 'x') + "\"]", true, json::maximumLoggedText + 200},
        {zeros(json::maximumStoredValues - 1), true, json::maximumLoggedText + 200},
        {zeros(json::maximumStoredValues), false, 200},
        {zeros(platform::maximumStateFileSize / 2 - 1), false, 200},
        // Separators inside strings, escaped quotes among them, are no values.
        {"[\"" + std::string(json::maximumStoredValues, ',') + "\\\"\\\\\", 0]", true,
         json::maximumLoggedText + 200},
    };
    for (const auto& c : cases) {
        logger->clear();
        ASSERT_TRUE(platform::writeFileAtomically(file.path(), c.text));
        EXPECT_EQ(file.load().has_value(), c.loads);
        EXPECT_EQ(platform::fileSize(file.path()).has_value(), c.loads);
        for (const std::string& line : logger->messages()) {
            EXPECT_LE(line.size(), c.longestLine) << line.substr(0, 100);
        }
    }
    EXPECT_TRUE(logger->containsFragment("bytes)] parsed successfully"));
}

}  // namespace
}  // namespace kvinternal
