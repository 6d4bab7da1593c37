#include "server/HttpService.h"

#include <numeric>

#include "HttpServiceTestSupport.h"
#include "common/BuildConfig.h"
#include "control/ProgressHandler.h"
#include "support/LastOf.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;
using HttpResult = kv::HttpProvider::HttpResult;
using kvtest::BodyRead;
using kvtest::HttpAnswer;
using Headers = std::map<std::string, std::string>;

const std::string base = "https://update.kavrin.example/yav/v3/updates";

HttpAnswer json(std::string body = "{}") {
    return HttpAnswer::withBody(std::move(body), "application/json");
}

TEST(HttpServiceEscapingTest, EscapesExactlyTheUnsafeBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"a b#c", "a%20b%23c"},
        {"x=1&y=2", "x=1&y=2"},
        {"\xC3", "%c3"},
        {"%<>{}|\\\"^`#", "%25%3c%3e%7b%7d%7c%5c%22%5e%60%23"},
        {std::string("\0\x1f\x7f\xff", 4), "%00%1f%7f%ff"},
        {"!~?/:+;@", "!~?/:+;@"},
        {"", ""},
    };
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(HttpService::escapeUrl(text), escaped) << text;
    }
}

TEST(HttpServiceEscapingTest, ComposesQueriesInNameOrderWithoutEmptyValues) {
    struct Case {
        std::string base;
        std::string prefix;
        Headers parameters;
        std::string expected;
    };
    const Case cases[] = {
        {base, "", {{"b", "2"}, {"a", "1"}, {"c", ""}}, base + "?a=1&b=2"},
        {base, "K", {}, base + "?K"},
        {base, "K", {{"c", ""}}, base + "?K"},
        {base, "", {}, base},
        {base, "", {{"c", ""}}, base},
        {base, "K", {{"a", "1"}}, base + "?K&a=1"},
        {"http://h/a b", "", {{"a", "x y"}}, "http://h/a b?a=x%20y"},
        {base, "k#1&z", {{"a b", "1"}}, base + "?k%231&z&a%20b=1"},
        // Values cannot add or split parameters, nor turn + into a space.
        {base, "", {{"q", "a&b=c+d"}}, base + "?q=a%26b%3dc%2bd"},
        {base, "", {{"q", "50% ?/:"}}, base + "?q=50%25%20?/:"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(HttpService::composeUrl(testCase.base, testCase.prefix, testCase.parameters),
                  testCase.expected);
    }
}

TEST(HttpServiceEscapingTest, PinsTheServerKeyForHttpsOnly) {
    const std::vector<std::string> pinned{buildconfig::pinnedServerKey};
    ASSERT_EQ(pinned.front().size(), 588u);
    const std::pair<std::string, bool> cases[] = {
        {"https://update.kavrin.example", true},
        {"httpsx:", true},
        {"http://h", false},
        {"HTTPS://a", false},
        {"ftp://https", false},
        {"", false},
    };
    for (const auto& [url, pinnedKey] : cases) {
        EXPECT_EQ(HttpService::trustedKeysFor(url), pinnedKey ? pinned : std::vector<std::string>{})
            << url;
    }
}

TEST_F(HttpServiceTest, TurnsEveryProviderResultIntoItsException) {
    const std::string problem = "Network problem: ";
    const Thrown expected[] = {
        {},
        illegalState("General error when executing HTTP provider function"),
        {"cancelled", "Client cancelled"},
        network(problem + "communication failed", 3, false),
        illegalState("Invalid argument when executing HTTP provider function"),
        network(problem + "error getting URL", 5, false),
        network(problem + "error getting header", 6, false),
        network(problem + "error getting data", 7, false),
        network(problem + "error getting certificate", 8, false),
        network(problem + "error when verifying certificate", 9, false),
        network(problem + "error in response", 10, false),
        network(problem + "error in response header", 11, false),
        network(problem + "error when setting response", 12, false),
    };
    for (unsigned value = 0; value <= 255; ++value) {
        const auto result = static_cast<HttpResult>(value);
        const Thrown unknown = illegalState("Unknown new HTTP result code");
        EXPECT_EQ(thrownBy([&] { service.checkResult(result); }),
                  value < std::size(expected) ? expected[value] : unknown)
            << value;
    }
    EXPECT_EQ(logger->messages(Channel::Verbose),
              (std::vector<std::string>{"Constructor HTTP service",
                                        "Http command successfully executed"}));
}

TEST(HttpServiceStatusTest, ClassifiesEveryStatus) {
    struct Case {
        int32_t status;
        Thrown thrown;
        std::string message;
        bool retryable;
    };
    const Case cases[] = {
        {200, {}, "", false},
        {201, {}, "", false},
        {206, {}, "", false},
        {400, network("HTTP Bad request: 400", 400, true), "", false},
        {401, network("HTTP Unauthorized: 401", 401, true), "", false},
        {403, network("HTTP Forbidden: 403", 403, true), "", false},
        {404, {}, "HTTP Not found: 404", true},
        {408, {}, "HTTP Request timeout: 408", true},
        {500, {}, "HTTP Internal server error: 500", true},
        {502, {}, "HTTP Bad gateway: 502", true},
        {503, {}, "HTTP Service unavailable: 503", true},
        {504, {}, "HTTP Gateway timeout: 504", true},
        {402, {}, "HTTP status code: 402", true},
        {429, {}, "HTTP status code: 429", true},
        {501, {}, "HTTP status code: 501", true},
        {599, {}, "HTTP status code: 599", true},
        {100, illegalState("HTTP status code: 100"), "", false},
        {202, illegalState("HTTP status code: 202"), "", false},
        {204, illegalState("HTTP status code: 204"), "", false},
        {302, illegalState("HTTP status code: 302"), "", false},
        {399, illegalState("HTTP status code: 399"), "", false},
        {600, illegalState("HTTP status code: 600"), "", false},
        {0, illegalState("HTTP status code: 0"), "", false},
        {-1, illegalState("HTTP status code: -1"), "", false},
    };
    for (const auto& testCase : cases) {
        bool retryable = !testCase.retryable;
        std::string message = "unset";
        EXPECT_EQ(thrownBy([&] { message = HttpService::checkStatus(testCase.status, retryable); }),
                  testCase.thrown)
            << testCase.status;
        EXPECT_EQ(retryable, testCase.retryable) << testCase.status;
        EXPECT_EQ(message, testCase.thrown.kind == "nothing" ? testCase.message : "unset");
    }
}

TEST_F(HttpServiceTest, RetriesAnUnavailableServerWithGrowingDelays) {
    provider->enqueue(HttpAnswer::withStatus(503), 3);
    provider->enqueue(json("{\"a\":1}"));
    EXPECT_EQ(service.get(base, base, ContentType::Json), "{\"a\":1}");
    EXPECT_EQ(sleeps, (std::vector<uint64_t>{3000, 6000, 12000}));
    EXPECT_EQ(logger->messages(Channel::Error),
              (std::vector<std::string>{
                  "HTTP Service unavailable: 503. Trying again after: 3 seconds.",
                  "HTTP Service unavailable: 503. Trying again after: 6 seconds.",
                  "HTTP Service unavailable: 503. Trying again after: 12 seconds."}));
    EXPECT_EQ(provider->calls().get, 4u);
}

TEST_F(HttpServiceTest, GivesUpAfterSixAnswersAndAllDelays) {
    provider->enqueue(HttpAnswer::withStatus(500), 6);
    provider->enqueue(HttpAnswer::withStatus(201));
    EXPECT_EQ(thrownBy([&] { service.get(base, base, ContentType::Json); }),
              network("HTTP Internal server error: 500", 500, true));
    EXPECT_EQ(sleeps, (std::vector<uint64_t>{3000, 6000, 12000, 24000, 120000}));
    EXPECT_EQ(std::accumulate(sleeps.begin(), sleeps.end(), uint64_t{0}), 165000u);
    EXPECT_EQ(provider->calls().get, 6u);
    // A post shares the loop: the next answer ends it at once.
    service.post(base, base, "{}", ContentType::Json, {});
    EXPECT_EQ(provider->calls().post, 1u);
}

TEST_F(HttpServiceTest, FailuresThatRetryingCannotMendEndTheRequestAtOnce) {
    const std::pair<HttpAnswer, Thrown> cases[] = {
        {HttpAnswer::withStatus(400), network("HTTP Bad request: 400", 400, true)},
        {HttpAnswer::withStatus(302), illegalState("HTTP status code: 302")},
        {HttpAnswer::withoutResponse(HttpResult::CommunicationFailed),
         network("Network problem: communication failed", 3, false)},
        // A failed exchange without a response is still reported as what failed.
        {HttpAnswer::withoutResponse(HttpResult::Cancelled), {"cancelled", "Client cancelled"}},
        {HttpAnswer::withoutResponse(HttpResult::Success), illegalState("Http response is empty")},
    };
    for (const auto& [answer, thrown] : cases) {
        provider->enqueue(answer, 2);
        EXPECT_EQ(thrownBy([&] { service.get(base, base, ContentType::Json); }), thrown);
        EXPECT_EQ(thrownBy([&] { service.post(base, base, "", ContentType::Json, {}); }), thrown);
    }
    EXPECT_EQ(provider->calls().get, std::size(cases));
    EXPECT_EQ(provider->calls().post, std::size(cases));
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(HttpServiceTest, ChecksTheContentTypeItAskedFor) {
    const auto other = static_cast<ContentType>(7);
    struct Case {
        ContentType contentType;
        Headers answerHeaders;
        Headers sentHeaders;
        Thrown thrown;
    };
    const Headers acceptJson{{"Accept", "application/json"}};
    const Headers acceptXml{{"Accept", "application/xml"}};
    const Thrown missing = illegalState("HTTP response does not return a content type");
    const Case cases[] = {
        {ContentType::Json, {{"Content-Type", "application/json; charset=utf-8"}}, acceptJson, {}},
        {ContentType::Json, {}, acceptJson, missing},
        {ContentType::Json, {{"content-type", "application/json"}}, acceptJson, missing},
        {ContentType::Json,
         {{"Content-Type", "text/html"}},
         acceptJson,
         illegalState("Content type header indicates non Json content: text/html")},
        {ContentType::Xml, {{"Content-Type", "application/xml;charset=UTF-8"}}, acceptXml, {}},
        {ContentType::Xml,
         {{"Content-Type", "application/json"}},
         acceptXml,
         illegalState("Content type header indicates non XML content: application/json")},
        {other, {{"Content-Type", "text/plain"}}, {}, {}},
        {other, {}, {}, missing},
    };
    for (const auto& testCase : cases) {
        HttpAnswer answer = json("<a/>");
        answer.headers = testCase.answerHeaders;
        provider->enqueue(answer);
        std::string body;
        EXPECT_EQ(thrownBy([&] { body = service.get(base, base, testCase.contentType); }),
                  testCase.thrown);
        EXPECT_EQ(body, testCase.thrown.kind == "nothing" ? "<a/>" : "");
        EXPECT_EQ(kvtest::lastOf(provider->requests()).headers, testCase.sentHeaders);
    }
}

// A body of at most 1,000,000 bytes, in as many reads as the provider needs; a body that stops
// or is cancelled ends as what it is, and only one that outgrows the limit is too large.
TEST_F(HttpServiceTest, ReadsABodyOfAtMostOneMillionBytesInAnyPieces) {
    const std::string limit(1000000, 'j');
    const Thrown huge = illegalState("Moredata flag set, indicating a huge xml/json, aborting.");
    const Thrown stopped = network("Network problem: communication failed", 3, false);
    struct Case {
        std::string name;
        std::string body;
        std::vector<BodyRead> reads;
        Thrown thrown;
    };
    BodyRead flaggedMore;
    flaggedMore.moreData = true;
    BodyRead overreported;
    overreported.reportedBytes = 1000001;
    BodyRead failedWithMore = BodyRead::failure(HttpResult::DataError);
    failedWithMore.moreData = true;
    BodyRead emptyWithMore = BodyRead::piece(0);
    emptyWithMore.moreData = true;
    const Case cases[] = {
        {"WholeInOneRead", limit, {}, {}},
        {"Empty", "", {}, {}},
        {"OneByteTooLarge", limit + "j", {}, huge},
        {"OneByteTooLargeInPieces", limit + "j", std::vector<BodyRead>(4, BodyRead::piece(250000)),
         huge},
        {"DrippedAByteAtATime", "{\"a\": 1}", std::vector<BodyRead>(8, BodyRead::piece(1)), {}},
        {"LimitInPieces", limit, std::vector<BodyRead>(4, BodyRead::piece(250000)), {}},
        {"MoreAnnouncedButNoneCame", "{}", {flaggedMore}, {}},
        {"StopsMidBody",
         "{}",
         {BodyRead::piece(1), BodyRead::failure(HttpResult::CommunicationFailed)},
         stopped},
        {"CancelledMidBody",
         "{}",
         {BodyRead::piece(1), BodyRead::failure(HttpResult::Cancelled)},
         {"cancelled", "Client cancelled"}},
        {"NothingEverArrives", "{}", std::vector<BodyRead>(1000, emptyWithMore),
         network("Network problem: no data received in 1000 reads", 7, false)},
        {"Overreported",
         "{}",
         {overreported},
         illegalState("HTTP provider reported more bytes than the buffer holds: 1000001")},
        {"FailedWithMore",
         "{}",
         {failedWithMore},
         network("Network problem: error getting data", 7, false)},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        HttpAnswer answer = json(testCase.body);
        answer.reads = testCase.reads;
        provider->enqueue(answer);
        std::string body;
        EXPECT_EQ(thrownBy([&] { body = service.get(base, base, ContentType::Json); }),
                  testCase.thrown);
        EXPECT_EQ(body, testCase.thrown.kind == "nothing" ? testCase.body : "");
    }
}

TEST_F(HttpServiceTest, PostsTheBodyBytesWithItsOwnContentType) {
    const std::string body("{\"a\":\"\xff\"}\0tail", 14);
    const Headers extra{{"Content-Type", "text/plain"}, {"YAV-checksum", "42"}};
    provider->enqueue(HttpAnswer::withStatus(200), 3);
    service.post(base + "?key", base, body, ContentType::Json, extra);
    service.post("http://h/t", "http://h/t", "", ContentType::Xml, extra);
    service.post("http://h/t", "http://h/t", "x", static_cast<ContentType>(2), extra);

    const auto requests = provider->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, kvtest::RecordedHttpRequest::Method::Post);
    EXPECT_EQ(requests[0].url, base + "?key");
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[0].trustedKeys, HttpService::trustedKeysFor(base));
    EXPECT_EQ(requests[0].headers,
              (Headers{{"Content-Type", "application/json"}, {"YAV-checksum", "42"}}));
    EXPECT_EQ(requests[1].body, "");
    EXPECT_TRUE(requests[1].trustedKeys.empty());
    EXPECT_EQ(requests[1].headers,
              (Headers{{"Content-Type", "application/xml"}, {"YAV-checksum", "42"}}));
    EXPECT_EQ(requests[2].headers, extra);
    EXPECT_EQ(provider->calls().readBody, 0u);
}

