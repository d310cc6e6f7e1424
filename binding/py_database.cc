#include "binding/py_database.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/py_collection.h"
#include "binding/py_ref.h"
#include "engine/database.h"

namespace orvane::binding {
namespace {

struct KestrumObject {
  PyObject ob_base;  // the interpreter's object header
  std::shared_ptr<engine::Database> database;
};

engine::Database& database_of(PyObject* self) {
  return *reinterpret_cast<KestrumObject*>(self)->database;
}

const std::shared_ptr<engine::Database>& shared_database_of(PyObject* self) {
  return reinterpret_cast<KestrumObject*>(self)->database;
}

PyObject* kestrum_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"path"};
    static constexpr Signature kSignature{"Kestrum.__new__()", kNames, 1, 1};
    PyObject* slots[kMaxParams];
    if (!parse_tuple_dict(kSignature, args, kwargs, slots)) return nullptr;
    std::optional<std::string> path = to_text(slots[0], "path");
    if (!path) return nullptr;
    // Open first: a failed open must leave no object behind.
    auto database = engine::Database::open(*path);
    if (!database) {
      raise_engine_error(database.error());
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<KestrumObject*>(self)->database)
        std::shared_ptr<engine::Database>(std::move(*database));
    return self;
  });
}

void kestrum_dealloc(PyObject* self) {
  // May run the database's final flush and checkpoint; it reports nothing.
  reinterpret_cast<KestrumObject*>(self)->database.~shared_ptr();
  Py_TYPE(self)->tp_free(self);
}

PyObject* create_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"name", "dim", "distance"};
    static constexpr Signature kSignature{"Kestrum.create_collection()", kNames, 3, 2};
    PyObject* slots[kMaxParams];
    if (!parse_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    std::optional<std::string> name = to_text(slots[0], "name");
    if (!name) return nullptr;
    std::optional<std::uint64_t> dim = to_u64(slots[1], "dim");
    if (!dim) return nullptr;
    std::optional<std::string> distance;
    if (slots[2] != nullptr && slots[2] != Py_None) {
      distance = to_text(slots[2], "distance");
      if (!distance) return nullptr;
    }
    auto dimension = database_of(self).create_collection(
        *name, *dim, distance ? std::optional<std::string_view>(*distance) : std::nullopt);
    if (!dimension) {
      raise_engine_error(dimension.error());
      return nullptr;
    }
    return make_collection(shared_database_of(self), std::move(*name), *dimension);
  });
}

PyObject* get_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"name"};
    static constexpr Signature kSignature{"Kestrum.get_collection()", kNames, 1, 1};
    PyObject* slots[kMaxParams];
    if (!parse_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    std::optional<std::string> name = to_text(slots[0], "name");
    if (!name) return nullptr;
    auto dimension = database_of(self).get_collection(*name);
    if (!dimension) {
      raise_engine_error(dimension.error());
      return nullptr;
    }
    return make_collection(shared_database_of(self), std::move(*name), *dimension);
  });
}

PyObject* list_collections(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    // Refused in a forked child, as every other method is there.
    if (auto owned = database_of(self).check_owner(); !owned) {
      raise_engine_error(owned.error());
      return nullptr;
    }
    const std::vector<std::string> names = database_of(self).list_collections();
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const std::string& name : names) {
      PyRef text = PyRef::steal(
          PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
      if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* close_database(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    auto closed = database_of(self).close();
    if (!closed) {
      raise_engine_error(closed.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* enter_context(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Leaving a `with` block neither closes the database nor suppresses the
// exception: the database is closed by close() or by its last release.
PyObject* exit_context(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"_exc_type", "_exc_val", "_exc_tb"};
    static constexpr Signature kSignature{"Kestrum.__exit__()", kNames, 3, 3};
    PyObject* slots[kMaxParams];
    if (!parse_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    Py_RETURN_NONE;
  });
}

template <class Fn>
PyCFunction fastcall(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef kMethods[] = {
    {"create_collection", fastcall(create_collection), METH_FASTCALL | METH_KEYWORDS,
     "create_collection($self, name, dim, distance=None)\n--\n\n"},
    {"get_collection", fastcall(get_collection), METH_FASTCALL | METH_KEYWORDS,
     "get_collection($self, name)\n--\n\n"},
    {"list_collections", list_collections, METH_NOARGS, "list_collections($self)\n--\n\n"},
    {"close", close_database, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", enter_context, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall(exit_context), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type() {
  PyTypeObject type{};
  // A static type: one reference that is never dropped.
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  // The module prefix gives __module__ "orvane._native"; __name__ and
  // __qualname__ are "Kestrum".
  type.tp_name = "orvane._native.Kestrum";
  type.tp_basicsize = sizeof(KestrumObject);
  type.tp_dealloc = kestrum_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  // Only a text signature: __doc__ is None, __text_signature__ "(path)".
  type.tp_doc = "Kestrum(path)\n--\n\n";
  type.tp_methods = kMethods;
  type.tp_new = kestrum_new;
  return type;
}

}  // namespace

PyTypeObject* kestrum_type() {
  static PyTypeObject type = make_type();
  return &type;
}

}  // namespace orvane::binding
