#include "package_module/xdr_files.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "boundary/numpy_headers.hpp"
#include "parallel/worker_pool.hpp"
#include "trajectory_files/byte_source.hpp"
#include "trajectory_files/frame_index.hpp"
#include "trajectory_files/frame_reading.hpp"

namespace brenvox {

namespace {

using xdr::FileSource;
using xdr::OsError;

// Runs `body` with the interpreter lock released; a C++ exception is carried across and
// rethrown with the lock held again.
template <typename Body>
auto without_lock(Body&& body) -> decltype(body()) {
  std::optional<decltype(body())> result;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS try { result.emplace(body()); } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// A path argument as the file system's bytes, and as the str or bytes that OSError names.
struct PathArgument {
  PyRef name;   // os.fspath(argument)
  PyRef bytes;  // its encoded bytes

  const char* c_str() const { return PyBytes_AS_STRING(bytes.get()); }
  Py_ssize_t size() const { return PyBytes_GET_SIZE(bytes.get()); }
};

PyResult<PathArgument> read_path(PyObject* argument) {
  PyRef name(PyOS_FSPath(argument));
  if (!name) return PyError::fetch_raised();
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(name.get(), &bytes)) return PyError::fetch_raised();
  return PathArgument{std::move(name), PyRef(bytes)};
}

// The OSError (or its subclass for the error number) that open() would raise.
PyError os_error(int error_number, const PathArgument& path) {
  errno = error_number;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.name.get());
  return PyError::fetch_raised();
}

xdr::XdrFormat format_of(const PathArgument& path) {
  return xdr::format_of_path(std::string_view(path.c_str(), std::size_t(path.size())));
}

PyResult<std::unique_ptr<FileSource>> open_file(const PathArgument& path) {
  auto opened = without_lock([&] { return FileSource::open(path.c_str()); });
  if (!opened.ok()) return os_error(opened.error().error_number, path);
  return std::move(opened.value());
}

PyResult<PyRef> text_or_none(const std::optional<xdr::FrameProblem>& problem) {
  if (!problem) return PyRef::borrow(Py_None);
  const std::string text = xdr::describe(*problem);
  PyRef object(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
  if (!object) return PyError::fetch_raised();
  return object;
}

PyResult<PyRef> new_array(int n_dimensions, npy_intp* dims, int type) {
  PyRef array(PyArray_SimpleNew(n_dimensions, dims, type));
  if (!array) return PyError::fetch_raised();
  return array;
}

PyArrayObject* as_array(const PyRef& object) {
  return reinterpret_cast<PyArrayObject*>(object.get());
}

bool is_plain_int64_vector(PyObject* object) {
  if (!PyArray_Check(object)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  return PyArray_TYPE(array) == NPY_INT64 && PyArray_NDIM(array) == 1 &&
         PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) && PyArray_ISNOTSWAPPED(array);
}

// Keeps the first `n_frames` frames of an array of frames.
PyStatus keep_frames(const PyRef& array, npy_intp n_frames) {
  PyArrayObject* a = as_array(array);
  npy_intp dims[3];
  for (int i = 0; i < PyArray_NDIM(a); ++i) dims[i] = PyArray_DIM(a, i);
  dims[0] = n_frames;
  PyArray_Dims shape{dims, PyArray_NDIM(a)};
  // The arrays are this call's own: nothing else refers to them.
  PyRef resized(PyArray_Resize(a, &shape, 0, NPY_CORDER));
  if (!resized) return PyError::fetch_raised();
  return {};
}

}  // namespace

PyResult<PyRef> index_xdr_body(PyObject* args) {
  PyObject* path_argument;
  if (!PyArg_ParseTuple(args, "O:index_xdr", &path_argument)) return PyError::fetch_raised();
  ensure_numpy_api();
  PyResult<PathArgument> path = read_path(path_argument);
  if (!path.ok()) return std::move(path.error());
  PyResult<std::unique_ptr<FileSource>> file = open_file(path.value());
  if (!file.ok()) return std::move(file.error());
  const xdr::XdrFormat format = format_of(path.value());
  auto indexed = without_lock([&] { return xdr::index_frames(*file.value(), format); });
  if (!indexed.ok()) return os_error(indexed.error().error_number, path.value());
  const xdr::FrameIndex& index = indexed.value();

  npy_intp n_frames = npy_intp(index.offsets.size());
  PyResult<PyRef> offsets = new_array(1, &n_frames, NPY_INT64);
  if (!offsets.ok()) return std::move(offsets.error());
  if (n_frames > 0) {
    std::memcpy(PyArray_DATA(as_array(offsets.value())), index.offsets.data(),
                index.offsets.size() * sizeof(std::int64_t));
  }
  PyRef n_atoms = index.n_atoms ? PyRef(PyLong_FromLong(*index.n_atoms)) : PyRef::borrow(Py_None);
  if (!n_atoms) return PyError::fetch_raised();
  PyResult<PyRef> damage = text_or_none(index.damage);
  if (!damage.ok()) return std::move(damage.error());
  PyRef result(PyTuple_Pack(3, offsets.value().get(), n_atoms.get(), damage.value().get()));
  if (!result) return PyError::fetch_raised();
  return result;
}

PyResult<PyRef> read_xdr_body(PyObject* args) {
  PyObject *path_argument, *offsets_argument, *frames_argument;
  Py_ssize_t n_atoms_argument, n_threads, kept_argument = 0;
  if (!PyArg_ParseTuple(args, "OOOnn|n:read_xdr", &path_argument, &offsets_argument,
                        &frames_argument, &n_atoms_argument, &n_threads, &kept_argument)) {
    return PyError::fetch_raised();
  }
  ensure_numpy_api();
  PyResult<PathArgument> path = read_path(path_argument);
  if (!path.ok()) return std::move(path.error());
  if (!is_plain_int64_vector(offsets_argument)) {
    return PyError(PyExc_TypeError,
                   "offsets must be a C-contiguous int64 array of shape (n_offsets,)");
  }
  if (!is_plain_int64_vector(frames_argument)) {
    return PyError(PyExc_TypeError,
                   "frames must be a C-contiguous int64 array of shape (n_frames,)");
  }
  if (n_atoms_argument < 1 || n_atoms_argument > std::numeric_limits<std::int32_t>::max()) {
    return PyError(PyExc_ValueError, "n_atoms must be between 1 and 2147483647");
  }
  if (n_threads < 1) return PyError(PyExc_ValueError, "n_threads must be at least 1");
  if (kept_argument < 0 || kept_argument > n_atoms_argument) {
    return PyError(PyExc_ValueError, "kept_atoms must be between 0 and n_atoms");
  }
  const auto n_atoms = static_cast<std::int32_t>(n_atoms_argument);
  const auto kept_atoms = static_cast<std::int32_t>(kept_argument);

  // The offsets of the frames asked for, copied while the lock is held: the caller's arrays
  // may change once it is released.
  auto* offsets_array = reinterpret_cast<PyArrayObject*>(offsets_argument);
  auto* frames_array = reinterpret_cast<PyArrayObject*>(frames_argument);
  const auto* all_offsets = static_cast<const std::int64_t*>(PyArray_DATA(offsets_array));
  const auto* frame_numbers = static_cast<const std::int64_t*>(PyArray_DATA(frames_array));
  const npy_intp n_offsets = PyArray_DIM(offsets_array, 0);
  const npy_intp n_frames = PyArray_DIM(frames_array, 0);
  std::vector<std::int64_t> offsets(static_cast<std::size_t>(n_frames));
  for (npy_intp k = 0; k < n_frames; ++k) {
    const std::int64_t frame = frame_numbers[k];
    if (frame < 0 || frame >= n_offsets) {
      return PyError(PyExc_IndexError, "frame " + std::to_string(frame) + " is out of range for " +
                                           std::to_string(n_offsets) + " offsets");
    }
    offsets[std::size_t(k)] = all_offsets[frame];
    if (offsets[std::size_t(k)] < 0) {
      return PyError(PyExc_ValueError, "offsets must not be negative");
    }
  }

  PyResult<std::unique_ptr<FileSource>> file = open_file(path.value());
  if (!file.ok()) return std::move(file.error());

  const xdr::XdrFormat format = format_of(path.value());
  // No arrays when the first frame cannot be read for what is known already, a corrupt atom
  // count among it: frames of more atoms than the file has room for are not read.
  const std::optional<xdr::FrameProblem> known =
      xdr::problem_before_reading(format, n_atoms, file.value()->size(), offsets);
  const npy_intp n_slots = known ? 0 : n_frames;
  npy_intp xyz_dims[3] = {n_slots, kept_atoms > 0 ? kept_atoms : n_atoms, 3};
  npy_intp box_dims[3] = {n_slots, 3, 3};
  PyResult<PyRef> xyz = new_array(3, xyz_dims, NPY_FLOAT32);
  if (!xyz.ok()) return std::move(xyz.error());
  PyResult<PyRef> box = new_array(3, box_dims, NPY_FLOAT32);
  if (!box.ok()) return std::move(box.error());
  PyResult<PyRef> time = new_array(1, box_dims, NPY_FLOAT32);
  if (!time.ok()) return std::move(time.error());
  PyResult<PyRef> step = new_array(1, box_dims, NPY_INT64);
  if (!step.ok()) return std::move(step.error());
  const xdr::FrameArrays arrays{static_cast<float*>(PyArray_DATA(as_array(xyz.value()))),
                                static_cast<float*>(PyArray_DATA(as_array(box.value()))),
                                static_cast<float*>(PyArray_DATA(as_array(time.value()))),
                                static_cast<std::int64_t*>(PyArray_DATA(as_array(step.value()))),
                                n_atoms,
                                kept_atoms};

  // Workers take whole frames: more workers than frames would only wait.
  const std::size_t n_workers =
      std::min<std::uint64_t>(pool_size_for(std::uint64_t(n_threads)), std::uint64_t(n_slots));
  std::optional<PoolBuildError> pool_failure;
  const xdr::FramesRead read = without_lock([&] {
    std::unique_ptr<WorkerPool> pool;
    if (n_workers > 1) {
      auto created = WorkerPool::create(n_workers);
      if (!created.ok()) {
        pool_failure = created.error();
        return xdr::FramesRead{0, std::nullopt};
      }
      pool = std::move(created.value());
    }
    if (known) return xdr::FramesRead{0, known};
    return xdr::read_frames(*file.value(), format, offsets, arrays, pool.get());
  });
  if (pool_failure) {
    return PyError(PyExc_RuntimeError, "could not start the worker threads: " +
                                           describe_error_number(pool_failure->error_number));
  }
  if (read.problem && read.problem->failure == xdr::FrameFailure::read_error) {
    return os_error(read.problem->error_number, path.value());
  }
  if (npy_intp(read.n_frames) < n_slots) {
    for (const PyRef* array : {&xyz.value(), &box.value(), &time.value(), &step.value()}) {
      if (PyStatus kept = keep_frames(*array, npy_intp(read.n_frames)); !kept.ok()) {
        return std::move(kept.error());
      }
    }
  }
  PyResult<PyRef> failure = text_or_none(read.problem);
  if (!failure.ok()) return std::move(failure.error());
  PyRef result(PyTuple_Pack(5, xyz.value().get(), box.value().get(), time.value().get(),
                            step.value().get(), failure.value().get()));
  if (!result) return PyError::fetch_raised();
  return result;
}

}  // namespace brenvox
