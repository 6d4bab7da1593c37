#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ResponseHeaders.h"

namespace kvhost {
namespace {

ResponseHeaders headersOf(const std::vector<std::string>& lines) {
    ResponseHeaders headers;
    for (const std::string& line : lines) {
        headers.addLine(line + "\r\n");
    }
    return headers;
}

TEST(ResponseHeadersTest, WellKnownNamesTakeTheSpellingTheLibraryLooksUp) {
    const auto headers = headersOf({"HTTP/1.1 206 Partial Content", "content-type: application/x",
                                    "CONTENT-RANGE:bytes 0-9/10", "content-length:  10 ",
                                    "yav-Checksum: 1", "Via: a", "via: b", ""});
    ASSERT_TRUE(headers.complete());
    EXPECT_EQ(headers.status(), 206);
    EXPECT_EQ(headers.fields(),
              (std::map<std::string, std::string>{{"Content-Type", "application/x"},
                                                  {"Content-Range", "bytes 0-9/10"},
                                                  {"Content-Length", "10"},
                                                  {"yav-Checksum", "1"},
                                                  {"Via", "a"},
                                                  {"via", "b"}}));
    EXPECT_EQ(headers.contentLength(), 10u);
}

TEST(ResponseHeadersTest, InterimResponsesAndTrailersAreLeftOut) {
    const auto headers =
        headersOf({"HTTP/1.1 100 Continue", "X-Interim: 1", "", "HTTP/2 200",
                   "Content-Length: many", "Set: a", "Set: b", "", "X-Trailer: late"});
    ASSERT_TRUE(headers.complete());
    EXPECT_EQ(headers.status(), 200);
    EXPECT_EQ(headers.fields(),
              (std::map<std::string, std::string>{{"Content-Length", "many"}, {"Set", "a, b"}}));
    EXPECT_FALSE(headers.contentLength());
    EXPECT_FALSE(headersOf({"HTTP/1.1 200 OK", "Content-Type: a"}).complete());
}

}  // namespace
}  // namespace kvhost
