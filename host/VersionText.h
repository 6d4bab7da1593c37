#pragma once

#include <string>

namespace kvhost {

// What `kavrin --version` prints: kavrin's version, the version of the Kavrin library this
// process loaded (from its file name) and libusb's.
std::string versionText();

}  // namespace kvhost
