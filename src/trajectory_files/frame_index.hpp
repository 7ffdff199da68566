#pragma once
// Where each frame of an .xtc or .trr file starts, found in one pass over the frame headers
// without decoding coordinates, and why the frame after the readable ones cannot be read: its
// first bytes are no frame header, its atom count differs from the frames before, or the file
// ends inside it. The same offsets, atom count and texts as the package's Python index.

#include <cstdint>
#include <optional>
#include <vector>

#include "kernel/result.hpp"
#include "trajectory_files/byte_source.hpp"
#include "trajectory_files/frame_headers.hpp"
#include "trajectory_files/frame_problem.hpp"

namespace brenvox::xdr {

struct FrameIndex {
  std::vector<std::int64_t> offsets;    // of the readable frames, from the file's start
  std::optional<std::int32_t> n_atoms;  // of the readable frames; none without frames
  std::optional<FrameProblem> damage;   // none when the file ends with its last frame
};

// Fails only when the source cannot be read, never for its contents.
Result<FrameIndex, OsError> index_frames(const ByteSource& source, XdrFormat format);

}  // namespace brenvox::xdr
