#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/frame_loop.hpp"
#include "kernel/fixed/input_checks.hpp"
#include "kernel/fixed/search_inputs.hpp"
#include "kernel/internal_failure.hpp"

namespace brenvox {
namespace {

constexpr std::uint64_t k2p32 = std::uint64_t{1} << 32;

TEST(ValidateInputs, RejectsLengthMismatchAndProductOverflow) {
  const struct {
    std::uint64_t length, n_frames, n_atoms;
  } bad[] = {{59, 2, 10},       {61, 2, 10},        {0, 1, 1},
             {0, k2p32, k2p32}, {3, UINT64_MAX, 1}, {0, UINT64_MAX / 3 + 1, 1}};
  for (const auto& b : bad) {
    SearchResult<SearchInputs> r = validate_inputs(b.length, b.n_frames, b.n_atoms, {{0, 1}}, {0});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::ValueError);
    EXPECT_EQ(r.error().message, "xyz_flat length must equal n_frames * n_atoms * 3");
  }
}

TEST(ValidateInputs, FiltersInPlaceKeepingOrderAndDuplicates) {
  PairList pairs{{9, 9}, {10, 0}, {3, 4}, {0, 10}, {3, 4}, {UINT64_MAX, 1}, {0, 9}};
  AcceptorList acceptors{10, 5, 5, 11, 0, 9, UINT64_MAX};
  const Pair* storage = pairs.data();
  SearchResult<SearchInputs> r = validate_inputs(60, 2, 10, std::move(pairs), std::move(acceptors));
  ASSERT_TRUE(r.ok());
  const SearchInputs& in = r.value();
  EXPECT_EQ(in.pairs.data(), storage);
  ASSERT_EQ(in.pairs.size(), 4u);
  const std::uint64_t expected_pairs[][2] = {{9, 9}, {3, 4}, {3, 4}, {0, 9}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(in.pairs[i].donor, expected_pairs[i][0]);
    EXPECT_EQ(in.pairs[i].hydrogen, expected_pairs[i][1]);
  }
  EXPECT_EQ(in.acceptors, (AcceptorList{5, 5, 0, 9}));
}

TEST(ValidateInputs, NoAtomsDropsEverything) {
  SearchResult<SearchInputs> r = validate_inputs(0, 5, 0, {{0, 0}}, {0, 1});
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().pairs.empty());
  EXPECT_TRUE(r.value().acceptors.empty());
}

// Result columns are uint32: a row with a larger index must fail loudly, not wrap.
TEST(RowsRepresentable, RejectsIndicesBeyondUint32) {
  const SearchInputs small{{{0, 1}}, {2}};
  EXPECT_TRUE(check_rows_representable(k2p32, small).ok());

  auto frame_error = check_rows_representable(k2p32 + 1, small);
  ASSERT_FALSE(frame_error.ok());
  EXPECT_EQ(frame_error.error().kind, ErrorKind::OverflowError);
  EXPECT_NE(frame_error.error().message.find("4294967296"), std::string::npos);

  for (const SearchInputs& big : {SearchInputs{{{k2p32, 1}}, {2}}, SearchInputs{{{0, k2p32}}, {2}},
                                  SearchInputs{{{0, 1}}, {2, k2p32}}}) {
    auto error = check_rows_representable(1, big);
    ASSERT_FALSE(error.ok());
    EXPECT_EQ(error.error().kind, ErrorKind::OverflowError);
  }
  EXPECT_TRUE(check_rows_representable(1, SearchInputs{{{k2p32 - 1, 0}}, {k2p32 - 1}}).ok());
}

TEST(RowsRepresentable, NoRowsNoError) {
  EXPECT_TRUE(check_rows_representable(k2p32 * 4, SearchInputs{{}, {k2p32}}).ok());
  EXPECT_TRUE(check_rows_representable(k2p32 * 4, SearchInputs{{{k2p32, 0}}, {}}).ok());
  EXPECT_TRUE(check_rows_representable(0, SearchInputs{{{k2p32, 0}}, {k2p32}}).ok());
}

