// pixel_coverage(polygons, transform, shape, n_threads=None)
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "coverage/coverage.h"
#include "lib/arrays.h"
#include "lib/binder.h"
#include "lib/call_frame.h"
#include "lib/convert.h"
#include "lib/functions.h"
#include "lib/pool_call.h"

namespace velkan::py {

namespace {

constexpr const char* kParameters[] = {"polygons", "transform", "shape", "n_threads"};
constexpr CallSignature kSignature{"pixel_coverage", kParameters, 4, 3};

// A failure to read the polygons, carrying its text (without the outer prefix).
struct PolygonError {
  std::string text;
};

// The objects read here are held strongly, or borrowed from a tuple that is:
// Python code may run between taking them and reading them (NumPy's import
// on the first array operation of a process lets other threads run, and the
// signal handlers run while a long list is read), and may change the lists.

// `object` is held by the caller.
Ring read_ring(PyObject* object) {
  if (!is_array_of(object, 2, ElementType::Float64))
    throw PolygonError{"Ring must be a 2D float64 array: " + type_error_text(object, "ndarray")};
  std::size_t rows = array_dim(object, 0), cols = array_dim(object, 1);
  if (cols != 2)
    throw PolygonError{"Ring array must have shape (N, 2), got [" + std::to_string(rows) + ", " + std::to_string(cols) +
                       "]"};
  static_assert(std::is_trivially_copyable_v<Vertex> && sizeof(Vertex) == 2 * sizeof(double));
  Ring ring(rows);
  copy_float64_2d(object, ring.data());
  return ring;
}

// `item` is held by the caller; its exterior and holes list are borrowed from
// it (a tuple's items never change), the holes strongly held one by one, the
// holes list's length asked again for each.
Polygon read_polygon(PyObject* item) {
  constexpr const char* kShape = "Each polygon must be (exterior, holes): ";
  if (!PyTuple_Check(item)) throw PolygonError{kShape + std::string("TypeError: ") + type_error_text(item, "tuple")};
  Py_ssize_t size = PyTuple_Size(item);
  if (size != 2)
    throw PolygonError{kShape + std::string("ValueError: expected tuple of length 2, but got tuple of length ") +
                       std::to_string(size)};
  Polygon polygon;
  polygon.exterior = read_ring(PyTuple_GetItem(item, 0));
  PyObject* holes = PyTuple_GetItem(item, 1);
  if (!PyList_Check(holes)) throw PolygonError{"Holes must be a list of arrays: " + type_error_text(holes, "list")};
  for (Py_ssize_t i = 0; i < PyList_Size(holes); ++i) {
    Ref hole = Ref::strong(PyList_GetItem(holes, i));
    polygon.holes.push_back(read_ring(hole.get()));
  }
  return polygon;
}

// Polygons read between two looks for a pending Ctrl-C: a list of millions
// takes a while to read, and the signal may come meanwhile.
constexpr Py_ssize_t kPolygonsPerSignalCheck = 1024;

// The handlers may change the list: its length is asked after them, for each index.
std::vector<Polygon> read_polygons(PyObject* object) {
  if (!PyList_Check(object)) throw PolygonError{"Expected a list of polygons: " + type_error_text(object, "list")};
  std::vector<Polygon> polygons;
  for (Py_ssize_t i = 0;; ++i) {
    if (i % kPolygonsPerSignalCheck == kPolygonsPerSignalCheck - 1 && PyErr_CheckSignals() != 0)
      throw ErrorAlreadySet{};
    if (i >= PyList_Size(object)) break;
    Ref item = Ref::strong(PyList_GetItem(object, i));
    polygons.push_back(read_polygon(item.get()));
  }
  return polygons;
}

Affine read_affine(PyObject* object) {
  std::vector<PyObject*> items = tuple_items(object, 6);
  return Affine{to_double(items[0]), to_double(items[1]), to_double(items[2]),
                to_double(items[3]), to_double(items[4]), to_double(items[5])};
}

[[noreturn]] void raise_no_memory(std::uint64_t nrows, std::uint64_t ncols) {
  std::string text = "Not enough memory for a coverage raster of " + std::to_string(nrows) + " x " +
                     std::to_string(ncols) + " float32 cells";
  raise_error(PyExc_MemoryError, text);
}

PyObject* pixel_coverage_body(PyObject* args, PyObject* kwargs) {
  BoundArguments bound = bind_arguments(kSignature, args, kwargs);
  Affine transform = convert_argument("transform", [&] { return read_affine(bound[1]); });
  auto [nrows, ncols] = convert_argument("shape", [&] {
    std::vector<PyObject*> items = tuple_items(bound[2], 2);
    return std::pair{to_unsigned(items[0]), to_unsigned(items[1])};
  });
  std::optional<std::uint64_t> n_threads;
  if (bound[3] != nullptr && bound[3] != Py_None)
    n_threads = convert_argument("n_threads", [&] { return to_unsigned(bound[3]); });

  std::vector<Polygon> polygons;
  try {
    polygons = read_polygons(bound[0]);
  } catch (const PolygonError& error) {
    raise_error(PyExc_RuntimeError, "Reading polygons failed: " + error.text);
  }
  check_coverage_shape(nrows, ncols);
  // The result is allocated before the workers start: releasing the memory
  // probe of a large one then interrupts no other thread of the process.
  // The rings are written straight into its zeroed cells: the cells no ring
  // reaches are never touched, and nothing is copied.
  float* cells = nullptr;
  Ref result;
  try {
    result = new_zeroed_float32_array(nrows, ncols, cells);
  } catch (const std::bad_alloc&) {
    raise_no_memory(nrows, ncols);
  }
  return with_worker_pool(n_threads, [&](WorkerPool& pool) {
    try {
      rasterise_coverage_into(polygons, transform, RasterView<float>(cells, nrows, ncols), pool);
    } catch (const std::bad_alloc&) {
      raise_no_memory(nrows, ncols);
    }
    return result.release();
  });
}

}  // namespace

PyObject* pixel_coverage(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_call_frame([&] { return pixel_coverage_body(args, kwargs); });
}

}  // namespace velkan::py
