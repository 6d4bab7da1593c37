#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "InProcessServerProvider.h"
#include "RecordingLogger.h"
#include "SimulatedPhone.h"
#include "SimulatedUpdateServer.h"
#include "TempDirectory.h"
#include "common/Platform.h"
#include "kavrin/Kavrin.h"

namespace kvtest {

using Result = kv::Kavrin::Result;
using Updates = std::shared_ptr<std::vector<kv::Kavrin::UpdateMetadata>>;

// What a test's host hands `CreateSession` for one phone.
inline kv::Kavrin::SessionParameters hostParameters(std::shared_ptr<kv::Logger> logger,
                                                    std::shared_ptr<kv::HttpProvider> http,
                                                    std::shared_ptr<kv::MtpProvider> phone,
                                                    const std::string& workingDirectory) {
    kv::Kavrin::SessionParameters parameters;
    parameters.logger = std::move(logger);
    parameters.httpProvider = std::move(http);
    parameters.mtpProvider = std::move(phone);
    parameters.deviceId = SimulatedPhone::defaultDeviceId;
    parameters.workingDirectory = workingDirectory;
    parameters.language = "en";
    parameters.clientName = "e2e-host";
    parameters.clientVersion = "1.0";
    return parameters;
}

// A host as a test writes it: the library through CreateKavrin and the public headers, the
// simulated phone and the in-process simulated update server, and the platform hooks so that
// retry waits are recorded instead of slept.
class EndToEndTest : public ::testing::Test {
protected:
    EndToEndTest()
        : hooks_(kvinternal::platform::Hooks().withSleep(
              [this](uint64_t milliseconds) { sleeps.push_back(milliseconds); })) {}

    // A new host, simulated server and empty working directory; the phone stays.
    void restart() {
        kavrin = CreateKavrin();
        server = std::make_shared<SimulatedUpdateServer>();
        provider = std::make_shared<InProcessServerProvider>(server);
        std::filesystem::remove_all(workingDirectory.path());
        std::filesystem::create_directory(workingDirectory.path());
    }

    // Replaces the phone before the session opens.
    void usePhone(SimulatedPhone::Kind kind) { phone = std::make_shared<SimulatedPhone>(kind); }

    kv::Kavrin::SessionParameters parameters() const {
        return hostParameters(logger, provider, phone, workingDirectory.path());
    }

    void openSession() { ASSERT_EQ(kavrin->CreateSession(parameters()), Result::Ok); }

    std::string identify() {
        std::shared_ptr<std::string> id;
        EXPECT_EQ(kavrin->IdentifyDevice(id), Result::Ok);
        return id ? *id : std::string();
    }

    // The updates offered; an empty list when the library gave none (a failed call), so that a
    // failing test counts them instead of ending the test program.
    Updates search(const std::string& identificationId, Result expected = Result::Ok) {
        Updates updates;
        EXPECT_EQ(kavrin->GetUpdates(identificationId, updates), expected);
        return updates ? updates : std::make_shared<std::vector<kv::Kavrin::UpdateMetadata>>();
    }

    TempDirectory workingDirectory;
    std::vector<uint64_t> sleeps;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<SimulatedPhone> phone = std::make_shared<SimulatedPhone>();
    std::shared_ptr<SimulatedUpdateServer> server = std::make_shared<SimulatedUpdateServer>();
    std::shared_ptr<InProcessServerProvider> provider =
        std::make_shared<InProcessServerProvider>(server);
    std::unique_ptr<kv::Kavrin> kavrin = CreateKavrin();

private:
    kvinternal::platform::ScopedHooks hooks_;
};

}  // namespace kvtest
