#include "package_module/triplet_tally.hpp"

#include <cstdint>
#include <span>
#include <string>

#include "boundary/numpy_headers.hpp"
#include "occupancy/triplet_table.hpp"

namespace brenvox {

namespace {

using occupancy::TallyProgress;
using occupancy::TripletTable;

PyArrayObject* plain_array(PyObject* object, int type, int n_dimensions) {
  if (!PyArray_Check(object)) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const bool plain = PyArray_TYPE(array) == type && PyArray_NDIM(array) == n_dimensions &&
                     PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) &&
                     PyArray_ISNOTSWAPPED(array);
  return plain ? array : nullptr;
}

PyResult<PyArrayObject*> rows_argument(PyObject* object) {
  PyArrayObject* rows = plain_array(object, NPY_UINT32, 2);
  if (rows == nullptr || PyArray_DIM(rows, 1) != 4) {
    return PyError(PyExc_TypeError,
                   "rows must be a C-contiguous uint32 array of shape (n_rows, 4)");
  }
  return rows;
}

PyResult<PyArrayObject*> int64_vector(PyObject* object, const char* name) {
  PyArrayObject* vector = plain_array(object, NPY_INT64, 1);
  if (vector == nullptr) {
    return PyError(PyExc_TypeError,
                   std::string(name) + " must be a C-contiguous int64 array of one dimension");
  }
  return vector;
}

std::span<const std::int64_t> int64_span(PyArrayObject* vector) {
  return {static_cast<const std::int64_t*>(PyArray_DATA(vector)),
          static_cast<std::size_t>(PyArray_DIM(vector, 0))};
}

// The writeable (capacity, 2) int64 table of keys and counts, capacity a power of two.
PyResult<TripletTable> table_argument(PyObject* object, Py_ssize_t used) {
  PyArrayObject* table = plain_array(object, NPY_INT64, 2);
  if (table == nullptr || PyArray_DIM(table, 1) != 2 || !PyArray_ISWRITEABLE(table) ||
      !occupancy::is_power_of_two(static_cast<std::uint64_t>(PyArray_DIM(table, 0)))) {
    return PyError(PyExc_TypeError,
                   "table must be a writeable C-contiguous int64 array of shape (capacity, 2), "
                   "capacity a power of two");
  }
  const npy_intp capacity = PyArray_DIM(table, 0);
  if (used < 0 || used > capacity) {
    return PyError(PyExc_ValueError, "used must be between 0 and the table's capacity");
  }
  return TripletTable{static_cast<std::int64_t*>(PyArray_DATA(table)),
                      static_cast<std::uint64_t>(capacity), static_cast<std::uint64_t>(used)};
}

PyResult<PyRef> progress_tuple(const TallyProgress& progress, const TripletTable& table,
                               const char* fault) {
  if (progress.bad_row) {
    return PyError(PyExc_ValueError, "entry " + std::to_string(progress.consumed) + fault);
  }
  PyRef result(Py_BuildValue("(KK)", static_cast<unsigned long long>(progress.consumed),
                             static_cast<unsigned long long>(table.used)));
  if (!result) return PyError::fetch_raised();
  return result;
}

}  // namespace

