#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MtpDatasets.h"
#include "MtpTransactionEngine.h"
#include "UsbTransport.h"
#include "kavrin/MtpProvider.h"

namespace kvusb {

// An MTP session with one phone over its transport: opens and closes the session and runs the
// provider's calls on it. `execute` and `sendFile` run one at a time; `cancel` and `progress` may
// be called from another thread meanwhile. A cancel holds until `beginCall`: one that comes
// while the session opens ends the open, and the call that opened it.
class MtpPhoneSession {
public:
    using MtpResult = kv::MtpProvider::MtpResult;
    using MtpRequest = kv::MtpProvider::MtpRequest;
    using MtpResponse = kv::MtpProvider::MtpResponse;

    MtpPhoneSession(std::unique_ptr<UsbTransport> transport, MtpTransactionEngine::Options options);
    MtpPhoneSession(const MtpPhoneSession&) = delete;
    MtpPhoneSession& operator=(const MtpPhoneSession&) = delete;

    // OpenSession; a session left open by an earlier program is closed and opened anew.
    MtpResult open();
    // CloseSession, when the phone can still take it.
    void close();

    // A new provider call starts: a cancel of an earlier one no longer counts.
    void beginCall();
    MtpResult execute(uint64_t maxDataLength, const MtpRequest& request, MtpResponse& response);
    // Resolves the destination (every folder must exist already), replaces an object of the same
    // name there and streams the file with SendObjectInfo and SendObject.
    MtpResult sendFile(const std::string& localPath, const std::string& destinationPath,
                       uint32_t& objectHandle);
    void cancel();
    // False while sendFile runs, with the fraction of the file sent.
    bool progress(double& fraction) const;

    // False once the phone must be opened afresh (gone, or stuck after a failure).
    bool usable() const { return engine_.usable(); }
    // Why the last call failed, in a few words.
    const std::string& problem() const { return problem_; }

private:
    MtpOutcome run(const MtpOperation& operation, const std::string& name);
    // The response must be OK; otherwise the problem names the operation and the code.
    bool succeeded(const MtpOutcome& outcome, const char* name);
    std::optional<std::vector<uint8_t>> fetch(uint16_t code, std::vector<uint32_t> parameters,
                                              const char* name, MtpResult& result);
    // The object named `name` among the children of `parent` (0xFFFFFFFF: the storage's root).
    std::optional<uint32_t> findChild(uint32_t storage, uint32_t parent, const std::u16string& name,
                                      bool folder, MtpResult& result);
    MtpResult resolveFolder(const std::vector<std::u16string>& folders, uint32_t& storage,
                            uint32_t& parent);
    MtpResult sendObject(uint32_t storage, uint32_t parent, const std::u16string& name,
                         DataSource& source, uint32_t& objectHandle);

    std::unique_ptr<UsbTransport> transport_;
    MtpTransactionEngine engine_;
    std::string problem_;
    std::atomic<bool> sending_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> total_{0};
};

}  // namespace kvusb
