#include "lib/convert.h"

#include <limits>
#include <optional>

namespace velkan::py {

namespace {
constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";

// True for numpy's bool scalar type, whatever its name in this NumPy version.
bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  Ref name(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}
}  // namespace

std::string qualified_name(PyTypeObject* type) {
  Ref name(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  return utf8_text(name.get()).value_or("?");
}

std::string exception_text(PyObject* exception) {
  Ref text(PyObject_Str(exception));
  std::optional<std::string> utf8 = text ? utf8_text(text.get()) : std::nullopt;
  if (!utf8) {
    PyErr_Clear();
    return "<exception str() failed>";
  }
  return *utf8;
}

std::string type_error_text(PyObject* object, const char* expected) {
  if (object == Py_None) return std::string("'None' is not an instance of '") + expected + "'";
  return "'" + qualified_name(Py_TYPE(object)) + "' object is not an instance of '" + expected + "'";
}

void raise_type_error(PyObject* object, const char* expected) {
  raise_error(PyExc_TypeError, type_error_text(object, expected));
}

std::uint64_t to_unsigned(PyObject* object) {
  Ref index = Ref::checked(PyNumber_Index(object));
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
  return value;
}

std::int32_t to_int32(PyObject* object) {
  Ref index = Ref::checked(PyNumber_Index(object));
  long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
    raise_error(PyExc_OverflowError, "Python int too large to convert to C int");
  }
  return static_cast<std::int32_t>(value);
}

double to_double(PyObject* object) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
  return value;
}

float to_float32(PyObject* object) { return static_cast<float>(to_double(object)); }

bool to_bool(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  if (!is_numpy_bool(object)) raise_type_error(object, "bool");
  Ref result = Ref::checked(PyObject_CallMethod(object, "__bool__", nullptr));
  if (!PyBool_Check(result.get())) raise_type_error(result.get(), "bool");
  return result.get() == Py_True;
}

std::string to_str(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_type_error(object, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) throw ErrorAlreadySet{};
  return std::string(text, static_cast<std::size_t>(size));
}

Ref iterate(PyObject* object) {
  if (PyUnicode_Check(object)) raise_error(PyExc_TypeError, kStrToVec);
  if (!PySequence_Check(object)) raise_type_error(object, "Sequence");
  return Ref::checked(PyObject_GetIter(object));
}

std::vector<PyObject*> tuple_items(PyObject* object, Py_ssize_t n) {
  if (!PyTuple_Check(object)) raise_type_error(object, "tuple");
  Py_ssize_t size = PyTuple_Size(object);
  if (size != n)
    raise_error(PyExc_ValueError,
                "expected tuple of length " + std::to_string(n) + ", but got tuple of length " + std::to_string(size));
  std::vector<PyObject*> items(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) items[static_cast<std::size_t>(i)] = PyTuple_GetItem(object, i);
  return items;
}

void add_argument_prefix(const char* name) {
  if (!PyErr_Occurred()) return;
  FetchedError error = FetchedError::fetch();
  if (!error.value || Py_TYPE(error.value.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    error.restore();
    return;
  }
  std::string text = "argument '" + std::string(name) + "': " + exception_text(error.value.get());
  Ref message = str_from_utf8(text);
  if (!message) throw ErrorAlreadySet{};
  Ref replacement = Ref::checked(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  // PyException_SetCause steals the reference it is given.
  if (PyObject* cause = PyException_GetCause(error.value.get())) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace velkan::py
