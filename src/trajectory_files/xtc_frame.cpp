// The .xtc frame decoder.
//
// Coordinates of more than nine atoms are integers (the coordinate in nm times the precision)
// less the frame's minima, in a bit stream. Each step of the stream starts with a "big" atom:
// its three integers as one mixed-radix number, of as many bits as the product of the frame's
// three ranges needs (or, when a range exceeds 2^24, each integer in its own range's bit
// length). A flag bit follows. When it is set, 5 bits hold a new run length (the integers of
// the small atoms after the big one, three per atom) plus 1 plus the change of the small-index
// (-1, 0 or +1), which applies after the run; when it is clear, the run length of the step
// before holds and the small-index stays. A small atom is its difference to the atom before,
// plus half the small range, as one mixed-radix number of small-index bits over the range that
// the magic-ints table gives the small-index. The first small atom is placed before the big
// one: writers swap them, which keeps the oxygen of a water in the middle and its hydrogens
// small.

#include <algorithm>
#include <array>
#include <cmath>

#include "trajectory_files/bit_stream.hpp"
#include "trajectory_files/frame_decoders.hpp"
#include "trajectory_files/frame_headers.hpp"

namespace brenvox::xdr {

namespace {

// The ranges of small atoms' integers by small-index: about 2^(index / 3), so that three
// integers below one fit in index bits. Indices below kFirstSmallIndex are not used.
constexpr std::array<std::uint32_t, 73> kMagicInts = {
    0,        0,        0,       0,       0,       0,       0,       0,       0,       8,
    10,       12,       16,      20,      25,      32,      40,      50,      64,      80,
    101,      128,      161,     203,     256,     322,     406,     512,     645,     812,
    1024,     1290,     1625,    2048,    2580,    3250,    4096,    5060,    6501,    8192,
    10321,    13003,    16384,   20642,   26007,   32768,   41285,   52015,   65536,   82570,
    104031,   131072,   165140,  208063,  262144,  330280,  416127,  524287,  660561,  832255,
    1048576,  1321122,  1664510, 2097152, 2642245, 3329021, 4194304, 5284491, 6658042, 8388607,
    10568983, 13316085, 16777216};
constexpr int kFirstSmallIndex = 9;
constexpr int kLastSmallIndex = 72;
// Ranges above this are stored one integer at a time.
constexpr std::int64_t kLargestJointRange = 0xffffff;

consteval bool small_ranges_fit_their_bits() {
  for (int i = kFirstSmallIndex; i <= kLastSmallIndex; ++i) {
    const unsigned __int128 range = kMagicInts[i];
    if (range * range * range > (static_cast<unsigned __int128>(1) << i)) return false;
  }
  return true;
}
static_assert(small_ranges_fit_their_bits());

// Bits to write `value` (1 and up): its bit length.
unsigned bit_length(unsigned __int128 value) {
  unsigned bits = 0;
  for (; value != 0; value >>= 1) ++bits;
  return bits;
}

struct Triple {
  std::int64_t x, y, z;
};

// Three integers stored as one number of `n_bits` (1 to 72) bits: its bytes least significant
// first, each of 8 bits but the last, which has the 1 to 8 bits left; the number is
// (x * sizes[1] + y) * sizes[2] + z. x is the number's low 32 bits, as a signed integer: all
// of it in a frame that is not damaged.
[[gnu::always_inline]] inline Triple read_three(BitStream& bits, unsigned n_bits,
                                                const std::uint32_t (&sizes)[3]) {
  const unsigned full_bytes = (n_bits - 1) / 8;
  const unsigned last_bits = n_bits - 8 * full_bytes;
  if (full_bytes < 8) [[likely]] {
    // Up to 64 bits: the full bytes in one read, most significant first as stored.
    const std::uint64_t stored = bits.read(8 * full_bytes);
    const std::uint64_t last = bits.read(last_bits);
    const std::uint64_t low =
        full_bytes == 0 ? 0 : __builtin_bswap64(stored) >> (64 - 8 * full_bytes);
    std::uint64_t number = low | (last << (8 * full_bytes));
    if (number >> 32 == 0) {
      auto small = static_cast<std::uint32_t>(number);
      const std::uint32_t z = small % sizes[2];
      small /= sizes[2];
      const std::uint32_t y = small % sizes[1];
      return {static_cast<std::int32_t>(small / sizes[1]), y, z};
    }
    const std::uint64_t z = number % sizes[2];
    number /= sizes[2];
    const std::uint64_t y = number % sizes[1];
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(number / sizes[1])),
            static_cast<std::int64_t>(y), static_cast<std::int64_t>(z)};
  }
  const std::uint64_t high = bits.read(32);
  const std::uint64_t stored = (high << 32) | bits.read(32);
  const std::uint64_t last = bits.read(last_bits);
  unsigned __int128 number =
      __builtin_bswap64(stored) | (static_cast<unsigned __int128>(last) << 64);
  const auto z = static_cast<std::int64_t>(number % sizes[2]);
  number /= sizes[2];
  const auto y = static_cast<std::int64_t>(number % sizes[1]);
  return {static_cast<std::int32_t>(static_cast<std::uint32_t>(number / sizes[1])), y, z};
}

