#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "RecordingLogger.h"
#include "TempDirectory.h"
#include "common/Log.h"
#include "common/Platform.h"

namespace kvinternal {

// A cache of type `Cache` over its file `fileName` in a fresh working directory.
template <typename Cache>
class CacheFileFixture : public ::testing::Test {
protected:
    using Channel = kvtest::RecordingLogger::Channel;

    explicit CacheFileFixture(const std::string& fileName) : path(directory.file(fileName)) {}

    void writeCacheFile(const std::string& text) {
        ASSERT_TRUE(platform::writeFileAtomically(path, text));
    }
    std::unique_ptr<Cache> construct() {
        return std::make_unique<Cache>(Log(logger), directory.path());
    }
    // Loads `text` as a corrupt file: it must be deleted with one error line starting with
    // `errorStart`. Returns the cache, to show that it is empty.
    std::unique_ptr<Cache> constructFromCorrupt(const std::string& text,
                                                const std::string& errorStart) {
        logger->clear();
        writeCacheFile(text);
        auto cache = construct();
        EXPECT_EQ(platform::fileSize(path), std::nullopt) << text;
        const auto errors = logger->messages(Channel::Error);
        EXPECT_EQ(errors.size(), 1u) << text;
        EXPECT_EQ(errors.empty() ? "" : errors[0].substr(0, errorStart.size()), errorStart) << text;
        return cache;
    }
    // Destroys the cache as if the process died while saving: the rename never happens.
    static void destroyWhileSaveCrashes(std::unique_ptr<Cache>& cache) {
        platform::ScopedHooks crash(
            platform::Hooks().withRename([](const auto&, const auto&) { return false; }));
        cache.reset();
    }

    // Fills the cache to its `limit` with keys that sort against their age (the first put has
    // the largest), saves it, loads it again and puts one more: the entry put first must be the
    // one that goes, also after the reload. `put` (cache, key) adds an entry, `holds` (cache,
    // key) tells whether it is there.
    template <typename Put, typename Holds>
    void expectTheOldestToGoAfterAReload(std::size_t limit, Put put, Holds holds) {
        const auto key = [](std::size_t number) {
            const std::string digits = std::to_string(number);
            return "key-" + std::string(6 - digits.size(), '0') + digits;
        };
        auto cache = construct();
        for (std::size_t age = 0; age < limit; ++age) {
            put(*cache, key(limit - 1 - age));
        }
        cache.reset();
        cache = construct();
        put(*cache, "key-new");
        EXPECT_FALSE(holds(*cache, key(limit - 1)));
        EXPECT_TRUE(holds(*cache, key(limit - 2)));
        EXPECT_TRUE(holds(*cache, key(0)));
        EXPECT_TRUE(holds(*cache, "key-new"));
    }

    kvtest::TempDirectory directory;
    std::string path;
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
};

}  // namespace kvinternal
