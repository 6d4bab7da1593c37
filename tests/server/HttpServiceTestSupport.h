#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "RecordingLogger.h"
#include "ScriptedHttpProvider.h"
#include "common/Log.h"
#include "common/Platform.h"
#include "control/Exceptions.h"
#include "server/HttpService.h"

namespace kvinternal {

// What an action threw, in a form tables can state.
struct Thrown {
    std::string kind = "nothing";
    std::string message;
    uint32_t code = 0;
    bool isHttpStatus = false;

    bool operator==(const Thrown& other) const {
        return kind == other.kind && message == other.message && code == other.code &&
               isHttpStatus == other.isHttpStatus;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Thrown& thrown) {
    return out << thrown.kind << " \"" << thrown.message << "\" code " << thrown.code
               << (thrown.isHttpStatus ? " (HTTP status)" : "");
}

inline Thrown thrownBy(const std::function<void()>& action) {
    try {
        action();
    } catch (const NetworkException& error) {
        return {"network", error.what(), error.code(), error.isHttpStatus()};
    } catch (const IllegalStateException& error) {
        return {"illegal state", error.what()};
    } catch (const CancelledException& error) {
        return {"cancelled", error.what()};
    }
    return {};
}

inline Thrown network(const std::string& message, uint32_t code, bool isHttpStatus) {
    return {"network", message, code, isHttpStatus};
}

inline Thrown illegalState(const std::string& message) {
    return {"illegal state", message};
}

// A service over a scripted provider, with every requested sleep recorded instead of slept.
class HttpServiceTest : public ::testing::Test {
protected:
    static platform::Hooks recordSleeps(std::vector<uint64_t>& into) {
        platform::Hooks hooks;
        hooks.sleep = [&into](uint64_t milliseconds) { into.push_back(milliseconds); };
        return hooks;
    }

    std::shared_ptr<kvtest::RecordingLogger> logger = std::make_shared<kvtest::RecordingLogger>();
    std::shared_ptr<kvtest::ScriptedHttpProvider> provider =
        std::make_shared<kvtest::ScriptedHttpProvider>();
    std::vector<uint64_t> sleeps;
    platform::ScopedHooks hooks{recordSleeps(sleeps)};
    HttpService service{Log(logger), provider};
};

}  // namespace kvinternal
