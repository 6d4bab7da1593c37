#pragma once

#include <cstddef>
#include <string>

namespace kvtest {

// How many times kavrin's simulated server served the package file, as its request log says on
// standard error with --verbose ("simulated server: GET HOST/packages/FILE -> 200").
inline std::size_t packageRequests(const std::string& err, const std::string& packageFile) {
    std::size_t count = 0;
    const std::string request = "GET update-test.kavrin.example/packages/" + packageFile + " ";
    for (auto at = err.find(request); at != std::string::npos; at = err.find(request, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace kvtest
