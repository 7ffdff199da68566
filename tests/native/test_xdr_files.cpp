// The readers of .xtc and .trr files on hand-made bytes: the bounds-checked XDR stream and bit
// stream, the frame decoders (round trips through a test encoder, and every kind of damage:
// truncation, corrupt lengths and counts, bad magic, huge atom counts), the frame index, and
// threaded reading.

#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "parallel/worker_pool.hpp"
#include "trajectory_files/bit_stream.hpp"
#include "trajectory_files/byte_source.hpp"
#include "trajectory_files/frame_decoders.hpp"
#include "trajectory_files/frame_headers.hpp"
#include "trajectory_files/frame_index.hpp"
#include "trajectory_files/frame_reading.hpp"
#include "trajectory_files/xdr_stream.hpp"
#include "xdr_bytes.hpp"

namespace brenvox::xdr {
namespace {

using testing_support::CompressedCoordinates;
using testing_support::encode_xtc;
using testing_support::IntXyz;
using testing_support::joined;
using testing_support::trr_frame;
using testing_support::TrrFrameSpec;
using testing_support::XdrBytes;
using testing_support::xtc_frame;
using testing_support::XtcHeaderFields;

using ByteVector = std::vector<std::uint8_t>;

// A frame's decoded values, with room for `n_atoms`.
struct Decoded {
  explicit Decoded(std::int32_t n_atoms) : xyz(3 * std::size_t(n_atoms), -1.0f) {}
  std::vector<float> xyz;
  float box[9] = {};
  float time = 0;
  std::int64_t step = 0;
  FrameSlot slot() { return {xyz.data(), box, &time, &step}; }
};

std::optional<FrameFailure> failure_of(const FrameStatus& status) {
  if (status.ok()) return std::nullopt;
  return const_cast<FrameStatus&>(status).error().failure;
}

// --- The XDR stream and the bit stream

TEST(XdrStream, ReadsBigEndianValuesAndNothingPastTheEnd) {
  XdrBytes b;
  b.int32(-2).float32(1.5f).int64(-3).float64(0.25);
  XdrStream s(b.data);
  EXPECT_EQ(s.read_int32(), -2);
  EXPECT_EQ(s.read_float(), 1.5f);
  EXPECT_EQ(s.read_int64(), -3);
  EXPECT_EQ(s.read_double(), 0.25);
  EXPECT_EQ(s.remaining(), 0u);
  EXPECT_FALSE(s.read_int32());
  EXPECT_FALSE(s.read_int64());
  EXPECT_FALSE(s.read_double());
  EXPECT_FALSE(s.read_bytes(1));
  EXPECT_TRUE(s.read_bytes(0));
}

TEST(XdrStream, AFailedReadLeavesThePositionAndOpaqueDataIsPadded) {
  const ByteVector bytes = {1, 2, 3, 4, 5, 6, 7};
  XdrStream s(bytes);
  EXPECT_FALSE(s.read_int64());
  EXPECT_EQ(s.position(), 0u);
  const auto data = s.read_opaque(3);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->size(), 3u);
  EXPECT_EQ(s.position(), 4u);
  EXPECT_FALSE(s.read_opaque(3));  // 4 with padding, 3 left
  EXPECT_FALSE(s.read_opaque(UINT64_MAX));
  EXPECT_FALSE(s.read_opaque(UINT64_MAX - 2));
  EXPECT_FALSE(s.read_bytes(UINT64_MAX));
  EXPECT_EQ(s.position(), 4u);
  EXPECT_EQ(padded_size(UINT64_MAX), std::nullopt);
}

TEST(BitStream, ReadsAcrossBytesAndZerosPastTheEnd) {
  const ByteVector bytes = {0b10110011, 0b01011100, 0xff};
  BitStream bits(bytes);
  EXPECT_EQ(bits.read(1), 1u);
  EXPECT_EQ(bits.read(3), 0b011u);
  EXPECT_EQ(bits.read(8), 0b00110101u);
  EXPECT_EQ(bits.read(0), 0u);
  EXPECT_EQ(bits.read(12), 0b110011111111u);
  EXPECT_FALSE(bits.overran());
  EXPECT_EQ(bits.read(56), 0u);
  EXPECT_TRUE(bits.overran());
  const ByteVector none;
  BitStream empty(none);
  EXPECT_EQ(empty.read(5), 0u);
  EXPECT_TRUE(empty.overran());
}

TEST(BitStream, ReadsFiftySixBitsAtEveryAlignment) {
  ByteVector bytes(20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i * 37 + 11);
  for (unsigned skip = 0; skip < 8; ++skip) {
    BitStream bits(bytes);
    bits.read(skip);
    std::uint64_t expected = 0;
    for (unsigned i = skip; i < skip + 56; ++i) {
      expected = (expected << 1) | ((bytes[i / 8] >> (7 - i % 8)) & 1);
    }
    EXPECT_EQ(bits.read(56), expected) << skip;
  }
}

// --- .xtc frames

float scaled(std::int64_t value, float precision) {
  return static_cast<float>(value) * static_cast<float>(1.0 / double(precision));
}

XtcHeaderFields spec_for(std::int32_t n_atoms) {
  XtcHeaderFields fields;
  fields.n_atoms = n_atoms;
  fields.step = 42;
  fields.time = 2.5f;
  fields.box = {3, 0, 0, 0, 4, 0, 0, 0, 5};
  return fields;
}

// Clusters of three atoms (water-like) with single atoms between, `spread` integers apart.
std::vector<IntXyz> clustered_atoms(std::size_t n, std::int64_t spread, std::int64_t offset,
                                    std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<IntXyz> atoms;
  while (atoms.size() < n) {
    IntXyz centre;
    for (auto& v : centre) v = offset + std::int64_t(rng() % std::uint64_t(spread));
    const std::size_t members = 1 + rng() % 4;
    for (std::size_t k = 0; k < members && atoms.size() < n; ++k) {
      IntXyz atom = centre;
      for (auto& v : atom) v += std::int64_t(rng() % 9) - 4;
      atoms.push_back(atom);
    }
  }
  return atoms;
}

void expect_round_trip(const std::vector<IntXyz>& atoms, float precision, std::uint64_t seed,
                       int first_small_index = 9) {
  const auto n = std::int32_t(atoms.size());
  const CompressedCoordinates c = encode_xtc(atoms, precision, seed, first_small_index);
  const ByteVector frame = xtc_frame(spec_for(n), c);
  Decoded d(n);
  ASSERT_TRUE(decode_xtc_frame(frame, n, d.slot()).ok());
  for (std::size_t i = 0; i < atoms.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(d.xyz[3 * i + k]),
                std::bit_cast<std::uint32_t>(scaled(atoms[i][k], precision)))
          << "atom " << i;
    }
  }
  EXPECT_EQ(d.step, 42);
  EXPECT_EQ(d.time, 2.5f);
  EXPECT_EQ(d.box[4], 4.0f);
}

