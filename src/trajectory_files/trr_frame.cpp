// The .trr frame decoder: the header, the box, and the coordinates; the virial and pressure
// blocks before them are skipped, velocities and forces after them are not read.

#include <algorithm>
#include <limits>

#include "trajectory_files/frame_decoders.hpp"
#include "trajectory_files/frame_headers.hpp"

namespace brenvox::xdr {

namespace {

// `count` reals of `precision` bytes, each rounded to float.
bool read_reals(XdrStream& stream, int precision, std::uint64_t count, float* out) {
  const auto bytes = stream.read_bytes(count * std::uint64_t(precision));
  if (!bytes) return false;
  const std::uint8_t* at = bytes->data();
  if (precision == 8) {
    for (std::uint64_t i = 0; i < count; ++i, at += 8) {
      out[i] = static_cast<float>(std::bit_cast<double>(load_big_endian_64(at)));
    }
  } else {
    for (std::uint64_t i = 0; i < count; ++i, at += 4) {
      out[i] = std::bit_cast<float>(load_big_endian_32(at));
    }
  }
  return true;
}

}  // namespace

FrameStatus decode_trr_frame(Bytes frame, std::int32_t n_atoms, const FrameSlot& slot) {
  const auto failed = [](FrameFailure failure) { return FrameStatus(FrameProblem{failure}); };
  XdrStream stream(frame);
  const auto header = read_trr_header(stream);
  if (!header) return failed(FrameFailure::no_header);
  if (header->n_atoms != n_atoms) {
    return FrameStatus(FrameProblem{FrameFailure::atom_count, header->n_atoms, n_atoms});
  }
  // Each block present must be whole: 9 reals for the matrices, 3 per atom for the vectors.
  const std::int64_t matrix = 9 * std::int64_t{header->precision};
  const std::int64_t vectors = 3 * std::int64_t{n_atoms} * header->precision;
  for (int block : {2, 3, 4}) {
    if (header->block_sizes[block] != 0 && header->block_sizes[block] != matrix) {
      return failed(FrameFailure::block_sizes);
    }
  }
  for (int block : {7, 8, 9}) {
    if (header->block_sizes[block] != 0 && header->block_sizes[block] != vectors) {
      return failed(FrameFailure::block_sizes);
    }
  }
  float box[9] = {};
  if (header->box_size() != 0 && !read_reals(stream, header->precision, 9, box)) {
    return failed(FrameFailure::file_ends);
  }
  if (!stream.skip(std::uint64_t(header->virial_size()) + std::uint64_t(header->pressure_size()))) {
    return failed(FrameFailure::file_ends);
  }
  const std::int32_t kept = slot.atoms_stored(n_atoms);
  if (header->x_size() != 0) {
    if (!read_reals(stream, header->precision, 3 * std::uint64_t(kept), slot.xyz)) {
      return failed(FrameFailure::file_ends);
    }
  } else {
    std::fill_n(slot.xyz, 3 * std::size_t(kept), std::numeric_limits<float>::quiet_NaN());
  }
  std::copy(box, box + 9, slot.box);
  *slot.time = static_cast<float>(header->time);
  *slot.step = header->step;
  return {};
}

}  // namespace brenvox::xdr
