#include "tracking/ResendStore.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "TrackingFixture.h"

namespace kvinternal {
namespace {

class ResendStoreTest : public TrackingFixture {
protected:
    // One pass whose sends succeed or fail as `verdicts` say, in order (true once they run out);
    // the number of documents it tried.
    std::size_t pass(bool force, std::vector<bool> verdicts = {},
                     std::size_t limit = std::numeric_limits<std::size_t>::max()) {
        sent.clear();
        logger->clear();
        return resendStore.resendStored(force, limit, [&](const Json::Value& document) {
            sent.push_back(document);
            return sent.size() > verdicts.size() || verdicts[sent.size() - 1];
        });
    }
    bool isStored(const std::string& name) const {
        return platform::fileSize(resendPath(name)).has_value();
    }

    ResendStore resendStore{Log(logger), directory.path() + "/tracking"};
    std::vector<Json::Value> sent;
};

TEST_F(ResendStoreTest, AgeAndSpacingDecideWhatIsSent) {
    const std::string expired = "Removing tracking file due to being more than: 60 days old.";
    // first failure age, latest attempt age, force, sent, kept
    const std::tuple<int64_t, int64_t, bool, bool, bool> cases[] = {
        {5 * minute, 5 * minute, false, false, true},
        {5 * minute, 5 * minute, true, true, false},
        {10 * minute, 10 * minute, false, false, true},
        {10 * minute + 1, 10 * minute + 1, false, true, false},
        {60 * day, day, false, true, false},
        {60 * day + 1, day, false, false, false},
        {61 * day, 0, true, false, false},
        // A clock set back neither expires a document nor makes it due.
        {-day, -day, false, false, true},
        {-day, -day, true, true, false},
    };
    for (const auto& [firstAge, latestAge, force, isSent, kept] : cases) {
        store("doc", firstAge, latestAge);
        pass(force);
        const std::string label =
            std::to_string(firstAge) + " / " + std::to_string(latestAge) + (force ? " forced" : "");
        ASSERT_EQ(sent.size(), isSent ? 1u : 0u) << label;
        EXPECT_EQ(isStored("doc"), kept) << label;
        EXPECT_EQ(logger->contains(Channel::Error, expired), !isSent && !kept) << label;
        EXPECT_TRUE(!isSent || (sent[0]["name"] == "doc" && !sent[0].isMember("resend")));
        platform::deleteFile(resendPath("doc"));
    }
}

TEST_F(ResendStoreTest, BrokenFilesAreDeletedAndThePassGoesOn) {
    const char* texts[] = {
        "{ \"update\": ",
        "",
        "[1, 2]",
        R"({"resend": 7})",
        R"({"resend": {"firstFailureDate": "yesterday", "latestResendAttempt": 1}})",
        R"({"resend": {"firstFailureDate": 1, "latestResendAttempt": -5}})",
    };
    for (size_t i = 0; i < std::size(texts); ++i) {
        storeText("broken" + std::to_string(i), texts[i]);
    }
    storeText("bare", R"({"time": 1})");  // no "resend": both dates read as 0
    store("good", 20 * minute, 20 * minute);

    pass(false);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["name"], "good");
    EXPECT_TRUE(storedNames().empty());
    const auto errors = logger->messages(Channel::Error);
    EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                            [](const std::string& line) {
                                return line.rfind("Tracking file [", 0) == 0 &&
                                       line.find("] failed to be parsed: ") != std::string::npos;
                            }),
              static_cast<long>(std::size(texts)));
    EXPECT_TRUE(logger->contains("Removing tracking file due to being more than: 60 days old."));
}

TEST_F(ResendStoreTest, FailedResendRewritesTheSameFile) {
    store("one", day, day);
    pass(false, {false});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].isMember("resend"));
    EXPECT_EQ(storedNames(), std::vector<std::string>{"one.failed"});
    const Json::Value stored = storedDocument("one");
    EXPECT_EQ(stored["resend"]["firstFailureDate"], now - day);
    EXPECT_EQ(stored["resend"]["latestResendAttempt"], now);
    EXPECT_EQ(platform::readFile(resendPath("one")), json::styled(stored));
    EXPECT_EQ(logger->messages(Channel::Error),
              std::vector<std::string>{"Failed to resend old tracking data"});
}

