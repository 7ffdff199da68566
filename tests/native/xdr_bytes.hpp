#pragma once
// Hand-made .xtc and .trr bytes for the native tests and the fuzz target: XDR values, the bit
// stream of compressed .xtc coordinates, whole frames, and an .xtc coordinate encoder that
// forms runs of small atoms and changes the small-index, for round trips through the decoder.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace brenvox::testing_support {

class XdrBytes {
 public:
  XdrBytes& int32(std::int32_t value) { return uint32(static_cast<std::uint32_t>(value)); }
  XdrBytes& uint32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) data.push_back(std::uint8_t(value >> shift));
    return *this;
  }
  XdrBytes& int64(std::int64_t value) {
    uint32(std::uint32_t(std::uint64_t(value) >> 32));
    return uint32(std::uint32_t(std::uint64_t(value)));
  }
  XdrBytes& float32(float value) { return uint32(std::bit_cast<std::uint32_t>(value)); }
  XdrBytes& float64(double value) { return int64(std::bit_cast<std::int64_t>(value)); }
  XdrBytes& real(double value, int precision) {
    return precision == 8 ? float64(value) : float32(static_cast<float>(value));
  }
  // Raw bytes, then zeros to a multiple of four.
  XdrBytes& padded(std::span<const std::uint8_t> bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
    while (data.size() % 4 != 0) data.push_back(0);
    return *this;
  }

  std::vector<std::uint8_t> data;
};

