#pragma once
// The fixed search with its frames shared out over a worker pool.

#include <cstdint>

#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/search_inputs.hpp"
#include "parallel/worker_pool.hpp"

namespace brenvox {

// Searches all frames on `pool` with `collector`. Workers take blocks of consecutive frames in
// ascending order; a finished block's rows are appended to the result as soon as every earlier
// block is in it (one that finishes before an earlier block waits, in its own buffer, until that
// block is in), and the result, grown at the rate of rows seen so far, is trimmed to its size at
// the end. The rows thus never depend on timing or on the number of workers.
BondBuffer run_kernel_threaded(WorkerPool& pool, CoordView xyz, std::uint64_t n_frames,
                               std::uint64_t n_atoms, const SearchInputs& inputs,
                               FrameCollector collector);

}  // namespace brenvox