TEST(XtcFrame, RoundTripsOfRunsAndSmallIndexChanges) {
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    expect_round_trip(clustered_atoms(10 + seed * 37, 5000, -2000, seed), 1000.0f, seed);
  }
}

TEST(XtcFrame, RoundTripsOfEveryNumberWidth) {
  // Joint numbers below 32 bits, up to 64, above 64 (the ranges' product past 2^64) and ranges
  // past 2^24, stored one integer at a time; small-indices up to the last.
  expect_round_trip(clustered_atoms(300, 40, 0, 1), 100.0f, 1);
  expect_round_trip(clustered_atoms(300, 1 << 20, -5, 2), 1000.0f, 2);
  expect_round_trip(clustered_atoms(300, (1 << 24) - 10, 7, 3), 1e6f, 3);
  expect_round_trip(clustered_atoms(300, std::int64_t{1} << 30, -(std::int64_t{1} << 29), 4), 1e7f,
                    4);
  expect_round_trip(clustered_atoms(300, 1000, 0, 5), 1000.0f, 5, 72);
  expect_round_trip(clustered_atoms(300, 1000, 0, 6), 1000.0f, 6, 40);
}

TEST(XtcFrame, TheFirstSmallAtomOfARunComesBeforeTheBigOne) {
  // Big atom (5, 5, 5) stored first, then the small (-1, 0, +1) to it, then (+2, +2, +2) to
  // that small one: placed as small, big, second small.
  CompressedCoordinates c;
  c.minimum = {0, 0, 0};
  c.maximum = {15, 15, 15};  // joint bits: bit_length(4096) = 13
  c.small_index = 9;         // ranges of 8, half 4
  testing_support::BitWriter bits;
  bits.write_three(13, {16, 16, 16}, {5, 5, 5});
  bits.write(1, 1);
  bits.write(6 + 1, 5);  // two small atoms, no change of index
  bits.write_three(9, {8, 8, 8}, {-1 + 4, 0 + 4, 1 + 4});
  bits.write_three(9, {8, 8, 8}, {2 + 4, 2 + 4, 2 + 4});
  // The remaining atoms: big ones, flag set, run 0.
  for (int i = 0; i < 7; ++i) {
    bits.write_three(13, {16, 16, 16}, {i, 2 * i, 15 - i});
    bits.write(1, 1);
    bits.write(0 + 1, 5);
  }
  c.stream = bits.bytes();
  Decoded d(10);
  ASSERT_TRUE(decode_xtc_frame(xtc_frame(spec_for(10), c), 10, d.slot()).ok());
  const float expected[4][3] = {{4, 5, 6}, {5, 5, 5}, {6, 7, 8}, {0, 0, 15}};
  for (int atom = 0; atom < 4; ++atom) {
    for (int k = 0; k < 3; ++k)
      EXPECT_EQ(d.xyz[3 * atom + k], scaled(std::int64_t(expected[atom][k]), 1000.0f));
  }
}

