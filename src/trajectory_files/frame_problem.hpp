#pragma once
// Why a frame cannot be read, as a value, and its text. The index's texts are those of the
// package's Python index (brenvox_hbond.sources.xdr_frames), which users see in warnings: the
// two indexes can replace each other.

#include <cstdint>
#include <string>

namespace brenvox::xdr {

enum class FrameFailure {
  no_header,       // its first bytes are not a frame header of the format
  atom_count,      // its atom count is not that of the frames before
  file_ends,       // the file ends inside it
  coordinates,     // its compressed coordinates cannot be decoded (.xtc)
  block_sizes,     // its block sizes do not fit its atom count and precision (.trr)
  read_error,      // the operating system could not read it
  too_many_atoms,  // the file is too short for the coordinates of its atom count
};

struct FrameProblem {
  FrameFailure failure;
  std::int32_t n_atoms = 0;   // atom_count: what the frame holds
  std::int32_t expected = 0;  // atom_count: what the frames before hold
  int error_number = 0;       // read_error: the errno
};

// The reason as the user reads it after "cannot read frame N of FILE: ". A read error's text is
// the operating system's.
std::string describe(const FrameProblem& problem);

}  // namespace brenvox::xdr
