#include <gtest/gtest.h>

#include <vector>

#include "LibusbTransport.h"

namespace kvtest {
namespace {

// The wait for a transfer gives it up only when libusb's event handling keeps failing: a signal
// that interrupts the wait (EINTR) is no failure, and one that handles events starts the count
// afresh.
TEST(EventWaitErrorsTest, OnlyFailuresInARowGiveTheTransferUp) {
    struct Row {
        const char* name;
        std::vector<int> results;
        // Index of the result after which the transfer is given up; -1 for never.
        int givenUpAt;
    };
    constexpr int limit = kvusb::EventWaitErrors::limit;
    const std::vector<int> interrupted(1000, LIBUSB_ERROR_INTERRUPTED);
    std::vector<int> failures(limit, LIBUSB_ERROR_OTHER);
    std::vector<int> brokenByEvents(limit - 1, LIBUSB_ERROR_IO);
    brokenByEvents.push_back(LIBUSB_SUCCESS);
    brokenByEvents.insert(brokenByEvents.end(), limit - 1, LIBUSB_ERROR_IO);
    std::vector<int> signalsBetween(limit - 1, LIBUSB_ERROR_NO_MEM);
    signalsBetween.insert(signalsBetween.end(), 50, LIBUSB_ERROR_INTERRUPTED);
    signalsBetween.push_back(LIBUSB_ERROR_NO_MEM);
    const Row rows[] = {
        {"SignalsOnly", interrupted, -1},
        {"FailuresInARow", failures, limit - 1},
        {"EventsBetweenFailures", brokenByEvents, -1},
        {"SignalsBetweenFailures", signalsBetween, limit + 49},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        kvusb::EventWaitErrors errors;
        int givenUpAt = -1;
        for (int i = 0; i < static_cast<int>(row.results.size()) && givenUpAt < 0; ++i) {
            if (errors.giveUpAfter(row.results[i])) {
                givenUpAt = i;
            }
        }
        EXPECT_EQ(givenUpAt, row.givenUpAt);
    }
}

}  // namespace
}  // namespace kvtest
