#include "SimulatedServer.h"

#include <chrono>
#include <exception>
#include <memory>
#include <utility>

#include "HostError.h"
#include "SimulatedServerKeys.h"

namespace kvhost {

namespace {

kvtest::SimulatedPackage catalogued(const SimulatedModel& model, uint64_t size) {
    auto package = kvtest::SimulatedPackage::example(model.packageId, size);
    package.name = model.packageName;
    package.version = SimulatedServer::targetVersion;
    package.swVersion = SimulatedServer::targetVersion;
    package.models = {model.modelId};
    return package;
}

kvtest::ImageUpdates imageCatalogue() {
    kvtest::ImageRelease release;
    release.swVersion = "9.0.0";
    release.cdfVersion = "cdf-9";
    release.releaseNotesUrl = "https://notes.kavrin.example/image-9";
    release.updateTypes = {kvtest::ImageUpdateType{}};
    return {"COMMERCIAL", "simulated-ce", {release}};
}

// The faults asked for, on the first answer of the package.
kvtest::ServerFault packageFault(const SimulationOptions& options) {
    kvtest::ServerFault fault;
    if (options.holdPackageAt) {
        fault = kvtest::ServerFault::holdBodyAt(*options.holdPackageAt,
                                                std::make_shared<kvtest::ReadGate>());
    }
    fault.dripInterval = std::chrono::milliseconds(options.dripPackageMilliseconds.value_or(0));
    return fault;
}

std::string methodName(kvtest::RecordedHttpRequest::Method method) {
    return method == kvtest::RecordedHttpRequest::Method::Post ? "POST" : "GET";
}

}  // namespace

SimulatedServer::SimulatedServer(const SimulationOptions& options)
    : certificatePem_(options.unpinnedKey ? simulatedkeys::otherCertificate
                                          : simulatedkeys::pinnedCertificate) {
    if (options.address.empty()) {
        startFrontEnd(options);
        return;
    }
    const auto colon = options.address.rfind(':');
    address_ = options.address.substr(0, colon);
    port_ = static_cast<uint16_t>(std::stoul(options.address.substr(colon + 1)));
}

void SimulatedServer::startFrontEnd(const SimulationOptions& options) {
    model_ = std::make_shared<kvtest::SimulatedUpdateServer>();
    for (const SimulatedModel& model : models) {
        model_->addPackage(catalogued(model, options.packageSize));
    }
    model_->setImageUpdates(imageCatalogue());
    model_->setPackageBase(options.packageBase);
    // A held package stays held for every phone and every request; a drip delays only the first
    // answer, so that the retry after it can be seen to resume.
    if (options.holdPackageAt || options.dripPackageMilliseconds) {
        model_->injectFault(kvtest::Endpoint::Package, packageFault(options),
                            options.holdPackageAt ? kvtest::SimulatedUpdateServer::forever : 1);
    }
    const kvtest::HttpsServerFrontEnd::Credentials credentials{
        certificatePem_, options.unpinnedKey ? simulatedkeys::otherKey : simulatedkeys::pinnedKey};
    try {
        frontEnd_ = std::make_unique<kvtest::HttpsServerFrontEnd>(model_, credentials);
    } catch (const std::exception& failure) {
        throw HostError(std::string("the simulated update server cannot start: ") + failure.what());
    }
    port_ = frontEnd_->port();
}

std::vector<std::string> SimulatedServer::connectTo() const {
    std::vector<std::string> entries;
    for (const std::string& host : kvtest::HttpsServerFrontEnd::hostNames()) {
        entries.push_back(host + ":443:" + address_ + ":" + std::to_string(port_));
    }
    return entries;
}

uint64_t SimulatedServer::packageBytesServed() const {
    uint64_t served = 0;
    for (const SimulatedModel& model : models) {
        served += model_ ? model_->bytesServed(model.packageId) : 0;
    }
    return served;
}

std::vector<std::string> SimulatedServer::requestLog() const {
    std::vector<std::string> lines;
    for (const auto& served : model_ ? model_->requests() : std::vector<kvtest::ServedRequest>{}) {
        const auto range = served.request.headers.find("Range");
        lines.push_back(methodName(served.request.method) + " " + served.host + served.path +
                        (range == served.request.headers.end() ? "" : " Range: " + range->second) +
                        " -> " + std::to_string(served.status));
    }
    return lines;
}

}  // namespace kvhost
