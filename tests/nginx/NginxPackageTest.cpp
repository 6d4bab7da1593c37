// The packages come from nginx, as in a deployment that serves them from a web server or a CDN:
// its Range, 416 and keep-alive behaviour are its own. `kavrin` runs as a program against the
// simulated update server in its process, whose manifest names the packages on nginx.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "NginxServer.h"
#include "PatternedBody.h"
#include "TempDirectory.h"

namespace kvtest {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t packageSize = 3'000'000;
constexpr char package[] = "kavrin-sim-update.bin";
constexpr char uri[] = "/packages/kavrin-sim-update.bin";
constexpr char verified[] = "checksum verification successful";
constexpr char transfer[] = "==> Sending the package";

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

// A release the manifest no longer names, under the same file name and of the same size.
std::string previousRelease() {
    std::string bytes = PatternedBody::bytes(0, packageSize);
    for (char& byte : bytes) {
        byte = static_cast<char>(~byte);
    }
    return bytes;
}

std::string range(uint64_t from) {
    return "bytes=" + std::to_string(from) + "-" + std::to_string(packageSize - 1);
}

class NginxPackageTest : public ::testing::Test {
protected:
    // After its first 2 MiB a whole package comes at 512 KB/s: time enough to stop kavrin
    // mid-body once it has stored a piece.
    NginxPackageTest() : nginx({2u << 20, 512u << 10}) {}

    std::vector<std::string> command(const std::vector<std::string>& arguments) const {
        std::vector<std::string> line{KAVRIN_EXECUTABLE,           "--workdir",
                                      workingDirectory.path(),     "--sim-package-size",
                                      std::to_string(packageSize), "--sim-package-base",
                                      nginx.packageBase()};
        line.insert(line.end(), arguments.begin(), arguments.end());
        return line;
    }

    Outcome run(const std::vector<std::string>& arguments) const {
        ChildProcess kavrin(command(arguments));
        const int exitCode = kavrin.finish(120s);
        return {exitCode, kavrin.out(), kavrin.err()};
    }

    // `kavrin download`, killed once it has stored the first piece of the package.
    void killAfterTheFirstPiece() const {
        ChildProcess kavrin(command({"download", "YAV:0", "--verbose"}));
        ASSERT_TRUE(kavrin.waitForError("Progress is: ", 60s)) << kavrin.err();
        kavrin.signal(SIGKILL);
        EXPECT_EQ(kavrin.finish(60s), -1);
        ASSERT_GT(onDisk(), 0u);
        ASSERT_LT(onDisk(), packageSize);
    }

    uint64_t onDisk() const {
        const std::string path = workingDirectory.file(package);
        return std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
    }

    NginxServer nginx;
    TempDirectory workingDirectory;
};

TEST_F(NginxPackageTest, WholePackageIsDownloadedAndVerified) {
    nginx.serve(package, PatternedBody::bytes(0, packageSize));
    const Outcome outcome = run({"download", "YAV:0", "--verbose"});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(outcome.err.find(verified), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("non FOTA content"), std::string::npos) << outcome.err;
    EXPECT_EQ(onDisk(), packageSize);
    const auto log = nginx.accessLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].status, 200);
    EXPECT_EQ(log[0].range, "");
    EXPECT_EQ(log[0].bodyBytes, packageSize);
    EXPECT_EQ(log[0].uri, uri);
}

TEST_F(NginxPackageTest, KilledMidBodyTheNextRunResumesWithARange) {
    nginx.serve(package, PatternedBody::bytes(0, packageSize));
    killAfterTheFirstPiece();
    const uint64_t kept = onDisk();
    const Outcome resumed = run({"update", "--verbose"});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_NE(resumed.err.find(verified), std::string::npos) << resumed.err;
    EXPECT_NE(resumed.err.find(transfer), std::string::npos) << resumed.err;
    const auto log = nginx.accessLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().status, 206);
    EXPECT_EQ(log.back().range, range(kept));
    EXPECT_EQ(log.back().bodyBytes, packageSize - kept);
}

