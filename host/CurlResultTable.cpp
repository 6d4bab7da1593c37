#include "CurlResultTable.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace kvhost {

namespace {

using HttpResult = kv::HttpProvider::HttpResult;

constexpr std::pair<CURLcode, HttpResult> table[] = {
    {CURLE_OK, HttpResult::Success},
    // The address cannot be used or its host name does not resolve.
    {CURLE_UNSUPPORTED_PROTOCOL, HttpResult::UrlError},
    {CURLE_URL_MALFORMAT, HttpResult::UrlError},
    {CURLE_COULDNT_RESOLVE_PROXY, HttpResult::UrlError},
    {CURLE_COULDNT_RESOLVE_HOST, HttpResult::UrlError},
    // The connection could not be made, broke, stalled or ended early.
    {CURLE_COULDNT_CONNECT, HttpResult::CommunicationFailed},
    {CURLE_SSL_CONNECT_ERROR, HttpResult::CommunicationFailed},
    {CURLE_OPERATION_TIMEDOUT, HttpResult::CommunicationFailed},
    {CURLE_GOT_NOTHING, HttpResult::CommunicationFailed},
    {CURLE_SEND_ERROR, HttpResult::CommunicationFailed},
    {CURLE_RECV_ERROR, HttpResult::CommunicationFailed},
    {CURLE_PARTIAL_FILE, HttpResult::CommunicationFailed},
    // The server's certificate could not be used, or it or its key is not trusted.
    {CURLE_SSL_CERTPROBLEM, HttpResult::CertificateError},
    {CURLE_SSL_CACERT_BADFILE, HttpResult::CertificateError},
    {CURLE_SSL_CRL_BADFILE, HttpResult::CertificateError},
    {CURLE_SSL_ISSUER_ERROR, HttpResult::CertificateError},
    {CURLE_SSL_INVALIDCERTSTATUS, HttpResult::CertificateError},
    {CURLE_PEER_FAILED_VERIFICATION, HttpResult::CertificateVerificationError},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, HttpResult::CertificateVerificationError},
    // The server answered something that is not HTTP.
    {CURLE_WEIRD_SERVER_REPLY, HttpResult::ResponseError},
    {CURLE_HTTP2, HttpResult::ResponseError},
    {CURLE_HTTP2_STREAM, HttpResult::ResponseError},
    {CURLE_BAD_CONTENT_ENCODING, HttpResult::DataError},
    {CURLE_WRITE_ERROR, HttpResult::DataError},
    // The request could not be set up.
    {CURLE_BAD_FUNCTION_ARGUMENT, HttpResult::InvalidArgument},
    {CURLE_UNKNOWN_OPTION, HttpResult::InvalidArgument},
    {CURLE_NOT_BUILT_IN, HttpResult::InvalidArgument},
    {CURLE_FAILED_INIT, HttpResult::GeneralError},
    {CURLE_OUT_OF_MEMORY, HttpResult::GeneralError},
    {CURLE_ABORTED_BY_CALLBACK, HttpResult::Cancelled},
};

}  // namespace

HttpResult CurlResultTable::resultOf(CURLcode code) {
    const auto found = std::find_if(std::begin(table), std::end(table),
                                    [code](const auto& row) { return row.first == code; });
    return found == std::end(table) ? HttpResult::CommunicationFailed : found->second;
}

}  // namespace kvhost
