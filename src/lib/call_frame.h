// The frame around every function body: C++ failures become Python exceptions.
#pragma once

#include <string_view>

#include "lib/py_ref.h"

namespace velkan::py {

// The process-wide InternalError class (derived from BaseException), created on first use.
PyObject* internal_error_class();

// Makes, once per process, what failures need when memory has run short;
// false with the error set when even that fails (at import).
bool prepare_error_texts();

// Sets the InternalError with a text made here at the boundary (which may
// hold any character a user's object brought) and throws ErrorAlreadySet.
[[noreturn]] void raise_internal_error(std::string_view text);

// Runs `body`, returning its new reference; on failure sets the Python
// exception that matches the C++ one and returns NULL.
template <class Body>
PyObject* run_call_frame(Body&& body);

// Sets the Python exception for the exception currently being handled.
void set_error_from_current_exception();

template <class Body>
PyObject* run_call_frame(Body&& body) {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace velkan::py
