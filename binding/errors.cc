#include "binding/errors.h"

#include <cstdint>
#include <exception>
#include <iterator>
#include <string>

#include "binding/py_ref.h"

namespace orvane::binding {
namespace {

// Strong reference held for the life of the process: the class must stay
// the same object however many times the module is initialised.
PyObject* panic_exception = nullptr;

void raise_text(PyObject* type, std::string_view text) {
  PyRef message =
      PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace

bool init_panic_exception(const char* qualified_name) {
  if (panic_exception != nullptr) return true;
  // Not added to the module: the module exposes only its own classes. The
  // class is reachable as type(e) of a raised fault.
  panic_exception = PyErr_NewException(qualified_name, PyExc_BaseException, nullptr);
  return panic_exception != nullptr;
}

namespace {

enum class Typed : std::uint8_t {
  Error, CollectionNotFound, CollectionExists, Dimension, Filter, InvalidArgument, Closed,
  Locked, Storage, Corrupt, Count
};
constexpr const char* kTypedNames[] = {
    "Error", "CollectionNotFoundError", "CollectionExistsError", "DimensionError", "FilterError",
    "InvalidArgumentError", "DatabaseClosedError", "DatabaseLockedError", "StorageError",
    "CorruptDatabaseError"};
static_assert(std::size(kTypedNames) == static_cast<std::size_t>(Typed::Count));
// Strong references for the life of the process.
PyObject* typed_classes[static_cast<std::size_t>(Typed::Count)] = {};

Typed storage_class(const storage::StorageError& error) {
  using Kind = storage::StorageError::Kind;
  switch (error.kind()) {
    case Kind::WriteConflict: return Typed::Locked;
    case Kind::InvalidDatabaseFile:
    case Kind::PageNotFound:
    case Kind::WalCorrupted:
    case Kind::CrcMismatch:
    case Kind::UnsupportedFormatVersion: return Typed::Corrupt;
    default: return Typed::Storage;
  }
}

Typed typed_class(const engine::EngineError& error) {
  using Kind = engine::EngineError::Kind;
  switch (error.kind()) {
    case Kind::Storage: return storage_class(*error.storage_error());
    case Kind::CollectionNotFound: return Typed::CollectionNotFound;
    case Kind::CollectionAlreadyExists: return Typed::CollectionExists;
    case Kind::InvalidConfiguration: return Typed::InvalidArgument;
    case Kind::DimensionMismatch: return Typed::Dimension;
    case Kind::DatabaseClosed: return Typed::Closed;
    case Kind::Metadata:
      return error.metadata_error()->kind() == engine::MetadataError::Kind::InvalidFilter
                 ? Typed::Filter
                 : Typed::Error;
    case Kind::Index:
      return error.index_error()->kind() == index::VectorIndexError::Kind::DimensionMismatch
                 ? Typed::Dimension
                 : Typed::Error;
    default: return Typed::Error;
  }
}

}  // namespace

bool init_error_classes(PyObject* module) {
  for (std::size_t i = 0; i < std::size(kTypedNames); ++i) {
    if (typed_classes[i] != nullptr) continue;
    typed_classes[i] = PyObject_GetAttrString(module, kTypedNames[i]);
    if (typed_classes[i] == nullptr) return false;
  }
  return true;
}

void raise_typed_error(const engine::EngineError& error) {
  PyObject* type = typed_classes[static_cast<std::size_t>(typed_class(error))];
  raise_text(type != nullptr ? type : PyExc_RuntimeError, error.to_string());
}

void raise_value_error(std::string_view text) { raise_text(PyExc_ValueError, text); }

void raise_engine_error(const engine::EngineError& error) {
  raise_text(PyExc_RuntimeError, error.to_string());
}

void raise_type_error(std::string_view text) { raise_text(PyExc_TypeError, text); }

void raise_overflow_error(std::string_view text) { raise_text(PyExc_OverflowError, text); }

void raise_import_error(std::string_view text) { raise_text(PyExc_ImportError, text); }

void raise_not_convertible(PyObject* obj, const char* target) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

void raise_unexpected_keyword(const char* qualname, PyObject* keyword) {
  // %U keeps keywords that are not valid UTF-8 (lone surrogates) printable.
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", qualname, keyword);
}

void raise_no_constructor(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
}

void prefix_argument_error(const char* param) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef original = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  // Only exactly TypeError is rewritten; subclasses and every other class
  // (OverflowError from an out-of-range integer, UnicodeEncodeError) keep
  // their own text.
  if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(owned_type.release(), original.release(), owned_traceback.release());
    return;
  }
  PyRef message = PyRef::steal(PyObject_Str(original.get()));
  if (!message) return;
  PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, message.get()));
  if (!text) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void raise_panic_from_current_exception() noexcept {
  const char* text = "unknown internal fault";
  try {
    throw;
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
  }
  PyRef message = PyRef::steal(PyUnicode_FromString(text));
  // Before the module has made its class, a fault can only be a failed import.
  PyObject* type = panic_exception != nullptr ? panic_exception : PyExc_ImportError;
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace orvane::binding
