#include "lib/binder.h"

#include <optional>
#include <string>
#include <vector>

namespace velkan::py {

namespace {

[[noreturn]] void fail(const std::string& text) { raise_error(PyExc_TypeError, text); }

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

// No Python code runs while the dict is walked: reading a str key's text
// calls nothing, so the dict cannot change under PyDict_Next.
void bind_keywords(const CallSignature& sig, PyObject* kwargs, BoundArguments& bound) {
  Py_ssize_t position = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) fail(std::string(sig.name) + "() keywords must be strings");
    std::optional<std::string> key_text = utf8_text(key);
    if (!key_text) {
      // Not UTF-8 (a lone surrogate), so it names no parameter.
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      throw ErrorAlreadySet{};
    }
    // Compared whole: "shape\0x" is not "shape".
    std::size_t index = 0;
    while (index < sig.parameter_count && sig.parameters[index] != *key_text) ++index;
    if (index == sig.parameter_count)
      fail(std::string(sig.name) + "() got an unexpected keyword argument '" + *key_text + "'");
    if (bound.slots[index]) fail(std::string(sig.name) + "() got multiple values for argument '" + *key_text + "'");
    bound.slots[index] = Ref::strong(value);
  }
}

void check_required(const CallSignature& sig, const BoundArguments& bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (!bound.slots[i]) missing.push_back(sig.parameters[i]);
  if (missing.empty()) return;
  fail(std::string(sig.name) + "() missing " + std::to_string(missing.size()) + " required positional " +
       (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
}

}  // namespace

BoundArguments bind_arguments(const CallSignature& sig, PyObject* args, PyObject* kwargs) {
  BoundArguments bound;
  Py_ssize_t given = PyTuple_Size(args);
  check_positional_count(sig, given);
  for (Py_ssize_t i = 0; i < given; ++i) bound.slots[i] = Ref::strong(PyTuple_GetItem(args, i));
  if (kwargs != nullptr) bind_keywords(sig, kwargs, bound);
  check_required(sig, bound);
  return bound;
}

}  // namespace velkan::py
