#include <filesystem>
#include <set>
#include <tuple>

#include "UpdateExecutionFixture.h"
#include "support/LastOf.h"

namespace kvtest {
namespace {

using Channel = RecordingLogger::Channel;
using Kind = SimulatedPhone::Kind;

bool allEqualAndSet(const std::vector<std::string>& ids) {
    return !ids.empty() && !ids.front().empty() &&
           std::set<std::string>(ids.begin(), ids.end()).size() == 1;
}

TEST_F(UpdateExecutionTest, WholeLegacyUpdateEndsWithTheFinalResultAndNoPackage) {
    usePhone(Kind::LegacyFota);
    phone->installOnVerify({"5.3.0.201", SimulatedPhone::FotaStatus::withReport(0, "all done")});
    const std::string updateId = offerPackage();
    ASSERT_FALSE(updateId.empty());
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    ASSERT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
    ASSERT_EQ(kavrin->UpdateDeviceWithDelta(updateId, true), Result::Ok);
    EXPECT_TRUE(std::filesystem::exists(packagePath()));  // kept for the final result

    std::shared_ptr<kv::Kavrin::FinalResult> result;
    ASSERT_EQ(kavrin->GetFinalResult(true, result), Result::Ok);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->success);
    EXPECT_EQ(result->resultCode, 0u);
    EXPECT_TRUE(logger->contains(Channel::Verbose, "Report from Update Agent: all done"));
    EXPECT_FALSE(std::filesystem::exists(packagePath()));
    // The pending update is gone with its package.
    EXPECT_EQ(kavrin->GetFinalResult(true, result), Result::IllegalArgument);
    // The rebooted phone was identified afresh under the same identification id.
    EXPECT_EQ(lastOf(server->trackingDocuments()).document["update"]["device"]["swVersion"],
              "5.3.0.201");
    search(identificationId);
    auto query = lastOf(server->requests(Endpoint::Updates)).query;
    EXPECT_EQ(query["sw-revision"], "5.3.0.201");
    ASSERT_EQ(kavrin->DestroySession(), Result::Ok);

    const auto verify = phone->verifyCalls();
    ASSERT_EQ(verify.size(), 1u);
    EXPECT_EQ(std::make_tuple(verify[0].operationCode, verify[0].objectHandle),
              std::make_tuple(0x9170, firstObjectHandle));
    EXPECT_TRUE(logger->contains(
        "Triggering verify and update MTP operation (0x9170) for update id: " + updateId));
    EXPECT_EQ(updateEvents(),
              (std::vector<std::string>{"download/initiated", "download/ok", "transfer/initiated",
                                        "transfer/ok", "preverification/ok", "install/initiated",
                                        "install/ok"}));
    EXPECT_TRUE(allEqualAndSet(sessionIds()));
}

TEST_F(UpdateExecutionTest, WholeGotaUpdatesSendTheirDocumentAndDeclineTheFinalResult) {
    struct Case {
        Kind kind;
        uint16_t operation;
        const char* version;
        const char* variantKey;
    };
    for (const Case& c : {Case{Kind::GotaV3, 0x9175, "1.0", "targetCdfRevision"},
                          Case{Kind::GotaV4, 0x9178, "2.0", "targetSwVariant"}}) {
        SCOPED_TRACE(c.operation);
        restart();
        usePhone(c.kind);
        server->addPackage(SimulatedPackage::example("pkg", packageSize));
        openSession();
        const auto updates = search(identify());
        ASSERT_FALSE(updates->empty());
        const std::string updateId = updates->front().id;
        ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
        ASSERT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
        ASSERT_EQ(kavrin->UpdateDeviceWithDelta(updateId, false), Result::Ok);

        const auto verify = phone->verifyCalls();
        ASSERT_EQ(verify.size(), 1u);
        EXPECT_EQ(verify[0].operationCode, c.operation);
        EXPECT_EQ(verify[0].sizeLow, packageSize);
        EXPECT_EQ(verify[0].document["version"], c.version);
        EXPECT_EQ(verify[0].document["Id"], updateId);
        EXPECT_EQ(verify[0].document["initiator"], "e2e-host");
        EXPECT_TRUE(verify[0].document.isMember(c.variantKey));
        const auto ids = sessionIds();
        ASSERT_TRUE(allEqualAndSet(ids));
        EXPECT_EQ(verify[0].document["sessionId"], ids.front());
        EXPECT_EQ(updateEvents(), (std::vector<std::string>{"download/initiated", "download/ok",
                                                            "transfer/initiated", "transfer/ok",
                                                            "preverification/ok"}));

        // The package was kept, so the pending id is set and the final result declines.
        std::shared_ptr<kv::Kavrin::FinalResult> result;
        logger->clear();
        EXPECT_EQ(kavrin->GetFinalResult(true, result), Result::Ok);
        EXPECT_FALSE(result);
        EXPECT_EQ(logger->messages(Channel::Error),
                  (std::vector<std::string>{
                      "GetFinalResult operation not supported for this device.",
                      "Nothing to do. Flow has been transferred to device already."}));
        EXPECT_TRUE(std::filesystem::exists(packagePath()));
        ASSERT_EQ(kavrin->DestroySession(), Result::Ok);
    }
}

TEST_F(UpdateExecutionTest, GotaUpdateThatDeletesItsPackageLeavesNothingPending) {
    const std::string updateId = offerPackage();
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    ASSERT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
    ASSERT_EQ(kavrin->UpdateDeviceWithDelta(updateId, true), Result::Ok);
    EXPECT_FALSE(std::filesystem::exists(packagePath()));
    std::shared_ptr<kv::Kavrin::FinalResult> result;
    EXPECT_EQ(kavrin->GetFinalResult(true, result), Result::IllegalArgument);
    EXPECT_TRUE(logger->containsFragment(
        "Illegal argument exception: Update id does not exist: . NOTE! The \"GetFinalResult\" "
        "function shall not be called for GOTA devices. This should only be considered as an "
        "error if the device is NOT a GOTA device."));
    // The entry left the registry with its package.
    EXPECT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::IllegalArgument);
}

