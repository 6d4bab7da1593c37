#include "common/Lifetime.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "RecordingLogger.h"
#include "support/LastOf.h"

namespace kvinternal {
namespace {

using Channel = kvtest::RecordingLogger::Channel;
using Line = kvtest::RecordingLogger::Line;

struct Service {
    explicit Service(const Log& log) : lifetime(log, "test service") {}
    ~Service() { lifetime.logDestruction(); }
    Lifetime lifetime;
};

// Destroys a service while an exception unwinds the stack.
struct Unwinder {
    std::unique_ptr<Service> service;
    ~Unwinder() { service.reset(); }
};

TEST(LifetimeTest, DestructionDuringUnwindingIsAnError) {
    auto logger = std::make_shared<kvtest::RecordingLogger>();
    try {
        Unwinder unwinder{std::make_unique<Service>(Log(logger))};
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(kvtest::lastOf(logger->lines()),
              (Line{Channel::Error, "Destructor test service (stack unwinding)"}));
}

TEST(LifetimeTest, ServiceBuiltDuringHandlingIsNotMistakenForUnwinding) {
    auto logger = std::make_shared<kvtest::RecordingLogger>();
    try {
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
        Service service{Log(logger)};
    }
    EXPECT_EQ(kvtest::lastOf(logger->lines()), (Line{Channel::Verbose, "Destructor test service"}));
}

}  // namespace
}  // namespace kvinternal
