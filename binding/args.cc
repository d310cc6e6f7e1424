#include "binding/args.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "binding/errors.h"
#include "binding/py_ref.h"

// Only the array object's layout; the module never loads NumPy's C API.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

namespace orvane::binding {
namespace {

// A sequence's reported length is only a hint: a lying __len__ must not
// make us reserve gigabytes before the first item is read.
constexpr std::size_t kMaxReserve = std::size_t{1} << 16;

void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string text = sig.qualname;
  if (sig.required != sig.count) {
    text += " takes from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
  } else {
    text += " takes " + std::to_string(sig.count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  raise_type_error(text);
}

void raise_multiple_values(const Signature& sig, const char* name) {
  raise_type_error(std::string(sig.qualname) + " got multiple values for argument '" + name + "'");
}

// "... missing 3 required positional arguments: 'a', 'b', and 'c'": the
// English list CPython itself uses for Python functions.
void raise_missing(const Signature& sig, const std::vector<const char*>& missing) {
  std::string text = std::string(sig.qualname) + " missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i != 0) {
      if (missing.size() > 2) text += ',';
      text += i + 1 == missing.size() ? " and " : " ";
    }
    text += '\'';
    text += missing[i];
    text += '\'';
  }
  raise_type_error(text);
}

bool fill_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** slots) {
  if (static_cast<std::size_t>(nargs) > sig.count) {
    raise_too_many_positional(sig, nargs);
    return false;
  }
  std::fill(slots, slots + sig.count, nullptr);
  std::copy(args, args + nargs, slots);
  return true;
}

bool fill_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
  if (!PyUnicode_Check(key)) {
    raise_type_error(std::string(sig.qualname) + " keywords must be strings");
    return false;
  }
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) continue;
    if (slots[i] != nullptr) {
      raise_multiple_values(sig, sig.names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  raise_unexpected_keyword(sig.qualname, key);
  return false;
}

bool check_required(const Signature& sig, PyObject** slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return true;
  raise_missing(sig, missing);
  return false;
}

bool append_item(PyObject* item, std::vector<float>& out) {
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out.push_back(narrow_to_float(value));
  return true;
}

// Exact lists and tuples: the same items in the same order as iterating
// them, without an iterator object. The size is re-read each step because
// an item's __float__ may change the list, as the list iterator does.
bool read_list_or_tuple(PyObject* obj, std::vector<float>& out) {
  const bool is_list = PyList_CheckExact(obj);
  auto size = [&] { return is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj); };
  out.reserve(std::min(static_cast<std::size_t>(size()), kMaxReserve));
  for (Py_ssize_t i = 0; i < size(); ++i) {
    PyRef item = PyRef::borrow(is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i));
    if (!append_item(item.get(), out)) return false;
  }
  return true;
}

// A one-dimensional buffer of native floats or doubles (NumPy float32 and
// float64 rows, memoryviews): read in place. Iterating such an object yields
// exactly these values, each widened to a double, so the result is the same
// as the item-by-item path without an object per component. Types defined
// in Python (heap types) may override iteration and never take this path.
enum class BufferRead { kDone, kNotApplicable };

// Copies `count` floats or doubles spaced `stride` bytes apart.
void narrow_strided(const char* base, Py_ssize_t count, Py_ssize_t stride, bool is_float,
                    std::vector<float>& out) {
  out.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const char* item = base + i * stride;
    double value;
    if (is_float) {
      float narrow;
      std::memcpy(&narrow, item, sizeof narrow);
      value = narrow;
    } else {
      std::memcpy(&value, item, sizeof value);
    }
    out[static_cast<std::size_t>(i)] = narrow_to_float(value);
  }
}

// NumPy's own array type (exactly; subclasses take the buffer path), known
// by name from the first one seen, so the classic module never imports
// NumPy itself. Its fields are read directly: a buffer export costs more
// than reading a short vector.
PyTypeObject* ndarray_type = nullptr;

bool is_ndarray(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == ndarray_type) return true;
  if (ndarray_type != nullptr || (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 ||
      std::strcmp(type->tp_name, "numpy.ndarray") != 0) {
    return false;
  }
  ndarray_type = type;
  return true;
}

