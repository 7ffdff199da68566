#include "package_module/row_text.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "boundary/numpy_headers.hpp"
#include "table_text/row_text.hpp"

namespace brenvox {

namespace {

using table_text::Column;

PyArrayObject* plain_vector(PyObject* object, int type) {
  if (!PyArray_Check(object)) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const bool plain = PyArray_TYPE(array) == type && PyArray_NDIM(array) == 1 &&
                     PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) &&
                     PyArray_ISNOTSWAPPED(array);
  return plain ? array : nullptr;
}

PyError bad_column() {
  return PyError(PyExc_TypeError,
                 "each column must be ('number', field), ('text', field, bytes, int64 starts) or "
                 "('real', float64 values), field from 0 to 3");
}

PyResult<Column> read_column(PyObject* item) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < 2) return bad_column();
  const char* kind = PyUnicode_Check(PyTuple_GET_ITEM(item, 0))
                         ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 0))
                         : nullptr;
  if (kind == nullptr) {
    PyErr_Clear();
    return bad_column();
  }
  const std::string_view name(kind);
  if (name == "real") {
    PyArrayObject* reals = plain_vector(PyTuple_GET_ITEM(item, 1), NPY_FLOAT64);
    if (reals == nullptr || PyTuple_GET_SIZE(item) != 2) return bad_column();
    return Column{Column::Kind::real,
                  0,
                  {},
                  {static_cast<const double*>(PyArray_DATA(reals)),
                   static_cast<std::size_t>(PyArray_DIM(reals, 0))}};
  }
  const long field =
      PyLong_Check(PyTuple_GET_ITEM(item, 1)) ? PyLong_AsLong(PyTuple_GET_ITEM(item, 1)) : -1;
  if (field < 0 || field > 3) {
    PyErr_Clear();
    return bad_column();
  }
  if (name == "number" && PyTuple_GET_SIZE(item) == 2) {
    return Column{Column::Kind::number, int(field)};
  }
  if (name != "text" || PyTuple_GET_SIZE(item) != 4 || !PyBytes_Check(PyTuple_GET_ITEM(item, 2))) {
    return bad_column();
  }
  PyObject* blob = PyTuple_GET_ITEM(item, 2);
  PyArrayObject* starts = plain_vector(PyTuple_GET_ITEM(item, 3), NPY_INT64);
  if (starts == nullptr) return bad_column();
  return Column{Column::Kind::text,
                int(field),
                {std::string_view(PyBytes_AS_STRING(blob), std::size_t(PyBytes_GET_SIZE(blob))),
                 {static_cast<const std::int64_t*>(PyArray_DATA(starts)),
                  static_cast<std::size_t>(PyArray_DIM(starts, 0))}}};
}

}  // namespace

PyResult<PyRef> format_rows_body(PyObject* args) {
  PyObject *rows_object, *columns_object;
  if (!PyArg_ParseTuple(args, "OO!:format_rows", &rows_object, &PyList_Type, &columns_object)) {
    return PyError::fetch_raised();
  }
  ensure_numpy_api();
  if (!PyArray_Check(rows_object)) {
    return PyError(PyExc_TypeError,
                   "rows must be a C-contiguous uint32 array of shape (n_rows, 4)");
  }
  auto* rows = reinterpret_cast<PyArrayObject*>(rows_object);
  if (PyArray_TYPE(rows) != NPY_UINT32 || PyArray_NDIM(rows) != 2 || PyArray_DIM(rows, 1) != 4 ||
      !PyArray_IS_C_CONTIGUOUS(rows) || !PyArray_ISALIGNED(rows) || !PyArray_ISNOTSWAPPED(rows)) {
    return PyError(PyExc_TypeError,
                   "rows must be a C-contiguous uint32 array of shape (n_rows, 4)");
  }
  // The list's items and their arrays are held by the list, which the call's tuple holds; the
  // list itself is copied first, as code run while the lock is released could change it.
  PyRef items(PySequence_Tuple(columns_object));
  if (!items) return PyError::fetch_raised();
  std::vector<Column> columns;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyResult<Column> column = read_column(PyTuple_GET_ITEM(items.get(), i));
    if (!column.ok()) return std::move(column.error());
    columns.push_back(column.value());
  }
  std::string text;
  bool formatted = false;
  Py_BEGIN_ALLOW_THREADS formatted =
      table_text::append_rows(static_cast<const std::uint32_t*>(PyArray_DATA(rows)),
                              static_cast<std::uint64_t>(PyArray_DIM(rows, 0)), columns, text);
  Py_END_ALLOW_THREADS if (!formatted) {
    return PyError(PyExc_ValueError,
                   "a row's number is outside its column's texts, or a column of reals is short");
  }
  PyRef bytes(PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
  if (!bytes) return PyError::fetch_raised();
  return bytes;
}

}  // namespace brenvox
