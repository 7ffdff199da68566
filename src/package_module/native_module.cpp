// brenvox_hbond._native: the array-native search behind brenvox_hbond.find_hbonds. The Python
// layer shapes the arguments; this entry checks them again, since nothing it reads may be
// trusted, then searches with the interpreter lock released.

#include <Python.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "boundary/errors.hpp"
#include "boundary/numpy_headers.hpp"
#include "boundary/result_array.hpp"
#include "kernel/trajectory/search.hpp"
#include "parallel/trajectory_threads.hpp"
#include "parallel/worker_pool.hpp"

namespace brenvox {
namespace {

// Images carry their acceptor's list position and grid entries their index in 32 bits; each
// acceptor can have up to 27 images, each entered three times.
constexpr std::uint64_t kMaxAcceptors = (std::uint64_t{1} << 32) / 96;
constexpr std::uint64_t kMaxPairs = std::uint64_t{1} << 32;
// Row indices are uint32.
constexpr std::uint64_t kMaxIndexCount = std::uint64_t{1} << 32;

PyArrayObject* as_array(PyObject* object) {
  return reinterpret_cast<PyArrayObject*>(object);
}

bool is_plain_array(PyObject* object, int type, int ndim) {
  if (!PyArray_Check(object)) return false;
  PyArrayObject* array = as_array(object);
  return PyArray_TYPE(array) == type && PyArray_NDIM(array) == ndim &&
         PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) && PyArray_ISNOTSWAPPED(array);
}

PyObject* raise(PyObject* type, const std::string& message) {
  return PyError(type, message).raise();
}

std::string range_text(std::uint64_t n_atoms) {
  return " is outside the 0.." + std::to_string(static_cast<std::int64_t>(n_atoms) - 1) +
         " range of atom indices";
}

// Fails with an IndexError naming the first index outside 0 ... n_atoms - 1, if there is one.
PyStatus check_indices_in_range(std::span<const std::int64_t> pair_atoms,
                                std::span<const std::int64_t> acceptors, std::uint64_t n_atoms) {
  const auto outside = [n_atoms](std::int64_t index) {
    return index < 0 || static_cast<std::uint64_t>(index) >= n_atoms;
  };
  for (std::size_t i = 0; i < pair_atoms.size(); ++i) {
    if (outside(pair_atoms[i])) {
      return PyError(PyExc_IndexError,
                     "donor_h_pairs[" + std::to_string(i / 2) + "][" + std::to_string(i % 2) +
                         "] = " + std::to_string(pair_atoms[i]) + range_text(n_atoms));
    }
  }
  for (std::size_t i = 0; i < acceptors.size(); ++i) {
    if (outside(acceptors[i])) {
      return PyError(PyExc_IndexError, "acceptors[" + std::to_string(i) + "] = " +
                                           std::to_string(acceptors[i]) + range_text(n_atoms));
    }
  }
  return {};
}

// Keeps the coordinates' memory where it is while the search reads it without the lock: NumPy
// refuses to resize an array that has a weak reference (buffer exports do not stop it), and an
// exporter at the end of the chain of bases (an mmap, a bytearray) refuses to close or move
// memory while it is exported. Every array in the chain is pinned, as resizing the owner of a
// view frees the view's memory.
class PinnedMemory {
 public:
  PinnedMemory() = default;
  PinnedMemory(const PinnedMemory&) = delete;
  PinnedMemory& operator=(const PinnedMemory&) = delete;
  ~PinnedMemory() {
    if (exported_) PyBuffer_Release(&view_);
  }

  PyStatus pin(PyObject* object) {
    for (; object != nullptr && PyArray_Check(object); object = PyArray_BASE(as_array(object))) {
      PyRef weak(PyWeakref_NewRef(object, nullptr));
      if (!weak) return PyError::fetch_raised();
      weak_references_.push_back(std::move(weak));
    }
    if (object != nullptr) {
      exported_ = PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) == 0;
      if (!exported_) {
        // Not an exporter: nothing of it can move. Anything else (memory, an interrupt) stops.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_BufferError)) {
          return PyError::fetch_raised();
        }
        PyErr_Clear();
      }
    }
    return {};
  }

 private:
  std::vector<PyRef> weak_references_;
  Py_buffer view_{};
  bool exported_ = false;
};

// The indices of a checked int64 array, copied, since the search must not read the caller's
// array: another thread may change or free it while the lock is released. The copy is what is
// checked, in the same pass.
struct IndexCopy {
  std::unique_ptr<std::int64_t[]> values;
  std::size_t size;
  bool in_range;  // every index in 0 ... n_atoms - 1

  std::span<const std::int64_t> span() const { return {values.get(), size}; }
};

