#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kv {

// Implemented by the host: executes one HTTP request at a time over its own network and TLS
// stack and hands the response body over in pieces.
//
// Ownership: the library holds the provider through the shared pointer of the session parameters.
// Requests are built by the library and are immutable once handed over; the provider creates the
// response record and stores it into the caller's empty shared pointer.
//
// Threads: `post`, `get` and `readBody` run on the thread of the current library operation, one
// at a time. `cancel` may be called from the host's second thread while `get` or `readBody` runs
// and must be safe to call then; the interrupted call should return Cancelled.
class HttpProvider {
public:
    enum class HttpResult : uint8_t {
        Success = 0,
        GeneralError,
        Cancelled,
        CommunicationFailed,
        InvalidArgument,
        UrlError,
        HeaderError,
        DataError,
        CertificateError,
        CertificateVerificationError,
        ResponseError,
        ResponseHeaderError,
        SetResponseError
    };

    // `url` is complete, query included. `trustedKeys` lists the server public keys (DER
    // SubjectPublicKeyInfo as lowercase hexadecimal) that an https server must present; when it is
    // not empty the provider must refuse any other server with CertificateError or
    // CertificateVerificationError.
    struct HttpRequest {
        std::string url;
        std::map<std::string, std::string> headers;
        std::vector<std::string> trustedKeys;
    };

    struct HttpPostRequest : HttpRequest {
        std::shared_ptr<uint8_t[]> data;
        uint64_t dataSize = 0;
    };

    // Header names are looked up by exact, case-sensitive comparison.
    struct HttpResponse {
        int32_t statusCode = 0;
        std::map<std::string, std::string> headers;
    };

    virtual ~HttpProvider() = default;

    // Performs one POST and fills the response record; the library does not read its body.
    virtual HttpResult post(const std::shared_ptr<const HttpPostRequest>& request,
                            std::shared_ptr<HttpResponse>& response) = 0;

    // Performs one GET and fills the response record; the body is then read with `readBody`.
    virtual HttpResult get(const std::shared_ptr<const HttpRequest>& request,
                           std::shared_ptr<HttpResponse>& response) = 0;

    // Copies the next part of the last response's body into `buffer` (at most `bufferSize`
    // bytes), reports the number of bytes copied, and sets `moreData` while body bytes remain.
    virtual HttpResult readBody(const std::shared_ptr<uint8_t[]>& buffer, uint64_t bufferSize,
                                uint64_t& bytesRead, bool& moreData) = 0;

    // Aborts the call in progress. The library ignores the value returned here.
    virtual HttpResult cancel() = 0;
};

}  // namespace kv
