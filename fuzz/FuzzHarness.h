#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ScriptedHttpProvider.h"
#include "TempDirectory.h"
#include "common/Log.h"
#include "kavrin/MtpProvider.h"
#include "server/HttpService.h"
#include "tracking/TrackingService.h"

// What the fuzz targets share: untrusted bytes handed to the library the way a phone, a server or
// an earlier run hands them over, and the seed corpus program's view of the same formats.
namespace kvfuzz {

// The wall clock of every run (set, with a sleep that returns at once, by the harness's
// LLVMFuzzerInitialize), so that a reproducer replays the same way on any day.
inline constexpr uint64_t fuzzClockMilliseconds = 1'750'000'000'000;

// The simulated update server's test environment, as the targets address it.
inline constexpr char updateServer[] = "https://update-test.kavrin.example";
inline constexpr char clientKey[] = "0123456789abcdef0123456789ab";
inline constexpr char imageQueryUrl[] = "https://images-test.kavrin.example/zunt/services/updates";

// The delta file the Content-Range target resumes: this many bytes on disk of a package this
// long, so that "bytes 1000-4999/5000" is the one answer accepted.
inline constexpr uint64_t resumedPackageSize = 5000;
inline constexpr uint64_t resumedBytesOnDisk = 1000;

// A log sink that drops every line: the lines are still built, so their code runs too.
kvinternal::Log discardingLog();

// Stops the run with a message when a target's invariant does not hold.
void require(bool condition, const char* what);

std::string text(const uint8_t* data, size_t size);

// An answer of the phone to one MTP operation as fuzz input: response code (2 bytes,
// little-endian), number of parameters (1 byte, as the provider claims it), parameter 1 (4 bytes,
// little-endian), then the data phase.
std::vector<uint8_t> encodeMtpAnswer(const kv::MtpProvider::MtpResponse& response);

// A phone whose provider answers every operation with the input (see encodeMtpAnswer); a short
// input is padded with zeros. Keeps at most the buffer the library offers, as a provider must.
class InputMtpProvider : public kv::MtpProvider {
public:
    InputMtpProvider(const uint8_t* data, size_t size);

    MtpResult execute(const std::string& deviceId, uint64_t maxDataLength,
                      const std::shared_ptr<const MtpRequest>& request,
                      std::shared_ptr<MtpResponse>& response) override;
    MtpResult sendFile(const std::string& deviceId, const std::string& localPath,
                       const std::string& destinationPath, uint32_t& objectHandle) override;
    MtpResult cancel(const std::string& deviceId) override;
    bool progress(const std::string& deviceId, double& fraction) override;

private:
    std::vector<uint8_t> input_;
};

// The HTTP service of a session whose server answers every GET with `answer` and every POST with
// 200.
std::shared_ptr<kvinternal::HttpService> httpServiceAnswering(const kvinternal::Log& log,
                                                              kvtest::HttpAnswer answer);

// A tracking service of protocol 4 posting through `http`, with its resend store and update
// session ids below `directory`. Its construction runs the resend pass.
std::shared_ptr<kvinternal::TrackingService> trackingService(
    const std::string& directory, const kvinternal::Log& log,
    std::shared_ptr<kvinternal::HttpService> http);

// The working directory of one target's runs; each run starts without any file in it.
class FuzzDirectory {
public:
    const std::string& path() const { return directory_.path(); }
    // Deletes every file, then writes the input into `name` (relative to the directory; its
    // parent folders are created).
    void holding(const std::string& name, const uint8_t* data, size_t size) const;
    // Deletes every file below the directory.
    void clear() const;

private:
    kvtest::TempDirectory directory_;
};

}  // namespace kvfuzz
