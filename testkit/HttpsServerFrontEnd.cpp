#include "HttpsServerFrontEnd.h"

#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "RequestUrl.h"
#include "control/ServerChoice.h"

namespace kvtest {

namespace {

// Bytes written to the socket per call of the content provider.
constexpr uint64_t pieceSize = 128 * 1024;
// Headers the HTTP library adds to a request for its own use; no client sent them.
constexpr const char* libraryHeaders[] = {"LOCAL_ADDR", "LOCAL_PORT", "REMOTE_ADDR", "REMOTE_PORT"};
constexpr char contentType[] = "Content-Type";

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("Cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using PrivateKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Bio memoryBio(const std::string& pem) {
    return Bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
}

Certificate loadCertificate(const std::string& pem) {
    Certificate certificate(PEM_read_bio_X509(memoryBio(pem).get(), nullptr, nullptr, nullptr),
                            &X509_free);
    if (!certificate) {
        throw std::runtime_error("The server certificate is not a PEM certificate");
    }
    return certificate;
}

PrivateKey loadPrivateKey(const std::string& pem) {
    PrivateKey key(PEM_read_bio_PrivateKey(memoryBio(pem).get(), nullptr, nullptr, nullptr),
                   &EVP_PKEY_free);
    if (!key) {
        throw std::runtime_error("The server key is not a PEM private key");
    }
    return key;
}

bool isLibraryHeader(const std::string& name) {
    return std::any_of(std::begin(libraryHeaders), std::end(libraryHeaders),
                       [&](const char* added) { return name == added; });
}

RecordedHttpRequest recorded(const httplib::Request& request) {
    RecordedHttpRequest recorded;
    recorded.method = request.method == "POST" ? RecordedHttpRequest::Method::Post
                                               : RecordedHttpRequest::Method::Get;
    const std::string host =
        request.has_header("Host") ? request.get_header_value("Host") : "127.0.0.1";
    recorded.url = "https://" + host + request.target;
    for (const auto& [name, value] : request.headers) {
        if (!isLibraryHeader(name)) {
            recorded.headers.emplace(name, value);
        }
    }
    recorded.body = request.body;
    return recorded;
}

// How far one body has gone on its way out.
struct Delivery {
    bool holdPassed = false;
    std::vector<char> piece;
};

}  // namespace

HttpsServerFrontEnd::Credentials HttpsServerFrontEnd::Credentials::fromFiles(
    const std::string& certificatePath, const std::string& privateKeyPath) {
    return {readFile(certificatePath), readFile(privateKeyPath)};
}

class HttpsServerFrontEnd::Listener {
public:
    Listener(std::shared_ptr<SimulatedUpdateServer> server, const Credentials& credentials)
        : server_(std::move(server)),
          http_(loadCertificate(credentials.certificatePem).get(),
                loadPrivateKey(credentials.privateKeyPem).get()) {
        if (!http_.is_valid()) {
            throw std::runtime_error("The server certificate and key do not make a TLS context");
        }
        const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
            this->serve(request, response);
        };
        http_.Get(".*", serve);
        http_.Post(".*", serve);
        // A client may pause reading while it stores what it has; keep its connection.
        http_.set_write_timeout(60);
        const int port = http_.bind_to_any_port("127.0.0.1");
        if (port <= 0) {
            throw std::runtime_error("Cannot listen on 127.0.0.1");
        }
        port_ = static_cast<uint16_t>(port);
        thread_ = std::thread([this] { run(); });
        // `stop` does nothing until the server runs: wait for that, so that destruction stops it.
        while (!http_.is_running() && !ended_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    ~Listener() {
        std::vector<std::shared_ptr<ReadGate>> gates;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            gates = heldGates_;
        }
        for (const auto& gate : gates) {
            gate->wake();
        }
        stopped_.notify_all();
        http_.stop();
        thread_.join();
    }

    uint16_t port() const { return port_; }

private:
    void run() {
        // Writing to a client that went away must fail that write, not end the process; the
        // library's worker threads are started from here and inherit the mask.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        http_.listen_after_bind();
        ended_ = true;
    }

