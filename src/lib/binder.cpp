#include "lib/binder.h"

#include <string>
#include <vector>

namespace velkan::py {

namespace {

[[noreturn]] void fail(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw ErrorAlreadySet{};
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += "'" + std::string(names[i]) + "'";
  }
  return text;
}

void check_positional_count(const CallSignature& sig, Py_ssize_t given) {
  if (static_cast<std::size_t>(given) <= sig.parameter_count) return;
  std::string text = std::string(sig.name) + "() takes ";
  if (sig.required < sig.parameter_count) text += "from " + std::to_string(sig.required) + " to ";
  text += std::to_string(sig.parameter_count) + " positional arguments but " + std::to_string(given) +
          (given == 1 ? " was" : " were") + " given";
  fail(text);
}

void bind_keywords(const CallSignature& sig, PyObject* kwargs, BoundArguments& bound) {
  Py_ssize_t position = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    const char* key_text = PyUnicode_AsUTF8AndSize(key, nullptr);
    if (key_text == nullptr) {
      // Not UTF-8 (a lone surrogate), so it names no parameter.
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      throw ErrorAlreadySet{};
    }
    std::size_t index = 0;
    while (index < sig.parameter_count && std::string(sig.parameters[index]) != key_text) ++index;
    if (index == sig.parameter_count)
      fail(std::string(sig.name) + "() got an unexpected keyword argument '" + key_text + "'");
    if (bound.slots[index] != nullptr)
      fail(std::string(sig.name) + "() got multiple values for argument '" + key_text + "'");
    bound.slots[index] = value;
  }
}

void check_required(const CallSignature& sig, const BoundArguments& bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (bound.slots[i] == nullptr) missing.push_back(sig.parameters[i]);
  if (missing.empty()) return;
  fail(std::string(sig.name) + "() missing " + std::to_string(missing.size()) + " required positional " +
       (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
}

}  // namespace

BoundArguments bind_arguments(const CallSignature& sig, PyObject* args, PyObject* kwargs) {
  BoundArguments bound;
  Py_ssize_t given = PyTuple_Size(args);
  check_positional_count(sig, given);
  for (Py_ssize_t i = 0; i < given; ++i) bound.slots[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) bind_keywords(sig, kwargs, bound);
  check_required(sig, bound);
  return bound;
}

}  // namespace velkan::py