TEST(XtcFrame, NineAtomsOrFewerAreFloats) {
  const std::vector<float> xyz = {0.5f, -1.25f, 3e30f, std::numeric_limits<float>::infinity(),
                                  7,    8};
  XtcHeaderFields fields = spec_for(2);
  const ByteVector frame = xtc_frame(fields, xyz);
  Decoded d(2);
  ASSERT_TRUE(decode_xtc_frame(frame, 2, d.slot()).ok());
  EXPECT_EQ(d.xyz, xyz);
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    Decoded e(2);
    const auto failure = failure_of(decode_xtc_frame(Bytes(frame.data(), cut), 2, e.slot()));
    EXPECT_EQ(failure, cut < 56 ? FrameFailure::no_header : FrameFailure::file_ends) << cut;
  }
}

ByteVector small_compressed_frame(XtcHeaderFields fields = spec_for(12),
                                  std::optional<std::int64_t> n_bytes = {}) {
  const CompressedCoordinates c = encode_xtc(clustered_atoms(12, 3000, 0, 9), 1000.0f, 9);
  return xtc_frame(fields, c, n_bytes);
}

TEST(XtcFrame, EveryTruncationFails) {
  const ByteVector frame = small_compressed_frame();
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    Decoded d(12);
    const auto failure = failure_of(decode_xtc_frame(Bytes(frame.data(), cut), 12, d.slot()));
    EXPECT_EQ(failure, cut < 92 ? FrameFailure::no_header : FrameFailure::file_ends) << cut;
  }
  Decoded d(12);
  EXPECT_TRUE(decode_xtc_frame(frame, 12, d.slot()).ok());
}

TEST(XtcFrame, HeaderDamage) {
  XtcHeaderFields fields = spec_for(12);
  Decoded d(12);
  for (std::int32_t magic : {0, 1994, 1996, 1993, -1995}) {
    fields.magic = magic;
    EXPECT_EQ(failure_of(decode_xtc_frame(small_compressed_frame(fields), 12, d.slot())),
              FrameFailure::no_header);
  }
  fields = spec_for(12);
  for (std::int32_t repeated : {0, 11, 13, -12}) {
    fields.repeated_atoms = repeated;
    EXPECT_EQ(failure_of(decode_xtc_frame(small_compressed_frame(fields), 12, d.slot())),
              FrameFailure::no_header);
  }
  fields = spec_for(12);
  auto status = decode_xtc_frame(small_compressed_frame(fields), 13, d.slot());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().failure, FrameFailure::atom_count);
  EXPECT_EQ(describe(status.error()), "it holds 12 atoms where the frames before hold 13");
  for (std::int32_t atoms : {0, -5, std::numeric_limits<std::int32_t>::min()}) {
    fields.n_atoms = atoms;
    EXPECT_EQ(failure_of(decode_xtc_frame(small_compressed_frame(fields), 12, d.slot())),
              FrameFailure::no_header);
  }
}

TEST(XtcFrame, CorruptByteCounts) {
  Decoded d(12);
  const ByteVector frame = small_compressed_frame();
  const std::int64_t stream_bytes = std::int64_t(frame.size()) - 92;
  for (std::int64_t n_bytes : {std::int64_t{-1}, std::int64_t{INT32_MIN}}) {
    EXPECT_EQ(
        failure_of(decode_xtc_frame(small_compressed_frame(spec_for(12), n_bytes), 12, d.slot())),
        FrameFailure::no_header);
  }
  // Longer than the frame: the file ends inside it.
  for (std::int64_t n_bytes : {stream_bytes + 5, std::int64_t{INT32_MAX}}) {
    EXPECT_EQ(
        failure_of(decode_xtc_frame(small_compressed_frame(spec_for(12), n_bytes), 12, d.slot())),
        FrameFailure::file_ends);
  }
  // Shorter than its coordinates need: they cannot be decoded.
  for (std::int64_t n_bytes : {std::int64_t{0}, std::int64_t{1}, stream_bytes - 9}) {
    EXPECT_EQ(
        failure_of(decode_xtc_frame(small_compressed_frame(spec_for(12), n_bytes), 12, d.slot())),
        FrameFailure::coordinates);
  }
  // Magic 2023: a 64-bit count.
  XtcHeaderFields large = spec_for(12);
  large.magic = 2023;
  EXPECT_TRUE(decode_xtc_frame(small_compressed_frame(large), 12, d.slot()).ok());
  for (std::int64_t n_bytes : {std::int64_t{-1}, std::int64_t{INT64_MIN}}) {
    EXPECT_EQ(failure_of(decode_xtc_frame(small_compressed_frame(large, n_bytes), 12, d.slot())),
              FrameFailure::no_header);
  }
  for (std::int64_t n_bytes : {std::int64_t{1} << 40, std::int64_t{INT64_MAX}}) {
    EXPECT_EQ(failure_of(decode_xtc_frame(small_compressed_frame(large, n_bytes), 12, d.slot())),
              FrameFailure::file_ends);
  }
}

