#include "kernel/fixed/frame_loop.hpp"

#include <algorithm>
#include <new>

#include "kernel/checked_math.hpp"
#include "kernel/failure_texts.hpp"
#include "kernel/internal_failure.hpp"

namespace brenvox {

namespace {

// Beyond this the buffer's doubling growth is as cheap as a reservation, and a pessimistic
// hint would otherwise pin memory inside the result array for its whole life.
constexpr std::uint64_t kMaxReservedRecords = std::uint64_t{1} << 20;

}  // namespace

FrameCollector choose_frame_collector(std::uint64_t n_pairs, std::uint64_t n_acceptors) {
  if (saturating_product(n_pairs, n_acceptors) >= SPATIAL_SEARCH_THRESHOLD) {
    return collect_bonds_spatial_frame;
  }
  return collect_bonds_brute_frame;
}

std::uint64_t capacity_hint_values(std::uint64_t n_frames, std::uint64_t n_pairs) {
  const std::uint64_t values = saturating_product(4, saturating_product(n_frames, n_pairs / 4));
  if (values > (std::uint64_t{1} << 63) / 4 - 1) throw InternalFailure(texts::kCapacityOverflow);
  return values;
}

void reserve_capacity_hint(BondBuffer& out, std::uint64_t n_frames, const SearchInputs& inputs) {
  const std::uint64_t hinted_values = capacity_hint_values(n_frames, inputs.pairs.size());
  // No search yields more rows than it makes tests.
  const std::uint64_t possible_records = saturating_product(
      n_frames, saturating_product(inputs.pairs.size(), inputs.acceptors.size()));
  const std::uint64_t records =
      std::min({hinted_values / 4, possible_records, kMaxReservedRecords});
  if (records == 0) return;
  try {
    out.reserve_more(records * 4);
  } catch (const std::bad_alloc&) {
  }
}

void collect_frame_range(FrameCollector collector, CoordView xyz, std::uint64_t first,
                         std::uint64_t last, std::uint64_t n_atoms, const SearchInputs& inputs,
                         FrameScratch& scratch, BondBuffer& out) {
  if (inputs.pairs.empty() || inputs.acceptors.empty()) return;
  const std::uint64_t frame_stride = n_atoms * 3;
  for (std::uint64_t frame = first; frame < last; ++frame) {
    collector(xyz, frame, frame * frame_stride, inputs.pairs, inputs.acceptors, scratch, out);
  }
}

BondBuffer run_kernel(FrameCollector collector, CoordView xyz, std::uint64_t n_frames,
                      std::uint64_t n_atoms, const SearchInputs& inputs) {
  BondBuffer out;
  reserve_capacity_hint(out, n_frames, inputs);
  FrameScratch scratch;
  collect_frame_range(collector, xyz, 0, n_frames, n_atoms, inputs, scratch, out);
  return out;
}

}  // namespace brenvox
