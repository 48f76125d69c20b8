#define VELKAN_NUMPY_API_OWNER
#include "lib/numpy_api.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "common/errors.h"
#include "lib/convert.h"

namespace velkan::py {

namespace {

constexpr const char* kCapsuleFailure = "Failed to access NumPy array API capsule";

std::atomic<bool> g_loaded{false};
std::mutex g_loading;
// The thread loading the table, so that a call made from inside NumPy's
// import (an import hook) fails instead of waiting for itself.
std::atomic<std::thread::id> g_loader;

// Text of the current Python exception, which is cleared.
std::string take_error_text() {
  FetchedError error = FetchedError::fetch();
  return error.value ? exception_text(error.value.get()) : std::string("unknown error");
}

[[noreturn]] void fail(const std::string& detail) { throw InternalError(std::string(kCapsuleFailure) + ": " + detail); }

Ref import_or_fail(const char* name) {
  Ref module(PyImport_ImportModule(name));
  if (!module) fail(take_error_text());
  return module;
}

long numpy_major_version() {
  Ref numpy = import_or_fail("numpy");
  Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) fail(take_error_text());
  Ref numpy_lib = import_or_fail("numpy.lib");
  Ref parsed(PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) fail(take_error_text());
  Ref major(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) fail(take_error_text());
  long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred()) fail(take_error_text());
  return value;
}

void load_table() {
  const char* multiarray = numpy_major_version() < 2 ? "numpy.core.multiarray" : "numpy._core.multiarray";
  Ref module = import_or_fail(multiarray);
  Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) fail(take_error_text());
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) fail(take_error_text());
  PyArray_API = static_cast<void**>(table);
  // The capsule's module stays imported for the life of the process, so the
  // table it points to stays valid after our reference is dropped.
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
}

}  // namespace

void ensure_numpy_api() {
  if (g_loaded.load(std::memory_order_acquire)) return;
  // Another thread may be loading the table (NumPy's import runs Python code,
  // which lets other threads run): only then is the interpreter lock released,
  // to wait for it. Releasing it otherwise would let other threads run in the
  // middle of every process's first call for nothing.
  if (g_loader.load(std::memory_order_relaxed) == std::this_thread::get_id())
    fail("NumPy's import called back into velkan");
  std::unique_lock<std::mutex> lock(g_loading, std::try_to_lock);
  if (!lock.owns_lock()) {
    PyThreadState* saved = PyEval_SaveThread();
    lock.lock();
    PyEval_RestoreThread(saved);
    if (g_loaded.load(std::memory_order_acquire)) return;
  }
  g_loader.store(std::this_thread::get_id(), std::memory_order_relaxed);
  struct ClearLoader {
    ~ClearLoader() { g_loader.store(std::thread::id(), std::memory_order_relaxed); }
  } clear_loader;
  load_table();
  g_loaded.store(true, std::memory_order_release);
}

}  // namespace velkan::py
