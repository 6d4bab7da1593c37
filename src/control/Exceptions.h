#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The failures of the library. Each carries one message; the dispatcher turns each class into a
// result code and one error line.
namespace kvinternal {

class IllegalArgumentException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IllegalStateException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CancelledException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UserNotAuthorizedException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UnsupportedDeviceApiException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure of the phone or the MTP link. `code` is the MTP provider result that caused it, or
// `noCode`; `bootLoaderUnlocked` marks the refusal to update a phone with an unlocked boot loader.
class DeviceException : public std::runtime_error {
public:
    static constexpr int32_t noCode = -1;

    explicit DeviceException(const std::string& message, int32_t code = noCode,
                             bool bootLoaderUnlocked = false)
        : std::runtime_error(message), code_(code), bootLoaderUnlocked_(bootLoaderUnlocked) {}

    int32_t code() const { return code_; }
    bool bootLoaderUnlocked() const { return bootLoaderUnlocked_; }

private:
    int32_t code_;
    bool bootLoaderUnlocked_;
};

// A server that could not be reached or answered wrongly. `code` is an HTTP status when
// `isHttpStatus` is set, otherwise the HTTP provider's result value.
class NetworkException : public std::runtime_error {
public:
    NetworkException(const std::string& message, uint32_t code, bool isHttpStatus)
        : std::runtime_error(message), code_(code), isHttpStatus_(isHttpStatus) {}

    uint32_t code() const { return code_; }
    bool isHttpStatus() const { return isHttpStatus_; }

private:
    uint32_t code_;
    bool isHttpStatus_;
};

}  // namespace kvinternal