struct CompressedHeader {
  float precision;
  std::int64_t minimum[3];
  std::int64_t maximum[3];
  std::int32_t small_index;
  Bytes data;
};

// The first `kept` atoms of `n_atoms`.
FrameStatus decode_compressed(const CompressedHeader& h, std::int32_t n_atoms, std::int32_t kept,
                              float* xyz) {
  const auto fail = [] { return FrameStatus(FrameProblem{FrameFailure::coordinates}); };
  if (!std::isfinite(h.precision) || !(h.precision > 0.0f)) return fail();
  if (h.small_index < kFirstSmallIndex || h.small_index > kLastSmallIndex) return fail();
  std::uint32_t sizes[3];  // below 2^33; above 2^24 only bits_each count
  unsigned bits_each[3];
  bool joint = true;
  for (int d = 0; d < 3; ++d) {
    const std::int64_t range = h.maximum[d] - h.minimum[d] + 1;
    if (range < 1) return fail();
    sizes[d] = static_cast<std::uint32_t>(range);
    bits_each[d] = std::min(bit_length(static_cast<unsigned __int128>(range)), 32u);
    joint = joint && range <= kLargestJointRange;
  }
  const unsigned joint_bits =
      joint ? bit_length(static_cast<unsigned __int128>(sizes[0]) * sizes[1] * sizes[2]) : 0;

  // Multiplied as the writers' readers do: the integer as a float, times 1/precision rounded
  // to float from double.
  const float scale = static_cast<float>(1.0 / static_cast<double>(h.precision));
  const auto put = [&](std::int64_t atom, const Triple& c) {
    if (atom >= kept) return;
    float* out = xyz + 3 * atom;
    out[0] = static_cast<float>(c.x) * scale;
    out[1] = static_cast<float>(c.y) * scale;
    out[2] = static_cast<float>(c.z) * scale;
  };

  BitStream bits(h.data);
  std::int64_t small_index = h.small_index;
  std::int64_t small_half = kMagicInts[h.small_index] / 2;
  std::uint32_t small_sizes[3] = {kMagicInts[h.small_index], kMagicInts[h.small_index],
                                  kMagicInts[h.small_index]};
  unsigned run = 0;  // integers of small atoms after each big one (3 per atom)
  std::int64_t atom = 0;
  while (atom < kept) {
    Triple big;
    if (joint) [[likely]] {
      big = read_three(bits, joint_bits, sizes);
    } else {
      big.x = static_cast<std::int64_t>(bits.read(bits_each[0]));
      big.y = static_cast<std::int64_t>(bits.read(bits_each[1]));
      big.z = static_cast<std::int64_t>(bits.read(bits_each[2]));
    }
    big.x += h.minimum[0];
    big.y += h.minimum[1];
    big.z += h.minimum[2];
    const std::int64_t big_atom = atom++;

    int small_change = 0;
    if (bits.read(1) != 0) {
      const auto coded = static_cast<unsigned>(bits.read(5));
      small_change = static_cast<int>(coded % 3) - 1;
      run = coded - coded % 3;
    }
    if (run > 0) {
      if (small_index < kFirstSmallIndex || small_index > kLastSmallIndex) return fail();
      if (run / 3 > static_cast<std::uint64_t>(n_atoms - atom)) return fail();
      const auto n_bits = static_cast<unsigned>(small_index);
      // The first small atom is stored after the big one and placed before it; each later one
      // is a difference to the one placed before it.
      Triple previous = read_three(bits, n_bits, small_sizes);
      previous.x += big.x - small_half;
      previous.y += big.y - small_half;
      previous.z += big.z - small_half;
      put(big_atom, previous);
      put(big_atom + 1, big);
      ++atom;
      for (unsigned k = 3; k < run && atom < kept; k += 3) {
        Triple current = read_three(bits, n_bits, small_sizes);
        current.x += previous.x - small_half;
        current.y += previous.y - small_half;
        current.z += previous.z - small_half;
        put(atom++, current);
        previous = current;
      }
    } else {
      put(big_atom, big);
    }
    if (small_change != 0) {
      small_index += small_change;
      if (small_index >= kFirstSmallIndex && small_index <= kLastSmallIndex) {
        const std::uint32_t range = kMagicInts[static_cast<std::size_t>(small_index)];
        small_half = range / 2;
        small_sizes[0] = small_sizes[1] = small_sizes[2] = range;
      }
    }
    if (bits.overran()) return fail();
  }
  return {};
}

}  // namespace

