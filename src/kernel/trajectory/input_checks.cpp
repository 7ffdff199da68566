#include "kernel/trajectory/input_checks.hpp"

#include <charconv>
#include <cmath>
#include <optional>
#include <string>

// The messages are part of the package's interface: callers match on them.

namespace brenvox {

namespace {

// Each acceptor can have up to 27 images, each entered three times.
constexpr std::uint64_t kMaxAcceptors = (std::uint64_t{1} << 32) / 96;
constexpr std::uint64_t kMaxPairs = std::uint64_t{1} << 32;
// Row indices are uint32.
constexpr std::uint64_t kMaxIndexCount = std::uint64_t{1} << 32;

std::string range_text(std::uint64_t n_atoms) {
  return " is outside the 0.." + std::to_string(static_cast<std::int64_t>(n_atoms) - 1) +
         " range of atom indices";
}

// The shortest text that reads back as `value`, whole numbers with ".0" as Python writes them.
std::string number_text(double value) {
  char text[32];
  const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
  std::string number(text, written.ptr);
  if (number.find_first_not_of("-0123456789") == std::string::npos) number += ".0";
  return number;
}

std::string box_problem_text(BoxProblem problem, const double* rows) {
  switch (problem) {
    case BoxProblem::NotFinite: return " is not finite";
    case BoxProblem::Degenerate: return " is degenerate: its vectors span no volume";
    case BoxProblem::TooLarge:
    case BoxProblem::TooSmall: break;
  }
  double longest = 0.0;
  for (int i = 0; i < 3; ++i) {
    longest = std::fmax(longest, std::hypot(rows[3 * i], rows[3 * i + 1], rows[3 * i + 2]));
  }
  return std::string(" cannot be used: computing with its volume ") +
         (problem == BoxProblem::TooLarge ? "overflows" : "underflows") +
         " double precision (longest edge " + number_text(longest) +
         "); check that the box is in the coordinates' unit (nm for the default cut-off)";
}

}  // namespace

SearchStatus check_search_settings(double distance_cutoff, double angle_cutoff,
                                   std::int64_t n_threads) {
  if (!(distance_cutoff > 0.0) || !std::isfinite(distance_cutoff)) {
    return SearchError{ErrorKind::ValueError, "distance_cutoff must be a positive finite number"};
  }
  if (!(angle_cutoff >= 0.0 && angle_cutoff <= 180.0)) {
    return SearchError{ErrorKind::ValueError, "angle_cutoff must be between 0 and 180 degrees"};
  }
  if (n_threads < 1) return SearchError{ErrorKind::ValueError, "n_threads must be at least 1"};
  return {};
}

SearchStatus check_search_limits(std::uint64_t n_frames, std::uint64_t n_atoms,
                                 std::uint64_t n_pairs, std::uint64_t n_acceptors) {
  if (n_frames > kMaxIndexCount || n_atoms > kMaxIndexCount) {
    return SearchError{ErrorKind::OverflowError,
                       "result rows hold uint32 indices: at most 4294967296 frames and atoms"};
  }
  if (n_pairs >= kMaxPairs || n_acceptors >= kMaxAcceptors) {
    return SearchError{ErrorKind::ValueError,
                       "too many pairs or acceptors for one search (at most " +
                           std::to_string(kMaxPairs - 1) + " pairs and " +
                           std::to_string(kMaxAcceptors - 1) + " acceptors)"};
  }
  return {};
}

SearchStatus check_indices_in_range(std::span<const std::int64_t> pair_atoms,
                                    std::span<const std::int64_t> acceptors,
                                    std::uint64_t n_atoms) {
  const auto outside = [n_atoms](std::int64_t index) {
    return index < 0 || static_cast<std::uint64_t>(index) >= n_atoms;
  };
  for (std::size_t i = 0; i < pair_atoms.size(); ++i) {
    if (outside(pair_atoms[i])) {
      return SearchError{ErrorKind::IndexError,
                         "donor_h_pairs[" + std::to_string(i / 2) + "][" + std::to_string(i % 2) +
                             "] = " + std::to_string(pair_atoms[i]) + range_text(n_atoms)};
    }
  }
  for (std::size_t i = 0; i < acceptors.size(); ++i) {
    if (outside(acceptors[i])) {
      return SearchError{ErrorKind::IndexError, "acceptors[" + std::to_string(i) +
                                                    "] = " + std::to_string(acceptors[i]) +
                                                    range_text(n_atoms)};
    }
  }
  return {};
}

SearchResult<std::vector<PeriodicBox>> make_search_boxes(const double* rows, std::uint64_t n_boxes,
                                                         double distance_cutoff) {
  std::vector<PeriodicBox> boxes;
  boxes.reserve(static_cast<std::size_t>(n_boxes));
  for (std::uint64_t f = 0; f < n_boxes; ++f) {
    BoxProblem problem{};
    std::optional<PeriodicBox> box = make_periodic_box(rows + 9 * f, problem);
    if (!box) {
      return SearchError{ErrorKind::ValueError, "box of frame " + std::to_string(f) +
                                                    box_problem_text(problem, rows + 9 * f)};
    }
    const double limit = 0.5 * box->min_width;
    if (!(distance_cutoff < limit)) {
      return SearchError{ErrorKind::ValueError,
                         "distance_cutoff " + number_text(distance_cutoff) + " must be below " +
                             number_text(limit) +
                             ", half the smallest perpendicular width of the box (" +
                             number_text(box->min_width) + " in frame " + std::to_string(f) + ")"};
    }
    boxes.push_back(*box);
  }
  return boxes;
}

std::string reach_refusal(std::uint64_t frame, double longest, double extent, double min_width) {
  return "frame " + std::to_string(frame) + " has donor-hydrogen pairs up to " +
         number_text(longest) + " long: with this criterion acceptors are searched up to " +
         number_text(extent) + " from a hydrogen, which must be below " +
         number_text(0.5 * min_width) + ", half the smallest perpendicular width of the box (" +
         number_text(min_width) + ")";
}

}  // namespace brenvox
