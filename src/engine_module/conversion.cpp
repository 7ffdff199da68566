#include "engine_module/conversion.hpp"

#include <unistd.h>

#include <cstdint>
#include <string>

#include "boundary/numpy_headers.hpp"
#include "engine_module/argument_errors.hpp"
#include "engine_module/interface_texts.hpp"
#include "kernel/failure_texts.hpp"
#include "kernel/internal_failure.hpp"

namespace brenvox {

namespace {

PyResult<std::uint64_t> u64_from_int(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return PyError::fetch_raised();
  }
  return std::uint64_t{value};
}

// Calls `append(item)` for every item of a sequence, in iteration order; stops at the first
// error that `append` returns.
template <typename Append>
PyStatus for_each_item(PyObject* sequence, Append&& append) {
  // Exact lists and tuples are walked by index, as their iterators would walk them.
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
    const bool is_list = PyList_CheckExact(sequence);
    for (Py_ssize_t i = 0;; ++i) {
      const Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
      if (i >= size) return {};
      PyRef item =
          PyRef::borrow(is_list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i));
      if (PyStatus appended = append(item.get()); !appended.ok()) return appended;
    }
  }
  PyRef iterator(PyObject_GetIter(sequence));
  if (!iterator) return PyError::fetch_raised();
  for (;;) {
    PyRef item(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return PyError::fetch_raised();
      return {};
    }
    if (PyStatus appended = append(item.get()); !appended.ok()) return appended;
  }
}

std::uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return std::uint64_t(pages) * std::uint64_t(page_size);
}

// The checks that come before iteration, and the list sized by the length hint.
template <typename List>
PyStatus prepare_list(PyObject* object, List& list) {
  if (PyUnicode_Check(object)) return PyError(PyExc_TypeError, texts::kStrToVec);
  if (!PySequence_Check(object)) return cannot_convert(object, texts::kSequenceTarget);
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    // Only a hint: an ordinary failure is dropped, but an interrupt or exit request is not.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return PyError::fetch_raised();
    PyErr_Clear();
    hint = 0;
  }
  using Element = typename List::value_type;
  if (std::uint64_t(hint) >= (std::uint64_t{1} << 63) / sizeof(Element)) {
    throw InternalFailure(texts::kCapacityOverflow);
  }
  // A length hint is only a hint: room beyond the machine's memory is not even asked for, and
  // if the room cannot be had, the list grows as the items arrive.
  if (std::uint64_t(hint) * sizeof(Element) > physical_memory_bytes()) return {};
  try {
    list.reserve(static_cast<std::size_t>(hint));
  } catch (const std::bad_alloc&) {
  }
  return {};
}

}  // namespace

PyResult<CoordinateArray> extract_coordinate_array(PyObject* object) {
  if (PyStatus checked = check_coordinate_array(object); !checked.ok()) {
    return std::move(checked.error());
  }
  return CoordinateArray(PyRef::borrow(object));
}

PyResult<std::uint64_t> extract_u64(PyObject* object) {
  if (PyLong_Check(object)) return u64_from_int(object);
  PyRef index(PyNumber_Index(object));
  if (!index) return PyError::fetch_raised();
  return u64_from_int(index.get());
}

PyResult<AcceptorList> extract_acceptor_list(PyObject* object) {
  AcceptorList list;
  if (PyStatus prepared = prepare_list(object, list); !prepared.ok()) {
    return std::move(prepared.error());
  }
  PyStatus filled = for_each_item(object, [&](PyObject* item) -> PyStatus {
    PyResult<std::uint64_t> index = extract_u64(item);
    if (!index.ok()) return std::move(index.error());
    list.push_back(index.value());
    return {};
  });
  if (!filled.ok()) return std::move(filled.error());
  return list;
}

PyResult<PairList> extract_pair_list(PyObject* object) {
  PairList list;
  if (PyStatus prepared = prepare_list(object, list); !prepared.ok()) {
    return std::move(prepared.error());
  }
  PyStatus filled = for_each_item(object, [&](PyObject* item) -> PyStatus {
    if (!PyTuple_Check(item)) return cannot_convert(item, texts::kTupleTarget);
    const Py_ssize_t length = PyTuple_GET_SIZE(item);
    if (length != 2) {
      return PyError(PyExc_ValueError, texts::kPairLength + std::to_string(length));
    }
    PyResult<std::uint64_t> donor = extract_u64(PyTuple_GET_ITEM(item, 0));
    if (!donor.ok()) return std::move(donor.error());
    PyResult<std::uint64_t> hydrogen = extract_u64(PyTuple_GET_ITEM(item, 1));
    if (!hydrogen.ok()) return std::move(hydrogen.error());
    list.push_back(Pair{donor.value(), hydrogen.value()});
    return {};
  });
  if (!filled.ok()) return std::move(filled.error());
  return list;
}

PyResult<SearchArguments> convert_search_arguments(PyObject* const* slots) {
  PyResult<CoordinateArray> xyz = extract_coordinate_array(slots[0]);
  if (!xyz.ok()) return argument_extraction_error("xyz_flat", std::move(xyz.error()));
  PyResult<std::uint64_t> n_frames = extract_u64(slots[1]);
  if (!n_frames.ok()) return argument_extraction_error("n_frames", std::move(n_frames.error()));
  PyResult<std::uint64_t> n_atoms = extract_u64(slots[2]);
  if (!n_atoms.ok()) return argument_extraction_error("n_atoms", std::move(n_atoms.error()));
  PyResult<PairList> pairs = extract_pair_list(slots[3]);
  if (!pairs.ok()) return argument_extraction_error("donor_h_pairs", std::move(pairs.error()));
  PyResult<AcceptorList> acceptors = extract_acceptor_list(slots[4]);
  if (!acceptors.ok())
    return argument_extraction_error("acceptor_indices", std::move(acceptors.error()));
  return SearchArguments{std::move(xyz.value()), n_frames.value(), n_atoms.value(),
                         std::move(pairs.value()), std::move(acceptors.value())};
}

}  // namespace brenvox
