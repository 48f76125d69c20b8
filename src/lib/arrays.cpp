#include "lib/arrays.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/worker_pool.h"
#include "lib/numpy_api.h"

namespace velkan::py {

namespace {

int type_number(ElementType type) {
  switch (type) {
    case ElementType::Bool: return NPY_BOOL;
    case ElementType::Float32: return NPY_FLOAT32;
    case ElementType::Float64: return NPY_FLOAT64;
  }
  return NPY_FLOAT64;
}

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// Copies every element of an n-dimensional array (n <= 3) into `out` in
// row-major logical order, as bytes: `out` may be the storage of any
// trivially copyable objects laid out like that.
template <class T>
void copy_elements(PyObject* object, void* out) {
  PyArrayObject* array = as_array(object);
  const int ndim = PyArray_NDIM(array);
  const npy_intp* dims = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  npy_intp count = 1;
  for (int axis = 0; axis < ndim; ++axis) count *= dims[axis];
  if (count == 0) return;
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    std::memcpy(out, base, static_cast<std::size_t>(count) * sizeof(T));
    return;
  }
  npy_intp shape[3] = {1, 1, 1}, step[3] = {0, 0, 0};
  for (int axis = 0; axis < ndim; ++axis) {
    shape[3 - ndim + axis] = dims[axis];
    step[3 - ndim + axis] = strides[axis];
  }
  auto* to = static_cast<unsigned char*>(out);
  for (npy_intp i = 0; i < shape[0]; ++i)
    for (npy_intp j = 0; j < shape[1]; ++j)
      for (npy_intp k = 0; k < shape[2]; ++k) {
        // memcpy: the source may be unaligned.
        std::memcpy(to, base + i * step[0] + j * step[1] + k * step[2], sizeof(T));
        to += sizeof(T);
      }
}

}  // namespace

bool is_array_of(PyObject* object, int ndim, ElementType type) {
  ensure_numpy_api();
  if (!PyArray_Check(object)) return false;
  PyArrayObject* array = as_array(object);
  if (PyArray_NDIM(array) != ndim) return false;
  PyArray_Descr* wanted = PyArray_DescrFromType(type_number(type));
  if (wanted == nullptr) throw ErrorAlreadySet{};
  bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
  Py_DECREF(wanted);
  return equivalent;
}

std::size_t array_dim(PyObject* array, int axis) {
  return static_cast<std::size_t>(PyArray_DIMS(as_array(array))[axis]);
}

Raster<float> copy_float32_2d(PyObject* array) {
  Raster<float> raster(array_dim(array, 0), array_dim(array, 1), 0.0f);
  copy_elements<float>(array, raster.data());
  return raster;
}

Raster<float> copy_float32_3d(PyObject* array) {
  Raster<float> raster(array_dim(array, 0), array_dim(array, 1), array_dim(array, 2), 0.0f);
  copy_elements<float>(array, raster.data());
  return raster;
}

Raster<std::uint8_t> copy_bool_2d(PyObject* array) {
  static_assert(sizeof(npy_bool) == sizeof(std::uint8_t));
  Raster<std::uint8_t> raster(array_dim(array, 0), array_dim(array, 1), 0);
  copy_elements<std::uint8_t>(array, raster.data());
  return raster;
}

void copy_float64_2d(PyObject* array, void* out) { copy_elements<double>(array, out); }

Ref new_zeroed_float32_array(std::size_t rows, std::size_t cols, float*& cells) {
  ensure_numpy_api();
  // NumPy records a zeroed allocation that failed with tracemalloc as if it had
  // been made, so a large shape beyond memory is refused here first. Blocks
  // this large are always fresh mappings, so the probe touches no page.
  constexpr std::size_t kProbedBytes = std::size_t{32} << 20;
  if (rows * cols * sizeof(float) >= kProbedBytes) {
    void* probe = std::calloc(rows * cols, sizeof(float));
    if (probe == nullptr) throw std::bad_alloc();
    std::free(probe);
  }
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  Ref result(PyArray_ZEROS(2, dims, NPY_FLOAT32, 0));
  if (!result) {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) throw ErrorAlreadySet{};
    PyErr_Clear();  // the caller words its own MemoryError
    throw std::bad_alloc();
  }
  cells = static_cast<float*>(PyArray_DATA(as_array(result.get())));
  return result;
}

Ref new_float32_array(const Raster<float>& raster, WorkerPool& pool) {
  ensure_numpy_api();
  npy_intp dims[2] = {static_cast<npy_intp>(raster.rows()), static_cast<npy_intp>(raster.cols())};
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT32);
  if (descr == nullptr) throw ErrorAlreadySet{};
  // NewFromDescr steals the descriptor reference, also on failure.
  // Owned from the start: the copy below may stop on Ctrl-C.
  Ref result = Ref::checked(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0, nullptr));
  // Large results are copied in blocks spread over the pool, so the new
  // array's pages are first written by several threads at once. The workers
  // only copy raw memory; no Python object is touched outside this thread.
  constexpr std::size_t kBlockFloats = std::size_t{1} << 20;
  float* out = static_cast<float*>(PyArray_DATA(as_array(result.get())));
  const std::size_t blocks = (raster.size() + kBlockFloats - 1) / kBlockFloats;
  auto copy_block = [&](std::size_t block, std::size_t) {
    const std::size_t first = block * kBlockFloats, count = std::min(kBlockFloats, raster.size() - first);
    std::memcpy(out + first, raster.data() + first, count * sizeof(float));
  };
  if (blocks <= 1) {
    for (std::size_t b = 0; b < blocks; ++b) copy_block(b, 0);
  } else {
    pool.parallel_for(0, blocks, copy_block);
  }
  return result;
}

}  // namespace velkan::py