TEST(XtcFrame, CorruptPrecisionBoundsAndSmallIndex) {
  const CompressedCoordinates good = encode_xtc(clustered_atoms(12, 3000, 0, 9), 1000.0f, 9);
  const auto fails = [&](CompressedCoordinates c) {
    Decoded d(12);
    return failure_of(decode_xtc_frame(xtc_frame(spec_for(12), c), 12, d.slot())) ==
           FrameFailure::coordinates;
  };
  for (float precision : {0.0f, -1000.0f, std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity()}) {
    CompressedCoordinates c = good;
    c.precision = precision;
    EXPECT_TRUE(fails(c)) << precision;
  }
  for (std::int32_t index : {-1, 0, 8, 73, INT32_MAX, INT32_MIN}) {
    CompressedCoordinates c = good;
    c.small_index = index;
    EXPECT_TRUE(fails(c)) << index;
  }
  CompressedCoordinates c = good;
  c.maximum[1] = c.minimum[1] - 1;
  EXPECT_TRUE(fails(c));
  c = good;
  c.minimum[0] = INT32_MIN;
  c.maximum[0] = INT32_MAX;  // a range of 2^32: each integer on its own, the stream too short
  EXPECT_TRUE(fails(c));
}

TEST(XtcFrame, RunsPastTheAtomCountOrSmallIndicesOutOfRangeFail) {
  // Ten atoms: a big one with a run of ten small ones would make eleven.
  CompressedCoordinates c;
  c.minimum = {0, 0, 0};
  c.maximum = {15, 15, 15};
  c.small_index = 9;
  testing_support::BitWriter bits;
  bits.write_three(13, {16, 16, 16}, {5, 5, 5});
  bits.write(1, 1);
  bits.write(30 + 1, 5);
  for (int i = 0; i < 10; ++i) bits.write_three(9, {8, 8, 8}, {4, 4, 4});
  c.stream = bits.bytes();
  Decoded d(10);
  EXPECT_EQ(failure_of(decode_xtc_frame(xtc_frame(spec_for(10), c), 10, d.slot())),
            FrameFailure::coordinates);
  // The small-index lowered below 9 by a run's code, then used.
  testing_support::BitWriter lowering;
  lowering.write_three(13, {16, 16, 16}, {5, 5, 5});
  lowering.write(1, 1);
  lowering.write(0, 5);  // run 0, index - 1
  lowering.write_three(13, {16, 16, 16}, {5, 5, 5});
  lowering.write(1, 1);
  lowering.write(3 + 1, 5);  // one small atom at index 8: no range
  lowering.write_three(9, {8, 8, 8}, {4, 4, 4});
  for (int i = 0; i < 7; ++i) {
    lowering.write_three(13, {16, 16, 16}, {1, 1, 1});
    lowering.write(1, 1);
    lowering.write(1, 5);
  }
  c.stream = lowering.bytes();
  EXPECT_EQ(failure_of(decode_xtc_frame(xtc_frame(spec_for(10), c), 10, d.slot())),
            FrameFailure::coordinates);
}

TEST(XtcFrame, FlippedStreamBitsDecodeOrFailWithinTheFrame) {
  const ByteVector frame = small_compressed_frame(spec_for(40));
  for (std::size_t byte = 92; byte < frame.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      ByteVector flipped = frame;
      flipped[byte] ^= std::uint8_t(1 << bit);
      Decoded d(40);
      const auto status = decode_xtc_frame(flipped, 40, d.slot());
      if (!status.ok()) {
        EXPECT_EQ(failure_of(status), FrameFailure::coordinates);
      }
    }
  }
}

// --- .trr frames

std::vector<double> ramp(std::size_t n, double start) {
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = start + 0.1 * double(i) + 1e-9;
  return values;
}

