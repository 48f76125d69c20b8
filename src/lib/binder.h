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

// One strong reference per parameter; NULL marks a parameter that was not
// given. Strong, because the keyword dict may be one a C caller still shares,
// and Python code that runs during the conversions could empty it.
struct BoundArguments {
  static constexpr std::size_t kMaxParameters = 16;
  std::array<Ref, kMaxParameters> slots{};
  PyObject* operator[](std::size_t i) const { return slots[i].get(); }
};

// Binds or throws ErrorAlreadySet with the interpreter-style TypeError set.
BoundArguments bind_arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs);

}  // namespace velkan::py
