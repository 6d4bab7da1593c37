#pragma once

#include <memory>

#include "CommandLine.h"
#include "PhoneTargets.h"
#include "SimulatedServer.h"
#include "kavrin/HttpProvider.h"
#include "kavrin/Kavrin.h"
#include "kavrin/Logger.h"

namespace kvhost {

// The session parameters of a command's library sessions: its options and update servers, the
// phone, the logger, and an HTTP provider of the session's own (a libcurl handle serves one
// thread).
class SessionSetup {
public:
    // `server` is the simulated one, or null; it outlives the setup.
    SessionSetup(const HostOptions& options, const SimulatedServer* server);

    kv::Kavrin::SessionParameters parameters(const PhoneTarget& phone,
                                             std::shared_ptr<kv::Logger> logger) const;

private:
    std::shared_ptr<kv::HttpProvider> httpProvider() const;

    const HostOptions& options_;
    const SimulatedServer* const server_;
};

}  // namespace kvhost
