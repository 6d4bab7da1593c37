#include "SharedPackages.h"

namespace kvhost {

SharedPackages::Claim::~Claim() {
    if (state_ == State::Searching) {
        found(nullptr);
    }
    if (state_ == State::Using) {
        lastUser();
    }
}

void SharedPackages::Claim::found(const kv::Kavrin::UpdateMetadata* update) {
    std::lock_guard<std::mutex> lock(packages_.mutex_);
    if (state_ != State::Searching) {
        return;
    }
    --packages_.searching_;
    state_ = update ? State::Using : State::Done;
    if (update) {
        package_ = keyOf(*update);
        ++packages_.users_[package_];
    }
}

bool SharedPackages::Claim::lastUser() {
    std::lock_guard<std::mutex> lock(packages_.mutex_);
    if (state_ != State::Using) {
        return false;
    }
    state_ = State::Done;
    return --packages_.users_[package_] == 0 && packages_.searching_ == 0;
}

std::string SharedPackages::keyOf(const kv::Kavrin::UpdateMetadata& update) {
    return update.name + '\n' + update.version + '\n' + std::to_string(update.size);
}

}  // namespace kvhost