IndexCopy copy_indices(PyObject* array, std::uint64_t n_atoms) {
  const auto* source = static_cast<const std::int64_t*>(PyArray_DATA(as_array(array)));
  const auto size = static_cast<std::size_t>(PyArray_SIZE(as_array(array)));
  IndexCopy copy{std::make_unique_for_overwrite<std::int64_t[]>(size), size, true};
  bool outside = false;
  for (std::size_t i = 0; i < size; ++i) {
    const std::int64_t index = source[i];
    copy.values[i] = index;
    outside |= static_cast<std::uint64_t>(index) >= n_atoms;  // negative ones too
  }
  copy.in_range = !outside;
  return copy;
}

// The shortest text that reads back as `value`, whole numbers with ".0" as Python writes them.
std::string number_text(double value) {
  char text[32];
  const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
  std::string number(text, written.ptr);
  if (number.find_first_not_of("-0123456789") == std::string::npos) number += ".0";
  return number;
}

std::string box_problem_text(BoxProblem problem, const double* rows) {
  switch (problem) {
    case BoxProblem::NotFinite: return " is not finite";
    case BoxProblem::Degenerate: return " is degenerate: its vectors span no volume";
    case BoxProblem::TooLarge:
    case BoxProblem::TooSmall: break;
  }
  double longest = 0.0;
  for (int i = 0; i < 3; ++i) {
    longest = std::fmax(longest, std::hypot(rows[3 * i], rows[3 * i + 1], rows[3 * i + 2]));
  }
  return std::string(" cannot be used: computing with its volume ") +
         (problem == BoxProblem::TooLarge ? "overflows" : "underflows") +
         " double precision (longest edge " + number_text(longest) +
         "); check that the box is in the coordinates' unit (nm for the default cut-off)";
}

// Every box, checked: finite, not flat, and wide enough that at most one image of an acceptor
// can be within the cut-off of a hydrogen.
PyStatus read_boxes(PyArrayObject* array, double distance_cutoff, std::vector<PeriodicBox>& boxes) {
  const auto* rows = static_cast<const double*>(PyArray_DATA(array));
  const npy_intp n_boxes = PyArray_DIM(array, 0);
  boxes.reserve(static_cast<std::size_t>(n_boxes));
  for (npy_intp f = 0; f < n_boxes; ++f) {
    BoxProblem problem{};
    std::optional<PeriodicBox> box = make_periodic_box(rows + 9 * f, problem);
    if (!box) {
      return PyError(PyExc_ValueError,
                     "box of frame " + std::to_string(f) + box_problem_text(problem, rows + 9 * f));
    }
    const double limit = 0.5 * box->min_width;
    if (!(distance_cutoff < limit)) {
      return PyError(PyExc_ValueError, "distance_cutoff " + number_text(distance_cutoff) +
                                           " must be below " + number_text(limit) +
                                           ", half the smallest perpendicular width of the box (" +
                                           number_text(box->min_width) + " in frame " +
                                           std::to_string(f) + ")");
    }
    boxes.push_back(*box);
  }
  return {};
}

