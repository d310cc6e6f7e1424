#include "binding/py_collection.h"

#include <limits>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/py_ref.h"

namespace orvane::binding {
namespace {

struct CollectionObject {
  PyObject ob_base;  // the interpreter's object header
  std::shared_ptr<engine::Database> database;
  std::string name;
  std::uint64_t dimension;
};

CollectionObject& handle_of(PyObject* self) { return *reinterpret_cast<CollectionObject*>(self); }

PyObject* text_result(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Result dict keys, interned once at module initialisation and kept for the
// life of the process.
PyObject* id_key = nullptr;
PyObject* score_key = nullptr;

PyObject* results_to_list(const std::vector<engine::SearchResult>& results) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyRef dict = PyRef::steal(PyDict_New());
    PyRef id = PyRef::steal(text_result(results[i].id));
    // float -> double is exact: the score reaches Python unchanged.
    PyRef score = PyRef::steal(PyFloat_FromDouble(static_cast<double>(results[i].score)));
    if (!dict || !id || !score || PyDict_SetItem(dict.get(), id_key, id.get()) < 0 ||
        PyDict_SetItem(dict.get(), score_key, score.get()) < 0) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

PyObject* collection_new(PyTypeObject* type, PyObject*, PyObject*) {
  raise_no_constructor(type);
  return nullptr;
}

void collection_dealloc(PyObject* self) {
  // Dropping the last handle of a database may run its final flush.
  CollectionObject& handle = handle_of(self);
  handle.name.~basic_string();
  handle.database.~shared_ptr();
  Py_TYPE(self)->tp_free(self);
}

PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"vector", "id"};
    static constexpr Signature kSignature{"PyCollection.insert()", kNames, 2, 1};
    PyObject* slots[kMaxParams];
    if (!parse_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    std::vector<float> vector;
    if (!to_vector(slots[0], "vector", vector)) return nullptr;
    std::optional<std::string> id;
    if (slots[1] != nullptr && slots[1] != Py_None) {
      id = to_text(slots[1], "id");
      if (!id) return nullptr;
    }
    CollectionObject& handle = handle_of(self);
    auto used = handle.database->insert(handle.name, std::move(id), vector);
    if (!used) {
      raise_engine_error(used.error());
      return nullptr;
    }
    return text_result(*used);
  });
}

PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"vector", "top_k"};
    static constexpr Signature kSignature{"PyCollection.search()", kNames, 2, 1};
    constexpr std::uint64_t kDefaultTopK = 10;
    PyObject* slots[kMaxParams];
    if (!parse_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    std::vector<float> vector;
    if (!to_vector(slots[0], "vector", vector)) return nullptr;
    std::uint64_t top_k = kDefaultTopK;
    if (slots[1] != nullptr && slots[1] != Py_None) {
      std::optional<std::uint64_t> given = to_u64(slots[1], "top_k");
      if (!given) return nullptr;
      top_k = *given;
    }
    CollectionObject& handle = handle_of(self);
    auto results = handle.database->search(handle.name, std::span<const float>(vector), top_k);
    if (!results) {
      raise_engine_error(results.error());
      return nullptr;
    }
    return results_to_list(*results);
  });
}

PyObject* delete_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"id"};
    static constexpr Signature kSignature{"PyCollection.delete()", kNames, 1, 1};
    PyObject* slots[kMaxParams];
    if (!parse_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    std::optional<std::string> id = to_text(slots[0], "id");
    if (!id) return nullptr;
    CollectionObject& handle = handle_of(self);
    auto removed = handle.database->remove(handle.name, *id);
    if (!removed) {
      raise_engine_error(removed.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

Py_ssize_t collection_length(PyObject* self) {
  return guard([&]() -> Py_ssize_t {
    CollectionObject& handle = handle_of(self);
    auto count = handle.database->count(handle.name);
    if (!count) {
      raise_engine_error(count.error());
      return -1;
    }
    if (*count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
      raise_overflow_error("collection length " + std::to_string(*count) +
                           " does not fit in a Python length");
      return -1;
    }
    return static_cast<Py_ssize_t>(*count);
  });
}

PyObject* collection_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const CollectionObject& handle = handle_of(self);
    return text_result("Collection(name='" + handle.name +
                       "', dim=" + std::to_string(handle.dimension) + ")");
  });
}

PyObject* get_name(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return text_result(handle_of(self).name); });
}

PyObject* get_dimension(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(handle_of(self).dimension);
}

template <class Fn>
PyCFunction fastcall(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef kMethods[] = {
    {"insert", fastcall(insert), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, id=None)\n--\n\n"},
    {"search", fastcall(search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, vector, top_k=None)\n--\n\n"},
    {"delete", fastcall(delete_id), METH_FASTCALL | METH_KEYWORDS, "delete($self, id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"dimension", get_dimension, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods kMapping = {collection_length, nullptr, nullptr};

PyTypeObject make_type() {
  PyTypeObject type{};
  // A static type: one reference that is never dropped.
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = "orvane._native.PyCollection";
  type.tp_basicsize = sizeof(CollectionObject);
  type.tp_dealloc = collection_dealloc;
  type.tp_repr = collection_repr;
  type.tp_as_mapping = &kMapping;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_methods = kMethods;
  type.tp_getset = kGetters;
  // Handles are made only by Kestrum.create_collection / get_collection.
  type.tp_new = collection_new;
  return type;
}

}  // namespace

bool init_collection_type() {
  if (id_key == nullptr) id_key = PyUnicode_InternFromString("id");
  if (score_key == nullptr) score_key = PyUnicode_InternFromString("score");
  return id_key != nullptr && score_key != nullptr && PyType_Ready(collection_type()) == 0;
}

PyTypeObject* collection_type() {
  static PyTypeObject type = make_type();
  return &type;
}

PyObject* make_collection(std::shared_ptr<engine::Database> database, std::string name,
                          std::uint64_t dimension) {
  PyTypeObject* type = collection_type();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  // Construct the C++ members only: the object header is the interpreter's.
  CollectionObject& handle = handle_of(self);
  new (&handle.database) std::shared_ptr<engine::Database>(std::move(database));
  new (&handle.name) std::string(std::move(name));
  handle.dimension = dimension;
  return self;
}

}  // namespace orvane::binding
