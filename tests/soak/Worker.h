#pragma once

#include <string>

#include "WorkerPlan.h"

namespace kvsoak {

// Runs one whole update as a host does, through CreateKavrin and the public headers, with the
// simulated phone of the plan and the driver's simulated server at the other end of the wire
// (standard input and output). Every provider call is one message, so that the driver may kill
// the worker at any of them. Returns the exit status.
int runWorker(const WorkerPlan& plan);

// Identifies a phone of the pool `count` times in one session on `workingDirectory`, so that
// the identifier cache (one entry per identification) is as full as after years of use and the
// updates after it meet a working directory at its caps. Returns false when a step failed.
bool identifyRepeatedly(const std::string& workingDirectory, unsigned count);

}  // namespace kvsoak
