#pragma once
// The trajectory search with its frames shared out over a worker pool.

#include "kernel/bond_buffer.hpp"
#include "kernel/trajectory/search.hpp"
#include "parallel/worker_pool.hpp"

namespace brenvox {

// The trajectory search with frames shared out over `pool` in blocks, joined in frame order:
// the rows equal the serial search's whatever the number of workers. Each worker owns its
// working storage, made here before any worker starts.
BondBuffer search_trajectory_threaded(WorkerPool& pool, const TrajectorySearch& search);

}  // namespace brenvox