TEST_F(UpdateExecutionTest, LegacySuccessWithoutDeletionKeepsPackageAndPendingId) {
    usePhone(Kind::LegacyFota);
    phone->installOnVerify({"5.3.0.201", SimulatedPhone::FotaStatus::withReport(0, "")});
    const std::string updateId = offerPackage();
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    ASSERT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::Ok);
    ASSERT_EQ(kavrin->UpdateDeviceWithDelta(updateId, true), Result::Ok);
    std::shared_ptr<kv::Kavrin::FinalResult> result;
    ASSERT_EQ(kavrin->GetFinalResult(false, result), Result::Ok);
    EXPECT_TRUE(result->success);
    EXPECT_TRUE(std::filesystem::exists(packagePath()));
    result.reset();
    ASSERT_EQ(kavrin->GetFinalResult(false, result), Result::Ok);
    EXPECT_TRUE(result->success);
}

TEST_F(UpdateExecutionTest, UnknownAndImageIdsAreRefusedWithTheirTexts) {
    usePhone(Kind::LegacyFota);
    server->setImageUpdates({"COMMERCIAL", "ce", {{"6.0.0.1", "R9A", "", {{}}}}});
    offerPackage();
    logger->clear();
    EXPECT_EQ(kavrin->DownloadDeltaUpdate("YAV:none"), Result::IllegalArgument);
    EXPECT_EQ(kavrin->TransferDeltaToDevice("YAV:none"), Result::IllegalArgument);
    EXPECT_EQ(kavrin->UpdateDeviceWithDelta("YAV:none", false), Result::IllegalArgument);
    std::shared_ptr<kv::Kavrin::FinalResult> result;
    EXPECT_EQ(kavrin->GetFinalResult(false, result), Result::IllegalArgument);
    const auto errors = logger->messages(Channel::Error);
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0], "Illegal argument exception: Update id does not exist : YAV:none");
    EXPECT_EQ(errors[1], "Illegal argument exception: Update id does not exist: YAV:none");
    EXPECT_EQ(errors[2], "Illegal argument exception: Update id does not exist: YAV:none");

    Updates updates;
    ASSERT_EQ(kavrin->GetUpdates(identificationId, updates), Result::Ok);
    const std::string imageId = updates->back().id;
    ASSERT_EQ(updates->back().type, 1);
    logger->clear();
    EXPECT_EQ(kavrin->DownloadDeltaUpdate(imageId), Result::IllegalArgument);
    EXPECT_EQ(kavrin->UpdateDeviceWithDelta(imageId, false), Result::IllegalArgument);
    EXPECT_EQ(logger->messages(Channel::Error),
              (std::vector<std::string>{
                  "Illegal argument exception: Update id points to a image based update, which "
                  "isn't supported.",
                  "Illegal argument exception: Update id points to an image based update, which "
                  "isn't supported."}));
}

TEST_F(UpdateExecutionTest, PackageOneByteShortIsNotSent) {
    const std::string updateId = offerPackage();
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    std::filesystem::resize_file(packagePath(), packageSize - 1);
    EXPECT_EQ(kavrin->TransferDeltaToDevice(updateId), Result::IllegalState);
    EXPECT_TRUE(logger->contains(Channel::Error,
                                 "Illegal state exception: Package file has not been successfully "
                                 "downloaded for update id: " +
                                     updateId));
    EXPECT_FALSE(phone->storedObject(firstObjectHandle).has_value());
}

}  // namespace
}  // namespace kvtest
