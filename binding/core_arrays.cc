#include "binding/core_arrays.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL orvane_core_numpy_api
#include <numpy/arrayobject.h>

#include <memory>
#include <string>

#include "binding/errors.h"

namespace orvane::binding {
namespace {

void free_floats(PyObject* capsule) {
  delete static_cast<std::vector<float>*>(PyCapsule_GetPointer(capsule, "orvane.floats"));
}

}  // namespace

bool init_numpy() {
  // import_array() returns from the calling function on failure; keep it in
  // a lambda of its own.
  auto load = []() -> int {
    import_array1(-1);
    return 0;
  };
  return load() == 0;
}

std::optional<FloatRows> to_float_rows(PyObject* obj, const char* what) {
  // FORCECAST: float64 and integer inputs are narrowed as NumPy's astype
  // does; a C-contiguous aligned float32 array comes back as itself.
  PyRef array = PyRef::steal(PyArray_FROMANY(obj, NPY_FLOAT32, 0, 0,
                                             NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED |
                                                 NPY_ARRAY_FORCECAST));
  if (!array) return std::nullopt;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const int ndim = PyArray_NDIM(a);
  if (ndim != 1 && ndim != 2) {
    raise_value_error(std::string(what) + " must be a 1-D or 2-D array of numbers, got " +
                      std::to_string(ndim) + " dimensions");
    return std::nullopt;
  }
  FloatRows out;
  out.data = static_cast<const float*>(PyArray_DATA(a));
  out.one_row = ndim == 1;
  out.rows = out.one_row ? 1 : static_cast<std::uint64_t>(PyArray_DIM(a, 0));
  out.cols = static_cast<std::uint64_t>(PyArray_DIM(a, ndim - 1));
  out.owner = std::move(array);
  return out;
}

PyObject* float_array(std::vector<float>&& values, std::uint64_t rows, std::uint64_t cols) {
  auto owned = std::make_unique<std::vector<float>>(std::move(values));
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyRef array = PyRef::steal(PyArray_SimpleNewFromData(2, dims, NPY_FLOAT32, owned->data()));
  if (!array) return nullptr;
  PyRef capsule = PyRef::steal(PyCapsule_New(owned.get(), "orvane.floats", free_floats));
  if (!capsule) return nullptr;
  owned.release();
  // SetBaseObject steals the capsule reference, even on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
    return nullptr;
  }
  return array.release();
}

PyObject* int_array(const std::vector<std::uint64_t>& values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  PyObject* array = PyArray_SimpleNew(1, dims, NPY_INT64);
  if (array == nullptr) return nullptr;
  auto* data = static_cast<npy_int64*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  for (std::size_t i = 0; i < values.size(); ++i) data[i] = static_cast<npy_int64>(values[i]);
  return array;
}

namespace detail {

PyObject* new_object_array(std::uint64_t rows, std::uint64_t cols) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  // Object arrays start out holding None (or NULL, which NumPy reads as None).
  return PyArray_ZEROS(2, dims, NPY_OBJECT, 0);
}

PyObject** object_items(PyObject* array) {
  return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

}  // namespace detail
}  // namespace orvane::binding