TEST(CapacityHint, OneRecordPerFourPairsPerFrame) {
  EXPECT_EQ(capacity_hint_values(10, 7), 40u);
  EXPECT_EQ(capacity_hint_values(10, 3), 0u);
  EXPECT_EQ(capacity_hint_values(0, 1000), 0u);
  EXPECT_EQ(capacity_hint_values(1, (std::uint64_t{1} << 61) - 4), (std::uint64_t{1} << 61) - 4);
}

TEST(CapacityHint, UnrepresentableSizeIsCapacityOverflow) {
  for (auto [frames, pairs] : {std::pair<std::uint64_t, std::uint64_t>{1, std::uint64_t{1} << 61},
                               {UINT64_MAX, 4},
                               {std::uint64_t{1} << 40, std::uint64_t{1} << 40}}) {
    try {
      capacity_hint_values(frames, pairs);
      FAIL() << "no failure for " << frames << " x " << pairs;
    } catch (const InternalFailure& failure) {
      EXPECT_STREQ(failure.what(), "capacity overflow");
    }
  }
}

// A huge but representable hint must neither fail nor pin memory it cannot use.
TEST(CapacityHint, ReservationIsBoundedByWhatTheSearchCanFind) {
  BondBuffer no_acceptors;
  reserve_capacity_hint(no_acceptors, 1000000, SearchInputs{PairList(1000000, Pair{0, 1}), {}});
  EXPECT_EQ(no_acceptors.capacity(), 0u);

  BondBuffer huge;
  reserve_capacity_hint(huge, 1000000, SearchInputs{PairList(1000000, Pair{0, 1}), {2}});
  EXPECT_GT(huge.capacity(), 0u);
  EXPECT_LE(huge.capacity(), 4u << 20);

  BondBuffer modest;
  reserve_capacity_hint(modest, 10, SearchInputs{PairList(7, Pair{0, 1}), {2}});
  EXPECT_EQ(modest.capacity(), 40u);
}

TEST(FrameView, ReadOutsideTheArrayIsAnInternalFailure) {
  const std::vector<double> xyz(12, 0.0);  // 2 frames of 2 atoms
  const FrameView second(xyz, 6);
  EXPECT_EQ(second.atom(1), xyz.data() + 9);
  EXPECT_THROW(second.atom(2), InternalFailure);
  EXPECT_THROW(FrameView(xyz, 12).atom(0), InternalFailure);
  EXPECT_THROW(FrameView(xyz, 100).atom(0), InternalFailure);

  for (FrameCollector collector : {collect_bonds_brute_frame, collect_bonds_spatial_frame}) {
    BondBuffer out;
    FrameScratch scratch;
    const PairList pairs{{0, 1}}, bad_pairs{{0, 5}};
    const AcceptorList acceptors{1}, bad_acceptors{2};
    EXPECT_THROW(collector(xyz, 1, 6, pairs, bad_acceptors, scratch, out), InternalFailure);
    EXPECT_THROW(collector(xyz, 1, 6, bad_pairs, acceptors, scratch, out), InternalFailure);
  }
}

TEST(BondBuffer, AppendsRecordsAndReleasesItsStorage) {
  BondBuffer buffer;
  buffer.push_record(k2p32 + 7, 1, 2, 3);  // narrowed to the low 32 bits
  for (std::uint32_t i = 0; i < 100; ++i) buffer.push_record(i, i, i, i);
  BondBuffer other;
  other.push_record(9, 8, 7, 6);
  buffer.append(other);
  ASSERT_EQ(buffer.size(), 4u * 102);
  EXPECT_EQ(buffer.data()[0], 7u);
  EXPECT_EQ(buffer.data()[4 * 101 + 3], 6u);
  BondStorage storage = buffer.release();
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(storage.length, 4u * 102);
  EXPECT_GE(storage.capacity, storage.length);
  std::free(storage.data);
}

}  // namespace
}  // namespace brenvox