FrameStatus decode_xtc_frame(Bytes frame, std::int32_t n_atoms, const FrameSlot& slot) {
  const auto header = [](FrameFailure failure) { return FrameStatus(FrameProblem{failure}); };
  XdrStream stream(frame);
  const auto magic = stream.read_int32();
  const auto atoms = stream.read_int32();
  const auto step = stream.read_int32();
  const auto time = stream.read_float();
  if (!magic || !atoms || (*magic != kXtcMagic && *magic != kXtcLargeMagic) || *atoms <= 0) {
    return header(FrameFailure::no_header);
  }
  if (*atoms != n_atoms) {
    return FrameStatus(FrameProblem{FrameFailure::atom_count, *atoms, n_atoms});
  }
  float box[9];
  for (float& value : box) {
    const auto read = stream.read_float();
    if (!read) return header(FrameFailure::no_header);
    value = *read;
  }
  const auto repeated = stream.read_int32();
  if (!step || !time || !repeated || *repeated != n_atoms) return header(FrameFailure::no_header);

  const std::int32_t kept = slot.atoms_stored(n_atoms);
  if (n_atoms <= kXtcUncompressedAtoms) {
    for (std::int32_t i = 0; i < 3 * n_atoms; ++i) {
      const auto value = stream.read_float();
      if (!value) return header(FrameFailure::file_ends);
      if (i < 3 * kept) slot.xyz[i] = *value;
    }
  } else {
    CompressedHeader compressed{};
    const auto precision = stream.read_float();
    if (!precision) return header(FrameFailure::no_header);
    compressed.precision = *precision;
    for (std::int64_t* bound : {compressed.minimum, compressed.maximum}) {
      for (int d = 0; d < 3; ++d) {
        const auto value = stream.read_int32();
        if (!value) return header(FrameFailure::no_header);
        bound[d] = *value;
      }
    }
    const auto small_index = stream.read_int32();
    if (!small_index) return header(FrameFailure::no_header);
    compressed.small_index = *small_index;
    std::optional<std::int64_t> n_bytes;
    if (*magic == kXtcLargeMagic) {
      n_bytes = stream.read_int64();
    } else if (const auto counted = stream.read_int32()) {
      n_bytes = *counted;
    }
    if (!n_bytes || *n_bytes < 0) return header(FrameFailure::no_header);
    // The bytes past those the atoms can use are never read: they may be cut off.
    const std::uint64_t used =
        std::min(std::uint64_t(*n_bytes), xtc_coordinate_bytes_used(std::min(n_atoms, kept + 1)));
    const auto data = stream.read_bytes(used);
    if (!data) return header(FrameFailure::file_ends);
    compressed.data = *data;
    if (FrameStatus decoded = decode_compressed(compressed, n_atoms, kept, slot.xyz);
        !decoded.ok()) {
      return decoded;
    }
  }
  std::copy(box, box + 9, slot.box);
  *slot.time = *time;
  *slot.step = *step;
  return {};
}

}  // namespace brenvox::xdr
