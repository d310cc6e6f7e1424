// Kestrum: the Python class of an open database.
//
// Ownership: each object holds one shared reference to an engine Database,
// made by a successful open; there is no object for a failed open. The
// database is released with the last Kestrum or PyCollection referring to it.
// Subclassable. Thread-safety: used only with the GIL held, which no method
// releases.
#pragma once

#include <Python.h>

namespace orvane::binding {

// The class object, ready for PyType_Ready (static storage, one per process).
PyTypeObject* kestrum_type();

}  // namespace orvane::binding