TrrFrameSpec trr_spec(int precision, std::int32_t n_atoms) {
  TrrFrameSpec s;
  s.precision = precision;
  s.n_atoms = n_atoms;
  s.step = 7;
  s.time = 1.0 / 3.0;
  s.box = std::array<double, 9>{2.2, 0, 0, 0.1, 2.3, 0, 0.2, 0.3, 2.4};
  s.x = ramp(3 * std::size_t(n_atoms), -1.0);
  s.v = ramp(3 * std::size_t(n_atoms), 5.0);
  s.f = ramp(3 * std::size_t(n_atoms), 9.0);
  return s;
}

TEST(TrrFrame, FloatAndDoublePrecisionRoundedOnce) {
  for (int precision : {4, 8}) {
    const TrrFrameSpec s = trr_spec(precision, 5);
    Decoded d(5);
    ASSERT_TRUE(decode_trr_frame(trr_frame(s), 5, d.slot()).ok());
    for (std::size_t i = 0; i < 15; ++i) EXPECT_EQ(d.xyz[i], static_cast<float>((*s.x)[i]));
    for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(d.box[i], static_cast<float>((*s.box)[i]));
    EXPECT_EQ(d.time, static_cast<float>(1.0 / 3.0));
    EXPECT_EQ(d.step, 7);
  }
}

TEST(TrrFrame, WithoutBoxOrCoordinates) {
  TrrFrameSpec s = trr_spec(4, 3);
  s.box.reset();
  Decoded d(3);
  ASSERT_TRUE(decode_trr_frame(trr_frame(s), 3, d.slot()).ok());
  for (float v : d.box) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(d.xyz[0], static_cast<float>((*s.x)[0]));
  s.x.reset();
  Decoded e(3);
  ASSERT_TRUE(decode_trr_frame(trr_frame(s), 3, e.slot()).ok());
  for (float v : e.xyz) EXPECT_TRUE(std::isnan(v));
  // Precision from the velocities when there is neither box nor coordinates; the virial and
  // pressure blocks are skipped.
  s = trr_spec(8, 3);
  s.box.reset();
  s.x.reset();
  EXPECT_TRUE(decode_trr_frame(trr_frame(s), 3, e.slot()).ok());
  s = trr_spec(8, 3);
  std::array<std::int32_t, 10> sizes{0, 0, 72, 72, 72, 0, 0, 72, 0, 0};
  s.sizes = sizes;
  ByteVector frame = trr_frame(s);  // box then v and f written where vir and pres are said
  Decoded f(3);
  ASSERT_TRUE(decode_trr_frame(frame, 3, f.slot()).ok());
  EXPECT_EQ(f.xyz[0], static_cast<float>((*s.f)[0]));
}

TEST(TrrFrame, BlockSizesThatDoNotFitTheAtomsFail) {
  Decoded d(4);
  for (int block : {2, 3, 4, 7, 8, 9}) {
    TrrFrameSpec s = trr_spec(4, 4);
    std::array<std::int32_t, 10> sizes{0, 0, 36, 0, 0, 0, 0, 48, 48, 48};
    sizes[std::size_t(block)] += 4;
    s.sizes = sizes;
    const auto status = decode_trr_frame(trr_frame(s), 4, d.slot());
    EXPECT_EQ(failure_of(status), FrameFailure::block_sizes) << block;
  }
  TrrFrameSpec s = trr_spec(4, 4);
  s.sizes = std::array<std::int32_t, 10>{0, 0, 36, 0, 0, 0, 0, -48, 48, 48};
  EXPECT_EQ(failure_of(decode_trr_frame(trr_frame(s), 4, d.slot())), FrameFailure::no_header);
  s.sizes =
      std::array<std::int32_t, 10>{0, 0, 44, 0, 0, 0, 0, 48, 48, 48};  // precision 4 by 44 / 9
  EXPECT_EQ(failure_of(decode_trr_frame(trr_frame(s), 4, d.slot())), FrameFailure::block_sizes);
  s.sizes = std::array<std::int32_t, 10>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // no precision at all
  EXPECT_EQ(failure_of(decode_trr_frame(trr_frame(s), 4, d.slot())), FrameFailure::no_header);
}

TEST(TrrFrame, HeaderDamageAndTruncation) {
  Decoded d(4);
  TrrFrameSpec s = trr_spec(8, 4);
  for (std::int32_t length : {-1, 65, INT32_MAX}) {
    s.version_length = length;
    EXPECT_EQ(failure_of(decode_trr_frame(trr_frame(s), 4, d.slot())), FrameFailure::no_header);
  }
  s.version_length = 64;
  EXPECT_TRUE(decode_trr_frame(trr_frame(s), 4, d.slot()).ok());
  s.version_length = 0;
  EXPECT_TRUE(decode_trr_frame(trr_frame(s), 4, d.slot()).ok());
  s = trr_spec(8, 4);
  const auto status = decode_trr_frame(trr_frame(s), 5, d.slot());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(describe(const_cast<FrameStatus&>(status).error()),
            "it holds 4 atoms where the frames before hold 5");
  ByteVector frame = trr_frame(s);
  frame[3] = 0;
  EXPECT_EQ(failure_of(decode_trr_frame(frame, 4, d.slot())), FrameFailure::no_header);
  // Cut anywhere up to the coordinates' end: the header, or the file, ends early.
  s = trr_spec(4, 4);
  s.v.reset();
  s.f.reset();
  frame = trr_frame(s);
  const std::size_t header = 12 + 12 + 13 * 4 + 8;
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    EXPECT_EQ(failure_of(decode_trr_frame(Bytes(frame.data(), cut), 4, d.slot())),
              cut < header ? FrameFailure::no_header : FrameFailure::file_ends)
        << cut;
  }
}

