#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "HttpsServerFrontEnd.h"
#include "SimulatedUpdateServer.h"

namespace kvhost {

// A phone model of the simulated catalogue, offered a delta package of its own.
struct SimulatedModel {
    // As a person knows the phone.
    const char* name;
    // The phone's "Model" identifier, which the update server reads.
    const char* modelId;
    const char* packageId;
    const char* packageName;
};

// The update servers behind `--server sim`: the test kit's model with kavrin's catalogue (a delta
// package for each model of `models`, one image release), served over HTTPS by a front end in
// this process, or by one that `kavrin sim-server` runs (`SimulationOptions::address`).
//
// The library reaches it under the deployment host names through libcurl's connect-to. Its
// certificate is self-signed, so it is trusted as the only anchor; the library's pinned key is
// checked as with any server, so a server presenting another key is still refused.
class SimulatedServer {
public:
    // The simulated phone of `--phone sim` is the first model.
    static constexpr SimulatedModel models[] = {
        {"Kestrel 5", "K-5", "kavrin-sim-update", "Kavrin simulated update"},
        {"Kestrel 7", "K-7", "kavrin-sim-update-k7", "Kavrin simulated update for Kestrel 7"}};
    // The software version the package installs.
    static constexpr char targetVersion[] = "2.0.0";

    // Starts the front end unless an address is given; throws HostError when it cannot.
    explicit SimulatedServer(const SimulationOptions& options);

    // "HOST:443:127.0.0.1:PORT" for every deployment host.
    std::vector<std::string> connectTo() const;
    const std::string& trustedCertificatePem() const { return certificatePem_; }
    uint16_t port() const { return port_; }
    // Package bytes handed out by a front end in this process, over every package.
    uint64_t packageBytesServed() const;
    // One line per request a front end in this process served: method, host and path (the query
    // carries the client key), Range when sent, and the status.
    std::vector<std::string> requestLog() const;

private:
    void startFrontEnd(const SimulationOptions& options);

    std::shared_ptr<kvtest::SimulatedUpdateServer> model_;
    std::unique_ptr<kvtest::HttpsServerFrontEnd> frontEnd_;
    std::string certificatePem_;
    std::string address_ = "127.0.0.1";
    uint16_t port_ = 0;
};

}  // namespace kvhost
