#include "search_bodies.hpp"

#include "kernel/frame_loop.hpp"
#include "parallel/threaded_driver.hpp"
#include "parallel/worker_pool.hpp"
#include "result_array.hpp"

namespace brenvox {

namespace {

struct PreparedSearch {
  CoordView xyz;
  SearchInputs inputs;
};

// Contiguity, then length and filtering, then the check that every row fits in uint32.
Outcome<PreparedSearch> prepare_search(SearchArguments& arguments) {
  Outcome<CoordView> view = arguments.xyz_flat.view();
  if (!view.ok()) return std::move(view.error());
  Outcome<SearchInputs> inputs =
      validate_inputs(view.value().size(), arguments.n_frames, arguments.n_atoms,
                      std::move(arguments.donor_h_pairs), std::move(arguments.acceptor_indices));
  if (!inputs.ok()) return std::move(inputs.error());
  if (auto overflow = check_rows_representable(arguments.n_frames, inputs.value())) {
    return std::move(*overflow);
  }
  return PreparedSearch{view.value(), std::move(inputs.value())};
}

}  // namespace

PyOutcome<PyRef> run_baker_hubbard_brute(SearchArguments arguments) {
  Outcome<PreparedSearch> prepared = prepare_search(arguments);
  if (!prepared.ok()) return ErrorValue::from_kernel(prepared.error());
  const PreparedSearch& search = prepared.value();
  return bonds_to_pyarray(run_kernel<collect_bonds_brute_frame>(
      search.xyz, arguments.n_frames, arguments.n_atoms, search.inputs));
}

PyOutcome<PyRef> run_baker_hubbard(SearchArguments arguments) {
  Outcome<PreparedSearch> prepared = prepare_search(arguments);
  if (!prepared.ok()) return ErrorValue::from_kernel(prepared.error());
  const PreparedSearch& search = prepared.value();
  const FrameCollector collector =
      choose_frame_collector(search.inputs.pairs.size(), search.inputs.acceptors.size());
  if (collector == collect_bonds_brute_frame) {
    return bonds_to_pyarray(run_kernel<collect_bonds_brute_frame>(
        search.xyz, arguments.n_frames, arguments.n_atoms, search.inputs));
  }
  return bonds_to_pyarray(run_kernel<collect_bonds_spatial_frame>(
      search.xyz, arguments.n_frames, arguments.n_atoms, search.inputs));
}

PyOutcome<PyRef> run_baker_hubbard_with_threads(SearchArguments arguments,
                                                std::uint64_t n_threads) {
  Outcome<PreparedSearch> prepared = prepare_search(arguments);
  if (!prepared.ok()) return ErrorValue::from_kernel(prepared.error());
  const PreparedSearch& search = prepared.value();
  const FrameCollector collector =
      choose_frame_collector(search.inputs.pairs.size(), search.inputs.acceptors.size());
  auto pool = WorkerPool::create(pool_size_for(n_threads));
  if (auto* failure = std::get_if<PoolBuildError>(&pool)) {
    return ErrorValue(PyExc_RuntimeError,
                      "rayon pool build failed: " + describe_error_number(failure->error_number));
  }
  BondBuffer bonds =
      run_kernel_threaded(*std::get<0>(pool), search.xyz, arguments.n_frames, arguments.n_atoms,
                          search.inputs, collector);
  PyOutcome<PyRef> result = bonds_to_pyarray(std::move(bonds));
  std::get<0>(pool).reset();
  return result;
}

}  // namespace brenvox
