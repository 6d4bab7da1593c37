#include "VersionText.h"

#include <dlfcn.h>
#include <libusb.h>

#include <filesystem>
#include <system_error>

#include "kavrin/Kavrin.h"

#ifndef KAVRIN_HOST_VERSION
#define KAVRIN_HOST_VERSION "0"
#endif

namespace kvhost {

namespace {

// The shared library's real file is named libKavrin.so.MAJOR.MINOR.PATCH.
std::string loadedLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&CreateKavrin), &info) == 0 || !info.dli_fname) {
        return "Kavrin library: version unknown";
    }
    std::error_code error;
    const auto file = std::filesystem::canonical(info.dli_fname, error);
    const std::string name = error ? std::string(info.dli_fname) : file.filename().string();
    const std::string marker = ".so.";
    const auto at = name.find(marker);
    const std::string version =
        at == std::string::npos ? "unknown" : name.substr(at + marker.size());
    return "Kavrin library " + version + " (" + (error ? name : file.string()) + ")";
}

}  // namespace

std::string versionText() {
    const libusb_version* usb = libusb_get_version();
    return std::string("kavrin ") + KAVRIN_HOST_VERSION + "\n" + loadedLibrary() + "\nlibusb " +
           std::to_string(usb->major) + "." + std::to_string(usb->minor) + "." +
           std::to_string(usb->micro) + "\n";
}

}  // namespace kvhost
