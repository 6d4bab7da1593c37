#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "e2e/EndToEndFixture.h"

namespace kvtest {
namespace {

using Channel = RecordingLogger::Channel;
// The dispatcher's own answers, which never reach the phone or the servers.
using DispatcherTest = EndToEndTest;

const std::string createBanner =
    "----------- Create session --------------------------------------------";

// After a session has ended the logger stays, so each operation logs its banner and answers 2
// (a repeated DestroySession answers 0).
TEST_F(DispatcherTest, BannersMatchToTheCharacter) {
    ASSERT_EQ(kavrin->CreateSession(parameters()), Result::Ok);
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    logger->clear();

    std::shared_ptr<std::string> text;
    std::shared_ptr<std::vector<kv::Kavrin::UpdateMetadata>> updates;
    std::shared_ptr<kv::Kavrin::FinalResult> finalResult;
    struct Case {
        std::function<Result()> call;
        std::vector<std::string> banners;
        Result result = Result::IllegalState;
    };
    const Case cases[] = {
        {[&] { return kavrin->DestroySession(); },
         {"----------- Destroy session operation queued --------------------------",
          "----------- Destroy session operation started -------------------------"},
         Result::Ok},
        {[&] { return kavrin->Cancel(); },
         {"----------- Cancel ---------------------------------------------------"}},
        {[&] { return kavrin->IdentifyDevice(text); },
         {"----------- Identify device ------------------------------------------"}},
        {[&] { return kavrin->GetUpdates("id", updates); },
         {"----------- Get updates ----------------------------------------------"}},
        {[&] { return kavrin->GetUpdatesFromDefaultCapabilityFile(nullptr, 0, updates); },
         {"----------- Get updates from default capability file -----------------"}},
        {[&] { return kavrin->DownloadDeltaUpdate("YAV:0"); },
         {"----------- Download delta update operation queued -------------------",
          "----------- Download delta update operation started ------------------"}},
        {[&] { return kavrin->TransferDeltaToDevice("YAV:0"); },
         {"----------- Transfer delta to device operation queued ----------------",
          "----------- Transfer delta to device operation started ---------------"}},
        {[&] { return kavrin->UpdateDeviceWithDelta("YAV:0", true); },
         {"----------- Update device with delta operation queued -----------------",
          "----------- Update device with delta operation started ----------------"}},
        {[&] { return kavrin->GetFinalResult(true, finalResult); },
         {"----------- Get final result operation queued -------------------------",
          "----------- Get final result operation started ------------------------"}},
        {[&] { return kavrin->GetImei("id", text); },
         {"----------- Get IMEI --------------------------------------------------"}},
    };
    for (const auto& testCase : cases) {
        logger->clear();
        EXPECT_EQ(testCase.call(), testCase.result) << testCase.banners.front();
        EXPECT_EQ(logger->messages(Channel::Info), testCase.banners);
        EXPECT_EQ(logger->lines().size(), testCase.banners.size());
    }
    logger->clear();
    double progress = -1;
    EXPECT_EQ(kavrin->GetProgress(progress), Result::IllegalState);
    EXPECT_TRUE(logger->lines().empty());
}

TEST_F(DispatcherTest, MissingParametersGiveIllegalArgumentWithoutFurtherLines) {
    using Parameters = kv::Kavrin::SessionParameters;
    const std::function<void(Parameters&)> removals[] = {
        [](Parameters& p) { p.httpProvider.reset(); },
        [](Parameters& p) { p.mtpProvider.reset(); },
        [](Parameters& p) { p.deviceId.clear(); },
        [](Parameters& p) { p.workingDirectory.clear(); },
        [](Parameters& p) { p.language.clear(); },
        [](Parameters& p) { p.clientName.clear(); },
        [](Parameters& p) { p.clientVersion.clear(); },
        [](Parameters& p) { p.logger.reset(); },  // then nothing can be logged
    };
    for (const auto& remove : removals) {
        logger->clear();
        auto chosen = parameters();
        remove(chosen);
        EXPECT_EQ(kavrin->CreateSession(chosen), Result::IllegalArgument);
        const std::vector<std::string> lines{"Running Kavrin version: 1.4.6", createBanner};
        EXPECT_EQ(logger->messages(), chosen.logger ? lines : std::vector<std::string>{});
    }
}

TEST_F(DispatcherTest, ServerChoicesOutsideTheFourEnvironmentsAreRefused) {
    using Server = kv::Kavrin::Server;
    struct Case {
        int32_t yav;
        int32_t zunt;
        const char* error;
    };
    const Case cases[] = {
        {4, 0, "Illegal argument exception: YAV server chosen not valid"},
        {-1, 3, "Illegal argument exception: YAV server chosen not valid"},
        {0, 7, "Illegal argument exception: ZUNT server chosen not valid"},
        {3, -1, "Illegal argument exception: ZUNT server chosen not valid"},
        {9, 9, "Illegal argument exception: YAV server chosen not valid"},
    };
    for (const auto& testCase : cases) {
        logger->clear();
        auto chosen = parameters();
        chosen.yavServer = static_cast<Server>(testCase.yav);
        chosen.zuntServer = static_cast<Server>(testCase.zunt);
        EXPECT_EQ(kavrin->CreateSession(chosen), Result::IllegalArgument);
        EXPECT_EQ(logger->messages(Channel::Error), std::vector<std::string>{testCase.error});
    }
    for (int32_t server = 0; server <= 3; ++server) {
        auto chosen = parameters();
        chosen.yavServer = static_cast<Server>(server);
        chosen.zuntServer = static_cast<Server>(3 - server);
        EXPECT_EQ(kavrin->CreateSession(chosen), Result::Ok) << server;
        EXPECT_EQ(kavrin->DestroySession(), Result::Ok);
    }
}

TEST_F(DispatcherTest, BeforeAnySessionNothingIsLoggedAndOperationsAnswerTwo) {
    std::shared_ptr<std::string> text;
    double progress = -1;
    EXPECT_EQ(kavrin->Cancel(), Result::IllegalState);
    EXPECT_EQ(kavrin->GetProgress(progress), Result::IllegalState);
    EXPECT_EQ(kavrin->IdentifyDevice(text), Result::IllegalState);
    EXPECT_EQ(kavrin->DownloadDeltaUpdate("YAV:1"), Result::IllegalState);
    EXPECT_EQ(kavrin->DestroySession(), Result::Ok);
    EXPECT_TRUE(logger->lines().empty());
}

// A host sink that throws on the lines `refuses` picks.
class RefusingLogger : public kv::Logger {
public:
    explicit RefusingLogger(std::function<bool(const std::string&)> refuses)
        : refuses_(std::move(refuses)) {}
    void error(const std::string& message) override { check(message); }
    void log(const std::string& message, bool) override { check(message); }

private:
    void check(const std::string& message) const {
        if (refuses_(message)) {
            throw std::runtime_error("sink refused: " + message);
        }
    }
    std::function<bool(const std::string&)> refuses_;
};

// The library never throws into the host: a sink that throws on the banners and destructor
// lines loses those lines only; one that throws on every line makes the operations fail with
// results, and the object still goes away cleanly.
TEST_F(DispatcherTest, AThrowingHostLoggerNeverEscapesTheBoundary) {
    auto refusing = parameters();
    refusing.logger = std::make_shared<RefusingLogger>([](const std::string& line) {
        return line.rfind("-----------", 0) == 0 || line.rfind("Destructor", 0) == 0 ||
               line.rfind("Running Kavrin", 0) == 0;
    });
    std::shared_ptr<std::string> id;
    EXPECT_EQ(kavrin->CreateSession(refusing), Result::Ok);
    EXPECT_EQ(kavrin->IdentifyDevice(id), Result::Ok);
    EXPECT_EQ(kavrin->Cancel(), Result::Ok);
    EXPECT_EQ(kavrin->DownloadDeltaUpdate("YAV:9"), Result::IllegalArgument);
    EXPECT_EQ(kavrin->DestroySession(), Result::Ok);

    auto everything = parameters();
    everything.logger = std::make_shared<RefusingLogger>([](const std::string&) { return true; });
    kavrin = CreateKavrin();
    Result created = Result::Ok;
    EXPECT_NO_THROW(created = kavrin->CreateSession(everything));
    EXPECT_EQ(created, Result::GeneralError);
    ASSERT_EQ(kavrin->CreateSession(refusing), Result::Ok);
    EXPECT_NO_THROW(kavrin.reset());
}

TEST_F(DispatcherTest, MarkerCodeIsExactlyC340) {
    EXPECT_FALSE(kavrin->IsMarkerCode(nullptr));
    EXPECT_TRUE(kavrin->IsMarkerCode(std::make_shared<const uint16_t>(0xC340)));
    EXPECT_FALSE(kavrin->IsMarkerCode(std::make_shared<const uint16_t>(0xC341)));
    EXPECT_FALSE(kavrin->IsMarkerCode(std::make_shared<const uint16_t>(0x40C3)));
    EXPECT_TRUE(logger->lines().empty());
}

}  // namespace
}  // namespace kvtest
