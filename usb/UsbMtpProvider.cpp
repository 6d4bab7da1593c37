#include "UsbMtpProvider.h"

#include <utility>

#include "MtpPhoneSession.h"
#include "UsbDevices.h"

namespace kvusb {

struct UsbMtpProvider::Connection {
    // Held by the call that runs.
    std::mutex call;
    // Guards the members below, which `cancel` and `progress` read from another thread.
    std::mutex state;
    // Open, or being opened.
    std::shared_ptr<MtpPhoneSession> session;
    bool running = false;
    bool cancelled = false;
};

// A call on a connection, from its start: `cancel` reaches it also while the phone is opened.
class UsbMtpProvider::RunningCall {
public:
    explicit RunningCall(Connection& connection) : connection_(connection) {
        std::lock_guard<std::mutex> lock(connection_.state);
        connection_.running = true;
        connection_.cancelled = false;
        if (connection_.session && !connection_.session->usable()) {
            connection_.session.reset();
        }
        if (connection_.session) {
            connection_.session->beginCall();
        }
    }
    ~RunningCall() {
        std::lock_guard<std::mutex> lock(connection_.state);
        connection_.running = false;
    }
    RunningCall(const RunningCall&) = delete;
    RunningCall& operator=(const RunningCall&) = delete;

    std::shared_ptr<MtpPhoneSession> session() const {
        std::lock_guard<std::mutex> lock(connection_.state);
        return connection_.session;
    }

private:
    Connection& connection_;
};

UsbMtpProvider::UsbMtpProvider() : UsbMtpProvider(Options()) {}

UsbMtpProvider::UsbMtpProvider(Options options)
    : options_(std::move(options)),
      context_(UsbContext::create()),
      devices_(std::make_unique<UsbDevices>(context_)) {}

UsbMtpProvider::~UsbMtpProvider() {
    for (const auto& entry : connections_) {
        Connection& connection = *entry.second;
        std::lock_guard<std::mutex> call(connection.call);
        if (connection.session) {
            connection.session->close();
        }
    }
}

std::vector<AttachedPhone> UsbMtpProvider::phones() const {
    return devices_->list();
}

std::shared_ptr<UsbMtpProvider::Connection> UsbMtpProvider::connectionOf(
    const std::string& deviceId) {
    if (!UsbDevices::validId(deviceId)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto& connection = connections_[deviceId];
    if (!connection) {
        connection = std::make_shared<Connection>();
    }
    return connection;
}

std::shared_ptr<UsbMtpProvider::Connection> UsbMtpProvider::existingConnection(
    const std::string& deviceId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = connections_.find(deviceId);
    return found == connections_.end() ? nullptr : found->second;
}

void UsbMtpProvider::report(const std::string& deviceId, const std::string& problem) const {
    if (options_.diagnostics && !problem.empty()) {
        options_.diagnostics(deviceId + ": " + problem);
    }
}

UsbMtpProvider::MtpResult UsbMtpProvider::open(const std::string& deviceId, Connection& connection,
                                               std::string& problem) {
    OpenedPhone opened = devices_->open(deviceId, options_.detachKernelDriver);
    if (!opened.transport) {
        problem = opened.problem;
        return UsbDevices::resultOf(opened.failure);
    }
    auto session = std::make_shared<MtpPhoneSession>(std::move(opened.transport), options_.engine);
    {
        // Known to `cancel` from now on; a cancel that came earlier ends the open at once.
        std::lock_guard<std::mutex> lock(connection.state);
        connection.session = session;
        if (connection.cancelled) {
            session->cancel();
        }
    }
    const MtpResult result = session->open();
    if (result == MtpResult::Success) {
        return result;
    }
    problem = result == MtpResult::Cancelled
                  ? "cancelled while the phone was opened"
                  : "the phone refused an MTP session: " + session->problem();
    std::lock_guard<std::mutex> lock(connection.state);
    connection.session.reset();
    return result;
}

UsbMtpProvider::MtpResult UsbMtpProvider::onSession(
    const std::string& deviceId, const std::function<MtpResult(MtpPhoneSession&)>& call) {
    const auto connection = connectionOf(deviceId);
    if (!connection) {
        report(deviceId, "not a USB device id (usb:SERIAL or usb:BUS:ADDRESS)");
        return MtpResult::InvalidArgument;
    }
    std::lock_guard<std::mutex> running(connection->call);
    const RunningCall scope(*connection);
    std::shared_ptr<MtpPhoneSession> session = scope.session();
    if (!session) {
        std::string problem;
        const MtpResult opened = open(deviceId, *connection, problem);
        if (opened != MtpResult::Success) {
            report(deviceId, problem);
            return opened;
        }
        session = scope.session();
    }
    const MtpResult result = call(*session);
    if (result != MtpResult::Success) {
        report(deviceId, session->problem());
    }
    return result;
}

bool UsbMtpProvider::connect(const std::string& deviceId, std::string& problem) {
    const auto connection = connectionOf(deviceId);
    if (!connection) {
        problem = "'" + deviceId + "' is not a USB device id (usb:SERIAL or usb:BUS:ADDRESS)";
        return false;
    }
    std::lock_guard<std::mutex> running(connection->call);
    const RunningCall scope(*connection);
    return scope.session() || open(deviceId, *connection, problem) == MtpResult::Success;
}

void UsbMtpProvider::disconnect(const std::string& deviceId) {
    const auto connection = connectionOf(deviceId);
    if (!connection) {
        return;
    }
    std::lock_guard<std::mutex> running(connection->call);
    std::shared_ptr<MtpPhoneSession> session;
    {
        std::lock_guard<std::mutex> lock(connection->state);
        session = std::move(connection->session);
    }
    if (session) {
        session->close();
    }
}

UsbMtpProvider::MtpResult UsbMtpProvider::execute(const std::string& deviceId,
                                                  uint64_t maxDataLength,
                                                  const std::shared_ptr<const MtpRequest>& request,
                                                  std::shared_ptr<MtpResponse>& response) {
    if (!request || !response) {
        return MtpResult::InvalidArgument;
    }
    return onSession(deviceId, [&](MtpPhoneSession& session) {
        return session.execute(maxDataLength, *request, *response);
    });
}

UsbMtpProvider::MtpResult UsbMtpProvider::sendFile(const std::string& deviceId,
                                                   const std::string& localPath,
                                                   const std::string& destinationPath,
                                                   uint32_t& objectHandle) {
    return onSession(deviceId, [&](MtpPhoneSession& session) {
        return session.sendFile(localPath, destinationPath, objectHandle);
    });
}

UsbMtpProvider::MtpResult UsbMtpProvider::cancel(const std::string& deviceId) {
    const auto connection = existingConnection(deviceId);
    if (!connection) {
        return MtpResult::GeneralError;
    }
    std::lock_guard<std::mutex> lock(connection->state);
    if (!connection->running) {
        return MtpResult::GeneralError;  // no call to cancel
    }
    connection->cancelled = true;
    if (connection->session) {
        connection->session->cancel();
    }
    return MtpResult::Success;
}

bool UsbMtpProvider::progress(const std::string& deviceId, double& fraction) {
    const auto connection = existingConnection(deviceId);
    if (!connection) {
        return true;
    }
    std::shared_ptr<MtpPhoneSession> session;
    {
        std::lock_guard<std::mutex> lock(connection->state);
        session = connection->session;
    }
    return !session || session->progress(fraction);
}

}  // namespace kvusb
