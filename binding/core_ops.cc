// The collection operations of orvane._core.Database: add, search, get,
// delete. Arguments come positionally from orvane's Python layer, which has
// already turned ids into a list of str and metadata and filters into JSON
// text.
#include <Python.h>

#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "binding/core_arrays.h"
#include "binding/core_database.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "engine/filter.h"

namespace orvane::binding {
namespace {

PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A list of str (None for an absent list) as UTF-8 strings.
bool to_texts(PyObject* list, const char* what, std::vector<std::string>& out) {
  if (list == Py_None) return true;
  if (!PyList_Check(list)) {
    raise_type_error(std::string(what) + " must be a list of str");
    return false;
  }
  const Py_ssize_t n = PyList_GET_SIZE(list);
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (!PyUnicode_Check(item)) {
      raise_type_error(std::string(what) + " must be str, not " + Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) return false;
    out.emplace_back(data, static_cast<std::size_t>(size));
  }
  return true;
}

// A list of str-or-None (None for an absent list).
bool to_optional_texts(PyObject* list, std::vector<std::optional<std::string>>& out) {
  if (list == Py_None) return true;
  if (!PyList_Check(list)) {
    raise_type_error("metadata must be a list");
    return false;
  }
  const Py_ssize_t n = PyList_GET_SIZE(list);
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (item == Py_None) {
      out.emplace_back();
      continue;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) return false;
    out.emplace_back(std::string(data, static_cast<std::size_t>(size)));
  }
  return true;
}

std::optional<engine::Filter> to_filter(PyObject* filter_json) {
  if (filter_json == Py_None) return engine::Filter();
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(filter_json, &size);
  if (data == nullptr) return std::nullopt;
  auto parsed = engine::Filter::parse(std::string_view(data, static_cast<std::size_t>(size)));
  if (!parsed) {
    raise_typed_error(parsed.error());
    return std::nullopt;
  }
  return std::move(*parsed);
}

PyObject* optional_texts(const std::vector<std::optional<std::string>>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = items[i] ? text(*items[i]) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* texts(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = text(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

// add(name, vectors, ids: list[str] | None, metadata: list[str | None] | None, upsert: bool)
PyObject* core_add(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* name = nullptr;
    PyObject* vectors = nullptr;
    PyObject* id_list = nullptr;
    PyObject* metadata_list = nullptr;
    int upsert = 0;
    if (!PyArg_ParseTuple(args, "sOOOp", &name, &vectors, &id_list, &metadata_list, &upsert)) {
      return nullptr;
    }
    std::optional<FloatRows> rows = to_float_rows(vectors, "vectors");
    if (!rows) return nullptr;
    std::vector<std::string> ids;
    std::vector<std::optional<std::string>> metadata;
    if (!to_texts(id_list, "ids", ids) || !to_optional_texts(metadata_list, metadata)) {
      return nullptr;
    }
    const std::string name_text = name;
    const std::span<const float> data(rows->data, rows->rows * rows->cols);
    auto added = without_gil([&] {
      return core_database(self).add(name_text, data, rows->rows, ids, metadata,
                                     upsert ? engine::WriteMode::Upsert : engine::WriteMode::Add);
    });
    if (!added) {
      raise_typed_error(added.error());
      return nullptr;
    }
    return texts(*added);
  });
}

// search(name, queries, k, filter_json | None, ef, threads, include_metadata)
//   -> (one_row, counts int64[nq], ids object[nq, k], scores float32[nq, k],
//       metadata object[nq, k] | None); unused places hold None and +inf.
PyObject* core_search(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* name = nullptr;
    PyObject* queries = nullptr;
    unsigned long long k = 0;
    PyObject* filter_json = nullptr;
    unsigned int ef = 0;
    unsigned int threads = 0;
    int include_metadata = 0;
    if (!PyArg_ParseTuple(args, "sOKOIIp", &name, &queries, &k, &filter_json, &ef, &threads,
                          &include_metadata)) {
      return nullptr;
    }
    std::optional<FloatRows> rows = to_float_rows(queries, "queries");
    if (!rows) return nullptr;
    std::optional<engine::Filter> filter = to_filter(filter_json);
    if (!filter) return nullptr;
    const engine::Filter* filter_ptr = filter_json == Py_None ? nullptr : &*filter;
    const std::string name_text = name;
    const std::span<const float> data(rows->data, rows->rows * rows->cols);
    auto found = without_gil([&] {
      return core_database(self).search_batch(name_text, data, rows->rows, k, filter_ptr, ef,
                                              threads, include_metadata != 0);
    });
    if (!found) {
      raise_typed_error(found.error());
      return nullptr;
    }
    engine::BatchSearchResult& r = *found;
    const std::uint64_t nq = rows->rows;
    const std::uint64_t width = r.k;
    auto used = [&](std::uint64_t i) { return i % width < r.counts[i / width]; };
    if (r.counts.size() != nq || r.ids.size() < nq * width || r.scores.size() < nq * width ||
        (include_metadata && r.metadata.size() < nq * width)) {
      raise_typed_error(engine::EngineError::internal("search results of the wrong shape"));
      return nullptr;
    }
    r.scores.resize(nq * width);
    for (std::uint64_t i = 0; i < nq * width; ++i) {
      if (!used(i)) r.scores[i] = std::numeric_limits<float>::infinity();
    }
    PyRef counts = PyRef::steal(int_array(r.counts));
    PyRef ids = PyRef::steal(object_array(nq, width, [&](std::uint64_t i) {
      return used(i) ? text(r.ids[i]) : Py_NewRef(Py_None);
    }));
    PyRef scores = PyRef::steal(float_array(std::move(r.scores), nq, width));
    PyRef metadata = PyRef::borrow(Py_None);
    if (include_metadata) {
      metadata = PyRef::steal(object_array(nq, width, [&](std::uint64_t i) {
        return used(i) && r.metadata[i] ? text(*r.metadata[i]) : Py_NewRef(Py_None);
      }));
    }
    if (!counts || !ids || !scores || !metadata) return nullptr;
    return Py_BuildValue("(ONNNN)", rows->one_row ? Py_True : Py_False, counts.release(),
                         ids.release(), scores.release(), metadata.release());
  });
}

