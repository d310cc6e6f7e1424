// orvane._core.Database: the engine handle behind orvane.connect(). A thin
// layer: positional arguments in the order orvane's Python code passes them,
// arrays through core_arrays, errors through raise_typed_error, and the GIL
// released while the engine works.
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

#include "engine/database.h"

namespace orvane::binding {

struct CoreDatabaseObject {
  PyObject ob_base;  // the interpreter's object header
  std::shared_ptr<engine::Database> database;
};

inline engine::Database& core_database(PyObject* self) {
  return *reinterpret_cast<CoreDatabaseObject*>(self)->database;
}

[[nodiscard]] bool init_core_database_type();
PyTypeObject* core_database_type();

// Runs `work` with the GIL released; it is taken back however `work` ends.
template <class Work>
auto without_gil(Work&& work) {
  struct Restore {
    PyThreadState* state;
    ~Restore() { PyEval_RestoreThread(state); }
  } restore{PyEval_SaveThread()};
  return std::forward<Work>(work)();
}

// The collection operations (core_ops.cc); METH_VARARGS methods of Database.
PyObject* core_add(PyObject* self, PyObject* args);
PyObject* core_search(PyObject* self, PyObject* args);
PyObject* core_get(PyObject* self, PyObject* args);
PyObject* core_delete(PyObject* self, PyObject* args);
PyObject* core_list_ids(PyObject* self, PyObject* args);

}  // namespace orvane::binding
