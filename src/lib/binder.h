// Binding of a call's positional tuple and keyword dict to named parameters.
#pragma once

#include <array>
#include <cstddef>

#include "lib/py_ref.h"

namespace velkan::py {

struct CallSignature {
  const char* name;
  const char* const* parameters;  // binding order
  std::size_t parameter_count;
  std::size_t required;
};

// One borrowed slot per parameter; NULL marks a parameter that was not given.
// The slots borrow from the call's tuple and dict, which outlive the body.
struct BoundArguments {
  static constexpr std::size_t kMaxParameters = 16;
  std::array<PyObject*, kMaxParameters> slots{};
  PyObject* operator[](std::size_t i) const { return slots[i]; }
};

// Binds or throws ErrorAlreadySet with the interpreter-style TypeError set.
BoundArguments bind_arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs);

}  // namespace velkan::py
