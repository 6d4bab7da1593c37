#include "control/ExceptionTranslation.h"

#include <gtest/gtest.h>

#include <functional>

#include "RecordingLogger.h"
#include "control/Exceptions.h"

namespace kvinternal {
namespace {

using Result = kv::Kavrin::Result;

struct Row {
    std::function<void()> raise;
    std::vector<std::string> errorLines;
    Result result;
};

Result translate(const std::function<void()>& raise, const Log& log) {
    try {
        raise();
    } catch (...) {
        return translateCurrentException(log);
    }
    ADD_FAILURE() << "nothing was thrown";
    return Result::Ok;
}

TEST(ExceptionTranslationTest, EveryRowGivesItsLineAndResult) {
    struct Foreign {};
    const Row rows[] = {
        {[] { throw IllegalArgumentException("bad id"); },
         {"Illegal argument exception: bad id"},
         Result::IllegalArgument},
        {[] { throw DeviceException("unplugged", 4); },
         {"Device exception: unplugged"},
         Result::DeviceError},
        {[] { throw DeviceException("Boot loader is unlocked. Updates not allowed.", 0, true); },
         {"Device exception: Boot loader is unlocked. Updates not allowed."},
         Result::BootLoaderUnlocked},
        {[] { throw NetworkException("HTTP Bad request: 400", 400, true); },
         {"Network exception: HTTP Bad request: 400"},
         Result::NetworkError},
        {[] { throw IllegalStateException("odd"); },
         {"Illegal state exception: odd"},
         Result::IllegalState},
        {[] { throw CancelledException("User cancelled"); },
         {"Client cancelled function call: User cancelled"},
         Result::Cancelled},
        {[] { throw UserNotAuthorizedException("no"); },
         {"User not authorized exception: no"},
         Result::UserNotAuthorized},
        {[] { throw UnsupportedDeviceApiException("api"); },
         {"Unsupported device API exception: api"},
         Result::DeviceError},
        {[] { throw std::runtime_error("plain"); }, {"General error: plain"}, Result::GeneralError},
        {[] { throw std::bad_alloc(); }, {"General error: std::bad_alloc"}, Result::GeneralError},
        {[] { throw Foreign(); },
         {"Kavrin general error(...)", "Unknown error caught in ... catch"},
         Result::GeneralError},
        {[] { throw 42; },
         {"Kavrin general error(...)", "Unknown error caught in ... catch"},
         Result::GeneralError},
    };
    for (const auto& row : rows) {
        auto logger = std::make_shared<kvtest::RecordingLogger>();
        EXPECT_EQ(translate(row.raise, Log(logger)), row.result) << row.errorLines.front();
        EXPECT_EQ(logger->messages(kvtest::RecordingLogger::Channel::Error), row.errorLines);
        EXPECT_EQ(logger->lines().size(), row.errorLines.size());
    }
}

}  // namespace
}  // namespace kvinternal
