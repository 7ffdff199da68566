#pragma once
// Decoding chosen frames of an .xtc or .trr file into preallocated float32 arrays, on the
// worker pool: each worker reads the frames it takes with positioned reads into a buffer of its
// own and decodes each straight into the frame's slot. The result is the same whatever the
// number of workers: the frames before the first one (in the order asked) that cannot be
// read, and why that one cannot.

#include <cstdint>
#include <optional>
#include <span>

#include "parallel/worker_pool.hpp"
#include "trajectory_files/byte_source.hpp"
#include "trajectory_files/frame_decoders.hpp"
#include "trajectory_files/frame_headers.hpp"

namespace brenvox::xdr {

// The arrays of n frames: xyz (n, kept, 3), box (n, 3, 3), time (n), step (n), where kept is
// kept_atoms, or n_atoms when that is 0.
struct FrameArrays {
  float* xyz;
  float* box;
  float* time;
  std::int64_t* step;
  std::int32_t n_atoms;
  std::int32_t kept_atoms = 0;

  FrameSlot slot(std::uint64_t frame) const {
    FrameSlot slot{xyz, box + 9 * frame, time + frame, step + frame, kept_atoms};
    slot.xyz += frame * 3 * std::uint64_t(slot.atoms_stored(n_atoms));
    return slot;
  }
};

struct FramesRead {
  std::uint64_t n_frames;               // frames decoded, from the first asked
  std::optional<FrameProblem> problem;  // why the next one cannot be, if any
};

// Whether a file of `file_size` bytes has room for frames of `n_atoms` atoms whose coordinates
// can be read: an .xtc frame of more than nine atoms takes at least 2 bits an atom (a big atom's
// integers take at least 1 bit, its flag 1), a .trr frame's coordinates 12 bytes an atom. A
// count past this is a corrupt one: arrays for it are not to be made.
bool atom_count_fits(XdrFormat format, std::int32_t n_atoms, std::uint64_t file_size);

// Why the first of the frames at `offsets` cannot be read, when that is known before arrays are
// made for them: the file ends before it, or the file is too short for their atom count.
std::optional<FrameProblem> problem_before_reading(XdrFormat format, std::int32_t n_atoms,
                                                   std::uint64_t file_size,
                                                   std::span<const std::int64_t> offsets);

// Reads and decodes the frame at offsets[k] into arrays.slot(k) for each k, on `pool` (or on
// the caller's thread when null). Each frame must hold arrays.n_atoms atoms and lie whole
// within the source's size. Throws only what allocation throws.
FramesRead read_frames(const ByteSource& source, XdrFormat format,
                       std::span<const std::int64_t> offsets, const FrameArrays& arrays,
                       WorkerPool* pool);

// One frame, with `buffer` for its bytes.
FrameStatus read_frame(const ByteSource& source, XdrFormat format, std::uint64_t offset,
                       std::int32_t n_atoms, const FrameSlot& slot,
                       std::vector<std::uint8_t>& buffer);

}  // namespace brenvox::xdr
