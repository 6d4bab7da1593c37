#include "SessionSetup.h"

#include <utility>

#include "CurlHttpProvider.h"

namespace kvhost {

namespace {

kv::Kavrin::Server environmentOf(ServerChoice server) {
    switch (server) {
        case ServerChoice::Stage:
            return kv::Kavrin::Server::Stage;
        case ServerChoice::SysTest:
            return kv::Kavrin::Server::SysTest;
        case ServerChoice::Release:
            return kv::Kavrin::Server::Release;
        case ServerChoice::Sim:
        case ServerChoice::Test:
            break;
    }
    return kv::Kavrin::Server::Test;
}

}  // namespace

SessionSetup::SessionSetup(const HostOptions& options, const SimulatedServer* server)
    : options_(options), server_(server) {}

kv::Kavrin::SessionParameters SessionSetup::parameters(const PhoneTarget& phone,
                                                       std::shared_ptr<kv::Logger> logger) const {
    kv::Kavrin::SessionParameters parameters;
    parameters.logger = std::move(logger);
    parameters.httpProvider = httpProvider();
    parameters.mtpProvider = phone.provider;
    parameters.deviceId = phone.deviceId;
    parameters.workingDirectory = options_.workingDirectory;
    parameters.yavServer = parameters.zuntServer = environmentOf(options_.server);
    parameters.language = options_.language;
    parameters.buildVariant = options_.buildVariant;
    parameters.certificateChoice = options_.certificate;
    parameters.clientName = options_.clientName;
    parameters.clientVersion = options_.clientVersion;
    return parameters;
}

std::shared_ptr<kv::HttpProvider> SessionSetup::httpProvider() const {
    CurlHttpProvider::Options options;
    options.limits = options_.transferLimits;
    if (server_) {
        options.connectTo = server_->connectTo();
        options.trustedCertificatesPem = server_->trustedCertificatePem();
    }
    return std::make_shared<CurlHttpProvider>(std::move(options));
}

}  // namespace kvhost