TEST_F(NginxPackageTest, NginxStoppedAndStartedAgainMidDownloadTheRetryCarriesOn) {
    nginx.serve(package, PatternedBody::bytes(0, packageSize));
    ChildProcess kavrin(command({"download", "YAV:0", "--verbose"}));
    ASSERT_TRUE(kavrin.waitForError("Progress is: ", 60s)) << kavrin.err();
    nginx.stop();
    nginx.start();
    ASSERT_EQ(kavrin.finish(120s), 0) << kavrin.err();
    EXPECT_NE(kavrin.err().find("Trying again after: 3 seconds."), std::string::npos)
        << kavrin.err();
    EXPECT_NE(kavrin.err().find(verified), std::string::npos) << kavrin.err();
    EXPECT_EQ(onDisk(), packageSize);
    const auto log = nginx.accessLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().status, 206);
    EXPECT_EQ(log.back().bodyBytes + std::stoull(log.back().range.substr(6)), packageSize);
}

// A server whose file is shorter than the bytes on disk answers the range with 416: they are
// dropped and the whole file asked for at once, on the connection nginx keeps alive; a file
// shorter than the manifest says fails the size check, so nothing goes to the phone until the
// server has the whole package.
TEST_F(NginxPackageTest, RangePastTheServersFileDropsTheBytesAndAsksAgainOnTheSameConnection) {
    nginx.serve(package, PatternedBody::bytes(0, 2'000'000));
    const Outcome cut = run({"download", "YAV:0"});
    EXPECT_EQ(cut.exitCode, 2) << cut.err;
    EXPECT_NE(cut.err.find("Size check of delta package failed"), std::string::npos) << cut.err;
    ASSERT_EQ(onDisk(), 2'000'000u);

    nginx.serve(package, PatternedBody::bytes(0, 1'500'000));
    const Outcome shorter = run({"update", "--verbose"});
    EXPECT_EQ(shorter.exitCode, 2) << shorter.err;
    EXPECT_NE(shorter.err.find("Server cannot send the delta file from byte 2000000, "
                               "redownloading file"),
              std::string::npos)
        << shorter.err;
    EXPECT_EQ(shorter.err.find(transfer), std::string::npos) << shorter.err;
    EXPECT_EQ(onDisk(), 1'500'000u);
    auto log = nginx.accessLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].status, 416);
    EXPECT_EQ(log[1].range, range(2'000'000));
    EXPECT_EQ(log[2].status, 200);
    EXPECT_EQ(log[2].range, "");
    EXPECT_EQ(log[2].bodyBytes, 1'500'000u);
    // Kept alive after the 416 and used again.
    EXPECT_EQ(log[2].connection, log[1].connection);
    EXPECT_EQ(log[2].connectionRequest, 2u);

    nginx.serve(package, PatternedBody::bytes(0, packageSize));
    const Outcome whole = run({"update", "--verbose"});
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    EXPECT_NE(whole.err.find(transfer), std::string::npos) << whole.err;
    log = nginx.accessLog();
    EXPECT_EQ(log.back().status, 206);
    EXPECT_EQ(log.back().range, range(1'500'000));
}

// The file changed on the server between two runs: the resumed package fails its checksum and
// is removed; the next run downloads the new one whole.
TEST_F(NginxPackageTest, PackageReplacedOnTheServerFailsItsChecksumAndTheNextRunFetchesTheNewOne) {
    nginx.serve(package, previousRelease());
    killAfterTheFirstPiece();
    nginx.serve(package, PatternedBody::bytes(0, packageSize));
    const Outcome mixed = run({"download", "YAV:0"});
    EXPECT_EQ(mixed.exitCode, 2) << mixed.err;
    EXPECT_NE(mixed.err.find("Checsum check of delta package failed"), std::string::npos)
        << mixed.err;
    EXPECT_EQ(onDisk(), 0u);

    const Outcome fresh = run({"download", "YAV:0", "--verbose"});
    ASSERT_EQ(fresh.exitCode, 0) << fresh.err;
    EXPECT_NE(fresh.err.find(verified), std::string::npos) << fresh.err;
    EXPECT_EQ(onDisk(), packageSize);
    const auto log = nginx.accessLog();
    EXPECT_EQ(log.back().status, 200);
    EXPECT_EQ(log.back().bodyBytes, packageSize);
}

}  // namespace
}  // namespace kvtest
