#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AttachedPhone.h"
#include "MtpTransactionEngine.h"
#include "kavrin/MtpProvider.h"

namespace kvusb {

class MtpPhoneSession;
class UsbContext;
class UsbDevices;

// A kv::MtpProvider for phones attached by USB, on libusb-1.0. Device ids are "usb:SERIAL" or
// "usb:BUS:ADDRESS" (see `phones`). A phone is opened at its first call (or at `connect`): its
// MTP interface claimed and an MTP session opened, both kept until `disconnect` or the
// provider's end. A phone that was unplugged, or that a failure left stuck, is opened afresh at
// the next call (a "usb:SERIAL" id finds it again on another port).
//
// Calls for one phone run one at a time; `cancel` and `progress` may come from another thread
// while `execute` or `sendFile` runs.
//
//     auto provider = std::make_shared<kvusb::UsbMtpProvider>();
//     const auto phones = provider->phones();        // one AttachedPhone per phone
//     parameters.mtpProvider = provider;
//     parameters.deviceId = phones.front().id;
class UsbMtpProvider : public kv::MtpProvider {
public:
    struct Options {
        // Detach a kernel driver that holds the MTP interface (reattached when it is released).
        bool detachKernelDriver = false;
        MtpTransactionEngine::Options engine;
        // One line for each failure that a result code alone does not explain.
        std::function<void(const std::string&)> diagnostics;
    };

    // Both throw std::runtime_error when libusb cannot start.
    UsbMtpProvider();
    explicit UsbMtpProvider(Options options);
    // Closes every open phone's session.
    ~UsbMtpProvider() override;

    std::vector<AttachedPhone> phones() const;
    // Opens the phone now; false, with the reason, when it cannot be.
    bool connect(const std::string& deviceId, std::string& problem);
    void disconnect(const std::string& deviceId);

    MtpResult execute(const std::string& deviceId, uint64_t maxDataLength,
                      const std::shared_ptr<const MtpRequest>& request,
                      std::shared_ptr<MtpResponse>& response) override;
    MtpResult sendFile(const std::string& deviceId, const std::string& localPath,
                       const std::string& destinationPath, uint32_t& objectHandle) override;
    MtpResult cancel(const std::string& deviceId) override;
    bool progress(const std::string& deviceId, double& fraction) override;

private:
    struct Connection;
    class RunningCall;

    std::shared_ptr<Connection> connectionOf(const std::string& deviceId);
    std::shared_ptr<Connection> existingConnection(const std::string& deviceId) const;
    // Runs `call` on the phone's session, opening it first when needed.
    MtpResult onSession(const std::string& deviceId,
                        const std::function<MtpResult(MtpPhoneSession&)>& call);
    MtpResult open(const std::string& deviceId, Connection& connection, std::string& problem);
    void report(const std::string& deviceId, const std::string& problem) const;

    const Options options_;
    const std::shared_ptr<UsbContext> context_;
    const std::unique_ptr<UsbDevices> devices_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Connection>> connections_;
};

}  // namespace kvusb
