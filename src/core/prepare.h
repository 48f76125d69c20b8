// The preparation sequence: every pyramid a call needs, checked level by level.
#pragma once

#include "model/engine_inputs.h"
#include "model/pyramids.h"

namespace velkan {

class WorkerPool;

// Builds every pyramid the call needs and checks that they agree level by level.
// Throws OrdinaryError for bad input and InternalError for failed steps.
PreparedEngine prepare_engine(const EngineInputs& inputs, WorkerPool& pool);

}  // namespace velkan
