#include "common/JsonCacheFile.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RecordingLogger.h"
#include "TempDirectory.h"

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

}  // namespace
}  // namespace kvinternal
