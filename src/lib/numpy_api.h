// NumPy's C array API, reached through the table in numpy's `_ARRAY_API` capsule.
// Include this header (never numpy's directly) in every file that uses NumPy.
#pragma once

#include "lib/py_ref.h"

#define PY_ARRAY_UNIQUE_SYMBOL velkan_ARRAY_API
#ifndef VELKAN_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace velkan::py {

// Makes sure the API table is loaded. Throws velkan::InternalError with a text
// beginning "Failed to access NumPy array API capsule" when it cannot be.
void ensure_numpy_api();

}  // namespace velkan::py
