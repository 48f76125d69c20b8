// Entry points of the module's Python functions (METH_VARARGS | METH_KEYWORDS).
#pragma once

#include "lib/py_ref.h"

namespace velkan::py {

PyObject* connectivity(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* pixel_coverage(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace velkan::py
