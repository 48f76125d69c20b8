// Owned Python references and the "a Python exception is already set" signal.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
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
  // A strong reference of its own to an object known by a borrowed one.
  static Ref strong(PyObject* borrowed) {
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

// A new str of all the given UTF-8 bytes: a text holding a NUL character (a
// type name, a user's str) is not cut there, as C-string formatting would cut
// it. Empty, with the error set, when it cannot be made.
inline Ref str_from_utf8(std::string_view text) {
  return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// Sets `type` with that text; if even the text cannot be made, its failure
// (a MemoryError) stays set instead.
inline void set_error(PyObject* type, std::string_view text) {
  Ref value = str_from_utf8(text);
  if (value) PyErr_SetObject(type, value.get());
}

[[noreturn]] inline void raise_error(PyObject* type, std::string_view text) {
  set_error(type, text);
  throw ErrorAlreadySet{};
}

// The whole UTF-8 text of a str, or nothing (with no error left set) when it
// has none (a lone surrogate).
inline std::optional<std::string> utf8_text(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(text, static_cast<std::size_t>(size));
}

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
