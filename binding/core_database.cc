#include "binding/core_database.h"

#include <new>
#include <string>

#include "binding/errors.h"
#include "binding/py_ref.h"

namespace orvane::binding {
namespace {

PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* info_dict(const engine::CollectionInfo& info) {
  return Py_BuildValue("{s:N,s:K,s:N,s:N,s:I,s:I,s:I,s:K}", "name", text(info.name), "dimension",
                       static_cast<unsigned long long>(info.dimension), "metric",
                       text(info.metric), "index", text(info.index.type), "m", info.index.m,
                       "ef_construction", info.index.ef_construction, "ef_search",
                       info.index.ef_search, "count",
                       static_cast<unsigned long long>(info.count));
}

std::optional<engine::Synchronous> synchronous_of(std::string_view name) {
  if (name == "off") return engine::Synchronous::Off;
  if (name == "normal") return engine::Synchronous::Normal;
  if (name == "full") return engine::Synchronous::Full;
  return std::nullopt;
}

PyObject* database_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    const char* path = nullptr;
    const char* synchronous = "normal";
    int classic = 0;
    static const char* kNames[] = {"path", "synchronous", "classic", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|sp", const_cast<char**>(kNames), &path,
                                     &synchronous, &classic)) {
      return nullptr;
    }
    engine::OpenOptions options;
    auto level = synchronous_of(synchronous);
    if (!level) {
      raise_value_error(std::string("synchronous must be 'off', 'normal' or 'full', not '") +
                        synchronous + "'");
      return nullptr;
    }
    options.synchronous = *level;
    options.new_file_format = classic ? engine::FileFormat::Classic : engine::FileFormat::V2;
    const std::string path_text = path;
    auto opened = without_gil([&] { return engine::Database::open(path_text, options); });
    if (!opened) {
      raise_typed_error(opened.error());
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<CoreDatabaseObject*>(self)->database)
        std::shared_ptr<engine::Database>(std::move(*opened));
    return self;
  });
}

void database_dealloc(PyObject* self) {
  // Dropping the last handle of a database runs its final flush: without
  // the GIL, as any other engine work.
  auto* object = reinterpret_cast<CoreDatabaseObject*>(self);
  {
    std::shared_ptr<engine::Database> last = std::move(object->database);
    if (last.use_count() == 1) without_gil([&] { last.reset(); });
  }
  object->database.~shared_ptr();
  Py_TYPE(self)->tp_free(self);
}

template <class Result>
PyObject* checked(Result&& result, PyObject* (*convert)(typename std::decay_t<Result>::value_type&)) {
  if (!result) {
    raise_typed_error(result.error());
    return nullptr;
  }
  return convert(*result);
}

PyObject* create_collection(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* name = nullptr;
    unsigned long long dim = 0;
    const char* metric = nullptr;
    engine::IndexSpec index;
    const char* index_type = nullptr;
    if (!PyArg_ParseTuple(args, "sKssIII", &name, &dim, &metric, &index_type, &index.m,
                          &index.ef_construction, &index.ef_search)) {
      return nullptr;
    }
    index.type = index_type;
    const std::string name_text = name;
    const std::string metric_text = metric;
    auto info = without_gil([&] {
      return core_database(self).create_collection(name_text, dim, metric_text, index);
    });
    return checked(std::move(info), [](engine::CollectionInfo& i) { return info_dict(i); });
  });
}

PyObject* collection_info(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    const std::string name_text = name;
    auto info = without_gil([&] { return core_database(self).collection_info(name_text); });
    return checked(std::move(info), [](engine::CollectionInfo& i) { return info_dict(i); });
  });
}

PyObject* delete_collection(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    const std::string name_text = name;
    auto done = without_gil([&] { return core_database(self).delete_collection(name_text); });
    if (!done) {
      raise_typed_error(done.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* list_collections(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    auto names = without_gil([&] { return core_database(self).list_collections(); });
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyObject* item = text(names[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* close_database(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    auto done = without_gil([&] { return core_database(self).close(); });
    if (!done) {
      raise_typed_error(done.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* get_path(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return text(core_database(self).path()); });
}

PyObject* get_format(PyObject* self, void*) {
  return PyUnicode_FromString(core_database(self).format() == engine::FileFormat::V2 ? "v2"
                                                                                     : "classic");
}

PyMethodDef kMethods[] = {
    {"create_collection", create_collection, METH_VARARGS, nullptr},
    {"collection_info", collection_info, METH_VARARGS, nullptr},
    {"delete_collection", delete_collection, METH_VARARGS, nullptr},
    {"list_collections", list_collections, METH_NOARGS, nullptr},
    {"close", close_database, METH_NOARGS, nullptr},
    {"add", core_add, METH_VARARGS, nullptr},
    {"search", core_search, METH_VARARGS, nullptr},
    {"get", core_get, METH_VARARGS, nullptr},
    {"delete", core_delete, METH_VARARGS, nullptr},
    {"list_ids", core_list_ids, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"path", get_path, nullptr, nullptr, nullptr},
    {"format", get_format, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type() {
  PyTypeObject type{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = "orvane._core.Database";
  type.tp_basicsize = sizeof(CoreDatabaseObject);
  type.tp_dealloc = database_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_methods = kMethods;
  type.tp_getset = kGetters;
  type.tp_new = database_new;
  type.tp_doc = "Database(path, synchronous='normal', classic=False)\n--\n\n"
                "The engine handle behind orvane.connect().";
  return type;
}

}  // namespace

bool init_core_database_type() { return PyType_Ready(core_database_type()) == 0; }

PyTypeObject* core_database_type() {
  static PyTypeObject type = make_type();
  return &type;
}

}  // namespace orvane::binding
