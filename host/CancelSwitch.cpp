#include "CancelSwitch.h"

#include <utility>

namespace kvhost {

void CancelSwitch::add(kv::Kavrin& kavrin) {
    cancels_.push_back([&kavrin] { kavrin.Cancel(); });
}

void CancelSwitch::add(std::function<void()> cancel) {
    cancels_.push_back(std::move(cancel));
}

void CancelSwitch::cancel() {
    cancelled_ = true;
    for (const auto& cancel : cancels_) {
        cancel();
    }
}

}  // namespace kvhost
