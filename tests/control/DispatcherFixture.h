#pragma once

#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "TempDirectory.h"
#include "kavrin/Kavrin.h"

namespace kvtest {

// Providers for dispatcher tests, which never reach the phone or the servers.
class UnusedHttpProvider : public kv::HttpProvider {
public:
    HttpResult post(const std::shared_ptr<const HttpPostRequest>&,
                    std::shared_ptr<HttpResponse>&) override {
        return HttpResult::GeneralError;
    }
    HttpResult get(const std::shared_ptr<const HttpRequest>&,
                   std::shared_ptr<HttpResponse>&) override {
        return HttpResult::GeneralError;
    }
    HttpResult readBody(const std::shared_ptr<uint8_t[]>&, uint64_t, uint64_t&, bool&) override {
        return HttpResult::GeneralError;
    }
    HttpResult cancel() override { return HttpResult::Success; }
};

class UnusedMtpProvider : public kv::MtpProvider {
public:
    MtpResult execute(const std::string&, uint64_t, const std::shared_ptr<const MtpRequest>&,
                      std::shared_ptr<MtpResponse>&) override {
        return MtpResult::GeneralError;
    }
    MtpResult sendFile(const std::string&, const std::string&, const std::string&,
                       uint32_t&) override {
        return MtpResult::GeneralError;
    }
    MtpResult cancel(const std::string&) override { return MtpResult::Success; }
    bool progress(const std::string&, double&) override { return true; }
};

// A kv::Kavrin from CreateKavrin with a recording logger and complete session parameters.
class DispatcherTest : public ::testing::Test {
protected:
    kv::Kavrin::SessionParameters validParameters() {
        kv::Kavrin::SessionParameters parameters;
        parameters.logger = logger;
        parameters.httpProvider = std::make_shared<UnusedHttpProvider>();
        parameters.mtpProvider = std::make_shared<UnusedMtpProvider>();
        parameters.deviceId = "device-1";
        parameters.workingDirectory = workingDirectory.path();
        parameters.language = "en";
        parameters.clientName = "dispatcher-test";
        parameters.clientVersion = "0.1";
        return parameters;
    }

    TempDirectory workingDirectory;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::unique_ptr<kv::Kavrin> kavrin = CreateKavrin();
};

}  // namespace kvtest
