// NumPy conversions of the new API: array-likes in, arrays out.
//
// The only user of the NumPy C API; init_numpy() loads it once per process.
// REQUIRES: the GIL is held for every function here.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/py_ref.h"

namespace orvane::binding {

[[nodiscard]] bool init_numpy();

// A row-major float32 matrix over `owner`'s memory. A C-contiguous, aligned
// float32 ndarray is used in place; anything else NumPy can turn into one
// (float64 and integer arrays, lists of lists) is converted first. A 1-D
// input is one row (`one_row` set).
struct FloatRows {
  PyRef owner;
  const float* data = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  bool one_row = false;
};
// ValueError naming `what` for anything with another number of dimensions.
[[nodiscard]] std::optional<FloatRows> to_float_rows(PyObject* obj, const char* what);

// A new float32 array of shape (rows, cols) that takes `values` over
// without copying. REQUIRES: values.size() == rows * cols.
PyObject* float_array(std::vector<float>&& values, std::uint64_t rows, std::uint64_t cols);
// A new int64 array of shape (n,).
PyObject* int_array(const std::vector<std::uint64_t>& values);
// A new object array of shape (rows, cols) whose item i is make(i), a new
// reference (nullptr with the error set stops the fill).
template <class Make>
PyObject* object_array(std::uint64_t rows, std::uint64_t cols, Make make);

namespace detail {
PyObject* new_object_array(std::uint64_t rows, std::uint64_t cols);
PyObject** object_items(PyObject* array);
}  // namespace detail

template <class Make>
PyObject* object_array(std::uint64_t rows, std::uint64_t cols, Make make) {
  PyRef array = PyRef::steal(detail::new_object_array(rows, cols));
  if (!array) return nullptr;
  PyObject** items = detail::object_items(array.get());
  for (std::uint64_t i = 0; i < rows * cols; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyObject* old = items[i];
    items[i] = item;
    Py_XDECREF(old);
  }
  return array.release();
}

}  // namespace orvane::binding