TEST(TrrFrame, HugeAtomCountsAreHeaderDamageNotAllocation) {
  // 3 * atoms * 4 does not fit the int32 sizes: the sizes cannot match any atom count.
  TrrFrameSpec s;
  s.n_atoms = INT32_MAX;
  s.box = std::array<double, 9>{};
  s.sizes = std::array<std::int32_t, 10>{0, 0, 36, 0, 0, 0, 0, 12, 0, 0};
  Decoded d(1);
  EXPECT_EQ(failure_of(decode_trr_frame(trr_frame(s), 1, d.slot())), FrameFailure::atom_count);
  EXPECT_EQ(failure_of(decode_trr_frame(trr_frame(s), INT32_MAX, d.slot())),
            FrameFailure::block_sizes);
}

// --- The index

FrameIndex index_of(const ByteVector& bytes, XdrFormat format) {
  MemorySource source(bytes);
  auto index = index_frames(source, format);
  EXPECT_TRUE(index.ok());
  return std::move(index.value());
}

ByteVector tiny_xtc_frame(std::int32_t n_atoms, std::int32_t step) {
  XtcHeaderFields fields = spec_for(n_atoms);
  fields.step = step;
  return xtc_frame(fields, std::vector<float>(3 * std::size_t(n_atoms), float(step)));
}

TEST(FrameIndex, OffsetsOfEveryFrameAndNoDamage) {
  std::vector<ByteVector> frames;
  std::vector<std::int64_t> expected;
  std::int64_t offset = 0;
  // Enough frames of 68 bytes to cross several windows of reading.
  for (int k = 0; k < 5000; ++k) {
    frames.push_back(tiny_xtc_frame(1, k));
    expected.push_back(offset);
    offset += std::int64_t(frames.back().size());
  }
  const FrameIndex index = index_of(joined(frames), XdrFormat::xtc);
  EXPECT_EQ(index.offsets, expected);
  EXPECT_EQ(index.n_atoms, 1);
  EXPECT_FALSE(index.damage);
}

TEST(FrameIndex, DamageAfterTheReadableFrames) {
  const ByteVector a = small_compressed_frame(), b = small_compressed_frame();
  const auto damage_of = [](const ByteVector& bytes, XdrFormat format = XdrFormat::xtc) {
    const FrameIndex index = index_of(bytes, format);
    return std::pair(index.offsets.size(), index.damage ? describe(*index.damage) : "");
  };
  EXPECT_EQ(damage_of({}), std::pair(std::size_t{0}, std::string()));
  EXPECT_EQ(damage_of({0, 0, 7}),
            std::pair(std::size_t{0}, std::string("it has no valid frame header")));
  ByteVector two = joined({a, b});
  EXPECT_EQ(damage_of(two), std::pair(std::size_t{2}, std::string()));
  for (std::size_t cut = a.size() + 1; cut < two.size(); ++cut) {
    const std::string expected =
        cut - a.size() < 92 ? "it has no valid frame header" : "the file ends inside it";
    EXPECT_EQ(damage_of(ByteVector(two.begin(), two.begin() + std::ptrdiff_t(cut))),
              std::pair(std::size_t{1}, expected))
        << cut;
  }
  EXPECT_EQ(
      damage_of(joined({a, tiny_xtc_frame(3, 0)})),
      std::pair(std::size_t{1}, std::string("it holds 3 atoms where the frames before hold 12")));
  // A .trr file named .xtc, and the other way round.
  const ByteVector trr = trr_frame(trr_spec(4, 3));
  EXPECT_EQ(damage_of(trr), std::pair(std::size_t{0}, std::string("it has no valid frame header")));
  EXPECT_EQ(damage_of(trr, XdrFormat::trr), std::pair(std::size_t{1}, std::string()));
  EXPECT_EQ(damage_of(a, XdrFormat::trr),
            std::pair(std::size_t{0}, std::string("it has no valid frame header")));
}

