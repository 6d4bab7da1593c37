#include "tracking/ResendStore.h"

#include <algorithm>

#include "TrackingFixture.h"

namespace kvinternal {
namespace {

class ResendStoreTest : public TrackingFixture {
protected:
    // Sends through `verdicts` in order (true once they run out), recording each document.
    ResendStore::Sender sender() {
        return [this](const Json::Value& document) {
            sent.push_back(document);
            return sent.size() > verdicts.size() || verdicts[sent.size() - 1];
        };
    }
    void pass(bool force) {
        sent.clear();
        logger->clear();
        resendStore.resendStored(force, sender());
    }
    bool isStored(const std::string& name) const {
        return platform::fileSize(resendPath(name)).has_value();
    }

    ResendStore resendStore{Log(logger), directory.path() + "/tracking"};
    std::vector<Json::Value> sent;
    std::vector<bool> verdicts;
};

TEST_F(ResendStoreTest, AgeAndSpacingDecideWhatIsSent) {
    const std::string expired = "Removing tracking file due to being more than: 60 days old.";
    struct Case {
        int64_t firstAge;
        int64_t latestAge;
        bool force;
        bool sent;
        bool kept;
    } cases[] = {
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
    for (const auto& testCase : cases) {
        store("doc", testCase.firstAge, testCase.latestAge);
        pass(testCase.force);
        const std::string label = std::to_string(testCase.firstAge) + " / " +
                                  std::to_string(testCase.latestAge) +
                                  (testCase.force ? " forced" : "");
        EXPECT_EQ(sent.size(), testCase.sent ? 1u : 0u) << label;
        EXPECT_EQ(isStored("doc"), testCase.kept) << label;
        EXPECT_EQ(logger->contains(Channel::Error, expired), !testCase.sent && !testCase.kept)
            << label;
        if (testCase.sent) {
            EXPECT_EQ(sent[0]["name"], "doc");
            EXPECT_FALSE(sent[0].isMember("resend")) << label;
        }
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
        R"({"resend": {"firstFailureDate": 1, "latestResendAttempt": {}}})",
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
    verdicts = {false};
    pass(false);
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
    for (const char* name : {"a", "b", "c", "d"}) {
        store(name, day, day);
    }
    verdicts = {false, false, false, false};
    pass(true);
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_TRUE(logger->contains(Channel::Error, "Failed to resend 3 times, giving up."));
    int untried = 0;
    for (const char* name : {"a", "b", "c", "d"}) {
        untried += storedDocument(name)["resend"]["latestResendAttempt"] == now - day;
    }
    EXPECT_EQ(untried, 1);

    // A success in between starts the count again.
    store("e", day, day);
    verdicts = {false, false, true, false, false};
    pass(true);
    EXPECT_EQ(sent.size(), 5u);
    EXPECT_FALSE(logger->contains(Channel::Error, "Failed to resend 3 times, giving up."));
    EXPECT_EQ(storedNames().size(), 4u);
}

TEST_F(ResendStoreTest, SavingStampsTheDatesAndKeepsTheOldFileOnFailure) {
    Json::Value document;
    document["update"]["fw"]["id"] = "fw";
    resendStore.saveForResend(document, true, "n");
    Json::Value expected = document;
    expected["resend"]["firstFailureDate"] = Json::UInt64(now);
    expected["resend"]["latestResendAttempt"] = Json::UInt64(now);
    EXPECT_EQ(platform::readFile(resendPath("n")), json::styled(expected));
    EXPECT_TRUE(logger->contains(Channel::Info, "Saved tracking data for resend"));

    now += minute;
    resendStore.saveForResend(expected, false, "n");
    expected["resend"]["latestResendAttempt"] = Json::UInt64(now);
    EXPECT_EQ(storedDocument("n"), expected);

    {
        platform::ScopedHooks crash(
            {{}, [this] { return now; }, [](auto&, auto&) { return false; }});
        resendStore.saveForResend(document, true, "n");
    }
    EXPECT_EQ(storedDocument("n"), expected);
    EXPECT_TRUE(logger->contains(
        Channel::Error, "Could not write tracking data to file for resending at a later stage"));

    resendStore.saveForResend(Json::Value(Json::arrayValue), true, "array");
    EXPECT_FALSE(isStored("array"));
    EXPECT_TRUE(logger->contains(Channel::Error, "Could not save tracking data for resend"));
}

}  // namespace
}  // namespace kvinternal
