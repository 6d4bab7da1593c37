#pragma once

#include <curl/curl.h>

#include "kavrin/HttpProvider.h"

namespace kvhost {

// What the library is told when libcurl fails an exchange.
class CurlResultTable {
public:
    // The HttpResult of a libcurl result; failures libcurl may add later count as
    // CommunicationFailed, since nearly all of its codes describe the network.
    static kv::HttpProvider::HttpResult resultOf(CURLcode code);
};

}  // namespace kvhost
