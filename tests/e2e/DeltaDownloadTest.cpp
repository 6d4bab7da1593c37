#include <filesystem>

#include "UpdateExecutionFixture.h"

namespace kvtest {
namespace {

using Channel = RecordingLogger::Channel;

class DeltaDownloadTest : public UpdateExecutionTest {
protected:
    uint64_t bytesOnDisk() const { return std::filesystem::file_size(packagePath()); }
};

TEST_F(DeltaDownloadTest, CutBodyResumesAfterThreeSecondsWithARange) {
    const std::string updateId = offerPackage();
    server->injectFault(Endpoint::Package, ServerFault::cutBodyAfter(1'234'567));
    ASSERT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::Ok);
    EXPECT_EQ(sleeps, std::vector<uint64_t>{3000});
    const auto downloads = server->requests(Endpoint::Package);
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(downloads[1].request.headers.at("Range"), "bytes=1234567-3499999");
    EXPECT_EQ(server->bytesServed("pkg"), packageSize);
    EXPECT_EQ(bytesOnDisk(), packageSize);
    EXPECT_EQ(updateEvents(), (std::vector<std::string>{"download/initiated", "download/ok"}));
}

TEST_F(DeltaDownloadTest, WrongContentRangeFailsTheDownloadAndKeepsTheBytes) {
    const std::string updateId = offerPackage();
    server->injectFault(Endpoint::Package, ServerFault::cutBodyAfter(1'000'000));
    server->injectFault(Endpoint::Package,
                        ServerFault::wrongContentRange("bytes 1000000-3499999/3500001"));
    EXPECT_EQ(kavrin->DownloadDeltaUpdate(updateId), Result::IllegalState);
    EXPECT_TRUE(
        logger->contains(Channel::Error,
                         "Illegal state exception: Server responded with incorrect values in "
                         "Range header : bytes 1000000-3499999/3500001"));
    EXPECT_EQ(bytesOnDisk(), 1'000'000u);  // kept for a later resume
}

}  // namespace
}  // namespace kvtest