// Runs the search with the interpreter lock released; a C++ exception is carried across and
// rethrown with the lock held again.
BondBuffer run_unlocked(const TrajectorySearch& search, WorkerPool* pool) {
  BondBuffer bonds;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS try {
    bonds = pool != nullptr ? search_trajectory_threaded(*pool, search) : search_trajectory(search);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
  return bonds;
}

PyObject* find_hbonds(PyObject*, PyObject* args) {
  return call_guarded([&]() -> PyObject* {
    PyObject *xyz, *pairs, *acceptors, *box;
    double distance_cutoff, angle_cutoff;
    Py_ssize_t n_threads;
    if (!PyArg_ParseTuple(args, "OOOOddn:find_hbonds", &xyz, &pairs, &acceptors, &box,
                          &distance_cutoff, &angle_cutoff, &n_threads)) {
      return nullptr;
    }
    ensure_numpy_api();
    // Pinned before anything of it is read: an exporter's code may run here.
    PinnedMemory pinned;
    if (PyArray_Check(xyz)) {
      if (PyStatus status = pinned.pin(xyz); !status.ok()) return status.error().raise();
    }
    if (!is_plain_array(xyz, NPY_FLOAT64, 3) && !is_plain_array(xyz, NPY_FLOAT32, 3)) {
      return raise(PyExc_TypeError,
                   "xyz must be a C-contiguous, aligned float32 or float64 array in native byte "
                   "order");
    }
    PyArrayObject* coordinates = as_array(xyz);
    if (PyArray_DIM(coordinates, 2) != 3) {
      return raise(PyExc_ValueError, "xyz must have shape (n_frames, n_atoms, 3)");
    }
    if (!is_plain_array(pairs, NPY_INT64, 2) || PyArray_DIM(as_array(pairs), 1) != 2) {
      return raise(PyExc_TypeError,
                   "donor_h_pairs must be a C-contiguous int64 array of shape (n_pairs, 2)");
    }
    if (!is_plain_array(acceptors, NPY_INT64, 1)) {
      return raise(PyExc_TypeError,
                   "acceptors must be a C-contiguous int64 array of shape (n_acceptors,)");
    }
    const auto n_frames = static_cast<std::uint64_t>(PyArray_DIM(coordinates, 0));
    const auto n_atoms = static_cast<std::uint64_t>(PyArray_DIM(coordinates, 1));
    const bool periodic = box != Py_None;
    if (periodic && (!is_plain_array(box, NPY_FLOAT64, 3) || PyArray_DIM(as_array(box), 1) != 3 ||
                     PyArray_DIM(as_array(box), 2) != 3 ||
                     (PyArray_DIM(as_array(box), 0) != 1 &&
                      static_cast<std::uint64_t>(PyArray_DIM(as_array(box), 0)) != n_frames))) {
      return raise(PyExc_TypeError,
                   "box must be None or a C-contiguous float64 array of shape (1, 3, 3) or "
                   "(n_frames, 3, 3)");
    }
    if (!(distance_cutoff > 0.0) || !std::isfinite(distance_cutoff)) {
      return raise(PyExc_ValueError, "distance_cutoff must be a positive finite number");
    }
    if (!(angle_cutoff >= 0.0 && angle_cutoff <= 180.0)) {
      return raise(PyExc_ValueError, "angle_cutoff must be between 0 and 180 degrees");
    }
    if (n_threads < 1) return raise(PyExc_ValueError, "n_threads must be at least 1");
    if (n_frames > kMaxIndexCount || n_atoms > kMaxIndexCount) {
      return raise(PyExc_OverflowError,
                   "result rows hold uint32 indices: at most 4294967296 frames and atoms");
    }

    if (static_cast<std::uint64_t>(PyArray_DIM(as_array(pairs), 0)) >= kMaxPairs ||
        static_cast<std::uint64_t>(PyArray_DIM(as_array(acceptors), 0)) >= kMaxAcceptors) {
      return raise(PyExc_ValueError, "too many pairs or acceptors for one search (at most " +
                                         std::to_string(kMaxPairs - 1) + " pairs and " +
                                         std::to_string(kMaxAcceptors - 1) + " acceptors)");
    }
    const IndexCopy pair_atoms = copy_indices(pairs, n_atoms);
    const IndexCopy acceptor_atoms = copy_indices(acceptors, n_atoms);
    if (!pair_atoms.in_range || !acceptor_atoms.in_range) {
      return check_indices_in_range(pair_atoms.span(), acceptor_atoms.span(), n_atoms)
          .error()
          .raise();
    }
    std::vector<PeriodicBox> boxes;
    if (periodic) {
      if (PyStatus read = read_boxes(as_array(box), distance_cutoff, boxes); !read.ok()) {
        return read.error().raise();
      }
    }

    const TrajectorySearch search{PyArray_DATA(coordinates),
                                  PyArray_TYPE(coordinates) == NPY_FLOAT32,
                                  n_frames,
                                  n_atoms,
                                  pair_atoms.span(),
                                  acceptor_atoms.span(),
                                  boxes,
                                  distance_cutoff,
                                  make_hbond_criterion(distance_cutoff, angle_cutoff)};
    std::unique_ptr<WorkerPool> pool;
    // Workers take whole frames: more workers than frames would only wait.
    const std::uint64_t n_workers =
        std::min(pool_size_for(static_cast<std::uint64_t>(n_threads)), n_frames);
    if (n_workers > 1) {
      auto created = WorkerPool::create(n_workers);
      if (!created.ok()) {
        return raise(PyExc_RuntimeError, "could not start the worker threads: " +
                                             describe_error_number(created.error().error_number));
      }
      pool = std::move(created.value());
    }
    // The arguments' references are held by the caller's tuple for the whole call, and the
    // search reads only the pinned coordinates and memory of its own.
    BondBuffer bonds = run_unlocked(search, pool.get());
    pool.reset();
    return return_or_raise(bonds_to_pyarray(std::move(bonds)));
  });
}

constexpr const char kFindHbondsDoc[] =
    "find_hbonds(xyz, donor_h_pairs, acceptors, box, distance_cutoff, angle_cutoff, n_threads)\n"
    "--\n\n"
    "Checked arrays in, uint32 rows (frame, donor, hydrogen, acceptor) out. Called by\n"
    "brenvox_hbond.find_hbonds, which accepts friendlier inputs.";

PyMethodDef kFunctions[] = {
    {"find_hbonds", reinterpret_cast<PyCFunction>(find_hbonds), METH_VARARGS, kFindHbondsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "brenvox_hbond._native",
    "The native search of brenvox_hbond.",
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brenvox

PyMODINIT_FUNC PyInit__native() {
  return PyModule_Create(&brenvox::kModuleDef);
}
