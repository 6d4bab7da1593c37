#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "kavrin/Kavrin.h"

namespace kvhost {

// Which phone of `update --all` deletes a package after installing it: the last phone of the run
// that needs it, so that no phone loses a package before it has sent it. A phone that has not yet
// found its update may need any package, so while one is still searching none is deleted (the
// package is then kept, as after a failed update).
class SharedPackages {
public:
    // One phone's part, from its start to its end.
    class Claim {
    public:
        explicit Claim(SharedPackages& packages) : packages_(packages) {}
        // Gives up whatever the phone still holds.
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

        // The phone found the update it installs, or none (`update` null).
        void found(const kv::Kavrin::UpdateMetadata* update);
        // Before the installation: whether the phone may delete the package afterwards. The phone
        // no longer needs it either way.
        bool lastUser();

    private:
        enum class State { Searching, Using, Done };

        SharedPackages& packages_;
        State state_ = State::Searching;
        std::string package_;
    };

    explicit SharedPackages(std::size_t phones) : searching_(phones) {}

private:
    // The same name, version and size: the same package, as far as the host can tell.
    static std::string keyOf(const kv::Kavrin::UpdateMetadata& update);

    std::mutex mutex_;
    std::size_t searching_;
    std::map<std::string, std::size_t> users_;
};

}  // namespace kvhost
