#pragma once

#include <gmock/gmock.h>

#include "kavrin/MtpProvider.h"

namespace kvtest {

// For provider behaviour the simulated phone never shows (records dropped, impossible lengths).
class MockMtpProvider : public kv::MtpProvider {
public:
    MOCK_METHOD(MtpResult, execute,
                (const std::string&, uint64_t, const std::shared_ptr<const MtpRequest>&,
                 std::shared_ptr<MtpResponse>&),
                (override));
    MOCK_METHOD(MtpResult, sendFile,
                (const std::string&, const std::string&, const std::string&, uint32_t&),
                (override));
    MOCK_METHOD(MtpResult, cancel, (const std::string&), (override));
    MOCK_METHOD(bool, progress, (const std::string&, double&), (override));
};

}  // namespace kvtest
