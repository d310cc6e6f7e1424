// PyInit__native: the module's entry point.
//
// The module is single-phase and process-wide: its classes are static types
// holding engine objects, so it is created once, handed out again on every
// later initialisation in the same interpreter, and refused in any other
// interpreter.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/errors.h"
#include "binding/py_collection.h"
#include "binding/py_database.h"
#include "binding/py_ref.h"

namespace orvane::binding {
namespace {

constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> first_interpreter{kNoInterpreter};

// Strong reference for the life of the process.
PyObject* module_object = nullptr;

// m_size 0 rather than -1: the import system then calls the entry point
// again for a repeated import instead of copying the first module's dict,
// which is what lets another interpreter be refused.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return false;
  PyRef all_name = PyRef::steal(PyUnicode_InternFromString("__all__"));
  if (!all_name) return false;
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
  }
  PyRef entry = PyRef::steal(PyUnicode_FromString(name));
  return entry && PyList_Append(all.get(), entry.get()) == 0;
}

PyObject* init_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  std::int64_t expected = kNoInterpreter;
  if (!first_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    raise_import_error("orvane._native does not support sub-interpreters");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  if (!init_panic_exception() || PyType_Ready(kestrum_type()) < 0 || !init_collection_type()) {
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module || !add_class(module.get(), "Kestrum", kestrum_type()) ||
      !add_class(module.get(), "PyCollection", collection_type())) {
    return nullptr;
  }
  module_object = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace orvane::binding

PyMODINIT_FUNC PyInit__native() { return orvane::binding::guard(orvane::binding::init_module); }
