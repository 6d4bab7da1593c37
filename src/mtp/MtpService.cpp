#include "mtp/MtpService.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>

#include "control/CurrentProgress.h"
#include "control/Exceptions.h"
#include "control/ProgressHandler.h"
#include "mtp/PhaseTracking.h"

namespace kvinternal {

namespace {

enum class Outcome { Success, IllegalState, Cancelled, Device };

struct ResultRow {
    const char* message;
    Outcome outcome;
};

// Indexed by provider result; every value past the end takes `unknownResult`.
constexpr std::array<ResultRow, 14> resultRows{{
    {"Mtp command successfully executed", Outcome::Success},
    {"General error when executing MTP provider function", Outcome::IllegalState},
    {"Client cancelled", Outcome::Cancelled},
    {"Invalid argument when executing MTP provider function", Outcome::IllegalState},
    {"Device is disconnected", Outcome::Device},
    {"Not enough memory for response data", Outcome::Device},
    {"USB setup error", Outcome::Device},
    {"USB access error", Outcome::Device},
    {"USB communication error", Outcome::Device},
    {"USB parameter error", Outcome::Device},
    {"USB command error", Outcome::Device},
    {"USB read data error", Outcome::Device},
    {"USB data error", Outcome::Device},
    {"USB response error", Outcome::Device},
}};
constexpr ResultRow unknownResult{"Unknown new MTP result code", Outcome::IllegalState};

}  // namespace

MtpService::MtpService(Log log, std::shared_ptr<kv::MtpProvider> provider, std::string deviceId,
                       std::shared_ptr<CurrentProgress> progress)
    : log_(log),
      lifetime_(std::move(log), "MTP service"),
      provider_(std::move(provider)),
      deviceId_(std::move(deviceId)),
      progress_(progress ? std::move(progress) : std::make_shared<CurrentProgress>()) {}

MtpService::~MtpService() {
    lifetime_.logDestruction();
}

std::shared_ptr<const MtpService::MtpRequest> MtpService::createRequest(uint16_t operationCode) {
    auto request = std::make_shared<MtpRequest>();
    request->operationCode = operationCode;
    return request;
}

std::shared_ptr<const MtpService::MtpRequest> MtpService::createRequest(uint16_t operationCode,
                                                                        uint32_t parameter) {
    auto request = std::make_shared<MtpRequest>();
    request->operationCode = operationCode;
    request->numberOfParameters = 1;
    request->parameters[0] = parameter;
    return request;
}

std::shared_ptr<const MtpService::MtpRequest> MtpService::createRequest(
    uint16_t operationCode, const std::array<uint32_t, 3>& parameters,
    std::shared_ptr<uint8_t[]> data, uint64_t dataLength) {
    auto request = std::make_shared<MtpRequest>();
    request->operationCode = operationCode;
    request->numberOfParameters = static_cast<uint16_t>(parameters.size());
    std::copy(parameters.begin(), parameters.end(), request->parameters);
    request->data = std::move(data);
    request->dataLength = dataLength;
    return request;
}

std::shared_ptr<MtpService::MtpResponse> MtpService::createResponse(bool expectData) {
    auto response = std::make_shared<MtpResponse>();
    if (expectData) {
        response->data = std::shared_ptr<uint8_t[]>(new uint8_t[responseBufferSize]);
    }
    return response;
}

MtpService::Exchange MtpService::execute(const std::shared_ptr<const MtpRequest>& request,
                                         bool expectData) {
    auto response = createResponse(expectData);
    const uint64_t maxDataLength = expectData ? responseBufferSize : 0;
    const MtpResult result = provider_->execute(deviceId_, maxDataLength, request, response);
    if (!response) {
        // A provider that dropped the record answered nothing: read it as an empty response
        // (response code 0), which every flow rejects.
        response = createResponse(false);
    }
    return {result, std::move(response)};
}

std::shared_ptr<MtpService::MtpResponse> MtpService::executeChecked(
    const std::shared_ptr<const MtpRequest>& request, bool expectData) {
    auto exchange = execute(request, expectData);
    checkMtpResult(exchange.result);
    return std::move(exchange.response);
}

bool MtpService::checkMtpResult(MtpResult result) const {
    const auto value = static_cast<uint8_t>(result);
    const ResultRow& row = value < resultRows.size() ? resultRows[value] : unknownResult;
    switch (row.outcome) {
        case Outcome::Success:
            log_.info(row.message);
            return true;
        case Outcome::Cancelled:
            throw CancelledException(row.message);
        case Outcome::Device:
            throw DeviceException(row.message, value);
        case Outcome::IllegalState:
            break;
    }
    throw IllegalStateException(row.message);
}

void MtpService::checkMtpResultReported(MtpResult result, const FailureRows& rows,
                                        const std::function<void(const PhaseRow&)>& report) const {
    try {
        checkMtpResult(result);
    } catch (const CancelledException&) {
        log_.error(rows.cancelledLine);
        report(rows.rowFor(ProviderFailure::Cancelled, "", -1));
        throw;
    } catch (const DeviceException& e) {
        const auto failure = e.code() == DeviceException::noCode
                                 ? ProviderFailure::DeviceWithoutCode
                                 : ProviderFailure::DeviceWithCode;
        report(rows.rowFor(failure, e.what(), e.code()));
        throw;
    } catch (const std::exception& e) {
        report(rows.rowFor(ProviderFailure::General, e.what(), -1));
        throw;
    } catch (...) {
        report(rows.rowFor(ProviderFailure::Unknown, "", -1));
        throw;
    }
}

bool MtpService::checkIdentifierResponse(uint16_t responseCode, IdentifierId id) const {
    const auto name = identifierDisplayName(id);
    switch (responseCode) {
        case mtpresponse::ok:
            return true;
        case mtpresponse::generalError:
            log_.info("General error: " + name);
            return false;
        case mtpresponse::operationNotSupported:
            log_.info("Operation not supported for identifier: " + name);
            return false;
        case mtpresponse::parameterNotSupported:
            log_.info("Parameter not supported: " + name);
            return false;
        case mtpresponse::noValidObjectInfo:
            log_.info("Not a valid object info: " + name);
            return false;
        default:
            log_.error("Response code not recognized: " + std::to_string(responseCode));
            return false;
    }
}

std::vector<uint8_t> MtpService::receivedData(const MtpResponse& response, uint64_t maxDataLength) {
    if (!response.data || response.dataLength == 0) {
        return {};
    }
    if (response.dataLength > maxDataLength) {
        throw IllegalArgumentException(
            "Received data length " + std::to_string(response.dataLength) +
            " exceeds the response buffer of " + std::to_string(maxDataLength) + " bytes");
    }
    return std::vector<uint8_t>(response.data.get(), response.data.get() + response.dataLength);
}

void MtpService::setOngoingCall(const std::shared_ptr<ProgressHandler>& handler) {
    std::lock_guard<std::mutex> guard(ongoingCallMutex_);
    ongoingCall_ = handler;
    ongoingCallWorked_ = 0;
}

void MtpService::advanceOngoingCall(ProgressHandler& handler, uint64_t units) {
    std::lock_guard<std::mutex> guard(ongoingCallMutex_);
    if (units > ongoingCallWorked_) {
        handler.addWork(units - ongoingCallWorked_);
        ongoingCallWorked_ = units;
    }
}

std::weak_ptr<ProgressHandler> MtpService::ongoingCall() const {
    std::lock_guard<std::mutex> guard(ongoingCallMutex_);
    return ongoingCall_;
}

void MtpService::cancelOngoingCall() {
    const auto call = ongoingCall();
    if (call.expired()) {
        log_.info("No ongoing MTP function call to cancel.");
        return;
    }
    const auto handler = call.lock();
    if (!handler) {
        log_.info("MTP function call finished before being able to cancel.");
        return;
    }
    log_.info("Cancelling MTP function call.");
    provider_->cancel(deviceId_);
}

double MtpService::ongoingCallProgress() {
    const auto call = ongoingCall();
    if (call.expired()) {
        return 1.0;
    }
    const auto handler = call.lock();
    if (!handler) {
        log_.info("MTP function call is finished.");
        return 1.0;
    }
    double progress = 1.0;
    if (provider_->progress(deviceId_, progress)) {
        return 1.0;
    }
    // The host promises 0 to 1; what it reports otherwise never reaches its own GetProgress.
    if (std::isnan(progress)) {
        return handler->fraction();
    }
    progress = std::clamp(progress, 0.0, 1.0);
    // Once the provider reports its call finished, progress is read from the handler: it keeps
    // the furthest point reported (rounded up), so that the value never goes back.
    if (progress > 0.0) {
        advanceOngoingCall(*handler, static_cast<uint64_t>(std::ceil(progress * ongoingCallUnits)));
    }
    return progress;
}

std::shared_ptr<TrackingService> MtpService::trackingServiceReference() const {
    return tracking_.get(log_);
}

void MtpService::setTrackingService(std::weak_ptr<TrackingService> trackingService) {
    tracking_.set(std::move(trackingService));
}

}  // namespace kvinternal
