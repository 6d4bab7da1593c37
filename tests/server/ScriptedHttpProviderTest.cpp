#include "ScriptedHttpProvider.h"

#include <gtest/gtest.h>

namespace kvtest {
namespace {

using HttpResult = kv::HttpProvider::HttpResult;

struct Read {
    HttpResult result;
    std::string bytes;
    bool moreData;

    bool operator==(const Read& other) const {
        return result == other.result && bytes == other.bytes && moreData == other.moreData;
    }
};

std::ostream& operator<<(std::ostream& out, const Read& read) {
    return out << static_cast<int>(read.result) << " \"" << read.bytes << "\" " << read.moreData;
}

class ScriptedHttpProviderTest : public ::testing::Test {
protected:
    HttpResult get(const std::string& url) {
        std::shared_ptr<kv::HttpProvider::HttpResponse> response;
        auto request = std::make_shared<const kv::HttpProvider::HttpRequest>(
            kv::HttpProvider::HttpRequest{url, {}, {}});
        return provider.get(request, response);
    }

    Read read(uint64_t bufferSize) {
        std::shared_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);
        uint64_t bytesRead = 0;
        bool moreData = false;
        const HttpResult result = provider.readBody(buffer, bufferSize, bytesRead, moreData);
        return {result, std::string(reinterpret_cast<char*>(buffer.get()), bytesRead), moreData};
    }

    ScriptedHttpProvider provider;
};

TEST_F(ScriptedHttpProviderTest, DeliversTheBodyInTheScriptedPiecesThenAsTheBufferAllows) {
    HttpAnswer answer = HttpAnswer::withBody("abcdefghij", "application/x-archive");
    answer.reads = {BodyRead::piece(3), BodyRead::piece(0),
                    BodyRead::failure(HttpResult::DataError)};
    provider.enqueue(answer);
    ASSERT_EQ(get("u"), HttpResult::Success);
    const Read expected[] = {
        {HttpResult::Success, "abc", true},  {HttpResult::Success, "", true},
        {HttpResult::DataError, "", true},   {HttpResult::Success, "defg", true},
        {HttpResult::Success, "hij", false}, {HttpResult::Success, "", false},
    };
    for (const auto& step : expected) {
        EXPECT_EQ(read(4), step);
    }
}

TEST_F(ScriptedHttpProviderTest, CancelFailsTheRestOfTheExchangeOnly) {
    provider.enqueue(HttpAnswer::withBody("abc", "text/plain"), 2);
    get("u");
    provider.cancel();
    EXPECT_EQ(read(8), (Read{HttpResult::Cancelled, "", false}));
    get("u");
    EXPECT_EQ(read(8), (Read{HttpResult::Success, "abc", false}));
    EXPECT_EQ(get("u"), HttpResult::GeneralError);
    const auto calls = provider.calls();
    EXPECT_EQ(calls.get, 3u);
    EXPECT_EQ(calls.readBody, 2u);
    EXPECT_EQ(calls.cancel, 1u);
    EXPECT_EQ(calls.unscripted, 1u);
}

TEST(ScriptedHttpProviderResponderTest, AnswersFromAFunctionOfTheRequest) {
    ScriptedHttpProvider provider([](const RecordedHttpRequest& request) {
        return HttpAnswer::withStatus(request.url == "/found" ? 200 : 404);
    });
    for (const auto& [url, status] : {std::make_pair("/found", 200), std::make_pair("/x", 404)}) {
        std::shared_ptr<kv::HttpProvider::HttpResponse> response;
        provider.get(std::make_shared<const kv::HttpProvider::HttpRequest>(
                         kv::HttpProvider::HttpRequest{url, {}, {}}),
                     response);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->statusCode, status);
    }
    EXPECT_EQ(provider.calls().unscripted, 0u);
}

}  // namespace
}  // namespace kvtest
