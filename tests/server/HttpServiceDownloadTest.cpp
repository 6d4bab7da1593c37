#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HttpServiceDownloadFixture.h"
#include "common/LockFiles.h"
#include "control/ProgressHandler.h"
#include "support/LastOf.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;
using HttpResult = kv::HttpProvider::HttpResult;
using kvtest::Endpoint;
using kvtest::PatternedBody;
using kvtest::ServerFault;
using Events = std::vector<std::string>;
using Strings = std::vector<std::string>;

const std::string illegalStateFailure = "Delta download failed due to illegal state exception: ";
const std::string networkFailure = "Delta download failed due to network exception: ";
const std::string communicationFailed = "Network problem: communication failed";
const std::string wrongValues = "Server responded with incorrect values in Range header : ";
const std::string wrongForm = "Server responded with incorrect Range header : ";
constexpr std::size_t forever = kvtest::SimulatedUpdateServer::forever;
// Tracking sends at most this much of a log text.
constexpr std::size_t trackedLogLimit = 70000;

std::string failed(const std::string& statusCode, const std::string& log) {
    return "download|error|" + statusCode + "|" + log.substr(0, trackedLogLimit);
}

class HttpServiceDownloadTest : public HttpServiceDownloadFixture, public ::testing::Test {};

struct DownloadCase {
    std::string name;
    uint64_t onDisk;
    std::vector<std::pair<ServerFault, std::size_t>> faults;
    Strings ranges;   // of each package request, "" for none
    uint64_t served;  // package bytes the server sent
    std::vector<uint64_t> sleeps = {};
    std::string logged = "";
    Thrown thrown = {};
    std::string last = succeeded;
    uint64_t kept = 5000;  // bytes on disk at the end
    uint64_t size = 5000;  // of the package
};

class HttpServiceDownloadCaseTest : public HttpServiceDownloadFixture,
                                    public ::testing::TestWithParam<DownloadCase> {};

// A range asked for 1000 bytes on disk, answered with `value` as Content-Range.
DownloadCase wrongRange(std::string name, const std::string& value, const std::string& message) {
    const std::string text = message + value;
    return {std::move(name),
            1000,
            {{ServerFault::wrongContentRange(value), 1}},
            {"bytes=1000-4999"},
            0,
            {},
            "",
            illegalState(text),
            failed("409", illegalStateFailure + text),
            1000};
}

ServerFault wholeBodyWithContentRange() {
    ServerFault fault = ServerFault::rangeIgnored();
    fault.contentRange = "bytes 1000-4999/5000";
    return fault;
}

ServerFault body(uint64_t size) {
    return ServerFault::withBody(PatternedBody::bytes(0, size));
}

const ServerFault getFails = ServerFault::providerFailure(HttpResult::CommunicationFailed);
const ServerFault unavailable = ServerFault::withStatus(503);
const std::string rangeLog = "m[1]=1000, m[2]=4999, m[3]=5000";
constexpr uint64_t threeMegabytes = 3000000;
constexpr uint64_t halfOfIt = threeMegabytes / 2;

ServerFault rangeIgnoredAndCutAfter(uint64_t bytes) {
    ServerFault fault = ServerFault::rangeIgnored();
    fault.cutAfter = bytes;
    return fault;
}
const std::string range1000 = "bytes=1000-4999";

