// Owned Python references and the "a Python exception is already set" signal.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velkan::py {

// Thrown after a Python exception has been set; the call frame returns NULL.
struct ErrorAlreadySet {};

// Throws ErrorAlreadySet when `object` is NULL (the failing call set the error).
inline PyObject* check(PyObject* object) {
  if (object == nullptr) throw ErrorAlreadySet{};
  return object;
}

// Owns one strong reference; releases it on every path.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : object_(owned) {}
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  // Takes a new reference from a call that returns NULL on failure.
  static Ref checked(PyObject* owned) { return Ref(check(owned)); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// The current exception, taken out of the interpreter and owned (normalised).
struct FetchedError {
  Ref type, value, traceback;

  static FetchedError fetch() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb != nullptr && v != nullptr) PyException_SetTraceback(v, tb);
    return FetchedError{Ref(t), Ref(v), Ref(tb)};
  }
  void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace velkan::py