TEST(FrameIndex, HugeCountsEndTheFileWithoutAllocation) {
  XtcHeaderFields fields = spec_for(INT32_MAX);
  const CompressedCoordinates c = encode_xtc(clustered_atoms(12, 3000, 0, 9), 1000.0f, 9);
  ByteVector frame = xtc_frame(fields, c, std::int64_t{INT32_MAX});
  FrameIndex index = index_of(frame, XdrFormat::xtc);
  EXPECT_TRUE(index.offsets.empty());
  EXPECT_EQ(describe(*index.damage), "the file ends inside it");
  fields.magic = 2023;
  frame = xtc_frame(fields, c, std::int64_t{INT64_MAX});
  index = index_of(frame, XdrFormat::xtc);
  EXPECT_EQ(describe(*index.damage), "the file ends inside it");
  // A frame that says it holds 2^31 - 1 atoms in 92 bytes: its extent fits, but no arrays are
  // made for it.
  frame = xtc_frame(spec_for(INT32_MAX), c, std::int64_t{0});
  index = index_of(frame, XdrFormat::xtc);
  EXPECT_EQ(index.offsets.size(), 1u);
  EXPECT_FALSE(atom_count_fits(XdrFormat::xtc, INT32_MAX, frame.size()));
  EXPECT_TRUE(atom_count_fits(XdrFormat::xtc, 9, 0));
  EXPECT_TRUE(atom_count_fits(XdrFormat::xtc, 400, 100));
  EXPECT_FALSE(atom_count_fits(XdrFormat::xtc, 404, 100));
  EXPECT_TRUE(atom_count_fits(XdrFormat::trr, 10, 120));
  EXPECT_FALSE(atom_count_fits(XdrFormat::trr, 11, 120));
  EXPECT_FALSE(atom_count_fits(XdrFormat::trr, 0, 120));
  const std::vector<std::int64_t> offsets = {0, 200};
  EXPECT_FALSE(problem_before_reading(XdrFormat::xtc, 400, 100, offsets));
  EXPECT_FALSE(problem_before_reading(XdrFormat::xtc, 404, 100, {}));
  EXPECT_EQ(problem_before_reading(XdrFormat::xtc, 404, 100, offsets)->failure,
            FrameFailure::too_many_atoms);
  EXPECT_EQ(problem_before_reading(XdrFormat::xtc, 404, 0, offsets)->failure,
            FrameFailure::file_ends);
  EXPECT_EQ(describe(*problem_before_reading(XdrFormat::trr, 11, 120, offsets)),
            "the file is too short for its atom count");
}

TEST(FormatOfPath, TheSuffixOfTheLastComponentAsPathlibHasIt) {
  EXPECT_EQ(format_of_path("a.xtc"), XdrFormat::xtc);
  EXPECT_EQ(format_of_path("dir/A.XtC"), XdrFormat::xtc);
  EXPECT_EQ(format_of_path("a.xtc/"), XdrFormat::xtc);
  EXPECT_EQ(format_of_path("a.xtc//./"), XdrFormat::xtc);
  EXPECT_EQ(format_of_path("..xtc"), XdrFormat::xtc);
  EXPECT_EQ(format_of_path("a.b.xtc"), XdrFormat::xtc);
  EXPECT_EQ(format_of_path(".xtc"), XdrFormat::trr);
  EXPECT_EQ(format_of_path("d/.xtc"), XdrFormat::trr);
  EXPECT_EQ(format_of_path("a.xtc."), XdrFormat::trr);
  EXPECT_EQ(format_of_path("a.xtcx"), XdrFormat::trr);
  EXPECT_EQ(format_of_path("a.trr"), XdrFormat::trr);
  EXPECT_EQ(format_of_path(""), XdrFormat::trr);
  EXPECT_EQ(format_of_path("/"), XdrFormat::trr);
}

// --- Reading frames from sources, on threads

struct Arrays {
  Arrays(std::size_t n_frames, std::int32_t n_atoms)
      : xyz(n_frames * 3 * std::size_t(n_atoms)),
        box(9 * n_frames),
        time(n_frames),
        step(n_frames),
        n_atoms(n_atoms) {}
  FrameArrays view() { return {xyz.data(), box.data(), time.data(), step.data(), n_atoms}; }
  std::vector<float> xyz, box, time;
  std::vector<std::int64_t> step;
  std::int32_t n_atoms;
};

