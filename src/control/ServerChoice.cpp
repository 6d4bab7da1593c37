#include "control/ServerChoice.h"

#include <array>
#include <cstdint>

#include "control/Exceptions.h"

namespace kvinternal::servers {

namespace {

struct Environment {
    const char* updateHost;
    const char* imageHost;
    const char* clientKey;
};

constexpr char testKey[] = "a05f7e2c91b4d8630fe1a7b5c249";
constexpr char releaseKey[] = "3b9e0c71a4d25f86e0b7c4a913d2";

// Indexed by kv::Kavrin::Server.
constexpr std::array<Environment, 4> environments{{
    {"update-test.kavrin.example", "images-test.kavrin.example", testKey},
    {"update-stage.kavrin.example", "images-stage.kavrin.example", testKey},
    {"update-systest.kavrin.example", "images-systest.kavrin.example", testKey},
    {"update.kavrin.example", "images.kavrin.example", releaseKey},
}};

const Environment* find(kv::Kavrin::Server server) {
    const auto index = static_cast<int32_t>(server);
    if (index < 0 || index >= static_cast<int32_t>(environments.size())) {
        return nullptr;
    }
    return &environments[static_cast<size_t>(index)];
}

const Environment& updateEnvironment(kv::Kavrin::Server server) {
    if (const auto* environment = find(server)) {
        return *environment;
    }
    throw IllegalArgumentException("YAV server chosen not valid");
}

}  // namespace

std::string updateServerBase(kv::Kavrin::Server server) {
    return std::string("https://") + updateEnvironment(server).updateHost;
}

std::string yavClientKey(kv::Kavrin::Server server) {
    return updateEnvironment(server).clientKey;
}

std::string imageQueryUrl(kv::Kavrin::Server server) {
    if (const auto* environment = find(server)) {
        return std::string("https://") + environment->imageHost + "/zunt/services/updates";
    }
    throw IllegalArgumentException("ZUNT server chosen not valid");
}

}  // namespace kvinternal::servers
