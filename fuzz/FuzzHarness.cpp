#include "FuzzHarness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "common/Platform.h"
#include "kavrin/Logger.h"
#include "store/UpdateSessionIdCache.h"
#include "tracking/TrackingPostRule.h"

namespace kvfuzz {

namespace {

class DiscardingLogger : public kv::Logger {
public:
    void error(const std::string&) override {}
    void log(const std::string&, bool) override {}
};

// Bytes before the data phase in an encoded MTP answer.
constexpr size_t mtpAnswerHeaderSize = 7;

uint32_t littleEndian(const uint8_t* bytes, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    }
    return value;
}

void appendLittleEndian(std::vector<uint8_t>& bytes, uint32_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

}  // namespace

kvinternal::Log discardingLog() {
    return kvinternal::Log(std::make_shared<DiscardingLogger>());
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "Fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

std::string text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

std::vector<uint8_t> encodeMtpAnswer(const kv::MtpProvider::MtpResponse& response) {
    std::vector<uint8_t> bytes;
    appendLittleEndian(bytes, response.responseCode, 2);
    appendLittleEndian(bytes, response.numberOfParameters, 1);
    appendLittleEndian(bytes, response.parameters[0], 4);
    if (response.data) {
        bytes.insert(bytes.end(), response.data.get(), response.data.get() + response.dataLength);
    }
    return bytes;
}

InputMtpProvider::InputMtpProvider(const uint8_t* data, size_t size) : input_(data, data + size) {
    if (input_.size() < mtpAnswerHeaderSize) {
        input_.resize(mtpAnswerHeaderSize);
    }
}

InputMtpProvider::MtpResult InputMtpProvider::execute(const std::string&, uint64_t maxDataLength,
                                                      const std::shared_ptr<const MtpRequest>&,
                                                      std::shared_ptr<MtpResponse>& response) {
    if (!response) {
        response = std::make_shared<MtpResponse>();
    }
    response->responseCode = static_cast<uint16_t>(littleEndian(input_.data(), 2));
    response->numberOfParameters = input_[2];
    response->parameters[0] = littleEndian(input_.data() + 3, 4);
    const uint64_t available = input_.size() - mtpAnswerHeaderSize;
    const uint64_t kept = response->data ? std::min(available, maxDataLength) : 0;
    if (kept > 0) {
        std::memcpy(response->data.get(), input_.data() + mtpAnswerHeaderSize, kept);
    }
    response->dataLength = kept;
    return MtpResult::Success;
}

InputMtpProvider::MtpResult InputMtpProvider::sendFile(const std::string&, const std::string&,
                                                       const std::string&, uint32_t&) {
    return MtpResult::GeneralError;
}

InputMtpProvider::MtpResult InputMtpProvider::cancel(const std::string&) {
    return MtpResult::Success;
}

bool InputMtpProvider::progress(const std::string&, double& fraction) {
    fraction = 1.0;
    return true;
}

std::shared_ptr<kvinternal::HttpService> httpServiceAnswering(const kvinternal::Log& log,
                                                              kvtest::HttpAnswer answer) {
    using Method = kvtest::RecordedHttpRequest::Method;
    return std::make_shared<kvinternal::HttpService>(
        log,
        std::make_shared<kvtest::ScriptedHttpProvider>(
            [answer = std::move(answer)](const kvtest::RecordedHttpRequest& request) {
                return request.method == Method::Post ? kvtest::HttpAnswer::withStatus(200)
                                                      : answer;
            }),
        nullptr);
}

std::shared_ptr<kvinternal::TrackingService> trackingService(
    const std::string& directory, const kvinternal::Log& log,
    std::shared_ptr<kvinternal::HttpService> http) {
    return std::make_shared<kvinternal::TrackingService>(
        directory, log, std::move(http),
        std::make_shared<kvinternal::UpdateSessionIdCache>(log, directory), clientKey,
        std::string(updateServer) + "/trackingv4", "fuzz", "1.0",
        std::make_shared<kvinternal::TrackingPostRule>());
}

void FuzzDirectory::holding(const std::string& name, const uint8_t* data, size_t size) const {
    clear();
    const auto path = std::filesystem::path(directory_.path()) / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void FuzzDirectory::clear() const {
    // Folders stay: creating and deleting them for every run costs more than the run itself.
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(directory_.path(), ignored)) {
        if (!entry.is_directory(ignored)) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
}

}  // namespace kvfuzz

// Called by libFuzzer once before the first run of any target that links the harness.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvinternal::platform::setHooks(
        kvinternal::platform::Hooks().withSleep([](uint64_t) {}).withWallClock([] {
            return kvfuzz::fuzzClockMilliseconds;
        }));
    return 0;
}
