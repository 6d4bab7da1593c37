#include <array>
#include <map>

#include "control/CurrentProgress.h"
#include "control/DeviceTables.h"
#include "control/Exceptions.h"
#include "control/Session.h"
#include "mtp/Imei.h"
#include "mtp/MtpService.h"
#include "store/IdentifierCache.h"

namespace kvinternal {

namespace {

// Reported as the MTP application certificate when the host asks for the test certificate.
constexpr char testCertificateId[] = "5c2e8a0f7b13d6949e0a2f6c71b58d34";
constexpr uint64_t identificationWork = 100;
constexpr uint64_t workPerRead = 4;

}  // namespace

void Session::identifyDevice(std::shared_ptr<std::string>& identificationId) {
    identificationId = std::make_shared<std::string>();
    IdentifierCollection collection = identifyCollection();
    identificationId =
        std::make_shared<std::string>(identifiers_->addCollection(std::move(collection)));
}

IdentifierCollection Session::identifyCollection() {
    IdentifierCollection collection;
    setDeviceApiFlags(collection);
    completeIdentifiers(collection);
    return collection;
}

void Session::setDeviceApiFlags(IdentifierCollection& collection) {
    const auto flags = [&](const char* v4, const char* v3, const char* delta) {
        setIdentifier(collection, IdentifierId::HasGotaV4Support, v4, log_);
        setIdentifier(collection, IdentifierId::HasGotaV3Support, v3, log_);
        setIdentifier(collection, IdentifierId::HasDeltaSupport, delta, log_);
    };
    switch (mtp_->getDeviceApiType()) {
        case DeviceApiType::GotaV4:
            return flags("true", "false", "false");
        case DeviceApiType::GotaV3:
            return flags("false", "true", "false");
        case DeviceApiType::LegacyFota:
            return flags("false", "false", "true");
        case DeviceApiType::NoDeltaSupport:
            return flags("false", "false", "false");
        case DeviceApiType::UnknownApi:
            throw UnsupportedDeviceApiException(
                "Cannot determine device API type (GOTA, FOTA etc...)");
    }
    throw UnsupportedDeviceApiException(
        "There seems to be a new DeviceApiType. Please add support for it");
}

void Session::completeIdentifiers(IdentifierCollection& collection) {
    const auto progress = progress_->start(identificationWork, log_);
    const std::string userType = readIdentifier(*progress, IdentifierId::UserType);
    if (userType == "user") {
        throw UserNotAuthorizedException(
            "The current user set on the device is not authorized to update the device, "
            "identification stopped.");
    }
    // Read once per identification like every other value, so it is kept too.
    setIdentifier(collection, IdentifierId::AndroidRevision,
                  readIdentifier(*progress, IdentifierId::AndroidRevision), log_);

    using Id = IdentifierId;
    std::map<IdentifierId, std::string> read;
    for (const Id id :
         {Id::MtpApplicationCertificateId, Id::AppSwVersion, Id::BootLoaderProductNumber,
          Id::BootLoaderRevision, Id::BuildVariant, Id::DisplayName, Id::HwConfigRevision,
          Id::UnencryptedImei, Id::EncryptedImei, Id::Model, Id::HwType}) {
        read[id] = readIdentifier(*progress, id);
    }
    if (read[Id::HwConfigRevision] == "unknown") {
        read[Id::HwConfigRevision].clear();
    }
    read[Id::BuildVariant] = buildVariantFor(read[Id::BuildVariant]);
    read[Id::MtpApplicationCertificateId] = certificateIdFor(read[Id::MtpApplicationCertificateId]);
    read[Id::UserType] = userType;
    for (const Id id :
         {Id::AppSwVersion, Id::BootLoaderProductNumber, Id::BootLoaderRevision, Id::BuildVariant,
          Id::DisplayName, Id::HwConfigRevision, Id::HwType, Id::UnencryptedImei, Id::EncryptedImei,
          Id::Model, Id::UserType, Id::MtpApplicationCertificateId}) {
        setIdentifier(collection, id, read[id], log_);
    }

    using ProtocolIds = std::array<Id, 3>;
    const bool protocolV4 = identifierValue(collection, Id::HasGotaV4Support) == "true";
    const ProtocolIds protocolIds =
        protocolV4 ? ProtocolIds{Id::CarrierId, Id::VexaProductCode, Id::SwVariant}
                   : ProtocolIds{Id::AppSwId, Id::CdfId, Id::CdfVersion};
    for (const Id id : protocolIds) {
        setIdentifier(collection, id, readIdentifier(*progress, id), log_);
    }
}

std::string Session::readIdentifier(ProgressHandler& progress, IdentifierId id) {
    if (progress.isCancelled()) {
        throw CancelledException("User cancelled");
    }
    progress.addWork(workPerRead);
    return mtp_->getIdentifier(id);
}

std::string Session::buildVariantFor(const std::string& reported) const {
    using BuildVariant = kv::Kavrin::BuildVariant;
    switch (buildVariant_) {
        case BuildVariant::FromDevice:
            return reported.empty() ? "USER" : reported;
        case BuildVariant::User:
            return "USER";
        case BuildVariant::UserDebug:
            return "USERDEBUG";
        case BuildVariant::Eng:
            return "ENG";
    }
    throw IllegalStateException("Unrecognized build variant type");
}

std::string Session::certificateIdFor(const std::string& reported) const {
    using CertificateChoice = kv::Kavrin::CertificateChoice;
    if (certificateChoice_ == CertificateChoice::FromDevice) {
        return reported.empty() ? "live" : reported;
    }
    return certificateChoice_ == CertificateChoice::Live ? "live" : testCertificateId;
}

IdentifierCollection Session::fetchCollection(const std::string& identificationId) {
    IdentifierCollection collection = identifiers_->getCollection(identificationId);
    deriveIdentifiers(collection);
    return collection;
}

void Session::deriveIdentifiers(IdentifierCollection& collection) const {
    using Id = IdentifierId;
    setIdentifier(collection, Id::CalculatedImei,
                  retrieveImei(identifierValue(collection, Id::EncryptedImei),
                               identifierValue(collection, Id::UnencryptedImei), log_),
                  log_);
    const std::string imei = identifierValue(collection, Id::CalculatedImei);
    const std::string hwConfig = lookupTacOrHwConfig(
        imei, identifierValue(collection, Id::HwConfigRevision), DeviceLookup::HwConfig);
    if (!hwConfig.empty()) {
        setIdentifier(collection, Id::HwConfigRevision, hwConfig, log_);
    }
    setIdentifier(collection, Id::Tac,
                  lookupTacOrHwConfig(imei, identifierValue(collection, Id::HwConfigRevision),
                                      DeviceLookup::Tac),
                  log_);
    setIdentifier(collection, Id::Language, language_, log_);
}

void Session::getImei(const std::string& identificationId, std::shared_ptr<std::string>& imei) {
    imei = std::make_shared<std::string>();
    const IdentifierCollection collection = fetchCollection(identificationId);
    imei = std::make_shared<std::string>(identifierValue(collection, IdentifierId::CalculatedImei));
}

}  // namespace kvinternal
