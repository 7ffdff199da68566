#include "engine_module/search_bodies.hpp"

#include "boundary/result_array.hpp"
#include "engine_module/interface_texts.hpp"
#include "kernel/fixed/frame_loop.hpp"
#include "kernel/fixed/input_checks.hpp"
#include "parallel/threaded_driver.hpp"
#include "parallel/worker_pool.hpp"

namespace brenvox {

namespace {

// The owner type of every result array's memory.
constinit ResultOwnerType slice_containers{texts::kResultContainerType};

// The exhaustive search always, or the exhaustive or the grid search by the size of the search
// space.
enum class SearchChoice { Exhaustive, BySize };

struct PreparedSearch {
  CoordView xyz;
  SearchInputs inputs;
  FrameCollector collector;
};

// The coordinates as they are now, then length and filtering, then the check that every row
// fits in uint32.
PyResult<PreparedSearch> prepare_search(SearchArguments& arguments, SearchChoice choice) {
  PyResult<CoordView> view = arguments.xyz_flat.view();
  if (!view.ok()) return std::move(view.error());
  SearchResult<SearchInputs> inputs =
      validate_inputs(view.value().size(), arguments.n_frames, arguments.n_atoms,
                      std::move(arguments.donor_h_pairs), std::move(arguments.acceptor_indices));
  if (!inputs.ok()) return PyError::from_search(inputs.error());
  if (SearchStatus rows = check_rows_representable(arguments.n_frames, inputs.value());
      !rows.ok()) {
    return PyError::from_search(rows.error());
  }
  const FrameCollector collector =
      choice == SearchChoice::BySize
          ? choose_frame_collector(inputs.value().pairs.size(), inputs.value().acceptors.size())
          : collect_bonds_brute_frame;
  return PreparedSearch{view.value(), std::move(inputs.value()), collector};
}

PyResult<PyRef> run_serial(SearchArguments arguments, SearchChoice choice) {
  PyResult<PreparedSearch> prepared = prepare_search(arguments, choice);
  if (!prepared.ok()) return std::move(prepared.error());
  const PreparedSearch& search = prepared.value();
  return bonds_to_pyarray(run_kernel(search.collector, search.xyz, arguments.n_frames,
                                     arguments.n_atoms, search.inputs),
                          slice_containers);
}

}  // namespace

PyResult<PyRef> run_baker_hubbard_brute(SearchArguments arguments) {
  return run_serial(std::move(arguments), SearchChoice::Exhaustive);
}

PyResult<PyRef> run_baker_hubbard(SearchArguments arguments) {
  return run_serial(std::move(arguments), SearchChoice::BySize);
}

PyResult<PyRef> run_baker_hubbard_with_threads(SearchArguments arguments, std::uint64_t n_threads) {
  PyResult<PreparedSearch> prepared = prepare_search(arguments, SearchChoice::BySize);
  if (!prepared.ok()) return std::move(prepared.error());
  const PreparedSearch& search = prepared.value();
  Result<std::unique_ptr<WorkerPool>, PoolBuildError> pool =
      WorkerPool::create(pool_size_for(n_threads));
  if (!pool.ok()) {
    return PyError(PyExc_RuntimeError,
                   texts::kPoolBuildFailed + describe_error_number(pool.error().error_number));
  }
  BondBuffer bonds = run_kernel_threaded(*pool.value(), search.xyz, arguments.n_frames,
                                         arguments.n_atoms, search.inputs, search.collector);
  pool.value().reset();
  return bonds_to_pyarray(std::move(bonds), slice_containers);
}

}  // namespace brenvox