TEST(ReadFrames, TheFramesBeforeTheFirstProblemWhateverTheWorkers) {
  std::vector<ByteVector> frames;
  for (int k = 0; k < 64; ++k) {
    XtcHeaderFields fields = spec_for(50);
    fields.step = k;
    frames.push_back(xtc_frame(fields, encode_xtc(clustered_atoms(50, 3000, k, std::uint64_t(k)),
                                                1000.0f, std::uint64_t(k))));
  }
  ByteVector bytes = joined(frames);
  const FrameIndex index = index_of(bytes, XdrFormat::xtc);
  ASSERT_EQ(index.offsets.size(), 64u);
  // Garbage in the coordinates of frame 40, and a header that is none at 50.
  bytes[std::size_t(index.offsets[40]) + 95] ^= 0xff;
  bytes[std::size_t(index.offsets[40]) + 120] ^= 0xff;
  bytes[std::size_t(index.offsets[50])] = 9;
  MemorySource source(bytes);
  std::optional<Arrays> serial;
  for (std::size_t workers : {1, 2, 3, 8}) {
    auto pool = WorkerPool::create(workers);
    ASSERT_TRUE(pool.ok());
    Arrays arrays(64, 50);
    const FramesRead read =
        read_frames(source, XdrFormat::xtc, index.offsets, arrays.view(), pool.value().get());
    if (read.n_frames == 40) {
      EXPECT_EQ(read.problem->failure, FrameFailure::coordinates);
    } else {
      EXPECT_EQ(read.n_frames, 50u);  // the flipped bits decode to other coordinates
      EXPECT_EQ(read.problem->failure, FrameFailure::no_header);
    }
    for (std::size_t k = 0; k < read.n_frames; ++k) EXPECT_EQ(arrays.step[k], std::int64_t(k));
    if (!serial) {
      serial.emplace(std::move(arrays));
      serial->xyz.resize(read.n_frames * 150);
      continue;
    }
    EXPECT_EQ(read.n_frames * 150, serial->xyz.size());
    EXPECT_TRUE(std::equal(serial->xyz.begin(), serial->xyz.end(), arrays.xyz.begin()));
  }
}

TEST(ReadFrames, OffsetsPastTheEndAndAtomCountsOfOtherFrames) {
  const ByteVector bytes = joined({tiny_xtc_frame(2, 0), tiny_xtc_frame(2, 1)});
  MemorySource source(bytes);
  Arrays arrays(3, 2);
  const std::vector<std::int64_t> offsets = {80, 0, std::int64_t(bytes.size())};
  FramesRead read = read_frames(source, XdrFormat::xtc, offsets, arrays.view(), nullptr);
  EXPECT_EQ(read.n_frames, 2u);
  EXPECT_EQ(describe(*read.problem), "the file ends inside it");
  EXPECT_EQ(arrays.step[0], 1);
  EXPECT_EQ(arrays.step[1], 0);
  Arrays three(1, 3);
  read = read_frames(source, XdrFormat::xtc, std::vector<std::int64_t>{0}, three.view(), nullptr);
  EXPECT_EQ(describe(*read.problem), "it holds 2 atoms where the frames before hold 3");
  read = read_frames(source, XdrFormat::xtc, std::vector<std::int64_t>{-1}, three.view(), nullptr);
  EXPECT_EQ(read.problem->failure, FrameFailure::file_ends);
  read = read_frames(source, XdrFormat::xtc, std::vector<std::int64_t>{}, three.view(), nullptr);
  EXPECT_EQ(read.n_frames, 0u);
  EXPECT_FALSE(read.problem);
}

TEST(FileSource, OpensReadsAndFailsAsTheSystemSays) {
  char name[] = "/tmp/brenvox-xdr-XXXXXX";
  const int descriptor = mkstemp(name);
  ASSERT_GE(descriptor, 0);
  const ByteVector bytes = joined({tiny_xtc_frame(2, 0), tiny_xtc_frame(2, 1)});
  ASSERT_EQ(write(descriptor, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(descriptor);
  auto opened = FileSource::open(name);
  ASSERT_TRUE(opened.ok());
  const FileSource& file = *opened.value();
  EXPECT_EQ(file.size(), bytes.size());
  const FrameIndex index = [&] {
    auto indexed = index_frames(file, XdrFormat::xtc);
    return std::move(indexed.value());
  }();
  EXPECT_EQ(index.offsets.size(), 2u);
  // The file shrinks after it was opened: short reads, no signal.
  ASSERT_EQ(truncate(name, 100), 0);
  Arrays arrays(2, 2);
  const FramesRead read = read_frames(file, XdrFormat::xtc, index.offsets, arrays.view(), nullptr);
  EXPECT_EQ(read.n_frames, 1u);
  EXPECT_EQ(read.problem->failure, FrameFailure::file_ends);
  ByteVector out(10);
  EXPECT_EQ(file.read_at(UINT64_MAX - 3, out).value(), 0u);
  unlink(name);
  EXPECT_EQ(FileSource::open(name).error().error_number, ENOENT);
  EXPECT_EQ(FileSource::open("/tmp").error().error_number, EISDIR);
}

}  // namespace
}  // namespace brenvox::xdr
