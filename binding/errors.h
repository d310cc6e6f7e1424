// The one place where failures become Python exceptions.
//
// Every function here sets the interpreter's error indicator and returns;
// the caller then returns its C-API failure value (nullptr or -1). Engine
// errors become RuntimeError with the engine's exact text; C++ exceptions
// (internal faults only: the engine reports errors as values) become
// PanicException, which derives from BaseException so ordinary `except
// Exception` handlers do not swallow them.
// REQUIRES: the GIL is held.
#pragma once

#include <Python.h>

#include <string_view>
#include <type_traits>

#include "engine/errors.h"

namespace orvane::binding {

// Creates the PanicException class once per process. Returns false with
// the error set on failure.
[[nodiscard]] bool init_panic_exception(const char* qualified_name = "orvane._native.PanicException");

// The exception classes of the new API (orvane's Error hierarchy), fetched
// once from `module` by name. Until then typed errors are RuntimeErrors.
[[nodiscard]] bool init_error_classes(PyObject* module);
// The engine error as the class of the hierarchy its kind names, with the
// engine's text.
void raise_typed_error(const engine::EngineError& error);
void raise_value_error(std::string_view text);

void raise_engine_error(const engine::EngineError& error);
void raise_type_error(std::string_view text);
void raise_overflow_error(std::string_view text);
void raise_import_error(std::string_view text);

// "'T' object cannot be converted to 'TARGET'" with T the qualified type name of `obj`.
void raise_not_convertible(PyObject* obj, const char* target);
// "<qualname> got an unexpected keyword argument '<keyword>'".
void raise_unexpected_keyword(const char* qualname, PyObject* keyword);
// "No constructor defined for <type name>".
void raise_no_constructor(PyTypeObject* type);

// If the pending error is exactly a TypeError, replaces it with
// TypeError("argument '<param>': <message>") keeping the original's cause;
// any other pending error is left as it is.
void prefix_argument_error(const char* param);

// Call only inside a catch block: raises PanicException with the text of
// the exception being handled.
void raise_panic_from_current_exception() noexcept;

// Runs `body` (a C entry point's work) and turns any escaping C++ exception
// into PanicException, returning the C-API failure value instead. Keeps
// C++ exceptions from ever crossing into the interpreter.
template <class Body>
auto guard(Body&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (...) {
    raise_panic_from_current_exception();
    if constexpr (std::is_pointer_v<Result>) {
      return nullptr;
    } else {
      return Result{-1};
    }
  }
}

}  // namespace orvane::binding