// The responder runs inside the provider's get and post, so a cancel from there is one that
// arrives while the call runs; before and after them nothing runs.
TEST_F(HttpServiceTest, CancelReachesTheProviderWhileAQueryOrAPostRuns) {
    std::shared_ptr<HttpService> cancelled;
    const auto cancelling = std::make_shared<kvtest::ScriptedHttpProvider>(
        [&cancelled](const kvtest::RecordedHttpRequest&) {
            cancelled->cancel();
            return kvtest::HttpAnswer::withBody("{}", "application/json");
        });
    cancelled = std::make_shared<HttpService>(Log(logger), cancelling, currentProgress);
    cancelled->cancel();
    // The cancelled call's read reports the cancel: the query fails as cancelled.
    EXPECT_THROW(cancelled->get("https://u.example/q", "q", ContentType::Json), CancelledException);
    cancelled->post("https://u.example/t", "t", "{}", ContentType::Json, {});
    cancelled->cancel();
    const std::vector<std::string> expected{
        "No ongoing HTTP function call to cancel.", "Cancelling HTTP function call.",
        "Cancelling HTTP function call.", "No ongoing HTTP function call to cancel."};
    EXPECT_EQ(logger->messagesContaining("HTTP function call"), expected);
    EXPECT_EQ(cancelling->calls().cancel, 2u);
}

// A cancel that comes between two calls of a query (or during a retry wait) ends it before the
// next one: the operation is cancelled, whatever the provider saw.
TEST_F(HttpServiceTest, ACancelledOperationAsksNothingMore) {
    const auto operation = currentProgress->start(100, Log(logger));
    provider->enqueue(kvtest::HttpAnswer::withStatus(503));
    platform::ScopedHooks cancelDuringTheWait{
        platform::Hooks().withSleep([&](uint64_t milliseconds) {
            sleeps.push_back(milliseconds);
            operation->cancel();
        })};
    EXPECT_THROW(service.get("https://u.example/q", "q", ContentType::Json), CancelledException);
    EXPECT_EQ(provider->calls().get, 1u);
    EXPECT_EQ(sleeps, std::vector<uint64_t>{3000});
}

TEST(HttpServiceLifetimeTest, NeedsAProvider) {
    EXPECT_THROW(HttpService(Log(), nullptr, nullptr), IllegalArgumentException);
}

}  // namespace
}  // namespace kvinternal
