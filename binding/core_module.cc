// PyInit__core: the entry point of orvane._core, the engine side of
// orvane.connect(). Needs NumPy and the exception classes of orvane._errors.
#include <Python.h>

#include "binding/core_arrays.h"
#include "binding/core_database.h"
#include "binding/errors.h"
#include "binding/py_ref.h"

namespace orvane::binding {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", "The engine behind orvane.connect().", -1, nullptr,
    nullptr, nullptr, nullptr, nullptr};

PyObject* init_module() {
  if (!init_panic_exception("orvane._core.PanicException") || !init_numpy()) return nullptr;
  PyRef errors = PyRef::steal(PyImport_ImportModule("orvane._errors"));
  if (!errors || !init_error_classes(errors.get()) || !init_core_database_type()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module || PyModule_AddObjectRef(module.get(), "Database",
                                       reinterpret_cast<PyObject*>(core_database_type())) < 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace orvane::binding

PyMODINIT_FUNC PyInit__core() { return orvane::binding::guard(orvane::binding::init_module); }
