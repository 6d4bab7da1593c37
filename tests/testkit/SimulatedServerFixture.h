#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "InProcessServerProvider.h"
#include "SimulatedUpdateServer.h"
#include "kavrin/HttpProvider.h"

namespace kvtest {

using HttpResult = kv::HttpProvider::HttpResult;

inline constexpr char testKey[] = "a05f7e2c91b4d8630fe1a7b5c249";
inline constexpr char releaseKey[] = "3b9e0c71a4d25f86e0b7c4a913d2";

// One exchange through the in-process front end, its body read to the end or the first failure.
struct Fetched {
    HttpResult result = HttpResult::Success;
    std::shared_ptr<kv::HttpProvider::HttpResponse> response;
    std::string body;
    HttpResult readResult = HttpResult::Success;
    std::vector<uint64_t> pieces;

    std::string header(const std::string& name) const {
        const auto found = response->headers.find(name);
        return found == response->headers.end() ? "<none>" : found->second;
    }
};

class SimulatedServerTest : public ::testing::Test {
protected:
    Fetched fetch(const std::string& url, std::map<std::string, std::string> headers = {},
                  uint64_t bufferSize = 1 << 20) {
        Fetched fetched;
        fetched.result = provider->get(std::make_shared<const kv::HttpProvider::HttpRequest>(
                                           kv::HttpProvider::HttpRequest{url, headers, {}}),
                                       fetched.response);
        readAll(fetched, bufferSize);
        return fetched;
    }

    // The status of a post's answer, or -1 when the exchange failed.
    int32_t post(const std::string& url, const std::string& body,
                 std::map<std::string, std::string> headers) {
        auto request = std::make_shared<kv::HttpProvider::HttpPostRequest>();
        request->url = url;
        request->headers = std::move(headers);
        request->data.reset(new uint8_t[body.size()]);
        std::copy(body.begin(), body.end(), request->data.get());
        request->dataSize = body.size();
        std::shared_ptr<kv::HttpProvider::HttpResponse> response;
        provider->post(request, response);
        return response ? response->statusCode : -1;
    }

    void readAll(Fetched& fetched, uint64_t bufferSize) {
        std::shared_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);
        bool moreData = fetched.result == HttpResult::Success;
        while (moreData) {
            uint64_t bytesRead = 0;
            fetched.readResult = provider->readBody(buffer, bufferSize, bytesRead, moreData);
            if (fetched.readResult != HttpResult::Success) {
                return;
            }
            fetched.pieces.push_back(bytesRead);
            fetched.body.append(reinterpret_cast<const char*>(buffer.get()), bytesRead);
        }
    }

    std::shared_ptr<SimulatedUpdateServer> server = std::make_shared<SimulatedUpdateServer>();
    std::shared_ptr<InProcessServerProvider> provider =
        std::make_shared<InProcessServerProvider>(server);
};

}  // namespace kvtest
