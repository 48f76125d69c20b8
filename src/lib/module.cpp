// Module definition: multi-phase initialisation with one execution slot that
// adds the functions and lists them in __all__.
#include "common/errors.h"
#include "lib/call_frame.h"
#include "lib/docstrings.h"
#include "lib/functions.h"

namespace velkan::py {

namespace {

// Holds nothing of use: an access to an initial-exec thread-local variable
// marks the module's thread-local storage as static (DF_STATIC_TLS), so that
// glibc allocates it with each thread's stack rather than lazily on first
// use, when a shortage would end the whole process. With the C++ runtime
// linked in, that storage holds what throwing an exception needs (see
// CMakeLists.txt).
[[gnu::tls_model("initial-exec")]] thread_local volatile char g_static_tls_anchor = 0;

// Variable arguments and keywords, with the static bit also set.
constexpr int kMethodFlags = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef g_functions[] = {
    {"connectivity", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&connectivity)), kMethodFlags,
     kConnectivityDoc},
    {"pixel_coverage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&pixel_coverage)), kMethodFlags,
     kPixelCoverageDoc},
};

PyObject* all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    all = check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      throw ErrorAlreadySet{};
    }
  }
  if (!PyList_Check(all)) {
    Py_DECREF(all);
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    throw ErrorAlreadySet{};
  }
  return all;
}

void add_function(PyObject* module, PyMethodDef* definition) {
  Ref module_name = Ref::checked(PyModule_GetNameObject(module));
  Ref function = Ref::checked(PyCFunction_NewEx(definition, module, module_name.get()));
  Ref name = Ref::checked(PyObject_GetAttrString(function.get(), "__name__"));
  Ref all(all_list(module));
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    throw InternalError("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw ErrorAlreadySet{};
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "velkan's execution slot needs a module object");
    return -1;
  }
  g_static_tls_anchor = 1;
  if (!prepare_error_texts()) return -1;
  PyObject* ok = run_call_frame([&]() -> PyObject* {
    for (PyMethodDef& definition : g_functions) add_function(module, &definition);
    return Py_NewRef(Py_None);
  });
  if (ok == nullptr) return -1;
  Py_DECREF(ok);
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "velkan", "", 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace velkan::py

PyMODINIT_FUNC PyInit_velkan(void) { return PyModuleDef_Init(&velkan::py::g_module); }
