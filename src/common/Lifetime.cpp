#include "common/Lifetime.h"

#include <exception>

namespace kvinternal {

Lifetime::Lifetime(Log log, std::string name, Announce announce)
    : log_(std::move(log)),
      name_(std::move(name)),
      uncaughtAtConstruction_(std::uncaught_exceptions()) {
    if (announce == Announce::Yes) {
        log_.verbose("Constructor " + name_);
    }
}

void Lifetime::logDestruction() const noexcept {
    if (std::uncaught_exceptions() > uncaughtAtConstruction_) {
        log_.errorNoThrow("Destructor " + name_ + " (stack unwinding)");
    } else {
        log_.verboseNoThrow("Destructor " + name_);
    }
}

}  // namespace kvinternal
