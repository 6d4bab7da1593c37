#include "control/ProgressHandler.h"

#include <gtest/gtest.h>

#include <limits>

#include "RecordingLogger.h"
#include "control/CurrentProgress.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;

class ProgressHandlerTest : public ::testing::Test {
protected:
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    Log log{logger};
    CurrentProgress current;
};

TEST_F(ProgressHandlerTest, CountsIdentifierReadsUpToCompletion) {
    auto handler = current.start(100, log);
    EXPECT_EQ(handler->fraction(), 0.0);
    for (int read = 0; read < 25; ++read) {
        handler->addWork(4);
    }
    EXPECT_EQ(handler->fraction(), 1.0);
    EXPECT_FALSE(logger->contains("Too many worked units. Setting progress to completed."));
    handler->addWork(4);
    EXPECT_TRUE(
        logger->contains(Channel::Info, "Too many worked units. Setting progress to completed."));
    EXPECT_EQ(handler->fraction(), 1.0);
}

TEST_F(ProgressHandlerTest, RoundsToTwoDecimals) {
    struct Case {
        uint64_t worked;
        uint64_t total;
        double expected;
    };
    const Case cases[] = {
        {336, 1000, 0.34}, {2, 3, 0.67},     {1, 3, 0.33},    {5, 1000, 0.01},
        {4, 1000, 0.0},    {999, 1000, 1.0}, {33, 100, 0.33}, {66, 100, 0.66},
    };
    for (const auto& testCase : cases) {
        ProgressHandler handler(testCase.total, log);
        handler.addWork(testCase.worked);
        EXPECT_DOUBLE_EQ(handler.fraction(), testCase.expected)
            << testCase.worked << "/" << testCase.total;
    }
}

TEST_F(ProgressHandlerTest, ZeroTotalReportsZeroAndCancelledReportsOne) {
    ProgressHandler empty(0, log);
    EXPECT_EQ(empty.fraction(), 0.0);
    ProgressHandler handler(100, log);
    handler.addWork(10);
    EXPECT_FALSE(handler.isCancelled());
    handler.cancel();
    EXPECT_TRUE(handler.isCancelled());
    EXPECT_EQ(handler.fraction(), 1.0);
    empty.cancel();
    EXPECT_EQ(empty.fraction(), 1.0);
}

TEST_F(ProgressHandlerTest, HugeWorkCountsDoNotWrapAround) {
    ProgressHandler handler(1000, log);
    handler.addWork(10);
    handler.addWork(std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(handler.fraction(), 1.0);
}

TEST_F(ProgressHandlerTest, NewHandlerOverridesALiveOneOnce) {
    auto first = current.start(100, log);
    EXPECT_FALSE(logger->containsFragment("overriding"));
    auto second = current.start(100, log);
    EXPECT_EQ(
        logger->messages(Channel::Error),
        std::vector<std::string>{"Another progress is already ongoing, overriding with a new one"});
    EXPECT_EQ(current.current().lock(), second);
    first->addWork(50);
    EXPECT_EQ(first->fraction(), 0.5);  // the older one lives on for its own operation
    EXPECT_EQ(second->fraction(), 0.0);
}

TEST_F(ProgressHandlerTest, CurrentExpiresWithItsOperation) {
    { auto handler = current.start(10, log); }
    EXPECT_TRUE(current.current().expired());
    EXPECT_FALSE(current.isCancelled());
    auto next = current.start(10, log);
    EXPECT_FALSE(logger->containsFragment("overriding"));
    next->cancel();
    EXPECT_TRUE(current.isCancelled());
}

// Each session has its own: a handler started in one is not current, nor cancelled, in another.
TEST_F(ProgressHandlerTest, EachSessionNamesItsOwnCurrentHandler) {
    CurrentProgress other;
    auto mine = current.start(10, log);
    auto theirs = other.start(10, log);
    EXPECT_FALSE(logger->containsFragment("overriding"));
    EXPECT_EQ(current.current().lock(), mine);
    theirs->cancel();
    EXPECT_TRUE(other.isCancelled());
    EXPECT_FALSE(current.isCancelled());
}

}  // namespace
}  // namespace kvinternal
