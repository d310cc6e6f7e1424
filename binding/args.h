// Argument parsing and conversion for the methods of Kestrum and
// PyCollection.
//
// Parsing fills one slot per parameter (a borrowed reference, or nullptr
// when the argument was not given) from positional and keyword arguments,
// raising TypeError for too many positional arguments, unknown or repeated
// keywords, and missing required parameters. Conversions turn one present
// argument into an engine value; a TypeError they raise is re-raised as
// "argument '<name>': <message>", any other error passes through unchanged.
// Every function returns failure (false / nullopt) with the Python error set.
// REQUIRES: the GIL is held. Cost: linear in the number of arguments (and
// in the vector's length for to_vector).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane::binding {

// The parameters of one method. The implicit self is not listed.
struct Signature {
  const char* qualname;      // "Class.method()", used in every parsing message
  const char* const* names;  // parameter names in positional order
  std::size_t count;         // number of parameters (at most kMaxParams)
  std::size_t required;      // the first `required` parameters have no default
};

inline constexpr std::size_t kMaxParams = 4;

// METH_FASTCALL | METH_KEYWORDS calling convention: `kwnames` names the
// values that follow the `nargs` positional ones in `args`.
[[nodiscard]] bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, PyObject** slots);
// tp_new calling convention: a tuple and an optional dict.
[[nodiscard]] bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs,
                                    PyObject** slots);

// A str (or str subclass) as UTF-8 bytes; NUL characters are kept.
[[nodiscard]] std::optional<std::string> to_text(PyObject* obj, const char* param);
// An int or any object with __index__, as an unsigned 64-bit value.
[[nodiscard]] std::optional<std::uint64_t> to_u64(PyObject* obj, const char* param);
// Any sequence except str; each item converted like float() and rounded to
// the nearest 32-bit float. Replaces the contents of `out`.
[[nodiscard]] bool to_vector(PyObject* obj, const char* param, std::vector<float>& out);

// Rounds a double to the nearest float (ties to even), overflowing to
// infinity exactly where IEEE rounding does, without relying on an
// out-of-range conversion.
float narrow_to_float(double value);

}  // namespace orvane::binding
