// PyCollection: the Python handle on one collection of an open database.
//
// Ownership: a handle holds a shared reference to the Database (so the
// database outlives the Kestrum object that made it) and copies of the
// collection's name and dimension; it does not hold the collection itself,
// every operation looks the collection up by name.
// Thread-safety: used only with the GIL held, which no method releases.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/database.h"

namespace orvane::binding {

// Readies the class and the interned result keys once per process; false
// with the error set on failure. Must succeed before any handle is made.
[[nodiscard]] bool init_collection_type();

// The class object (static storage, one per process).
PyTypeObject* collection_type();

// A new PyCollection (new reference), or nullptr with the error set.
PyObject* make_collection(std::shared_ptr<engine::Database> database, std::string name,
                          std::uint64_t dimension);

}  // namespace orvane::binding
