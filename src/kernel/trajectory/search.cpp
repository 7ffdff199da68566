// The trajectory search, frame by frame: the acceptor grid, the probes of the pairs, their
// test, and the rows in pair order.

#include "kernel/trajectory/search.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "kernel/hit_list.hpp"
#include "kernel/search_error.hpp"
#include "kernel/trajectory/grid.hpp"
#include "kernel/trajectory/input_checks.hpp"
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

// The search of a frame as it runs: within the reach that the criterion needs beside the
// hydrogens for this frame's D–H lengths.
TrajectorySearch with_reach(const TrajectorySearch& s, DonorHydrogenLengths lengths,
                            const PeriodicBox* box, std::uint64_t frame) {
  if (!s.criterion.from_donor) return s;
  TrajectorySearch reached = s;
  reached.reach = probe_reach(s.criterion, lengths.shortest, lengths.longest);
  reached.distance_cutoff = reached.reach.radius;
  const double extent = reached.reach.radius + reached.reach.offset;
  if (box != nullptr && !(extent < 0.5 * box->min_width)) {
    throw RefusedSearch(reach_refusal(frame, lengths.longest, extent, box->min_width));
  }
  return reached;
}

template <typename T>
void collect_frame(const TrajectorySearch& search, std::uint64_t frame, TrajectorySearchStorage& st,
                   BondBuffer& out) {
  const T* coords = static_cast<const T*>(search.xyz) + frame * search.n_atoms * 3;
  const PeriodicBox* box =
      search.boxes.empty() ? nullptr : &search.boxes[search.boxes.size() == 1 ? 0 : frame];
  const DonorHydrogenLengths lengths = prepare_probes(search, coords, box, st.probes);
  const TrajectorySearch s = with_reach(search, lengths, box, frame);
  if (!build_trajectory_grid(s, coords, box, st.build, st.grid)) return;
  place_probes(s, st.grid, st.probes);

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

std::string first_refusal(const TrajectorySearch& search) {
  if (!search.criterion.from_donor || search.boxes.empty() || search.pair_atoms.empty()) return {};
  TrajectoryProbes probes;
  for (std::uint64_t frame = 0; frame < search.n_frames; ++frame) {
    const PeriodicBox* box = &search.boxes[search.boxes.size() == 1 ? 0 : frame];
    try {
      if (search.single_precision) {
        const auto* coords = static_cast<const float*>(search.xyz) + frame * search.n_atoms * 3;
        with_reach(search, prepare_probes(search, coords, box, probes), box, frame);
      } else {
        const auto* coords = static_cast<const double*>(search.xyz) + frame * search.n_atoms * 3;
        with_reach(search, prepare_probes(search, coords, box, probes), box, frame);
      }
    } catch (const RefusedSearch& refused) {
      return refused.what();
    }
  }
  return {};
}

BondBuffer search_trajectory(const TrajectorySearch& search) {
  BondBuffer out;
  TrajectorySearchStoragePtr storage = make_trajectory_search_storage();
  collect_trajectory_frames(search, 0, search.n_frames, *storage, out);
  return out;
}

}  // namespace brenvox
