// Engine entry: preparation, then the focal cells, in segments of result rows, on the call's pool.
#pragma once

#include "common/raster.h"
#include "model/engine_inputs.h"

namespace velkan {

class WorkerPool;

// Result raster of the condition's shape; cells that are not focal sources hold NaN.
// Throws OrdinaryError (bad input) or InternalError (broken invariant).
Raster<float> run_connectivity_engine(const EngineInputs& inputs, WorkerPool& pool);

}  // namespace velkan
