// connectivity(condition, mask, transgrid_list, transforms, levels, lambdas, is_geo,
//              max_cost, window_size, outer_window, offsets, traversal=None,
//              n_threads=None, window_mode="circular", pa_to_pa=False)
#include <optional>
#include <string>
#include <vector>

#include "common/errors.h"
#include "core/engine.h"
#include "lib/arrays.h"
#include "lib/binder.h"
#include "lib/call_frame.h"
#include "lib/convert.h"
#include "lib/functions.h"
#include "lib/pool_call.h"
#include "lib/window_mode.h"
#include "model/engine_inputs.h"

namespace velkan::py {

namespace {

enum Parameter {
  kCondition,
  kMask,
  kTransgridList,
  kTransforms,
  kLevels,
  kLambdas,
  kIsGeo,
  kMaxCost,
  kWindowSize,
  kOuterWindow,
  kOffsets,
  kTraversal,
  kNThreads,
  kWindowMode,
  kPaToPa,
  kParameterCount
};
constexpr const char* kParameters[] = {"condition", "mask",      "transgrid_list", "transforms",  "levels",
                                       "lambdas",   "is_geo",    "max_cost",       "window_size", "outer_window",
                                       "offsets",   "traversal", "n_threads",      "window_mode", "pa_to_pa"};
constexpr CallSignature kSignature{"connectivity", kParameters, kParameterCount, 11};

[[noreturn]] void raise_runtime(const std::string& text) { raise_error(PyExc_RuntimeError, text); }

// The scalars and sequences, converted before any array is looked at.
struct ScalarArguments {
  ConnectivityParams params;
  std::vector<std::uint64_t> levels;
  PyObject* traversal = nullptr;  // held unconverted until the arrays are read (by its bound slot)
  std::optional<std::uint64_t> n_threads;
  std::string window_mode = "circular";
};

ScalarArguments convert_scalars(const BoundArguments& bound) {
  ScalarArguments out;
  ConnectivityParams& p = out.params;
  out.levels = convert_argument("levels", [&] { return to_sequence<std::uint64_t>(bound[kLevels], to_unsigned); });
  p.lambdas = convert_argument("lambdas", [&] { return to_sequence<float>(bound[kLambdas], to_float32); });
  p.is_geo = convert_argument("is_geo", [&] { return to_bool(bound[kIsGeo]); });
  p.max_cost = convert_argument("max_cost", [&] { return to_float32(bound[kMaxCost]); });
  p.window_size = convert_argument("window_size", [&] { return to_int32(bound[kWindowSize]); });
  p.outer_window = convert_argument("outer_window", [&] { return to_int32(bound[kOuterWindow]); });
  convert_argument("offsets", [&] {
    std::vector<PyObject*> items = tuple_items(bound[kOffsets], 2);
    p.row_offset = to_unsigned(items[0]);
    p.col_offset = to_unsigned(items[1]);
    return 0;
  });
  if (bound[kTraversal] != nullptr && bound[kTraversal] != Py_None) out.traversal = bound[kTraversal];
  if (bound[kNThreads] != nullptr && bound[kNThreads] != Py_None)
    out.n_threads = convert_argument("n_threads", [&] { return to_unsigned(bound[kNThreads]); });
  if (bound[kWindowMode] != nullptr)
    out.window_mode = convert_argument("window_mode", [&] { return to_str(bound[kWindowMode]); });
  if (bound[kPaToPa] != nullptr) p.pa_to_pa = convert_argument("pa_to_pa", [&] { return to_bool(bound[kPaToPa]); });
  return out;
}

// The readers below take the objects of the bound slots, which hold them
// strongly; what they take out of those is held strongly too (or, for tuple
// items, borrowed from a tuple they hold), since Python code may run while
// they read: NumPy's import on the first array operation of a process, and
// the items(), __index__ and __float__ methods of the transforms.

std::optional<Raster<float>> read_raster_2d(PyObject* object, const char* what) {
  if (object == Py_None) return std::nullopt;
  if (!is_array_of(object, 2, ElementType::Float32))
    raise_runtime(std::string("Reading ") + what +
                  " failed: Failed to extract 2D array: " + type_error_text(object, "ndarray"));
  return copy_float32_2d(object);
}

std::optional<std::vector<Raster<float>>> read_transition_grids(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  if (!PyList_Check(object)) raise_type_error(object, "list");
  std::vector<Raster<float>> grids;
  // Another thread may empty the list while NumPy's import runs: the length
  // is asked again for every index.
  for (Py_ssize_t i = 0; i < PyList_Size(object); ++i) {
    Ref item = Ref::strong(PyList_GetItem(object, i));
    if (item.get() == Py_None) continue;
    if (!is_array_of(item.get(), 3, ElementType::Float32))
      raise_internal_error("Reading transition grid " + std::to_string(i) +
                           " failed: Failed to extract 3D array: " + type_error_text(item.get(), "ndarray"));
    grids.push_back(copy_float32_3d(item.get()));
  }
  if (grids.empty()) return std::nullopt;
  return grids;
}

void read_transform_pairs(PyObject* object, TransformMap& transforms) {
  Ref items = Ref::checked(PyObject_CallMethod(object, "items", nullptr));
  Ref iterator = Ref::checked(PyObject_GetIter(items.get()));
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    Ref pair(raw);
    std::vector<PyObject*> key_value = tuple_items(pair.get(), 2);
    std::int32_t key = to_int32(key_value[0]);
    std::vector<PyObject*> c = tuple_items(key_value[1], 6);
    transforms[key] =
        Affine{to_double(c[0]), to_double(c[1]), to_double(c[2]), to_double(c[3]), to_double(c[4]), to_double(c[5])};
  }
  if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

TransformMap read_transforms(PyObject* object) {
  TransformMap transforms;
  try {
    read_transform_pairs(object, transforms);
  } catch (const ErrorAlreadySet&) {
    // Ctrl-C, SystemExit and the like say nothing about the transforms: they
    // go on as raised.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    FetchedError error = FetchedError::fetch();
    std::string name = "Exception";
    if (error.type) name = qualified_name(reinterpret_cast<PyTypeObject*>(error.type.get()));
    std::string text = error.value ? exception_text(error.value.get()) : std::string();
    raise_runtime("Faild getting transform information: " + name + ": " + text);
  }
  return transforms;
}

Raster<std::uint8_t> read_mask(PyObject* object) {
  if (object == Py_None) raise_runtime("Reading mask failed: Mask must be provided!");
  if (!is_array_of(object, 2, ElementType::Bool))
    raise_runtime("Reading mask failed: Failed to extract mask array: " + type_error_text(object, "ndarray"));
  return copy_bool_2d(object);
}

PyObject* connectivity_body(PyObject* args, PyObject* kwargs) {
  BoundArguments bound = bind_arguments(kSignature, args, kwargs);
  ScalarArguments scalars = convert_scalars(bound);

  EngineInputs inputs;
  inputs.condition = read_raster_2d(bound[kCondition], "condition");
  inputs.transition_grids = read_transition_grids(bound[kTransgridList]);
  inputs.transforms = read_transforms(bound[kTransforms]);
  inputs.mask = read_mask(bound[kMask]);
  if (scalars.traversal != nullptr) inputs.traversal = read_raster_2d(scalars.traversal, "traversal");
  scalars.params.window_mode = parse_window_mode(scalars.window_mode);
  inputs.levels = std::move(scalars.levels);
  inputs.params = std::move(scalars.params);

  return with_worker_pool(scalars.n_threads, [&](WorkerPool& pool) {
    Raster<float> result;
    try {
      result = run_connectivity_engine(inputs, pool);
    } catch (const OrdinaryError& error) {
      raise_runtime(std::string("Connectivity failed: ") + error.what());
    }
    return new_float32_array(result, pool).release();
  });
}

}  // namespace

PyObject* connectivity(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_call_frame([&] { return connectivity_body(args, kwargs); });
}

}  // namespace velkan::py
