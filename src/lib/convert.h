// Conversion of Python arguments into plain values, with the interpreter-style
// refusals callers see. Every function throws ErrorAlreadySet with the Python
// exception set.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/py_ref.h"

namespace velkan::py {

// "'<qualname>' object is not an instance of '<expected>'" (or "'None' is not ...").
std::string type_error_text(PyObject* object, const char* expected);
[[noreturn]] void raise_type_error(PyObject* object, const char* expected);

std::uint64_t to_unsigned(PyObject* object);
std::int32_t to_int32(PyObject* object);
double to_double(PyObject* object);
float to_float32(PyObject* object);
bool to_bool(PyObject* object);
std::string to_str(PyObject* object);

// Items of a sequence (not a str), converted one by one.
template <class T>
std::vector<T> to_sequence(PyObject* object, T (*convert)(PyObject*));

// Items of a tuple of exactly n items (ValueError on another length),
// borrowed from it: they stay valid while the caller holds the tuple, whatever
// Python code runs meanwhile, since a tuple's items never change.
std::vector<PyObject*> tuple_items(PyObject* object, Py_ssize_t n);

// Runs `convert` on an argument; a failure of class exactly TypeError comes back
// as TypeError("argument '<name>': <text>") carrying the original's cause.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert());

void add_argument_prefix(const char* name);

// A type's __qualname__ ("?" when it has none that can be read).
std::string qualified_name(PyTypeObject* type);

// The text of an exception object, or "<exception str() failed>".
std::string exception_text(PyObject* exception);

// ---- implementation of the templates ----

Ref iterate(PyObject* object);  // iterator of a sequence that is not a str

// A sequence's length is only a hint (a __len__ may say anything): room is
// reserved up front for at most this many items, and the rest grows as read.
constexpr std::size_t kMostReservedItems = 4096;

template <class T>
std::vector<T> to_sequence(PyObject* object, T (*convert)(PyObject*)) {
  Ref iterator = iterate(object);
  std::vector<T> values;
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0)
    PyErr_Clear();
  else
    values.reserve(std::min(static_cast<std::size_t>(hint), kMostReservedItems));
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    Ref item(raw);
    values.push_back(convert(item.get()));
  }
  if (PyErr_Occurred()) throw ErrorAlreadySet{};
  return values;
}

template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const ErrorAlreadySet&) {
    add_argument_prefix(name);
    throw;
  }
}

}  // namespace velkan::py
