// The readers of .xtc and .trr files on hand-made bytes, for what real files seldom or never
// hold: integers of every width, header words no writer writes, huge atom and byte counts, runs
// past the atom count, .trr frames without box or coordinates, thousands of small frames, and
// the first of two problems on any number of workers. Truncations and flipped bytes of real
// files are the fuzz target's (under the sanitizers), their values the Python tests'.

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "parallel/worker_pool.hpp"
#include "trajectory_files/byte_source.hpp"
#include "trajectory_files/frame_decoders.hpp"
#include "trajectory_files/frame_headers.hpp"
#include "trajectory_files/frame_index.hpp"
#include "trajectory_files/frame_reading.hpp"
#include "xdr_bytes.hpp"

namespace brenvox::xdr {
namespace {

using namespace testing_support;

using ByteVector = std::vector<std::uint8_t>;
constexpr auto kNoHeader = FrameFailure::no_header;
constexpr auto kFileEnds = FrameFailure::file_ends;
constexpr auto kCoordinates = FrameFailure::coordinates;
constexpr auto kBlockSizes = FrameFailure::block_sizes;

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

// --- .xtc frames

XtcHeaderFields header_of(std::int32_t n_atoms, std::int32_t step = 42) {
  return {.n_atoms = n_atoms, .step = step, .time = 2.5f, .box = {3, 0, 0, 0, 4, 0, 0, 0, 5}};
}

// Clusters of up to four atoms (water-like) with single atoms between, `spread` integers apart.
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

// A compressed frame of 12 atoms. Its header words, 4 bytes each: magic, atoms, step, time,
// box (16), atoms again (52), precision (56), minimum (60), maximum (72), small-index (84),
// byte count (88; 8 bytes with magic 2023), then the stream (92).
ByteVector twelve_atoms(XtcHeaderFields fields = header_of(12),
                        std::optional<std::int64_t> n_bytes = {}) {
  return xtc_frame(fields, encode_xtc(clustered_atoms(12, 3000, 0, 9), 1000.0f, 9), n_bytes);
}

TEST(XtcFrame, RoundTripsAtEveryIntegerWidthWithRunsAndSmallIndexChanges) {
  struct Case {
    std::size_t n_atoms;
    std::int64_t spread, offset;
    float precision;
    int first_small_index;
  };
  // Runs and changes of the small-index at random; joint numbers below 32 bits, up to 64 and
  // past 64 (the ranges' product past 2^64); ranges past 2^24, each integer on its own; the
  // largest small-indices.
  const Case cases[] = {{10, 5000, -2000, 1000.0f, 9},       {400, 5000, -2000, 1000.0f, 9},
                        {700, 5000, -2000, 1000.0f, 9},      {300, 40, 0, 100.0f, 9},
                        {300, 1 << 20, -5, 1000.0f, 9},      {300, (1 << 24) - 10, 7, 1e6f, 9},
                        {300, 1 << 30, -(1 << 29), 1e7f, 9}, {300, 1000, 0, 1000.0f, 72},
                        {300, 1000, 0, 1000.0f, 40}};
  for (std::uint64_t seed = 0; seed < std::size(cases); ++seed) {
    const Case& t = cases[seed];
    const std::vector<IntXyz> atoms = clustered_atoms(t.n_atoms, t.spread, t.offset, seed);
    const auto n = std::int32_t(atoms.size());
    const auto c = encode_xtc(atoms, t.precision, seed, t.first_small_index);
    Decoded d(n);
    ASSERT_TRUE(decode_xtc_frame(xtc_frame(header_of(n), c), n, d.slot()).ok()) << seed;
    const auto scale = static_cast<float>(1.0 / double(t.precision));
    for (std::size_t i = 0; i < d.xyz.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(d.xyz[i]),
                std::bit_cast<std::uint32_t>(static_cast<float>(atoms[i / 3][i % 3]) * scale))
          << "case " << seed << ", value " << i;
    }
  }
}

TEST(XtcFrame, HeaderWordsNoWriterWrites) {
  const auto word = [](float v) { return std::bit_cast<std::uint32_t>(v); };
  constexpr std::uint32_t kMin = 0x80000000u, kMax = 0x7fffffffu;
  // The frame's failure with its words at the given byte offsets changed.
  const auto failure = [](std::vector<std::pair<std::size_t, std::uint32_t>> words) {
    ByteVector frame = twelve_atoms();
    for (const auto& [at, value] : words) {
      for (std::size_t i = 0; i < 4; ++i) frame[at + i] = std::uint8_t(value >> (24 - 8 * i));
    }
    Decoded d(12);
    return failure_of(decode_xtc_frame(frame, 12, d.slot()));
  };
  // Magic; a repeated atom count that differs; byte counts negative, past the file or too short
  // for the atoms; precisions, small-indices and bounds that make no grid.
  const std::tuple<std::size_t, FrameFailure, std::vector<std::uint32_t>> words[] = {
      {0, kNoHeader, {1994, 1993}},
      {52, kNoHeader, {11, 13}},
      {88, kNoHeader, {0u - 1, kMin}},
      {88, kFileEnds, {kMax}},
      {88, kCoordinates, {0, 1}},
      {56, kCoordinates, {word(0.0f), word(-1000.0f), word(NAN), word(INFINITY)}},
      {84, kCoordinates, {8, 73, kMin, kMax}},
      {76, kCoordinates, {kMin}}};
  for (const auto& [at, expected, values] : words) {
    for (std::uint32_t value : values) {
      EXPECT_EQ(failure({{at, value}}), expected) << at << " " << value;
    }
  }
  for (std::uint32_t atoms : {0u, kMin, 0u - 5}) {  // both atom counts
    EXPECT_EQ(failure({{4, atoms}, {52, atoms}}), kNoHeader) << atoms;
  }
  EXPECT_EQ(failure({{60, kMin}, {72, kMax}}), kCoordinates);  // a range of 2^32
  Decoded d(13);
  EXPECT_EQ(failure_of(decode_xtc_frame(twelve_atoms(), 13, d.slot())), FrameFailure::atom_count);
}

TEST(XtcFrame, TheLargeFormsSixtyFourBitByteCount) {
  XtcHeaderFields large = header_of(12);
  large.magic = 2023;
  Decoded d(12);
  EXPECT_TRUE(decode_xtc_frame(twelve_atoms(large), 12, d.slot()).ok());
  for (std::int64_t n_bytes : {std::int64_t{-1}, INT64_MIN, std::int64_t{1} << 40, INT64_MAX}) {
    EXPECT_EQ(failure_of(decode_xtc_frame(twelve_atoms(large, n_bytes), 12, d.slot())),
              n_bytes < 0 ? kNoHeader : kFileEnds)
        << n_bytes;
  }
}

TEST(XtcFrame, ARunPastTheAtomCountOrASmallIndexBelowNineFails) {
  // Ten atoms in a cube of 16 integers (joint numbers of 13 bits), small-index 9 (ranges of 8).
  const auto big = [](BitWriter& bits, unsigned code) {
    bits.write_three(13, {16, 16, 16}, {5, 5, 5});
    bits.write(1, 1);
    bits.write(code, 5);  // three times the run's atoms, plus one plus the index's change
  };
  BitWriter past;  // a big atom and a run of ten small ones: eleven
  big(past, 31);
  for (int i = 0; i < 10; ++i) past.write_three(9, {8, 8, 8}, {4, 4, 4});
  BitWriter lowered;  // the small-index lowered to 8, which has no range, then used
  big(lowered, 0);
  big(lowered, 4);
  lowered.write_three(9, {8, 8, 8}, {4, 4, 4});
  for (int i = 0; i < 7; ++i) big(lowered, 1);
  for (const BitWriter* bits : {&past, &lowered}) {
    CompressedCoordinates c;
    c.maximum = {15, 15, 15};
    c.stream = bits->bytes();
    Decoded d(10);
    EXPECT_EQ(failure_of(decode_xtc_frame(xtc_frame(header_of(10), c), 10, d.slot())),
              kCoordinates);
  }
}

// --- .trr frames

TrrFrameFields trr_fields(int precision, std::int32_t n_atoms) {
  TrrFrameFields s;
  s.precision = precision;
  s.n_atoms = n_atoms;
  s.step = 7;
  s.time = 1.0 / 3.0;
  s.box = std::array<double, 9>{2.2, 0, 0, 0.1, 2.3, 0, 0.2, 0.3, 2.4};
  s.x = std::vector<double>(3 * std::size_t(n_atoms), -1.1);
  s.v = std::vector<double>(3 * std::size_t(n_atoms), 5.1);
  s.f = std::vector<double>(3 * std::size_t(n_atoms), 9.1);
  return s;
}

TEST(TrrFrame, PrecisionFromTheVelocitiesAndTheVirialAndPressureSkipped) {
  // Real files' frames hold a box or coordinates; without either, the velocities tell.
  for (int precision : {4, 8}) {
    TrrFrameFields s = trr_fields(precision, 3);
    s.box.reset();
    s.x.reset();
    Decoded d(3);
    ASSERT_TRUE(decode_trr_frame(trr_frame(s), 3, d.slot()).ok()) << precision;
    for (float v : d.xyz) EXPECT_TRUE(std::isnan(v));
    for (float v : d.box) EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(d.time, static_cast<float>(1.0 / 3.0));
  }
  // Box, x, v and f written where box, virial, pressure and x are said to be.
  TrrFrameFields s = trr_fields(8, 3);
  s.sizes = std::array<std::int32_t, 10>{0, 0, 72, 72, 72, 0, 0, 72, 0, 0};
  Decoded d(3);
  ASSERT_TRUE(decode_trr_frame(trr_frame(s), 3, d.slot()).ok());
  EXPECT_EQ(d.xyz[0], static_cast<float>((*s.f)[0]));
  EXPECT_EQ(d.box[4], 2.3f);
}

TEST(TrrFrame, HeadersAndBlockSizesThatDoNotFitTheAtoms) {
  using Sizes = std::array<std::int32_t, 10>;
  const Sizes fitting{0, 0, 36, 0, 0, 0, 0, 48, 48, 48};
  const auto failure = [](const Sizes& sizes, std::int32_t version_length = 12) {
    TrrFrameFields s = trr_fields(4, 4);
    s.sizes = sizes;
    s.version_length = version_length;
    Decoded d(4);
    return failure_of(decode_trr_frame(trr_frame(s), 4, d.slot()));
  };
  for (int block : {2, 3, 4, 7, 8, 9}) {
    Sizes sizes = fitting;
    sizes[std::size_t(block)] += 4;
    EXPECT_EQ(failure(sizes), kBlockSizes) << block;
  }
  EXPECT_EQ(failure({0, 0, 44, 0, 0, 0, 0, 48, 48, 48}), kBlockSizes);  // 44 / 9: no precision
  EXPECT_EQ(failure({0, 0, 36, 0, 0, 0, 0, -48, 48, 48}), kNoHeader);
  EXPECT_EQ(failure(Sizes{}), kNoHeader);  // no block to tell the precision
  for (std::int32_t length : {-1, 65, INT32_MAX}) EXPECT_EQ(failure(fitting, length), kNoHeader);
  for (std::int32_t length : {0, 64}) EXPECT_EQ(failure(fitting, length), std::nullopt);

  Decoded d(4);
  ByteVector frame = trr_frame(trr_fields(4, 4));
  EXPECT_EQ(failure_of(decode_trr_frame(frame, 5, d.slot())), FrameFailure::atom_count);
  frame[3] = 0;  // the magic
  EXPECT_EQ(failure_of(decode_trr_frame(frame, 4, d.slot())), kNoHeader);
  // 3 * atoms * 4 does not fit the int32 block sizes: they match no atom count, and no arrays
  // are made for it.
  TrrFrameFields huge;
  huge.n_atoms = INT32_MAX;
  huge.box = std::array<double, 9>{};
  huge.sizes = Sizes{0, 0, 36, 0, 0, 0, 0, 12, 0, 0};
  EXPECT_EQ(failure_of(decode_trr_frame(trr_frame(huge), 1, d.slot())), FrameFailure::atom_count);
  EXPECT_EQ(failure_of(decode_trr_frame(trr_frame(huge), INT32_MAX, d.slot())), kBlockSizes);
}

// --- The index and reading

FrameIndex index_of(const ByteVector& bytes) {
  MemorySource source(bytes);
  auto index = index_frames(source, XdrFormat::xtc);
  EXPECT_TRUE(index.ok());
  return std::move(index.value());
}

TEST(FrameIndex, ThousandsOfSmallFramesAcrossWindowsOfReading) {
  std::vector<ByteVector> frames;
  std::vector<std::int64_t> expected;
  for (int k = 0; k < 5000; ++k) {
    frames.push_back(xtc_frame(header_of(1, k), std::vector<float>{0, 1, 2}));  // 68 bytes
    expected.push_back(68 * k);
  }
  ByteVector bytes = joined(frames);
  FrameIndex index = index_of(bytes);
  EXPECT_EQ(index.offsets, expected);
  EXPECT_EQ(index.n_atoms, 1);
  EXPECT_FALSE(index.damage);
  bytes.pop_back();
  index = index_of(bytes);
  EXPECT_EQ(index.offsets.size(), 4999u);
  EXPECT_EQ(describe(*index.damage), "the file ends inside it");
}

TEST(FrameIndex, HugeCountsEndTheFileAndMakeNoArrays) {
  const auto c = encode_xtc(clustered_atoms(12, 3000, 0, 9), 1000.0f, 9);
  XtcHeaderFields fields = header_of(INT32_MAX);
  fields.magic = 2023;
  EXPECT_EQ(describe(*index_of(xtc_frame(fields, c, INT64_MAX)).damage), "the file ends inside it");
  // 2^31 - 1 atoms in a frame of 92 bytes: its extent fits, but no arrays are made for it.
  const ByteVector frame = xtc_frame(header_of(INT32_MAX), c, std::int64_t{0});
  EXPECT_EQ(index_of(frame).offsets.size(), 1u);
  EXPECT_FALSE(atom_count_fits(XdrFormat::xtc, INT32_MAX, frame.size()));
  EXPECT_TRUE(atom_count_fits(XdrFormat::xtc, 9, 0));  // floats: nothing to bound
  EXPECT_TRUE(atom_count_fits(XdrFormat::xtc, 400, 100));
  EXPECT_FALSE(atom_count_fits(XdrFormat::xtc, 404, 100));
  EXPECT_FALSE(atom_count_fits(XdrFormat::trr, 11, 120));
}

TEST(FormatOfPath, TheSuffixOfTheLastComponentAsPathlibHasIt) {
  for (const char* path : {"a.xtc", "dir/A.XtC", "a.xtc/", "a.xtc//./", "..xtc", "a.b.xtc"}) {
    EXPECT_EQ(format_of_path(path), XdrFormat::xtc) << path;
  }
  for (const char* path : {".xtc", "d/.xtc", "a.xtc.", "a.xtcx", "a.trr", "", "/"}) {
    EXPECT_EQ(format_of_path(path), XdrFormat::trr) << path;
  }
}

TEST(ReadFrames, TheFramesBeforeTheFirstProblemWhateverTheWorkers) {
  std::vector<ByteVector> frames;
  for (int k = 0; k < 64; ++k) {
    const auto atoms = clustered_atoms(50, 3000, k, std::uint64_t(k));
    frames.push_back(xtc_frame(header_of(50, k), encode_xtc(atoms, 1000.0f, std::uint64_t(k))));
  }
  ByteVector bytes = joined(frames);
  const std::vector<std::int64_t> offsets = index_of(bytes).offsets;
  ASSERT_EQ(offsets.size(), 64u);
  // Garbage in the coordinates of frame 40 (which may decode to other coordinates), and a
  // header that is none at 50.
  bytes[std::size_t(offsets[40]) + 95] ^= 0xff;
  bytes[std::size_t(offsets[40]) + 120] ^= 0xff;
  bytes[std::size_t(offsets[50])] = 9;
  MemorySource source(bytes);
  std::vector<float> serial;
  for (std::size_t workers : {1, 2, 3, 8}) {
    auto pool = WorkerPool::create(workers);
    ASSERT_TRUE(pool.ok());
    std::vector<float> xyz(64 * 150), box(64 * 9), time(64);
    std::vector<std::int64_t> step(64);
    const FramesRead read =
        read_frames(source, XdrFormat::xtc, offsets,
                    {xyz.data(), box.data(), time.data(), step.data(), 50}, pool.value().get());
    ASSERT_TRUE(read.problem);
    EXPECT_EQ(read.problem->failure, read.n_frames == 40 ? kCoordinates : kNoHeader);
    EXPECT_TRUE(read.n_frames == 40 || read.n_frames == 50) << read.n_frames;
    for (std::size_t k = 0; k < read.n_frames; ++k) EXPECT_EQ(step[k], std::int64_t(k));
    xyz.resize(read.n_frames * 150);
    if (serial.empty()) serial = xyz;
    EXPECT_EQ(xyz, serial) << workers;
  }
}

}  // namespace
}  // namespace brenvox::xdr