TEST_F(ResendStoreTest, ThreeFailuresInARowEndThePass) {
    const char* names[] = {"a", "b", "c", "d"};
    for (const char* name : names) {
        store(name, day, day);
    }
    pass(true, {false, false, false, false});
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_TRUE(logger->contains(Channel::Error, "Failed to resend 3 times, giving up."));
    EXPECT_EQ(std::count_if(std::begin(names), std::end(names),
                            [&](const char* name) {
                                return storedDocument(name)["resend"]["latestResendAttempt"] ==
                                       now - day;
                            }),
              1);

    store("e", day, day);
    pass(true, {false, false, true, false, false});  // a success starts the count again
    EXPECT_EQ(sent.size(), 5u);
    EXPECT_FALSE(logger->contains(Channel::Error, "Failed to resend 3 times, giving up."));
}

// A pass tries at most its limit of documents, those stored or tried longest ago first; what it
// deletes or leaves for later does not count.
TEST_F(ResendStoreTest, APassTriesItsLimitOfTheOldestDocuments) {
    const auto written = std::filesystem::file_time_type::clock::now();
    const std::pair<const char*, int64_t> documents[] = {{"newest", day},
                                                         {"expired", 61 * day},
                                                         {"recent", 0},
                                                         {"oldest", 3 * day},
                                                         {"older", 2 * day}};
    for (const auto& [name, age] : documents) {
        store(name, age, age);
        std::filesystem::last_write_time(platform::toPath(resendPath(name)),
                                         written - std::chrono::hours(age / hour));
    }
    EXPECT_EQ(pass(false, {}, 2), 2u);
    std::vector<std::string> names;
    for (const auto& document : sent) {
        names.push_back(document["name"].asString());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"oldest", "older"}));
    EXPECT_EQ(storedNames().size(), 2u);  // the newest, and the recent one that waits
    EXPECT_EQ(pass(false, {}, 0), 0u);
    EXPECT_TRUE(sent.empty());
}

// One session at a time resends: while another holds the lock, a pass sends nothing.
TEST_F(ResendStoreTest, APassWaitsItsTurnWhileAnotherSessionResends) {
    store("doc", day, day);
    auto other = platform::FileLock::open(directory.path() + "/locks/tracking");
    ASSERT_TRUE(other && other->tryLock());
    EXPECT_EQ(pass(true), 0u);
    EXPECT_TRUE(logger->contains("Another session is resending the stored tracking data"));
    other.reset();
    EXPECT_EQ(pass(true), 1u);
    EXPECT_TRUE(storedNames().empty());
}

// A document is on disk while it is posted: delivered, it goes; failed, it is stored; left by a
// process that died during its post, a pass takes it up once no post of it can still be running.
TEST_F(ResendStoreTest, ADocumentWrittenAheadOfItsPostIsNeverLost) {
    const auto sending = [this] {
        return platform::listFilesWithSuffix(directory.path() + "/tracking", ".sending")
            .names.size();
    };
    Json::Value document;
    document["name"] = "doc";
    resendStore.writeAhead(document, "delivered").delivered();
    resendStore.writeAhead(document, "failed").failed();
    EXPECT_EQ(sending(), 0u);
    EXPECT_EQ(storedNames(), std::vector<std::string>{"failed.failed"});
    EXPECT_EQ(storedDocument("failed")["resend"]["firstFailureDate"], Json::UInt64(now));
    platform::deleteFile(resendPath("failed"));

    resendStore.writeAhead(document, "dead");  // the process dies during the post
    now += 10 * minute;
    EXPECT_EQ(pass(true), 0u);  // the post may still be running in another session
    EXPECT_EQ(sending(), 1u);
    now += 1;
    EXPECT_EQ(pass(false), 1u);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["name"], "doc");
    EXPECT_TRUE(logger->contains("Storing tracking data whose post did not end: dead.sending"));
    EXPECT_EQ(sending(), 0u);
    EXPECT_TRUE(storedNames().empty());
}

TEST_F(ResendStoreTest, SavingNeverLosesTheOldFileNorThrows) {
    store("n", day, day);
    const auto before = platform::readFile(resendPath("n"));
    {
        platform::ScopedHooks crash(
            platform::Hooks().withWallClock([this] { return now; }).withRename([](auto&, auto&) {
                return false;
            }));
        resendStore.saveForResend(Json::Value(Json::objectValue), true, "n");
    }
    EXPECT_EQ(platform::readFile(resendPath("n")), before);
    resendStore.saveForResend(Json::Value(Json::arrayValue), true, "array");
    EXPECT_FALSE(isStored("array"));
    EXPECT_EQ(logger->messages(Channel::Error),
              (std::vector<std::string>{
                  "Could not write tracking data to file for resending at a later stage",
                  "Could not save tracking data for resend"}));
}

}  // namespace
}  // namespace kvinternal
