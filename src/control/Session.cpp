#include "control/Session.h"

#include "control/CurrentProgress.h"
#include "control/Exceptions.h"
#include "control/ServerChoice.h"
#include "mtp/MtpService.h"
#include "server/HttpService.h"
#include "server/YavService.h"
#include "server/ZuntService.h"
#include "store/DeltaFileCache.h"
#include "store/IdentifierCache.h"
#include "store/UpdateSessionIdCache.h"
#include "tracking/TrackingPostRule.h"
#include "tracking/TrackingService.h"

namespace kvinternal {

namespace {

std::string withoutTrailingSlashes(std::string directory) {
    while (!directory.empty() && directory.back() == '/') {
        directory.pop_back();
    }
    return directory;
}

}  // namespace

Session::Session(const kv::Kavrin::SessionParameters& parameters)
    : log_(parameters.logger),
      httpProvider_(parameters.httpProvider),
      mtpProvider_(parameters.mtpProvider),
      deviceId_(parameters.deviceId),
      imageQueryUrl_(servers::imageQueryUrl(parameters.zuntServer)),
      queryServiceOption_(parameters.queryServiceOption),
      yavClientKey_(servers::yavClientKey(parameters.yavServer)),
      language_(parameters.language),
      buildVariant_(parameters.buildVariant),
      certificateChoice_(parameters.certificateChoice),
      clientName_(parameters.clientName),
      clientVersion_(parameters.clientVersion),
      yavServer_(parameters.yavServer),
      workingDirectory_(withoutTrailingSlashes(parameters.workingDirectory)),
      lifetime_(log_, "session") {
    progress_ = std::make_shared<CurrentProgress>();
    trackingPostRule_ = std::make_shared<TrackingPostRule>();
    deltaFiles_ = std::make_shared<DeltaFileCache>(log_, workingDirectory_);
    http_ = std::make_shared<HttpService>(log_, httpProvider_, progress_);
    updateSessionIds_ = std::make_shared<UpdateSessionIdCache>(log_, workingDirectory_);
    mtp_ = std::make_unique<MtpService>(log_, mtpProvider_, deviceId_, progress_);
    zunt_ = std::make_unique<ZuntService>(log_, http_, imageQueryUrl_, clientName_, clientVersion_);
    identifiers_ = std::make_unique<IdentifierCache>(log_, workingDirectory_);
}

Session::~Session() {
    lifetime_.logDestruction();
}

void Session::endSession() {
    log_.verboseNoThrow("End session");
    http_.reset();
    deltaFiles_.reset();
    identifiers_.reset();
    updateSessionIds_.reset();
    mtp_.reset();
    yav_.reset();
    zunt_.reset();
    tracking_.reset();
    mtpProvider_.reset();
    httpProvider_.reset();
    updates_.clear();
}

void Session::beginOperation() {
    progress_->beginOperation();
    trackingPostRule_->startOperation();
}

void Session::finishOperation() const {
    if (progress_->isCancelled()) {
        throw CancelledException("Client cancelled");
    }
}

void Session::cancel() {
    const auto current = progress_->current();
    if (current.expired()) {
        log_.info("No ongoing session function call to cancel");
    } else if (current.lock()) {
        log_.info("Cancelling session function call");
    } else {
        log_.info("Session function call finished before being able to cancel.");
    }
    progress_->cancelOperation();
    mtp_->cancelOngoingCall();
    http_->cancel();
}

double Session::progress() {
    const double transfer = mtp_->ongoingCallProgress();
    if (transfer != 1.0) {
        return transfer;
    }
    const auto current = progress_->current();
    if (current.expired()) {
        log_.info("No ongoing function call to get progress for");
        return 1.0;
    }
    const auto handler = current.lock();
    return handler ? handler->fraction() : 1.0;
}

void Session::createProtocolServices(const IdentifierCollection& collection) {
    const bool protocolV4 = identifierValue(collection, IdentifierId::HasGotaV4Support) == "true";
    const std::string base = servers::updateServerBase(yavServer_);
    if (protocolV4) {
        trackingUrl_ = base + "/trackingv4";
        updateQueryUrl_ = base + "/yav/v4/updates";
        log_.info("Creating YAV and tracking services based on protocol v4");
    } else {
        trackingUrl_ = base + "/trackingv3";
        updateQueryUrl_ = base + "/yav/v3/updates";
        log_.info("Creating legacy YAV and tracking services based on protocol v3");
    }
    tracking_ = std::make_shared<TrackingService>(workingDirectory_, log_, http_, updateSessionIds_,
                                                  yavClientKey_, trackingUrl_, clientName_,
                                                  clientVersion_, trackingPostRule_);
    mtp_->setTrackingService(tracking_);
    http_->setTrackingService(tracking_);
    yav_ = std::make_unique<YavService>(log_, http_, tracking_, yavClientKey_, updateQueryUrl_,
                                        workingDirectory_, queryServiceOption_, deltaFiles_);
    log_.info("YAV service uses query URL: " + updateQueryUrl_);
    log_.info("Tracking service uses YAV tracking URL: " + tracking_->trackingUrl());
}

}  // namespace kvinternal
