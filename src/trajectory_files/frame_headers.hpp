#pragma once
// The frame headers of GROMACS .xtc and .trr files: what each says about the frame's extent
// (its size in bytes and its atom count), shared by the frame index and the frame decoders.
//
// .xtc frame: magic (1995; 2023 for frames whose compressed size needs 64 bits), atoms, step,
// time, the box (9 floats), atoms again; then either 3 floats per atom (up to 9 atoms), or the
// precision, the integer bounds (3 minima, 3 maxima), the small-index, the compressed byte
// count (4 bytes, 8 for magic 2023) and the compressed bytes, padded to 4.
//
// .trr frame: magic 1993, a string's length as an int, then the string (XDR: its length and
// its bytes, padded), 13 ints (the sizes of ten blocks: ir, e, box, vir, pres, top, sym, x, v,
// f; atoms, step, energies), time and lambda as reals of the frame's precision (4 or 8 bytes),
// then the blocks box, vir, pres, x, v, f that have a size.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "trajectory_files/xdr_stream.hpp"

namespace brenvox::xdr {

enum class XdrFormat { xtc, trr };

// The format a file name says: .xtc (any case) for .xtc, .trr for anything else, as the
// package's Python index decides (the suffix of the path's last component, as pathlib has it).
XdrFormat format_of_path(std::string_view path);

// Bytes of a frame's start that the index reads to find its extent.
inline constexpr std::size_t kHeaderBytes = 128;

inline constexpr std::int32_t kXtcMagic = 1995;
inline constexpr std::int32_t kXtcLargeMagic = 2023;
inline constexpr std::int32_t kTrrMagic = 1993;
// An .xtc frame of at most this many atoms stores its coordinates as floats.
inline constexpr std::int32_t kXtcUncompressedAtoms = 9;
// The longest version string a .trr header may have.
inline constexpr std::int32_t kTrrLongestVersion = 64;

struct FrameExtent {
  std::uint64_t size;  // bytes from the frame's start to the next frame's
  std::int32_t n_atoms;
};

// The extent of a frame from the bytes at its start (the first kHeaderBytes, fewer where the
// file ends); nullopt when they are not a frame header of the format.
std::optional<FrameExtent> frame_extent(XdrFormat format, Bytes head);

// A .trr frame's header, read in full.
struct TrrHeader {
  int precision;                 // 4 or 8 bytes per real
  std::int32_t block_sizes[10];  // ir, e, box, vir, pres, top, sym, x, v, f
  std::int32_t n_atoms;
  std::int32_t step;
  double time;
  std::uint64_t header_size;  // bytes before the first block
  std::uint64_t frame_size;

  std::int32_t box_size() const { return block_sizes[2]; }
  std::int32_t virial_size() const { return block_sizes[3]; }
  std::int32_t pressure_size() const { return block_sizes[4]; }
  std::int32_t x_size() const { return block_sizes[7]; }
  // Bytes from the frame's start to the end of its coordinates' block.
  std::uint64_t bytes_through_x() const {
    return header_size + std::uint64_t(box_size()) + std::uint64_t(virial_size()) +
           std::uint64_t(pressure_size()) + std::uint64_t(x_size());
  }
};

// Reads a .trr header from the stream's position; nullopt when it is not one (with the same
// rules as frame_extent) or the stream ends inside it.
std::optional<TrrHeader> read_trr_header(XdrStream& stream);

}  // namespace brenvox::xdr
