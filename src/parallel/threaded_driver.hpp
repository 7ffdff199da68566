#pragma once

#include <cstdint>

#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/search_inputs.hpp"
#include "parallel/worker_pool.hpp"

namespace brenvox {

// Searches all frames on `pool` with `collector`. Workers take blocks of consecutive frames in
// ascending order; the blocks' rows are joined in frame order into one buffer reserved once at
// exactly their total, so the result never depends on timing or on the number of workers.
BondBuffer run_kernel_threaded(WorkerPool& pool, CoordView xyz, std::uint64_t n_frames,
                               std::uint64_t n_atoms, const SearchInputs& inputs,
                               FrameCollector collector);

}  // namespace brenvox
