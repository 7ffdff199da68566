#include "parallel/trajectory_threads.hpp"

#include <vector>

#include "parallel/frame_blocks.hpp"

namespace brenvox {

BondBuffer search_trajectory_threaded(WorkerPool& pool, const TrajectorySearch& search) {
  std::vector<TrajectorySearchStoragePtr> storage(pool.size());
  for (TrajectorySearchStoragePtr& s : storage) s = make_trajectory_search_storage();
  return collect_blocks_in_frame_order(
      pool, search.n_frames,
      [&](std::size_t worker) -> TrajectorySearchStorage& { return *storage[worker]; },
      [&](TrajectorySearchStorage& storage_of_worker, std::uint64_t first, std::uint64_t last,
          BondBuffer& rows) {
        collect_trajectory_frames(search, first, last, storage_of_worker, rows);
      });
}

}  // namespace brenvox
