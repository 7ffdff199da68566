#include "parallel/threaded_driver.hpp"

#include "kernel/fixed/frame_loop.hpp"
#include "parallel/frame_blocks.hpp"

namespace brenvox {

BondBuffer run_kernel_threaded(WorkerPool& pool, CoordView xyz, std::uint64_t n_frames,
                               std::uint64_t n_atoms, const SearchInputs& inputs,
                               FrameCollector collector) {
  return collect_blocks_in_frame_order(
      pool, n_frames, [](std::size_t) { return FrameScratch{}; },
      [&](FrameScratch& scratch, std::uint64_t first, std::uint64_t last, BondBuffer& rows) {
        collect_frame_range(collector, xyz, first, last, n_atoms, inputs, scratch, rows);
      });
}

}  // namespace brenvox
