#include "lib/call_frame.h"

#include <new>
#include <stdexcept>
#include <system_error>

#include "common/errors.h"

namespace velkan::py {

namespace {
constexpr const char* kInternalErrorDoc =
    "Raised when velkan's native code meets an internal error (a broken invariant).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "is not swallowed by ordinary `except Exception` handlers and typically propagates\n"
    "all the way up and ends the interpreter.";

// The text of every MemoryError that has no more precise one.
constexpr const char* kNoMemory = "Not enough memory for the call";

PyObject* g_internal_error = nullptr;  // never released: lives for the process
// ("Not enough memory for the call",), made before memory runs short: the
// args given to a MemoryError that was raised without a text.
PyObject* g_no_memory_args = nullptr;

void raise_internal(std::string_view message) {
  PyObject* cls = internal_error_class();
  if (cls == nullptr) return;  // class creation failed and set its own error
  set_error(cls, message);
}

// A MemoryError raised without a text (by the interpreter or NumPy when they
// could not allocate) gets the call's text: making a new exception could
// fail the same way, so the ready-made args are set on the raised one.
void give_memory_error_a_text() {
  if (g_no_memory_args == nullptr || !PyErr_ExceptionMatches(PyExc_MemoryError)) return;
  FetchedError error = FetchedError::fetch();
  if (error.value) {
    Ref args(PyObject_GetAttrString(error.value.get(), "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 0)
      PyObject_SetAttrString(error.value.get(), "args", g_no_memory_args);
  }
  PyErr_Clear();
  error.restore();
}

}  // namespace

PyObject* internal_error_class() {
  // Created under the interpreter lock, which nothing here releases.
  if (g_internal_error == nullptr) {
    g_internal_error =
        PyErr_NewExceptionWithDoc("velkan.InternalError", kInternalErrorDoc, PyExc_BaseException, nullptr);
  }
  return g_internal_error;
}

bool prepare_error_texts() {
  if (g_no_memory_args == nullptr) g_no_memory_args = Py_BuildValue("(s)", kNoMemory);
  return g_no_memory_args != nullptr;
}

void raise_internal_error(std::string_view text) {
  raise_internal(text);
  throw ErrorAlreadySet{};
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
    set_error(PyExc_RuntimeError, error.what());
  } catch (const std::bad_alloc&) {
    set_error(PyExc_MemoryError, kNoMemory);
  } catch (const std::length_error&) {
    // A size beyond what a container can hold: an allocation too large, as above.
    set_error(PyExc_MemoryError, kNoMemory);
  } catch (const std::exception& error) {
    raise_internal(error.what());
  } catch (...) {
    raise_internal("unknown native exception");
  }
  give_memory_error_a_text();
}

}  // namespace velkan::py
