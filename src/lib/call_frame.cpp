#include "lib/call_frame.h"

#include <new>
#include <system_error>

#include "common/errors.h"

namespace velkan::py {

namespace {
constexpr const char* kInternalErrorDoc =
    "Raised when velkan's native code meets an internal error (a broken invariant).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "is not swallowed by ordinary `except Exception` handlers and typically propagates\n"
    "all the way up and ends the interpreter.";

PyObject* g_internal_error = nullptr;  // never released: lives for the process
}  // namespace

PyObject* internal_error_class() {
  // Created under the interpreter lock, which nothing here releases.
  if (g_internal_error == nullptr) {
    g_internal_error = PyErr_NewExceptionWithDoc("velkan.InternalError", kInternalErrorDoc,
                                                 PyExc_BaseException, nullptr);
  }
  return g_internal_error;
}

static void raise_internal(const char* message) {
  PyObject* cls = internal_error_class();
  if (cls == nullptr) return;  // class creation failed and set its own error
  PyErr_SetString(cls, message);
}

void set_error_from_current_exception() {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) raise_internal("error indicator lost");
  } catch (const InternalError& error) {
    raise_internal(error.what());
  } catch (const OrdinaryError& error) {
    // Bodies wrap engine errors with their own prefix; one reaching here is a RuntimeError.
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (const std::bad_alloc&) {
    // A failed allocation is usually a huge one, so a text can still be made;
    // PyErr_SetString falls back to a bare MemoryError when it cannot.
    PyErr_SetString(PyExc_MemoryError, "not enough memory for the call's native data");
  } catch (const std::exception& error) {
    raise_internal(error.what());
  } catch (...) {
    raise_internal("unknown native exception");
  }
}

}  // namespace velkan::py
