#include "control/ExceptionTranslation.h"

#include <exception>

#include "control/Exceptions.h"

namespace kvinternal {

using Result = kv::Kavrin::Result;

Result translateCurrentException(const Log& log) {
    try {
        throw;
    } catch (const IllegalArgumentException& e) {
        log.errorNoThrow(std::string("Illegal argument exception: ") + e.what());
        return Result::IllegalArgument;
    } catch (const DeviceException& e) {
        log.errorNoThrow(std::string("Device exception: ") + e.what());
        return e.bootLoaderUnlocked() ? Result::BootLoaderUnlocked : Result::DeviceError;
    } catch (const NetworkException& e) {
        log.errorNoThrow(std::string("Network exception: ") + e.what());
        return Result::NetworkError;
    } catch (const IllegalStateException& e) {
        log.errorNoThrow(std::string("Illegal state exception: ") + e.what());
        return Result::IllegalState;
    } catch (const CancelledException& e) {
        log.errorNoThrow(std::string("Client cancelled function call: ") + e.what());
        return Result::Cancelled;
    } catch (const UserNotAuthorizedException& e) {
        log.errorNoThrow(std::string("User not authorized exception: ") + e.what());
        return Result::UserNotAuthorized;
    } catch (const UnsupportedDeviceApiException& e) {
        log.errorNoThrow(std::string("Unsupported device API exception: ") + e.what());
        return Result::DeviceError;
    } catch (const std::exception& e) {
        log.errorNoThrow(std::string("General error: ") + e.what());
        return Result::GeneralError;
    } catch (...) {
        // Standard exceptions were all caught above, so this is an object of another kind.
        log.errorNoThrow("Kavrin general error(...)");
        log.errorNoThrow("Unknown error caught in ... catch");
        return Result::GeneralError;
    }
}

}  // namespace kvinternal
