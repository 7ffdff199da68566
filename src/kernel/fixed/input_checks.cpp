#include "kernel/fixed/input_checks.hpp"

#include <algorithm>
#include <string>

#include "kernel/checked_math.hpp"

// The messages are part of the module's interface: callers match on them exactly.

namespace brenvox {

SearchResult<SearchInputs> validate_inputs(std::uint64_t xyz_length, std::uint64_t n_frames,
                                           std::uint64_t n_atoms, PairList pairs,
                                           AcceptorList acceptors) {
  const std::optional<std::uint64_t> frame_values = checked_product(n_frames, n_atoms);
  const std::optional<std::uint64_t> expected =
      frame_values ? checked_product(*frame_values, 3) : std::nullopt;
  if (!expected || *expected != xyz_length) {
    return SearchError{ErrorKind::ValueError, "xyz_flat length must equal n_frames * n_atoms * 3"};
  }
  std::erase_if(pairs,
                [n_atoms](const Pair& p) { return !(p.donor < n_atoms && p.hydrogen < n_atoms); });
  std::erase_if(acceptors, [n_atoms](std::uint64_t a) { return !(a < n_atoms); });
  return SearchInputs{std::move(pairs), std::move(acceptors)};
}

SearchStatus check_rows_representable(std::uint64_t n_frames, const SearchInputs& inputs) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 32;
  // Without pairs, acceptors or frames no row can exist, whatever the indices.
  if (n_frames == 0 || inputs.pairs.empty() || inputs.acceptors.empty()) return {};
  std::uint64_t largest_atom = 0;
  for (const Pair& p : inputs.pairs) largest_atom = std::max({largest_atom, p.donor, p.hydrogen});
  for (std::uint64_t a : inputs.acceptors) largest_atom = std::max(largest_atom, a);
  const std::uint64_t last_frame = n_frames - 1;
  if (last_frame < kLimit && largest_atom < kLimit) return {};
  return SearchError{ErrorKind::OverflowError,
                     "result rows hold uint32 indices, but this search can reach frame index " +
                         std::to_string(last_frame) + " and atom index " +
                         std::to_string(largest_atom) +
                         " (the largest representable index is 4294967295)"};
}

}  // namespace brenvox