// get(name, ids: list[str], include_vectors) -> (ids, float32[n, dim] | None, metadata)
PyObject* core_get(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* name = nullptr;
    PyObject* id_list = nullptr;
    int include_vectors = 0;
    if (!PyArg_ParseTuple(args, "sOp", &name, &id_list, &include_vectors)) return nullptr;
    std::vector<std::string> ids;
    if (!to_texts(id_list, "ids", ids)) return nullptr;
    const std::string name_text = name;
    auto got = without_gil(
        [&] { return core_database(self).get(name_text, ids, include_vectors != 0); });
    if (!got) {
      raise_typed_error(got.error());
      return nullptr;
    }
    const std::uint64_t n = got->ids.size();
    PyRef vectors = PyRef::borrow(Py_None);
    if (include_vectors) {
      const std::uint64_t dim = n == 0 ? 0 : got->vectors.size() / n;
      vectors = PyRef::steal(float_array(std::move(got->vectors), n, dim));
    }
    PyRef found = PyRef::steal(texts(got->ids));
    PyRef metadata = PyRef::steal(optional_texts(got->metadata));
    if (!found || !vectors || !metadata) return nullptr;
    return Py_BuildValue("(NNN)", found.release(), vectors.release(), metadata.release());
  });
}

// delete(name, ids: list[str] | None, filter_json | None) -> number deleted
PyObject* core_delete(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* name = nullptr;
    PyObject* id_list = nullptr;
    PyObject* filter_json = nullptr;
    if (!PyArg_ParseTuple(args, "sOO", &name, &id_list, &filter_json)) return nullptr;
    std::vector<std::string> ids;
    if (!to_texts(id_list, "ids", ids)) return nullptr;
    std::optional<engine::Filter> filter = to_filter(filter_json);
    if (!filter) return nullptr;
    const engine::Filter* filter_ptr = filter_json == Py_None ? nullptr : &*filter;
    const std::string name_text = name;
    auto removed =
        without_gil([&] { return core_database(self).remove_batch(name_text, ids, filter_ptr); });
    if (!removed) {
      raise_typed_error(removed.error());
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(*removed);
  });
}

// list_ids(name) -> every live id, in slot order
PyObject* core_list_ids(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    const std::string name_text = name;
    auto ids = without_gil([&] { return core_database(self).list_ids(name_text); });
    if (!ids) {
      raise_typed_error(ids.error());
      return nullptr;
    }
    return texts(*ids);
  });
}

}  // namespace orvane::binding
