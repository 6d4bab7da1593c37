#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "RecordingLogger.h"
#include "ScriptedHttpProvider.h"
#include "common/Log.h"
#include "common/Platform.h"
#include "control/CurrentProgress.h"
#include "server/HttpService.h"
#include "support/ServerServicesFixture.h"

namespace kvinternal {

// A service over a scripted provider, with every requested sleep recorded instead of slept.
class HttpServiceTest : public ::testing::Test {
protected:
    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::shared_ptr<kvtest::ScriptedHttpProvider> provider =
        std::make_shared<kvtest::ScriptedHttpProvider>();
    std::vector<uint64_t> sleeps;
    platform::ScopedHooks hooks{platform::Hooks().withSleep(
        [this](uint64_t milliseconds) { sleeps.push_back(milliseconds); })};
    std::shared_ptr<CurrentProgress> currentProgress = std::make_shared<CurrentProgress>();
    HttpService service{Log(logger), provider, currentProgress};
};

}  // namespace kvinternal