// Numbers most significant bit first, packed without alignment.
class BitWriter {
 public:
  void write(std::uint64_t value, unsigned n_bits) {
    for (unsigned i = n_bits; i-- > 0;) {
      if (n_bits_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= std::uint8_t(0x80 >> (n_bits_ % 8));
      ++n_bits_;
    }
  }
  // Three integers as one number (a * sizes[1] + b) * sizes[2] + c of `n_bits` bits: bytes
  // least significant first, 8 bits each but the last.
  void write_three(unsigned n_bits, const std::array<std::uint32_t, 3>& sizes,
                   const std::array<std::int64_t, 3>& values) {
    unsigned __int128 number = std::uint64_t(values[0]);
    number = number * sizes[1] + std::uint64_t(values[1]);
    number = number * sizes[2] + std::uint64_t(values[2]);
    while (n_bits > 8) {
      write(std::uint64_t(number & 0xff), 8);
      number >>= 8;
      n_bits -= 8;
    }
    write(std::uint64_t(number), n_bits);
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t n_bits_ = 0;
};

inline constexpr std::array<std::uint32_t, 73> kTestMagicInts = {
    0,        0,        0,       0,       0,       0,       0,       0,       0,       8,
    10,       12,       16,      20,      25,      32,      40,      50,      64,      80,
    101,      128,      161,     203,     256,     322,     406,     512,     645,     812,
    1024,     1290,     1625,    2048,    2580,    3250,    4096,    5060,    6501,    8192,
    10321,    13003,    16384,   20642,   26007,   32768,   41285,   52015,   65536,   82570,
    104031,   131072,   165140,  208063,  262144,  330280,  416127,  524287,  660561,  832255,
    1048576,  1321122,  1664510, 2097152, 2642245, 3329021, 4194304, 5284491, 6658042, 8388607,
    10568983, 13316085, 16777216};

inline unsigned test_bit_length(unsigned __int128 value) {
  unsigned bits = 0;
  for (; value != 0; value >>= 1) ++bits;
  return bits;
}

using IntXyz = std::array<std::int64_t, 3>;

// The fields of a compressed .xtc frame after its repeated atom count.
struct CompressedCoordinates {
  float precision = 1000.0f;
  IntXyz minimum{}, maximum{};
  std::int32_t small_index = 9;
  std::vector<std::uint8_t> stream;
};

// An encoder of integer coordinates: each step a big atom and, where the atoms after it are
// close, a run of small ones (the first stored after the big one, placed before it), with the
// small-index changed now and then at random. Not a compressor: it shows that the decoder
// reads what the format says.
inline CompressedCoordinates encode_xtc(const std::vector<IntXyz>& atoms, float precision,
                                        std::uint64_t seed, int first_small_index = 9) {
  CompressedCoordinates c;
  c.precision = precision;
  c.minimum = atoms[0];
  c.maximum = atoms[0];
  for (const IntXyz& a : atoms) {
    for (int d = 0; d < 3; ++d) {
      c.minimum[d] = std::min(c.minimum[d], a[d]);
      c.maximum[d] = std::max(c.maximum[d], a[d]);
    }
  }
  std::array<std::uint32_t, 3> sizes{};
  bool joint = true;
  unsigned each[3];
  for (int d = 0; d < 3; ++d) {
    const std::int64_t range = c.maximum[d] - c.minimum[d] + 1;
    sizes[d] = std::uint32_t(range);
    each[d] = std::min(test_bit_length(std::uint64_t(range)), 32u);
    joint = joint && range <= 0xffffff;
  }
  const unsigned joint_bits =
      joint ? test_bit_length((unsigned __int128)sizes[0] * sizes[1] * sizes[2]) : 0;
  c.small_index = first_small_index;
  std::mt19937_64 rng(seed);
  BitWriter bits;
  int small_index = first_small_index;
  unsigned previous_run = 0;
  std::size_t i = 0;
  const auto fits_small = [&](const IntXyz& to, const IntXyz& from, int index) {
    const std::int64_t half = kTestMagicInts[index] / 2;
    for (int d = 0; d < 3; ++d) {
      const std::int64_t v = to[d] - from[d] + half;
      if (v < 0 || v >= std::int64_t(kTestMagicInts[index])) return false;
    }
    return true;
  };
  while (i < atoms.size()) {
    // The group: atoms i (first small), i + 1 (big), i + 2 ... (small), up to ten smalls.
    std::size_t n_small = 0;
    if (i + 1 < atoms.size() && fits_small(atoms[i], atoms[i + 1], small_index)) {
      n_small = 1;
      while (n_small < 10 && i + 1 + n_small < atoms.size() &&
             fits_small(atoms[i + 1 + n_small], atoms[i + (n_small == 1 ? 0 : n_small)],
                        small_index)) {
        ++n_small;
      }
    }
    const IntXyz& big = n_small > 0 ? atoms[i + 1] : atoms[i];
    IntXyz shifted;
    for (int d = 0; d < 3; ++d) shifted[d] = big[d] - c.minimum[d];
    if (joint) {
      bits.write_three(joint_bits, sizes, shifted);
    } else {
      for (int d = 0; d < 3; ++d) bits.write(std::uint64_t(shifted[d]), each[d]);
    }
    int change = int(rng() % 3) - 1;
    if (small_index + change < 9 || small_index + change > 72) change = 0;
    if (n_small == 10 && change == 1) change = 0;  // the 5-bit code tops out at 31
    const unsigned run = unsigned(3 * n_small);
    if (run != previous_run || change != 0 || rng() % 4 == 0) {
      bits.write(1, 1);
      bits.write(run + unsigned(change + 1), 5);
      previous_run = run;
    } else {
      bits.write(0, 1);
    }
    const std::int64_t half = kTestMagicInts[small_index] / 2;
    const std::array<std::uint32_t, 3> small_sizes{
        kTestMagicInts[small_index], kTestMagicInts[small_index], kTestMagicInts[small_index]};
    const IntXyz* from = &big;
    for (std::size_t k = 0; k < n_small; ++k) {
      const IntXyz& atom = atoms[k == 0 ? i : i + 1 + k];
      IntXyz delta;
      for (int d = 0; d < 3; ++d) delta[d] = atom[d] - (*from)[d] + half;
      bits.write_three(unsigned(small_index), small_sizes, delta);
      from = &atom;
    }
    small_index += change;
    i += 1 + n_small;
  }
  c.stream = bits.bytes();
  return c;
}

struct XtcHeaderFields {
  std::int32_t magic = 1995;
  std::int32_t n_atoms = 0;
  std::int32_t step = 0;
  float time = 0.0f;
  std::array<float, 9> box{};
};

// A frame of up to nine atoms: floats.
inline std::vector<std::uint8_t> xtc_frame(const XtcHeaderFields& fields,
                                           std::span<const float> xyz) {
  XdrBytes b;
  b.int32(fields.magic).int32(fields.n_atoms).int32(fields.step).float32(fields.time);
  for (float v : fields.box) b.float32(v);
  b.int32(fields.n_atoms);
  for (float v : xyz) b.float32(v);
  return b.data;
}

// A compressed frame; `n_bytes` replaces the stream's byte count when given.
inline std::vector<std::uint8_t> xtc_frame(const XtcHeaderFields& fields,
                                           const CompressedCoordinates& c,
                                           std::optional<std::int64_t> n_bytes = {}) {
  XdrBytes b;
  b.int32(fields.magic).int32(fields.n_atoms).int32(fields.step).float32(fields.time);
  for (float v : fields.box) b.float32(v);
  b.int32(fields.n_atoms).float32(c.precision);
  for (std::int64_t v : c.minimum) b.int32(std::int32_t(v));
  for (std::int64_t v : c.maximum) b.int32(std::int32_t(v));
  b.int32(c.small_index);
  const std::int64_t count = n_bytes.value_or(std::int64_t(c.stream.size()));
  if (fields.magic == 2023) {
    b.int64(count);
  } else {
    b.int32(std::int32_t(count));
  }
  b.padded(c.stream);
  return b.data;
}

struct TrrFrameFields {
  int precision = 4;
  std::int32_t n_atoms = 0;
  std::int32_t step = 0;
  double time = 0.0, lambda = 0.0;
  std::optional<std::array<double, 9>> box;
  std::optional<std::vector<double>> x, v, f;
  std::optional<std::array<std::int32_t, 10>> sizes;  // replaces the block sizes when given
  std::int32_t version_length = 12;                   // of "GMX_trn_file"
};

inline std::vector<std::uint8_t> trr_frame(const TrrFrameFields& s) {
  const std::int32_t matrix = 9 * s.precision;
  // Wrapped to 32 bits, as a writer's int would, for atom counts that do not fit.
  const auto vectors = static_cast<std::int32_t>(std::int64_t{3} * s.n_atoms * s.precision);
  // Of the ten block sizes (ir, e, box, vir, pres, top, sym, x, v, f), those of the blocks written.
  std::array<std::int32_t, 10> sizes{};
  sizes[2] = s.box ? matrix : 0;
  sizes[7] = s.x ? vectors : 0;
  sizes[8] = s.v ? vectors : 0;
  sizes[9] = s.f ? vectors : 0;
  if (s.sizes) sizes = *s.sizes;
  XdrBytes b;
  b.int32(1993).int32(13).int32(s.version_length);
  // Up to 64 bytes of the version string: a longer length is damage, not a string to write.
  const std::vector<std::uint8_t> version(std::size_t(std::clamp(s.version_length, 0, 64)), 'G');
  b.padded(version);
  for (std::int32_t size : sizes) b.int32(size);
  b.int32(s.n_atoms).int32(s.step).int32(0).real(s.time, s.precision).real(s.lambda, s.precision);
  if (s.box) {
    for (double v : *s.box) b.real(v, s.precision);
  }
  for (const auto* block : {&s.x, &s.v, &s.f}) {
    if (*block) {
      for (double v : **block) b.real(v, s.precision);
    }
  }
  return b.data;
}

inline std::vector<std::uint8_t> joined(const std::vector<std::vector<std::uint8_t>>& frames) {
  std::vector<std::uint8_t> all;
  for (const auto& frame : frames) all.insert(all.end(), frame.begin(), frame.end());
  return all;
}

}  // namespace brenvox::testing_support
