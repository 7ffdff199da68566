// The trajectory search's input checks: each returns the first problem, with the exception kind
// and the message that the package raises.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kernel/trajectory/input_checks.hpp"

namespace brenvox {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t k2p32 = std::uint64_t{1} << 32;

// The message of a failed status, or "" when it passed.
std::string message_of(SearchStatus status) {
  return status.ok() ? "" : status.error().message;
}

const std::string kDistance = "distance_cutoff must be a positive finite number";
const std::string kAngle = "angle_cutoff must be between 0 and 180 degrees";
const std::string kThreads = "n_threads must be at least 1";

struct SettingsCase {
  double distance, angle;
  std::int64_t n_threads;
  std::string expected;
};

class SearchSettings : public testing::TestWithParam<SettingsCase> {};

TEST_P(SearchSettings, FirstProblemInArgumentOrder) {
  const SettingsCase& c = GetParam();
  SearchStatus status = check_search_settings(c.distance, c.angle, c.n_threads);
  EXPECT_EQ(message_of(status), c.expected);
  if (!status.ok()) {
    EXPECT_EQ(status.error().kind, ErrorKind::ValueError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SearchSettings,
    testing::Values(SettingsCase{0.25, 120.0, 1, ""}, SettingsCase{1e300, 0.0, 1, ""},
                    SettingsCase{0.25, 180.0, 1, ""}, SettingsCase{0.25, -0.0, 1, ""},
                    SettingsCase{0.0, 120.0, 1, kDistance}, SettingsCase{-1.0, 120.0, 1, kDistance},
                    SettingsCase{kNaN, 120.0, 1, kDistance},
                    SettingsCase{kInf, 120.0, 1, kDistance}, SettingsCase{0.25, -1e-300, 1, kAngle},
                    SettingsCase{0.25, 180.00000000000003, 1, kAngle},
                    SettingsCase{0.25, kNaN, 1, kAngle}, SettingsCase{0.25, 120.0, 0, kThreads},
                    SettingsCase{0.25, 120.0, -5, kThreads}, SettingsCase{kNaN, kNaN, 0, kDistance},
                    SettingsCase{0.25, kNaN, 0, kAngle}));

struct LimitsCase {
  std::uint64_t n_frames, n_atoms, n_pairs, n_acceptors;
  std::string expected;
};

const std::string kRows = "result rows hold uint32 indices: at most 4294967296 frames and atoms";
const std::string kTooMany =
    "too many pairs or acceptors for one search (at most 4294967295 pairs and 44739241 acceptors)";

class SearchLimits : public testing::TestWithParam<LimitsCase> {};

TEST_P(SearchLimits, EdgesOfWhatTheSearchCanNumber) {
  const LimitsCase& c = GetParam();
  SearchStatus status = check_search_limits(c.n_frames, c.n_atoms, c.n_pairs, c.n_acceptors);
  EXPECT_EQ(message_of(status), c.expected);
  if (!status.ok()) {
    EXPECT_EQ(status.error().kind,
              c.expected == kRows ? ErrorKind::OverflowError : ErrorKind::ValueError);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SearchLimits,
                         testing::Values(LimitsCase{k2p32, k2p32, k2p32 - 1, 44739241, ""},
                                         LimitsCase{k2p32 + 1, 1, 1, 1, kRows},
                                         LimitsCase{1, k2p32 + 1, 1, 1, kRows},
                                         LimitsCase{1, 1, k2p32, 1, kTooMany},
                                         LimitsCase{1, 1, 1, 44739242, kTooMany},
                                         LimitsCase{UINT64_MAX, 1, UINT64_MAX, UINT64_MAX, kRows}));

struct IndicesCase {
  std::vector<std::int64_t> pair_atoms, acceptors;
  std::uint64_t n_atoms;
  std::string expected;
};

class IndicesInRange : public testing::TestWithParam<IndicesCase> {};

TEST_P(IndicesInRange, NamesTheFirstIndexOutside) {
  const IndicesCase& c = GetParam();
  SearchStatus status = check_indices_in_range(c.pair_atoms, c.acceptors, c.n_atoms);
  EXPECT_EQ(message_of(status), c.expected);
  if (!status.ok()) {
    EXPECT_EQ(status.error().kind, ErrorKind::IndexError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndicesInRange,
    testing::Values(
        IndicesCase{{0, 1, 2, 0}, {2, 1}, 3, ""},
        IndicesCase{{0, 1, 2, -1},
                    {5},
                    3,
                    "donor_h_pairs[1][1] = -1 is outside the 0..2 range of atom indices"},
        IndicesCase{
            {3, 1}, {}, 3, "donor_h_pairs[0][0] = 3 is outside the 0..2 range of atom indices"},
        IndicesCase{
            {0, 1}, {2, 0, 3}, 3, "acceptors[2] = 3 is outside the 0..2 range of atom indices"},
        IndicesCase{
            {},
            {INT64_MIN},
            3,
            "acceptors[0] = -9223372036854775808 is outside the 0..2 range of atom indices"},
        IndicesCase{
            {0, 0}, {}, 0, "donor_h_pairs[0][0] = 0 is outside the 0..-1 range of atom indices"}));

TEST(SearchBoxes, EveryBoxOrTheFirstProblemWithItsFrame) {
  const double cube[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::vector<double> rows(cube, cube + 9);
  rows.insert(rows.end(), cube, cube + 9);
  SearchResult<std::vector<PeriodicBox>> made = make_search_boxes(rows.data(), 2, 0.25);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(made.value().size(), 2u);

  rows[9 + 4] = kNaN;
  made = make_search_boxes(rows.data(), 2, 0.25);
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error().message, "box of frame 1 is not finite");

  made = make_search_boxes(rows.data(), 1, 0.5);
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error().kind, ErrorKind::ValueError);
  EXPECT_EQ(made.error().message,
            "distance_cutoff 0.5 must be below 0.5, half the smallest perpendicular width of the "
            "box (1.0 in frame 0)");
}

}  // namespace
}  // namespace brenvox
