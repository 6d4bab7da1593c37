#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimulatedUpdateServer.h"

namespace kvtest {

// The simulated update server as a real HTTPS server on 127.0.0.1, for clients with their own
// network and TLS stack: every request goes to the server's model and its answer (status,
// headers, body with its piece limit, cut, hold and drip) goes back over the socket, so such a client
// meets the same behaviour as one using the in-process provider. Clients reach it under the
// deployment host names (`hostNames`) by connecting to `port()` instead (libcurl's connect-to).
//
// Over a socket two things differ: a model answer that fails without a response closes the
// connection unanswered (the client sees its own kind of failure), and a delivery held at a
// gate waits until the gate opens or the front end stops, whatever the client does meanwhile.
class HttpsServerFrontEnd {
public:
    // PEM texts of the server's certificate and its private key.
    struct Credentials {
        std::string certificatePem;
        std::string privateKeyPem;

        static Credentials fromFiles(const std::string& certificatePath,
                                     const std::string& privateKeyPath);
    };

    // Listens on an ephemeral port of 127.0.0.1 and serves from a thread pool until destroyed.
    // Throws std::runtime_error when the credentials do not load or no port can be bound.
    HttpsServerFrontEnd(std::shared_ptr<SimulatedUpdateServer> server,
                        const Credentials& credentials);
    // Stops serving; deliveries held at a gate are ended first.
    ~HttpsServerFrontEnd();
    HttpsServerFrontEnd(const HttpsServerFrontEnd&) = delete;
    HttpsServerFrontEnd& operator=(const HttpsServerFrontEnd&) = delete;

    uint16_t port() const;

    // The host names of the update and image-update servers of every environment.
    static std::vector<std::string> hostNames();

private:
    class Listener;
    std::unique_ptr<Listener> listener_;
};

}  // namespace kvtest
