// Copies between NumPy arrays and owned rasters.
#pragma once

#include <cstdint>

#include "common/raster.h"
#include "lib/py_ref.h"

namespace velkan {
class WorkerPool;
}

namespace velkan::py {

// Element types the module reads, by NumPy type number.
enum class ElementType { Bool, Float32, Float64 };

// True when `object` is an ndarray (or subclass) with `ndim` dimensions whose
// dtype NumPy considers equivalent to `type`.
bool is_array_of(PyObject* object, int ndim, ElementType type);

// Length of axis `axis` of an array accepted by is_array_of.
std::size_t array_dim(PyObject* array, int axis);

// Copies of arrays accepted by is_array_of, read by logical index whatever the
// strides: one block copy when the source is C-contiguous.
Raster<float> copy_float32_2d(PyObject* array);
Raster<float> copy_float32_3d(PyObject* array);  // rows x cols x bands
Raster<std::uint8_t> copy_bool_2d(PyObject* array);
// The elements of a 2D float64 array, row by row, copied as bytes into `out`:
// storage for rows x cols doubles, which may belong to trivially copyable
// objects laid out as consecutive doubles.
void copy_float64_2d(PyObject* array, void* out);

// A new C-ordered float32 ndarray with its own storage, holding a copy of the
// raster's values (made on the pool's workers when large).
Ref new_float32_array(const Raster<float>& raster, WorkerPool& pool);

// A new C-contiguous float32 array of zeros that owns its data, from NumPy's
// zeroing allocator (pages of a large one stay untouched until written);
// `cells` is set to its data; the byte count must fit a size_t (the caller
// checks the shape). Throws std::bad_alloc when NumPy cannot
// allocate it, ErrorAlreadySet otherwise.
Ref new_zeroed_float32_array(std::size_t rows, std::size_t cols, float*& cells);

}  // namespace velkan::py