    void serve(const httplib::Request& request, httplib::Response& response) {
        // The model answers Range requests itself; left in place, the library would apply the
        // range a second time to the body the model already cut. The request object is the
        // library's own, modifiable one, handed over as const.
        const_cast<httplib::Request&>(request).ranges.clear();
        ServerAnswer answer = server_->answer(recorded(request));
        if (answer.failure) {
            // No response: end the connection under the request.
            if (request.ssl) {
                ::shutdown(SSL_get_fd(request.ssl), SHUT_RDWR);
            }
            return;
        }
        response.status = answer.status;
        const auto type = answer.headers.find(contentType);
        for (const auto& [name, value] : answer.headers) {
            if (name != contentType) {
                response.set_header(name, value);
            }
        }
        const std::string typeValue = type == answer.headers.end() ? "" : type->second;
        if (answer.body.size == 0) {
            if (type != answer.headers.end()) {
                response.set_header(contentType, typeValue);
            }
            return;
        }
        auto delivery = std::make_shared<Delivery>();
        response.set_content_provider(answer.body.size, typeValue,
                                      [this, body = std::move(answer.body), delivery](
                                          size_t offset, size_t length, httplib::DataSink& sink) {
                                          return deliverPiece(body, *delivery, offset, length,
                                                              sink);
                                      });
        if (type == answer.headers.end()) {
            response.headers.erase(contentType);
        }
    }

    // Writes the next piece at `offset`; false ends the connection (a cut, or a stop at a hold).
    bool deliverPiece(const AnswerBody& body, Delivery& delivery, uint64_t offset, uint64_t length,
                      httplib::DataSink& sink) {
        const bool holding = body.gate && !delivery.holdPassed;
        if (holding && offset == body.holdAt) {
            if (!passGate(body.gate)) {
                return false;
            }
            delivery.holdPassed = true;
        }
        uint64_t count = std::min({length, body.pieceLimit, pieceSize});
        if (holding && offset < body.holdAt) {
            count = std::min(count, body.holdAt - offset);
        }
        if (body.cutAfter) {
            if (offset >= *body.cutAfter) {
                return false;
            }
            count = std::min(count, *body.cutAfter - offset);
        }
        if (body.byteInterval.count() > 0) {
            if (!waitOut(body.byteInterval)) {
                return false;
            }
            count = 1;
        }
        delivery.piece.resize(count);
        body.copy(offset, reinterpret_cast<uint8_t*>(delivery.piece.data()), count);
        return sink.write(delivery.piece.data(), count);
    }

    // Waits at the gate; false when the front end stops first.
    bool passGate(const std::shared_ptr<ReadGate>& gate) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            heldGates_.push_back(gate);
        }
        const bool passed = gate->pass([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            return stopping_;
        });
        std::lock_guard<std::mutex> lock(mutex_);
        heldGates_.erase(std::find(heldGates_.begin(), heldGates_.end(), gate));
        return passed;
    }

    // Waits `interval`; false when the front end stops first.
    bool waitOut(std::chrono::milliseconds interval) {
        std::unique_lock<std::mutex> lock(mutex_);
        return !stopped_.wait_for(lock, interval, [this] { return stopping_; });
    }

    const std::shared_ptr<SimulatedUpdateServer> server_;
    httplib::SSLServer http_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> ended_{false};
    std::mutex mutex_;
    bool stopping_ = false;
    std::condition_variable stopped_;
    std::vector<std::shared_ptr<ReadGate>> heldGates_;
};

HttpsServerFrontEnd::HttpsServerFrontEnd(std::shared_ptr<SimulatedUpdateServer> server,
                                         const Credentials& credentials)
    : listener_(std::make_unique<Listener>(std::move(server), credentials)) {}

HttpsServerFrontEnd::~HttpsServerFrontEnd() = default;

uint16_t HttpsServerFrontEnd::port() const {
    return listener_->port();
}

std::vector<std::string> HttpsServerFrontEnd::hostNames() {
    std::vector<std::string> names;
    for (const auto environment : {kv::Kavrin::Server::Test, kv::Kavrin::Server::Stage,
                                   kv::Kavrin::Server::SysTest, kv::Kavrin::Server::Release}) {
        for (const std::string& url : {kvinternal::servers::updateServerBase(environment),
                                       kvinternal::servers::imageQueryUrl(environment)}) {
            names.push_back(RequestUrl::parse(url).value().host());
        }
    }
    return names;
}

}  // namespace kvtest
