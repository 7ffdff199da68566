#pragma once
// Random systems and record helpers shared by the native tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/search_inputs.hpp"

namespace brenvox::testing_support {

using Record = std::array<std::uint32_t, 4>;

inline std::vector<Record> records_of(const BondBuffer& buffer) {
  std::vector<Record> out(buffer.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (std::size_t k = 0; k < 4; ++k) out[i][k] = buffer.data()[4 * i + k];
  }
  return out;
}

inline std::vector<Record> sorted(std::vector<Record> records) {
  std::sort(records.begin(), records.end());
  return records;
}

struct System {
  std::uint64_t n_frames;
  std::uint64_t n_atoms;
  std::vector<double> xyz;
  SearchInputs inputs;
};

enum class Flavour { Clustered, OnCellBoundaries, Sparse, Pathological };

// Atoms packed densely enough for many bonds; the flavours add exact cell boundaries, far-flung
// atoms (the sparse grid), and NaN, infinities and coordinates whose cells saturate.
inline System random_system(std::uint64_t seed, Flavour flavour, std::uint64_t n_frames = 2) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::uint64_t> atom_count(2, 120);
  System s;
  s.n_frames = n_frames;
  s.n_atoms = atom_count(rng);
  const double box = 0.3 + 0.02 * double(s.n_atoms) / 4;
  std::uniform_real_distribution<double> coordinate(-box / 2, box / 2);
  std::uniform_int_distribution<int> grid_step(-8, 8);
  std::uniform_int_distribution<int> percent(0, 99);
  const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             6e8,
                             -6e8,
                             6e8 + 0.1,
                             -6e8 - 0.1,
                             1e300};
  s.xyz.resize(n_frames * s.n_atoms * 3);
  for (double& v : s.xyz) {
    v = coordinate(rng);
    if (flavour == Flavour::OnCellBoundaries && percent(rng) < 50) v = 0.25 * grid_step(rng);
    if (flavour == Flavour::Sparse && percent(rng) < 3) v += 1e4 * grid_step(rng);
    if (flavour == Flavour::Pathological && percent(rng) < 4) v = specials[rng() % 8];
  }
  std::uniform_int_distribution<std::uint64_t> atom(0, s.n_atoms - 1);
  const std::size_t n_pairs = rng() % (2 * s.n_atoms);
  for (std::size_t i = 0; i < n_pairs; ++i) {
    const Pair p{atom(rng), atom(rng)};
    s.inputs.pairs.push_back(p);
    if (percent(rng) < 10) s.inputs.pairs.push_back(p);
  }
  const std::size_t n_acceptors = rng() % (s.n_atoms + 1);
  for (std::size_t i = 0; i < n_acceptors; ++i) {
    s.inputs.acceptors.push_back(atom(rng));
    if (percent(rng) < 10) s.inputs.acceptors.push_back(s.inputs.acceptors.back());
  }
  return s;
}

// The grid order, derived independently: the 27 neighbour keys formed with int32 wrap-around,
// numbered dx-major; each bond of the exhaustive order is placed by its acceptor's number.
inline std::vector<Record> expected_grid_order(const System& s, std::uint64_t frame) {
  const std::uint64_t offset = frame * s.n_atoms * 3;
  const auto cell = [&](std::uint64_t atom, int axis) {
    const double c = s.xyz[offset + 3 * atom + axis];
    const double f = std::floor(c * 4.0);
    if (std::isnan(f)) return std::int32_t{0};
    return static_cast<std::int32_t>(std::clamp(f, -2147483648.0, 2147483647.0));
  };
  std::vector<Record> ordered;
  for (const Pair& p : s.inputs.pairs) {
    std::multimap<int, Record> by_neighbour;
    BondBuffer rows;
    FrameScratch scratch;
    collect_bonds_brute_frame(s.xyz, frame, offset, {&p, 1}, s.inputs.acceptors, scratch, rows);
    for (const Record& row : records_of(rows)) {
      int number = -1;
      for (int n = 0; n < 27 && number < 0; ++n) {
        bool match = true;
        for (int axis = 0; axis < 3; ++axis) {
          const int step = (axis == 0 ? n / 9 : axis == 1 ? n / 3 % 3 : n % 3) - 1;
          const auto key =
              std::int32_t(std::uint32_t(cell(p.hydrogen, axis)) + std::uint32_t(step));
          match = match && key == cell(row[3], axis);
        }
        if (match) number = n;
      }
      EXPECT_GE(number, 0) << "a bonded acceptor outside the 27 cells";
      by_neighbour.emplace(number, row);  // multimap keeps insertion order among equals
    }
    for (const auto& [number, row] : by_neighbour) ordered.push_back(row);
  }
  return ordered;
}

}  // namespace brenvox::testing_support
