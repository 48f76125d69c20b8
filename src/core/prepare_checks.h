// Input checks the preparation makes before building any pyramid: shapes the
// row driver relies on, and values that must fit signed 32-bit grid arithmetic.
#pragma once

#include "model/engine_inputs.h"

namespace velkan {

// Throws OrdinaryError naming the offending shapes or values. Needs a condition.
void check_prepare_inputs(const EngineInputs& inputs);

}  // namespace velkan