// clang-format off
const DownloadCase downloadCases[] = {
    {"NothingOnDisk", 0, {}, {""}, 5000, {}, "Progress is: 1.000000"},
    {"PartOnDisk", 1000, {}, {range1000}, 4000, {}, rangeLog},
    {"RangeWithinOtherText", 1000,
     {{ServerFault::wrongContentRange("7- 1-x bytes 1000-4999/5000/9"), 1}}, {range1000}, 4000, {},
     rangeLog},
    {"RangeIgnored", 1000, {{ServerFault::rangeIgnored(), 1}}, {range1000}, 5000},
    // A server whose file ends before the bytes on disk: the whole package at once, no wait.
    {"RangeNotSatisfiable", 1000, {{ServerFault::withStatus(416), 1}}, {range1000, ""}, 5000, {},
     "Server cannot send the delta file from byte 1000, redownloading file"},
    {"WholeBodyWithContentRange", 1000, {{wholeBodyWithContentRange(), 1}}, {range1000}, 5000},
    {"LongerThanThePackage", 6000, {}, {""}, 5000, {}, "Delta file is corrupt, redownloading file"},
    {"PlainTextContent", 0, {{ServerFault::withContentType("text/plain"), 1}}, {""}, 5000, {},
     "Content type header indicates non FOTA content: text/plain"},
    {"NoContentType", 0, {{ServerFault::withoutContentType(), 1}}, {""}, 5000, {},
     "HTTP response does not return a content type"},
    // Less than a piece per request earns no fresh count: six requests in all, bytes kept.
    {"CutOnEveryRequestAfterLessThanAPiece", 0, {{ServerFault::cutBodyAfter(700), forever}},
     {"", "bytes=700-4999", "bytes=1400-4999", "bytes=2100-4999", "bytes=2800-4999",
      "bytes=3500-4999"},
     4200, {3000, 6000, 12000, 24000, 120000},
     networkFailure + communicationFailed + ". Trying again after: 3 seconds.",
     network(communicationFailed, 3, false),
     failed("KV200003", networkFailure + communicationFailed), 4200},
    // The same first half again and again is no progress: six requests in all.
    {"RangeIgnoredAndCutHalfwayEveryTime", 0, {{rangeIgnoredAndCutAfter(halfOfIt), forever}},
     {"", "bytes=1500000-2999999", "bytes=1500000-2999999", "bytes=1500000-2999999",
      "bytes=1500000-2999999", "bytes=1500000-2999999"},
     6 * halfOfIt, {3000, 6000, 12000, 24000, 120000}, "", network(communicationFailed, 3, false),
     failed("KV200003", networkFailure + communicationFailed), halfOfIt, threeMegabytes},
    {"GetFailsAfterA503", 0, {{unavailable, 1}, {getFails, 1}}, {"", "", ""}, 5000, {3000, 6000}},
    // Every request counts, the failed ones too: a dead network ends the download.
    {"NetworkDiesAfterData", 0, {{ServerFault::cutBodyAfter(1000), 1}, {getFails, forever}},
     {"", "bytes=1000-4999", "bytes=1000-4999", "bytes=1000-4999", "bytes=1000-4999",
      "bytes=1000-4999"},
     1000, {3000, 6000, 12000, 24000, 120000}, "", network(communicationFailed, 3, false),
     failed("KV200003", networkFailure + communicationFailed), 1000},
    {"UnavailableForever", 0, {{unavailable, forever}}, Strings(6, ""), 0,
     {3000, 6000, 12000, 24000, 120000}, "", network("HTTP Service unavailable: 503", 503, true),
     failed("DM000503", networkFailure + "HTTP Service unavailable: 503"), 0},
    {"GetFailsFirst", 0, {{getFails, 1}}, {""}, 0, {}, "", network(communicationFailed, 3, false),
     failed("KV200003", networkFailure + communicationFailed), 0},
    {"CutBeforeAnyDataForever", 0, {{ServerFault::cutBodyAfter(0), forever}}, Strings(6, ""), 0,
     {3000, 6000, 12000, 24000, 120000}, "", network(communicationFailed, 3, false),
     failed("KV200003", networkFailure + communicationFailed), 0},
    {"BodyShorterThanAnnounced", 0, {{body(4000), 1}}, {""}, 0, {}, "",
     illegalState("Size check of delta package failed"),
     failed("DM100002",
            "Size check of delta package failed. Actual size: 4000, expected size: 5000"),
     4000},
    {"BodyLongerThanAnnounced", 0, {{body(6000), 1}}, {""}, 0, {}, "",
     illegalState("Too much data written to file"),
     failed("409", illegalStateFailure + "Too much data written to file"), 6000},
    // Part of the package without saying which part cannot be placed anywhere.
    {"PartialAnswerWithoutContentRange", 1000, {{ServerFault::withoutContentRange(), 1}},
     {range1000}, 0, {}, "", illegalState(wrongForm), failed("409", illegalStateFailure + wrongForm),
     1000},
    wrongRange("TotalOneTooLarge", "bytes 1000-4999/5001", wrongValues),
    wrongRange("EndsOneEarly", "bytes 1000-4998/5000", wrongValues),
    wrongRange("LeadingZero", "bytes 01000-4999/5000", wrongValues),
    wrongRange("NumbersChained", "bytes 1000-4999-5000/5000", wrongValues),
    wrongRange("NoTotal", "bytes 1000-4999", wrongForm),
    wrongRange("EmptyLast", "bytes 1000-/5000", wrongForm),
    // Long enough to exhaust the stack of a recursive pattern search.
    wrongRange("HugeValue", std::string(100000, '7'), wrongForm),
};
// clang-format on