BufferRead read_ndarray(PyObject* obj, std::vector<float>& out) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const PyArray_Descr* descr = PyArray_DESCR(array);
  constexpr bool kLittleEndian = std::endian::native == std::endian::little;
  const bool native = descr->byteorder == '=' || descr->byteorder == '|' ||
                      (descr->byteorder == '<' && kLittleEndian) ||
                      (descr->byteorder == '>' && !kLittleEndian);
  const bool is_float = descr->type_num == NPY_FLOAT;
  if (PyArray_NDIM(array) != 1 || !native || (!is_float && descr->type_num != NPY_DOUBLE)) {
    return BufferRead::kNotApplicable;
  }
  narrow_strided(static_cast<const char*>(PyArray_DATA(array)), PyArray_DIM(array, 0),
                 PyArray_STRIDE(array, 0), is_float, out);
  return BufferRead::kDone;
}

BufferRead read_float_buffer(PyObject* obj, std::vector<float>& out) {
  if (is_ndarray(obj)) return read_ndarray(obj, out);
  if ((Py_TYPE(obj)->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 || !PyObject_CheckBuffer(obj)) {
    return BufferRead::kNotApplicable;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
    PyErr_Clear();  // an exporter that refuses these flags is iterated instead
    return BufferRead::kNotApplicable;
  }
  // "<" is little-endian IEEE at standard size: native only on little-endian hosts.
  constexpr bool kLittleEndian = std::endian::native == std::endian::little;
  const std::string_view format = view.format != nullptr ? view.format : "B";
  auto native = [&](char code) {
    return format.size() == 1
               ? format[0] == code
               : format.size() == 2 && format[1] == code &&
                     (format[0] == '@' || format[0] == '=' || (format[0] == '<' && kLittleEndian));
  };
  const bool is_float = native('f') && view.itemsize == sizeof(float);
  const bool is_double = native('d') && view.itemsize == sizeof(double);
  if (view.ndim != 1 || (!is_float && !is_double)) {
    PyBuffer_Release(&view);
    return BufferRead::kNotApplicable;
  }
  narrow_strided(static_cast<const char*>(view.buf), view.shape[0], view.strides[0], is_float,
                 out);
  PyBuffer_Release(&view);
  return BufferRead::kDone;
}

bool read_by_iteration(PyObject* obj, std::vector<float>& out) {
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();  // the length is only a hint
  } else {
    out.reserve(std::min(static_cast<std::size_t>(hint), kMaxReserve));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!append_item(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
  if (!fill_positional(sig, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!fill_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
    }
  }
  return check_required(sig, slots);
}

bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  if (!fill_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!fill_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_required(sig, slots);
}

std::optional<std::string> to_text(PyObject* obj, const char* param) {
  if (!PyUnicode_Check(obj)) {
    raise_not_convertible(obj, "PyString");
    prefix_argument_error(param);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    prefix_argument_error(param);
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::uint64_t> to_u64(PyObject* obj, const char* param) {
  PyRef index = PyLong_Check(obj) ? PyRef::borrow(obj) : PyRef::steal(PyNumber_Index(obj));
  if (index) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return value;
  }
  prefix_argument_error(param);
  return std::nullopt;
}

bool to_vector(PyObject* obj, const char* param, std::vector<float>& out) {
  out.clear();
  bool ok = false;
  if (PyUnicode_Check(obj)) {
    // A str passes the sequence check but is never a vector.
    raise_type_error("Can't extract `str` to `Vec`");
  } else if (!PySequence_Check(obj)) {
    raise_not_convertible(obj, "Sequence");
  } else if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    ok = read_list_or_tuple(obj, out);
  } else if (read_float_buffer(obj, out) == BufferRead::kDone) {
    ok = true;
  } else {
    ok = read_by_iteration(obj, out);
  }
  if (!ok) prefix_argument_error(param);
  return ok;
}

float narrow_to_float(double value) {
  // Beyond FLT_MAX, IEEE round-to-nearest gives FLT_MAX below the halfway
  // point to 2^128 and infinity from it on (the tie goes to infinity, as
  // FLT_MAX has an odd significand). Converting such a value directly is
  // undefined in C++, so settle it here.
  constexpr double kHalfway = static_cast<double>(FLT_MAX) + 0x1p103;
  const double magnitude = std::fabs(value);
  if (magnitude > static_cast<double>(FLT_MAX) && !std::isnan(value)) {
    const float rounded = magnitude >= kHalfway ? std::numeric_limits<float>::infinity() : FLT_MAX;
    return std::signbit(value) ? -rounded : rounded;
  }
  return static_cast<float>(value);
}

}  // namespace orvane::binding
