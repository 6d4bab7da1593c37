#pragma once

#include "WorkerPlan.h"

namespace kvsoak {

// Runs one whole update as a host does, through CreateKavrin and the public headers, with the
// simulated phone of the plan and the driver's simulated server at the other end of the wire
// (standard input and output). Every provider call is one message, so that the driver may kill
// the worker at any of them. Returns the exit status.
int runWorker(const WorkerPlan& plan);

}  // namespace kvsoak
