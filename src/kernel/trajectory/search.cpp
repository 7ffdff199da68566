// The trajectory search, frame by frame: the acceptor grid, the probes of the pairs, their
// test, and the rows in pair order.

#include "kernel/trajectory/search.hpp"

#include <algorithm>
#include <vector>

#include "kernel/hit_list.hpp"
#include "kernel/trajectory/grid.hpp"
#include "kernel/trajectory/probe_test.hpp"
#include "kernel/trajectory/probes.hpp"

namespace brenvox {

struct TrajectorySearchStorage {
  TrajectoryGridBuild build;
  TrajectoryGrid grid;
  TrajectoryProbes probes;
  HitList hits;  // accepted acceptors' list positions
  std::vector<HitRange> ranges;
  std::vector<std::uint32_t> merged;  // a donor's acceptors so far, when hydrogens are merged
};

template <>
void OpaqueStorageDeleter<TrajectorySearchStorage>::operator()(
    TrajectorySearchStorage* s) const noexcept {
  delete s;
}

TrajectorySearchStoragePtr make_trajectory_search_storage() {
  return TrajectorySearchStoragePtr(new TrajectorySearchStorage());
}

namespace {

template <typename T>
void collect_frame(const TrajectorySearch& s, std::uint64_t frame, TrajectorySearchStorage& st,
                   BondBuffer& out) {
  const T* coords = static_cast<const T*>(s.xyz) + frame * s.n_atoms * 3;
  const PeriodicBox* box = s.boxes.empty() ? nullptr : &s.boxes[s.boxes.size() == 1 ? 0 : frame];
  if (!build_trajectory_grid(s, coords, box, st.build, st.grid)) return;
  make_probes(s, coords, box, st.grid, st.probes);

  const std::size_t n_pairs = s.pair_atoms.size() / 2;
  st.hits.size = 0;
  st.ranges.assign(n_pairs, HitRange{0, 0});
  search_probes(s.criterion, box, st.grid, st.probes, st.hits, st.ranges);
  const bool merge = s.criterion.merge_hydrogens;
  for (std::size_t i = 0; i < n_pairs; ++i) {
    const HitRange r = st.ranges[i];
    const std::int64_t donor = s.pair_atoms[2 * i];
    const std::int64_t hydrogen = s.pair_atoms[2 * i + 1];
    // A donor's pairs are merged when they are listed one after the other.
    if (merge && (i == 0 || s.pair_atoms[2 * (i - 1)] != donor)) st.merged.clear();
    for (std::uint64_t h = r.first; h < r.first + r.count; ++h) {
      const std::uint32_t position = st.hits.value[h];
      const std::int64_t acceptor = s.acceptors[position];
      if (acceptor == donor) continue;
      if (merge) {
        if (std::find(st.merged.begin(), st.merged.end(), position) != st.merged.end()) continue;
        st.merged.push_back(position);
      }
      out.push_record(frame, donor, hydrogen, acceptor);
    }
  }
}

}  // namespace

void collect_trajectory_frames(const TrajectorySearch& search, std::uint64_t first,
                               std::uint64_t last, TrajectorySearchStorage& storage,
                               BondBuffer& out) {
  if (search.pair_atoms.empty() || search.acceptors.empty()) return;
  for (std::uint64_t frame = first; frame < last; ++frame) {
    if (search.single_precision) {
      collect_frame<float>(search, frame, storage, out);
    } else {
      collect_frame<double>(search, frame, storage, out);
    }
  }
}

BondBuffer search_trajectory(const TrajectorySearch& search) {
  BondBuffer out;
  TrajectorySearchStoragePtr storage = make_trajectory_search_storage();
  collect_trajectory_frames(search, 0, search.n_frames, *storage, out);
  return out;
}

}  // namespace brenvox
