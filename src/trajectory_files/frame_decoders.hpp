#pragma once
// Decoding one .xtc or .trr frame from its bytes into float32 slots: coordinates and box
// vectors in nm, time in ps, step. The values are the ones MDTraj and MDAnalysis read, to the
// bit: .xtc coordinates are the decoded integers times the float 1/precision, .trr reals are
// rounded to float once.
//
// A frame's bytes are trusted for nothing: every read is bounded by the span, the work by its
// atom count, and a frame that does not decode is a FrameProblem, never a fault.

#include <cstdint>

#include "kernel/result.hpp"
#include "trajectory_files/frame_problem.hpp"
#include "trajectory_files/xdr_stream.hpp"

namespace brenvox::xdr {

// Where one frame goes: xyz holds kept_atoms * 3 floats (n_atoms * 3 when kept_atoms is 0),
// box 9 (row-major box vectors, zero when the frame has none).
struct FrameSlot {
  float* xyz;
  float* box;
  float* time;
  std::int64_t* step;
  // Only the first atoms, when a search needs no others: an .xtc frame is decoded no further.
  std::int32_t kept_atoms = 0;

  std::int32_t atoms_stored(std::int32_t n_atoms) const {
    return kept_atoms > 0 && kept_atoms < n_atoms ? kept_atoms : n_atoms;
  }
};

using FrameStatus = Status<FrameProblem>;

// The most bytes of compressed coordinates that a frame of `n_atoms` atoms can use: a big
// atom's three integers take up to 96 bits, its flag and run 6, a small atom's up to 72.
inline std::uint64_t xtc_coordinate_bytes_used(std::int32_t n_atoms) {
  return 13 * std::uint64_t(n_atoms > 0 ? n_atoms : 0) + 8;
}

// An .xtc frame from its first byte; `frame` may end after its compressed bytes, or after the
// first xtc_coordinate_bytes_used of them (for one atom more than the slot keeps: the first
// small atom of a run is stored before the big one), which decode the same. Fails with no_header,
// atom_count (when the frame does not hold `n_atoms`), file_ends (the span ends before that)
// or coordinates.
FrameStatus decode_xtc_frame(Bytes frame, std::int32_t n_atoms, const FrameSlot& slot);

// A .trr frame from its first byte; `frame` may end after the coordinates' block. A frame
// without coordinates gives NaN coordinates. Fails with no_header, atom_count, block_sizes (a
// block's size is neither 0 nor what the atom count and precision make) or file_ends.
FrameStatus decode_trr_frame(Bytes frame, std::int32_t n_atoms, const FrameSlot& slot);

}  // namespace brenvox::xdr
