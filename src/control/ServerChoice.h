#pragma once

#include <string>

#include "kavrin/Kavrin.h"

// The deployment's server environments. Each function refuses a value outside the four
// environments with an IllegalArgumentException.
namespace kvinternal::servers {

// "https://" + the update host of the environment, without a trailing slash.
std::string updateServerBase(kv::Kavrin::Server server);

// The client key that the update and tracking endpoints of the environment expect.
std::string yavClientKey(kv::Kavrin::Server server);

// The full address of the image-update endpoint of the environment.
std::string imageQueryUrl(kv::Kavrin::Server server);

}  // namespace kvinternal::servers