PyResult<PyRef> tally_rows_body(PyObject* args) {
  PyObject *rows_object, *pairs_object, *acceptors_object, *table_object;
  Py_ssize_t used;
  if (!PyArg_ParseTuple(args, "OOOOn:tally_rows", &rows_object, &pairs_object, &acceptors_object,
                        &table_object, &used)) {
    return PyError::fetch_raised();
  }
  ensure_numpy_api();
  PyResult<PyArrayObject*> rows = rows_argument(rows_object);
  if (!rows.ok()) return std::move(rows.error());
  PyResult<PyArrayObject*> pairs = int64_vector(pairs_object, "pair_of_hydrogen");
  if (!pairs.ok()) return std::move(pairs.error());
  PyResult<PyArrayObject*> acceptors = int64_vector(acceptors_object, "acceptor_position");
  if (!acceptors.ok()) return std::move(acceptors.error());
  PyResult<TripletTable> table = table_argument(table_object, used);
  if (!table.ok()) return std::move(table.error());

  // The arguments' references are held by the call's tuple, so their buffers outlive it.
  const occupancy::SiteLookup sites{int64_span(pairs.value()), int64_span(acceptors.value())};
  const auto* data = static_cast<const std::uint32_t*>(PyArray_DATA(rows.value()));
  const auto n_rows = static_cast<std::uint64_t>(PyArray_DIM(rows.value(), 0));
  TallyProgress progress;
  Py_BEGIN_ALLOW_THREADS progress = occupancy::tally_rows(data, n_rows, sites, table.value());
  Py_END_ALLOW_THREADS return progress_tuple(
      progress, table.value(), " of rows has a hydrogen or acceptor that is not a site");
}

PyResult<PyRef> tally_keys_body(PyObject* args) {
  PyObject *new_keys_object, *new_counts_object, *table_object;
  Py_ssize_t used;
  if (!PyArg_ParseTuple(args, "OOOn:tally_keys", &new_keys_object, &new_counts_object,
                        &table_object, &used)) {
    return PyError::fetch_raised();
  }
  ensure_numpy_api();
  PyResult<PyArrayObject*> new_keys = int64_vector(new_keys_object, "new_keys");
  if (!new_keys.ok()) return std::move(new_keys.error());
  PyResult<PyArrayObject*> new_counts = int64_vector(new_counts_object, "new_counts");
  if (!new_counts.ok()) return std::move(new_counts.error());
  if (PyArray_DIM(new_keys.value(), 0) != PyArray_DIM(new_counts.value(), 0)) {
    return PyError(PyExc_ValueError, "new_keys and new_counts must have one length");
  }
  PyResult<TripletTable> table = table_argument(table_object, used);
  if (!table.ok()) return std::move(table.error());

  const auto n = static_cast<std::uint64_t>(PyArray_DIM(new_keys.value(), 0));
  const auto* keys = static_cast<const std::int64_t*>(PyArray_DATA(new_keys.value()));
  const auto* counts = static_cast<const std::int64_t*>(PyArray_DATA(new_counts.value()));
  TallyProgress progress;
  Py_BEGIN_ALLOW_THREADS progress = occupancy::tally_keys(keys, counts, n, table.value());
  Py_END_ALLOW_THREADS return progress_tuple(progress, table.value(), " of new_keys is negative");
}

PyResult<PyRef> count_frames_body(PyObject* args) {
  PyObject* rows_object;
  Py_ssize_t n_frames;
  if (!PyArg_ParseTuple(args, "On:count_frames", &rows_object, &n_frames)) {
    return PyError::fetch_raised();
  }
  ensure_numpy_api();
  PyResult<PyArrayObject*> rows = rows_argument(rows_object);
  if (!rows.ok()) return std::move(rows.error());
  if (n_frames < 0) return PyError(PyExc_ValueError, "n_frames must not be negative");
  npy_intp dims[1] = {n_frames};
  PyRef counts(PyArray_ZEROS(1, dims, NPY_INT64, 0));
  if (!counts) return PyError::fetch_raised();
  auto* counts_array = reinterpret_cast<PyArrayObject*>(counts.get());
  bool in_range = false;
  Py_BEGIN_ALLOW_THREADS in_range = occupancy::count_frames(
      static_cast<const std::uint32_t*>(PyArray_DATA(rows.value())),
      static_cast<std::uint64_t>(PyArray_DIM(rows.value(), 0)),
      static_cast<std::int64_t*>(PyArray_DATA(counts_array)), static_cast<std::uint64_t>(n_frames));
  Py_END_ALLOW_THREADS if (!in_range) {
    return PyError(PyExc_ValueError, "rows hold a frame beyond n_frames");
  }
  return counts;
}

}  // namespace brenvox