TEST_P(HttpServiceDownloadCaseTest, EndsAsTheServerAllows) {
    const DownloadCase& testCase = GetParam();
    for (const auto& [fault, times] : testCase.faults) {
        server->injectFault(Endpoint::Package, fault, times);
    }
    EXPECT_EQ(download(update(testCase.size, testCase.onDisk)), testCase.thrown);
    EXPECT_EQ(events(), (Events{initiated, testCase.last}));
    EXPECT_EQ(ranges(), testCase.ranges);
    EXPECT_EQ(server->bytesServed(packageId), testCase.served);
    EXPECT_EQ(onDisk(), PatternedBody::bytes(0, testCase.kept));
    EXPECT_EQ(sleeps, testCase.sleeps);
    if (!testCase.logged.empty()) {
        EXPECT_TRUE(logger->contains(testCase.logged)) << testCase.logged;
    }
    for (const auto& served : server->requests(Endpoint::Package)) {
        EXPECT_EQ(served.request.headers.at(headerYavChecksum), "sum-fw-7");
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, HttpServiceDownloadCaseTest, ::testing::ValuesIn(downloadCases),
                         [](const auto& info) { return info.param.name; });

// Bytes read back from disk through the platform layer while it lives, with `hooks` besides.
class ReadBackCounter {
public:
    explicit ReadBackCounter(platform::Hooks hooks = platform::installedHooks())
        : hooks_(hooks.withFileRead([this](uint64_t bytes) { bytes_ += bytes; })) {}

    uint64_t bytes() const { return bytes_; }

private:
    uint64_t bytes_ = 0;
    platform::ScopedHooks hooks_;
};

// A package already whole on disk is believed only when its checksum matches: hashed once, and
// fetched again when it does not match.
TEST_F(HttpServiceDownloadTest, ACompleteFileIsSentOnlyOnceItsChecksumMatches) {
    struct Case {
        std::string name;
        std::string onDisk;    // the file's bytes
        std::string checksum;  // "" for none
        bool removable;
        Thrown thrown;
        std::size_t requests;
        uint64_t readBack;
        bool verified;
    };
    const std::string whole = PatternedBody::bytes(0, packageSize);
    std::string flipped = whole;
    flipped[2500] = static_cast<char>(flipped[2500] ^ 0x01);
    update();
    const std::string right = server->packageHash(packageId);
    const Thrown checksumFailed = illegalState("Checsum check of delta package failed");
    const Case cases[] = {
        {"Matching", whole, right, true, {}, 0, packageSize, true},
        {"OneByteFlipped", flipped, right, true, {}, 1, packageSize, true},
        // The pinned connection and the phone's own check stand behind a package without one.
        {"NoChecksum", flipped, "", true, {}, 0, 0, true},
        {"FlippedAndNotRemovable", flipped, right, false, checksumFailed, 0, packageSize, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logger->clear();
        const std::size_t requestsBefore = server->count(Endpoint::Package);
        ASSERT_TRUE(platform::writeFileAtomically(path(), c.onDisk));
        const auto record = update(packageSize, 0, c.checksum);
        const ReadBackCounter readBack(platform::installedHooks().withRemove(
            [&c](const std::filesystem::path&) { return c.removable; }));
        EXPECT_EQ(download(record), c.thrown);
        EXPECT_TRUE(logger->contains(Channel::Info, "File already downloaded."));
        EXPECT_EQ(server->count(Endpoint::Package) - requestsBefore, c.requests);
        EXPECT_EQ(readBack.bytes(), c.readBack);
        EXPECT_EQ(record->deltaFile.isVerified(), c.verified);
        EXPECT_EQ(onDisk(), c.verified && !c.checksum.empty() ? whole : flipped);
        if (c.thrown == Thrown{}) {
            EXPECT_EQ(kvtest::lastOf(events()), succeeded);
        } else {
            EXPECT_TRUE(logger->contains(
                Channel::Error, "Could not remove delta file that failed its checksum: " + path()));
            EXPECT_EQ(kvtest::lastOf(events()).rfind("download|error|454|Verifying checksum", 0),
                      0u);
        }
    }
}

// The digest grows with the pieces: a fresh download reads nothing back, a resumed one exactly
// the prefix it found, and a prefix that is not the package's fails the checksum.
TEST_F(HttpServiceDownloadTest, EachByteIsHashedOnce) {
    struct Case {
        std::string name;
        std::string prefix;
        Thrown thrown;
        uint64_t readBack;
        bool rangeIgnored = false;
    };
    std::string tampered = PatternedBody::bytes(0, 1000);
    tampered[10] = 'x';
    const Case cases[] = {
        {"Fresh", "", {}, 0},
        {"Resumed", PatternedBody::bytes(0, 1000), {}, 1000},
        {"TamperedPrefix", tampered, illegalState("Checsum check of delta package failed"), 1000},
        // The whole package instead of the rest: hashed as it arrives, never read back.
        {"ResumeAnsweredWithTheWholePackage", tampered, {}, 1000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::deleteFile(path());
        if (!c.prefix.empty()) {
            ASSERT_TRUE(platform::writeFileAtomically(path(), c.prefix));
        }
        if (c.rangeIgnored) {
            server->injectFault(Endpoint::Package, ServerFault::rangeIgnored(), 1);
        }
        const auto record = update();
        const ReadBackCounter readBack;
        EXPECT_EQ(download(record), c.thrown);
        EXPECT_EQ(readBack.bytes(), c.readBack);
        EXPECT_EQ(platform::fileSize(path()).has_value(), c.thrown == Thrown{});
    }
}

// While another session has the package, the bytes on disk show how far it has come; a file
// longer than the package shows nothing, as it is discarded.
TEST_F(HttpServiceDownloadTest, AFileLongerThanThePackageIsNoProgressWhileAnotherSessionHasIt) {
    const auto record = update(packageSize, packageSize + 10);
    auto held = lockfiles::open(directory.path(), path().substr(path().rfind('/') + 1), Log());
    ASSERT_TRUE(held && held->tryLock());
    std::vector<double> waitedAt;
    const platform::ScopedHooks waiting(platform::installedHooks().withSleep([&](uint64_t) {
        const auto handler = currentProgress->current().lock();
        waitedAt.push_back(handler ? handler->fraction() : -1.0);
        held.reset();
    }));
    EXPECT_EQ(download(record), Thrown{});
    EXPECT_EQ(waitedAt, std::vector<double>{0.0});
}

// Whole pieces are progress: a connection that breaks after each of them is asked again after
// 3 s, however often that happens.
TEST_F(HttpServiceDownloadTest, AConnectionThatBreaksAfterEachWholePieceStillFinishes) {
    constexpr uint64_t size = 5'000'000;
    server->injectFault(Endpoint::Package, ServerFault::cutBodyAfter(1'000'000), forever);
    EXPECT_EQ(download(update(size)), Thrown{});
    EXPECT_EQ(server->count(Endpoint::Package), 5u);
    EXPECT_EQ(sleeps, std::vector<uint64_t>(4, 3000));
    EXPECT_EQ(platform::fileSize(path()), size);
}

TEST_F(HttpServiceDownloadTest, AnEmptyChecksumCountsAsVerifiedAndIsStillSent) {
    const auto record = update(packageSize, 0, "");
    record->serverChecksum = "";
    EXPECT_EQ(download(record), Thrown{});
    EXPECT_TRUE(
        logger->containsFragment("\n\tno checksum available from server, will not calculate"
                                 "\n\tchecksum verification successful"));
    EXPECT_EQ(ranges(), Strings{""});
    EXPECT_EQ(server->requests(Endpoint::Package)[0].request.headers.at(headerYavChecksum), "");
    EXPECT_EQ(recordedSize(), packageSize);
}

TEST_F(HttpServiceDownloadTest, AWrongChecksumRemovesTheFileAndItsCacheEntry) {
    cache->add({path(), url(), packageSize, 1000});
    const auto record = update(packageSize, 1000, std::string(64, 'a'));
    EXPECT_EQ(download(record), illegalState("Checsum check of delta package failed"));
    EXPECT_EQ(ranges(), Strings{"bytes=1000-4999"});
    EXPECT_FALSE(platform::fileSize(path()));
    EXPECT_EQ(cache->get(url(), packageSize).url, "");
    const Events received = events();
    ASSERT_EQ(received.size(), 2u);
    const std::string head =
        "download|error|454|Verifying checksum of delta package: \n\tfilename: ";
    EXPECT_EQ(received[1].rfind(head, 0), 0u);
    const std::string tail = "\n\tchecksum verification failed, removing delta file";
    EXPECT_EQ(received[1].substr(received[1].size() - tail.size()), tail);
}

TEST_F(HttpServiceDownloadTest, RefusesAnUpdateWithoutPackageBeforeAnyRequest) {
    EXPECT_THROW(http->downloadDelta(nullptr, identifiers), IllegalArgumentException);
    EXPECT_EQ(download(update(0)),
              illegalState("Delta package size is 0, nothing to download from: " + url()));
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(HttpServiceDownloadTest, ACancelDuringARetryWaitSendsNoFurtherRequest) {
    server->injectFault(Endpoint::Package, ServerFault::withStatus(503), forever);
    platform::ScopedHooks cancelling{platform::Hooks().withSleep([this](uint64_t milliseconds) {
        sleeps.push_back(milliseconds);
        currentProgress->current().lock()->cancel();
    })};
    const std::string message = "Client has cancelled the download of delta package";
    EXPECT_EQ(download(update()), (Thrown{"cancelled", message}));
    EXPECT_EQ(sleeps, std::vector<uint64_t>{3000});
    EXPECT_EQ(server->count(Endpoint::Package), 1u);
    EXPECT_TRUE(logger->contains(
        Channel::Error, "Delta download failed due to cancellation from user: " + message));
    EXPECT_EQ(events(), (Events{initiated, cancelled}));
}

// The simulated server's front end that runs `duringPost` inside each post, as a host's second
// thread would reach the service while the post runs.
class PostWatcher : public kvtest::InProcessServerProvider {
public:
    using InProcessServerProvider::InProcessServerProvider;

    HttpResult post(const std::shared_ptr<const HttpPostRequest>& request,
                    std::shared_ptr<HttpResponse>& response) override {
        if (duringPost) {
            duringPost();
        }
        return InProcessServerProvider::post(request, response);
    }

    std::function<void()> duringPost;
};

// A cancel reaches the package request only: the download's own events, which report how it
// ended, always go out.
TEST_F(HttpServiceDownloadTest, ACancelNeverAbortsTheDownloadsOwnEvents) {
    const auto watcher = std::make_shared<PostWatcher>(server);
    const auto cancelling = std::make_shared<HttpService>(Log(logger), watcher, currentProgress);
    http = cancelling;
    tracking = makeTracking();
    cancelling->setTrackingService(tracking);
    watcher->duringPost = [&] { cancelling->cancel(); };
    const auto record = update();
    EXPECT_EQ(thrownBy([&] { cancelling->downloadDelta(record, identifiers); }), Thrown{});
    EXPECT_EQ(watcher->cancelCalls(), 0u);
    EXPECT_EQ(events(), (Events{initiated, succeeded}));
    EXPECT_FALSE(logger->contains("Cancelling HTTP function call."));
}

// The simulated server's front end whose every body read reports more data, delivers nothing
// and ends with `result`, claiming `bytesRead`.
class MisbehavingReads : public kvtest::InProcessServerProvider {
public:
    MisbehavingReads(std::shared_ptr<kvtest::SimulatedUpdateServer> server, HttpResult result,
                     uint64_t bytesRead)
        : InProcessServerProvider(std::move(server)), result_(result), bytesRead_(bytesRead) {}

    HttpResult readBody(const std::shared_ptr<uint8_t[]>&, uint64_t, uint64_t& bytesRead,
                        bool& moreData) override {
        ++reads;
        bytesRead = bytesRead_;
        moreData = true;
        return result_;
    }

    std::size_t reads = 0;

private:
    HttpResult result_;
    uint64_t bytesRead_;
};

TEST_F(HttpServiceDownloadTest, BodyReadsThatBringNothingEndAsANetworkFailure) {
    struct Case {
        HttpResult result;
        uint64_t bytesRead;
        Thrown thrown;
        std::string statusCode;
        std::size_t readsPerRequest;
    };
    // Six requests, each read exactly this often: empty reads 1000 times, failed reads once.
    const Case cases[] = {
        {HttpResult::Success, 0,
         network("Network problem: no data received in 1000 reads", 7, false), "KV200007", 1000},
        // Bytes claimed by a failed read never arrive: they earn no fresh count of attempts.
        {HttpResult::CommunicationFailed, 1000, network(communicationFailed, 3, false), "KV200003",
         1},
    };
    for (const Case& testCase : cases) {
        sleeps.clear();
        const auto reads =
            std::make_shared<MisbehavingReads>(server, testCase.result, testCase.bytesRead);
        HttpService misbehaving(Log(logger), reads, currentProgress);
        misbehaving.setTrackingService(tracking);
        const auto record = update();
        EXPECT_EQ(thrownBy([&] { misbehaving.downloadDelta(record, identifiers); }),
                  testCase.thrown);
        EXPECT_EQ(reads->reads, 6 * testCase.readsPerRequest);
        EXPECT_EQ(sleeps, (std::vector<uint64_t>{3000, 6000, 12000, 24000, 120000}));
        EXPECT_EQ(kvtest::lastOf(events()),
                  failed(testCase.statusCode, networkFailure + testCase.thrown.message));
    }
}

}  // namespace
}  // namespace kvinternal
