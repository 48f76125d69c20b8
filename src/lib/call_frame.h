// The frame around every function body: C++ failures become Python exceptions.
#pragma once

#include "lib/py_ref.h"

namespace velkan::py {

// The process-wide InternalError class (derived from BaseException), created on first use.
PyObject* internal_error_class();

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
