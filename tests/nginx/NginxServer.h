#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TempDirectory.h"

namespace kvtest {

// Debian's nginx serving files over HTTPS on a free loopback port, with a configuration written
// to a temporary folder (the development key, `sendfile on`, keep-alive). Requests without a
// Range are sent at `slowRate` bytes a second after their first `fastBytes` (0: no limit), so
// that a client can be stopped mid-body; ranges come at full speed. Started by the constructor,
// stopped (and the folder removed) by the destructor; every wait is bounded.
class NginxServer {
public:
    struct Options {
        uint64_t fastBytes = 0;
        uint64_t slowRate = 0;
    };

    // One line of the access log.
    struct Served {
        uint64_t connection = 0;
        // The request's place on its connection: 2 and more on a connection kept alive.
        uint64_t connectionRequest = 0;
        int status = 0;
        std::string range;
        uint64_t bodyBytes = 0;
        std::string uri;
    };

    // Throws std::runtime_error when nginx does not start.
    explicit NginxServer(Options options);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    uint16_t port() const { return port_; }
    // "https://127.0.0.1:PORT/packages"
    std::string packageBase() const;
    // Writes `bytes` as the served file /packages/NAME, replacing it whole.
    void serve(const std::string& name, const std::string& bytes) const;

    // SIGTERM, which closes the connections at once; then started again on the same port.
    void stop();
    void start();

    std::vector<Served> accessLog() const;

private:
    void writeConfiguration() const;
    bool launch();

    const Options options_;
    TempDirectory folder_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace kvtest
