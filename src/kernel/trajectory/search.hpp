#pragma once
// The search behind the array-native entry: float32 or float64 frames read in place, cut-offs
// chosen by the caller, and optionally a periodic box per frame (minimum-image criterion).
// Rows come by frame, then pair position, then acceptor position.

#include <cstdint>
#include <string>

#include "kernel/bond_buffer.hpp"
#include "kernel/opaque_storage.hpp"
#include "kernel/trajectory/search_parameters.hpp"

namespace brenvox {

// Working storage of one thread, kept from frame to frame.
struct TrajectorySearchStorage;
using TrajectorySearchStoragePtr = OpaqueStorage<TrajectorySearchStorage>;
TrajectorySearchStoragePtr make_trajectory_search_storage();

// Appends the rows of frames first ... last - 1.
void collect_trajectory_frames(const TrajectorySearch& search, std::uint64_t first,
                               std::uint64_t last, TrajectorySearchStorage& storage,
                               BondBuffer& out);

// All frames on the calling thread.
BondBuffer search_trajectory(const TrajectorySearch& search);

// Why the first frame that the search refuses (see RefusedSearch) is refused; empty when none
// is. Threads may meet a later refused frame first: this names the same one whatever they do.
std::string first_refusal(const TrajectorySearch& search);

}  // namespace brenvox
