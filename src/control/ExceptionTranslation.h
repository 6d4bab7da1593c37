#pragma once

#include "common/Log.h"
#include "kavrin/Kavrin.h"

namespace kvinternal {

// Turns the exception being handled into the operation's result and logs its error line(s).
// Call only from inside a catch block.
kv::Kavrin::Result translateCurrentException(const Log& log);

}  // namespace kvinternal
