#pragma once
// The test of a frame's probes against the trajectory grid. Each candidate is decided in vector
// lanes from raw coordinates with the exact image formula, so decisions do not depend on how a
// candidate was found.

#include <span>

#include "kernel/hit_list.hpp"
#include "kernel/trajectory/criterion.hpp"
#include "kernel/trajectory/grid.hpp"
#include "kernel/trajectory/periodic_box.hpp"
#include "kernel/trajectory/probes.hpp"

namespace brenvox {

// Each probe's accepted acceptors, as list positions in list order, appended to `hits`; the
// range of pair i goes to ranges[i], and pairs without a probe keep theirs.
void search_probes(const HbondCriterion& criterion, const PeriodicBox* box, const TrajectoryGrid& g,
                   const TrajectoryProbes& probes, HitList& hits, std::span<HitRange> ranges);

}  // namespace brenvox
