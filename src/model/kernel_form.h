// Which kernels turn a focal cell's destination records into its value.
#pragma once

#include <cstdint>

#include "model/engine_inputs.h"

namespace velkan {

// Ratio: the habitat connectivity ratio. Kova: the same ratio between
// protected areas (pa_to_pa); the records carry the protected fractions, so
// its kernels are the ratio's. Olvi: the similarity-weighted value of the
// transition grids.
enum class KernelForm : std::uint8_t { Ratio, Kova, Olvi };

// The form of a call: transition grids make it OLVI whatever pa_to_pa says.
inline KernelForm kernel_form(const EngineInputs& inputs) {
  if (inputs.transition_grids.has_value() && !inputs.transition_grids->empty()) return KernelForm::Olvi;
  return inputs.params.pa_to_pa ? KernelForm::Kova : KernelForm::Ratio;
}

}  // namespace velkan
