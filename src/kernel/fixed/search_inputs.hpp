#pragma once
// What every fixed search works on: the coordinates of all frames, the (donor, hydrogen) pairs
// and the acceptors, checked and filtered once per call (input_checks.hpp).

#include <cstdint>
#include <span>
#include <vector>

namespace brenvox {

// All frames' coordinates, frame-major: frame f, atom i, axis k at f * n_atoms * 3 + 3 * i + k.
using CoordView = std::span<const double>;

struct Pair {
  std::uint64_t donor;
  std::uint64_t hydrogen;
};

using PairList = std::vector<Pair>;
using AcceptorList = std::vector<std::uint64_t>;

// Invariant: every index is below n_atoms; order and duplicates as the caller gave them.
struct SearchInputs {
  PairList pairs;
  AcceptorList acceptors;
};

// One frame's atoms. Every index read through `atom` is checked, so a broken invariant stops
// the call instead of reading outside the array.
class FrameView {
 public:
  FrameView(CoordView xyz, std::uint64_t frame_offset);

  const double* atom(std::uint64_t index) const {
    if (index >= n_atoms_) fail_out_of_bounds(index);
    return coords_ + 3 * index;
  }
  // Asks for an atom's coordinates ahead of use; an index out of range asks for nothing useful
  // but reads nothing either.
  void prefetch(std::uint64_t index) const {
    __builtin_prefetch(coords_ + 3 * (index < n_atoms_ ? index : 0));
  }

 private:
  [[noreturn]] void fail_out_of_bounds(std::uint64_t index) const;

  const double* coords_;
  std::uint64_t n_atoms_;
  std::uint64_t length_;
  std::uint64_t frame_offset_;
};

}  // namespace brenvox
