#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CurlHttpProvider.h"
#include "HttpsServerFrontEnd.h"
#include "SimulatedUpdateServer.h"
#include "TransferLimits.h"
#include "kavrin/HttpProvider.h"

namespace kvtest {

using HttpResult = kv::HttpProvider::HttpResult;
using HttpRequest = kv::HttpProvider::HttpRequest;

// One exchange, its body read to the end or the first failure.
struct Fetched {
    HttpResult result = HttpResult::Success;
    std::shared_ptr<kv::HttpProvider::HttpResponse> response;
    std::string body;
    HttpResult readResult = HttpResult::Success;
    // Bytes and more-data flag of each successful read.
    std::vector<std::pair<uint64_t, bool>> pieces;

    std::string header(const std::string& name) const {
        const auto found = response->headers.find(name);
        return found == response->headers.end() ? "<none>" : found->second;
    }
};

// The simulated update server behind its HTTPS front end, and curl providers that reach it under
// the deployment host names.
class CurlProviderTest : public ::testing::Test {
protected:
    static std::string keyFile(const std::string& name) {
        return std::string(KAVRIN_KEYS_DIR) + "/" + name;
    }

    static std::string certificatePem(const std::string& key) {
        std::ifstream file(keyFile(key + "-server-cert.pem"));
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    // The DER SubjectPublicKeyInfo of "dev" or "other", in lowercase hex.
    static std::string publicKeyHex(const std::string& key) {
        std::FILE* file = std::fopen(keyFile(key + "-server-key.pem").c_str(), "r");
        EVP_PKEY* pair = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
        unsigned char* der = nullptr;
        const int length = pair ? i2d_PUBKEY(pair, &der) : 0;
        std::string hex;
        for (int i = 0; i < length; ++i) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", der[i]);
            hex += digits;
        }
        OPENSSL_free(der);
        EVP_PKEY_free(pair);
        if (file) {
            std::fclose(file);
        }
        return hex;
    }

    void start(const std::string& serverKey = "dev") {
        frontEnd.reset();
        frontEnd = std::make_unique<HttpsServerFrontEnd>(
            server,
            HttpsServerFrontEnd::Credentials::fromFiles(keyFile(serverKey + "-server-cert.pem"),
                                                        keyFile(serverKey + "-server-key.pem")));
    }

    // A provider that trusts the certificate of `anchor` and sends the update host to `port`.
    static std::shared_ptr<kvhost::CurlHttpProvider> connect(uint16_t port,
                                                             const std::string& anchor = "dev",
                                                             kvhost::TransferLimits limits = {}) {
        kvhost::CurlHttpProvider::Options options;
        options.limits = limits;
        options.trustedCertificatesPem = certificatePem(anchor);
        options.connectTo = {"update-test.kavrin.example:443:127.0.0.1:" + std::to_string(port)};
        return std::make_shared<kvhost::CurlHttpProvider>(options);
    }

    // A TCP socket bound to an ephemeral port of 127.0.0.1, and the port.
    static std::pair<int, uint16_t> loopbackSocket() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        return {fd, ntohs(address.sin_port)};
    }

    static std::shared_ptr<const HttpRequest> request(
        const std::string& url, std::map<std::string, std::string> headers = {},
        std::vector<std::string> trustedKeys = {publicKeyHex("dev")}) {
        return std::make_shared<const HttpRequest>(
            HttpRequest{url, std::move(headers), std::move(trustedKeys)});
    }

    static Fetched fetch(kv::HttpProvider& provider,
                         const std::shared_ptr<const HttpRequest>& request,
                         uint64_t bufferSize = 1 << 20) {
        Fetched fetched;
        fetched.result = provider.get(request, fetched.response);
        std::shared_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);
        bool moreData = fetched.result == HttpResult::Success;
        while (moreData) {
            uint64_t bytesRead = 0;
            fetched.readResult = provider.readBody(buffer, bufferSize, bytesRead, moreData);
            if (fetched.readResult != HttpResult::Success) {
                break;
            }
            fetched.pieces.emplace_back(bytesRead, moreData);
            fetched.body.append(reinterpret_cast<const char*>(buffer.get()), bytesRead);
        }
        return fetched;
    }

    std::shared_ptr<SimulatedUpdateServer> server = std::make_shared<SimulatedUpdateServer>();
    std::unique_ptr<HttpsServerFrontEnd> frontEnd;
};

}  // namespace kvtest
