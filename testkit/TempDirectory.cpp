#include "TempDirectory.h"

#include <filesystem>
#include <system_error>

#include "common/Platform.h"

namespace kvtest {

TempDirectory::TempDirectory() {
    const auto path =
        std::filesystem::temp_directory_path() / ("kavrin-test-" + kvinternal::platform::newUuid());
    std::filesystem::create_directories(path);
    path_ = path.u8string();
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(kvinternal::platform::toPath(path_), ignored);
}

std::string TempDirectory::file(const std::string& name) const {
    return path_ + "/" + name;
}

}  // namespace kvtest
