// How close the grid search comes to the cost of its own hydrogen-bond tests.
//
// For every frame of every system given on the command line this times the exhaustive and the
// grid collectors, and a "floor": the same (pair, acceptor) combinations that the grid tests,
// precomputed into a flat array, put through `is_hydrogen_bond` with no search structure at all.
// Grid time over floor time is what the grid's bookkeeping costs on top of the tests it cannot
// avoid. A one-pair grid call, which still builds the whole grid, splits grid build from pair loop.
//
// System file (native byte order, which is what the Python driver writes):
//   8 bytes   magic "HBSYS1\0\0"
//   4 x u64   n_frames, n_atoms, n_pairs, n_acceptors
//   f64       coordinates, n_frames * n_atoms * 3, frame-major
//   u64       pairs, n_pairs * 2, (donor, hydrogen)
//   u64       acceptors, n_acceptors
//
// Times are per frame: the median of the repetitions, then the median over frames. The grid/floor
// ratio is the median of the per-repetition ratios, each from runs made back to back, which
// holds up better than a ratio of medians when the machine is busy.
//
// Output: one line per system, "grid_floor key=value ...", for the driver to parse; problems go
// to standard error and make the exit status non-zero.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel/baker_hubbard.hpp"
#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/cell_key.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/input_checks.hpp"
#include "kernel/fixed/search_inputs.hpp"

namespace {

using brenvox::BondBuffer;
using brenvox::CellKey;
using brenvox::Pair;
using Clock = std::chrono::steady_clock;

constexpr char kMagic[8] = {'H', 'B', 'S', 'Y', 'S', '1', '\0', '\0'};

struct Options {
  int reps = 7;
  double brute_limit_s = 20.0;   // skip the exhaustive search when one frame would take longer
  double brute_budget_s = 10.0;  // total exhaustive time spent per system, at least one run
  std::vector<std::string> files;
};

struct System {
  std::uint64_t n_frames = 0;
  std::uint64_t n_atoms = 0;
  std::vector<double> xyz;
  brenvox::SearchInputs inputs;
};

// Keeps the compiler from dropping or moving work whose result is otherwise unused.
template <typename T>
inline void keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

double elapsed_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : 0.5 * (values[mid - 1] + values[mid]);
}

template <typename T>
void read_exact(std::ifstream& in, T* data, std::uint64_t count, const std::string& path) {
  in.read(reinterpret_cast<char*>(data), std::streamsize(count * sizeof(T)));
  if (!in) throw std::runtime_error(path + ": file ends early");
}

System read_system(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot open");
  char magic[8];
  read_exact(in, magic, 8, path);
  if (std::memcmp(magic, kMagic, 8) != 0) throw std::runtime_error(path + ": not a system file");
  std::uint64_t header[4];
  read_exact(in, header, 4, path);
  const auto [n_frames, n_atoms, n_pairs, n_acceptors] = header;
  if (n_atoms >= UINT32_MAX) throw std::runtime_error(path + ": too many atoms for this bench");

  System s;
  s.n_frames = n_frames;
  s.n_atoms = n_atoms;
  s.xyz.resize(n_frames * n_atoms * 3);
  read_exact(in, s.xyz.data(), s.xyz.size(), path);
  brenvox::PairList pairs(n_pairs);
  static_assert(sizeof(Pair) == 2 * sizeof(std::uint64_t));
  read_exact(in, pairs.data(), n_pairs, path);
  brenvox::AcceptorList acceptors(n_acceptors);
  read_exact(in, acceptors.data(), n_acceptors, path);
  if (in.peek() != std::ifstream::traits_type::eof()) {
    throw std::runtime_error(path + ": trailing bytes");
  }

  auto valid = brenvox::validate_inputs(s.xyz.size(), n_frames, n_atoms, std::move(pairs),
                                        std::move(acceptors));
  if (!valid.ok()) throw std::runtime_error(path + ": " + valid.error().message);
  s.inputs = std::move(valid.value());
  if (s.inputs.pairs.size() != n_pairs || s.inputs.acceptors.size() != n_acceptors) {
    throw std::runtime_error(path + ": atom indices out of range");
  }
  return s;
}

// The combinations the grid search must test in one frame, in its documented order: pair by
// pair, then neighbour cell (dx, dy, dz each -1, 0, +1, dz fastest), then acceptor-list order.
// Built independently of the kernel, with a plain hash map, so it also checks the kernel's grid.
struct Candidates {
  std::vector<std::uint64_t> begin;     // pair p tests acceptor[begin[p] .. begin[p + 1])
  std::vector<std::uint32_t> acceptor;  // atom indices
  // The same list cut where the grid's runs end: pair p's run r (one dx, dy; dz -1 .. +1) is
  // acceptor[run_begin[9p + r] .. run_begin[9p + r + 1]).
  std::vector<std::uint64_t> run_begin;
};

std::uint64_t pack_key(CellKey k) {
  return (std::uint64_t(std::uint32_t(k.x)) << 42) ^ (std::uint64_t(std::uint32_t(k.y)) << 21) ^
         std::uint64_t(std::uint32_t(k.z));
}

struct KeyHash {
  std::size_t operator()(const CellKey& k) const { return std::hash<std::uint64_t>{}(pack_key(k)); }
};

std::int32_t wrapping_add(std::int32_t a, int b) {
  return std::int32_t(std::uint32_t(a) + std::uint32_t(b));
}

Candidates list_candidates(const double* frame, std::span<const Pair> pairs,
                           std::span<const std::uint64_t> acceptors) {
  std::unordered_map<CellKey, std::vector<std::uint32_t>, KeyHash> cells;
  for (std::uint64_t a : acceptors)
    cells[brenvox::cell_key(frame + 3 * a)].push_back(std::uint32_t(a));

  Candidates c;
  c.begin.reserve(pairs.size() + 1);
  c.begin.push_back(0);
  c.run_begin.reserve(9 * pairs.size() + 1);
  c.run_begin.push_back(0);
  for (const Pair& p : pairs) {
    const CellKey h = brenvox::cell_key(frame + 3 * p.hydrogen);
    for (int dx = -1; dx <= 1; ++dx) {
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dz = -1; dz <= 1; ++dz) {
          const CellKey k{wrapping_add(h.x, dx), wrapping_add(h.y, dy), wrapping_add(h.z, dz)};
          const auto found = cells.find(k);
          if (found == cells.end()) continue;
          for (std::uint32_t a : found->second) {
            if (a != p.donor) c.acceptor.push_back(a);
          }
        }
        c.run_begin.push_back(c.acceptor.size());
      }
    }
    c.begin.push_back(c.acceptor.size());
  }
  return c;
}

// The "sphere floor": only the candidates within the cut-off of their hydrogen, the fewest
// tests any search could make on this frame.
Candidates within_cutoff(const double* frame, std::span<const Pair> pairs, const Candidates& c) {
  Candidates near;
  near.begin.push_back(0);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    const double* h = frame + 3 * pairs[p].hydrogen;
    for (std::uint64_t k = c.begin[p]; k < c.begin[p + 1]; ++k) {
      const double* a = frame + 3 * std::uint64_t(c.acceptor[k]);
      const double vx = a[0] - h[0], vy = a[1] - h[1], vz = a[2] - h[2];
      if ((vx * vx + vy * vy) + vz * vz < brenvox::kCutoffSquared)
        near.acceptor.push_back(c.acceptor[k]);
    }
    near.begin.push_back(near.acceptor.size());
  }
  return near;
}

[[gnu::noinline]] std::uint64_t count_floor_bonds(const double* frame, std::span<const Pair> pairs,
                                                  const Candidates& c) {
  std::uint64_t bonds = 0;
  const std::uint64_t* begin = c.begin.data();
  const std::uint32_t* acceptor = c.acceptor.data();
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    const double* donor = frame + 3 * pairs[p].donor;
    const double* hydrogen = frame + 3 * pairs[p].hydrogen;
    for (std::uint64_t k = begin[p]; k < begin[p + 1]; ++k) {
      bonds += brenvox::is_hydrogen_bond(donor, hydrogen, frame + 3 * std::uint64_t(acceptor[k]));
    }
  }
  return bonds;
}

// The floor loop walking the grid's nine short runs per pair instead of one list per pair:
// the difference to the plain floor is the price of the runs' loop control alone.
[[gnu::noinline]] std::uint64_t count_floor_bonds_in_runs(const double* frame,
                                                          std::span<const Pair> pairs,
                                                          const Candidates& c) {
  std::uint64_t bonds = 0;
  const std::uint64_t* run = c.run_begin.data();
  const std::uint32_t* acceptor = c.acceptor.data();
  for (std::size_t p = 0; p < pairs.size(); ++p, run += 9) {
    const double* donor = frame + 3 * pairs[p].donor;
    const double* hydrogen = frame + 3 * pairs[p].hydrogen;
    for (int r = 0; r < 9; ++r) {
      for (std::uint64_t k = run[r]; k < run[r + 1]; ++k) {
        bonds += brenvox::is_hydrogen_bond(donor, hydrogen, frame + 3 * std::uint64_t(acceptor[k]));
      }
    }
  }
  return bonds;
}

std::vector<std::uint32_t> floor_records(const double* frame, std::uint64_t f,
                                         std::span<const Pair> pairs, const Candidates& c) {
  std::vector<std::uint32_t> rows;
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    const double* donor = frame + 3 * pairs[p].donor;
    const double* hydrogen = frame + 3 * pairs[p].hydrogen;
    for (std::uint64_t k = c.begin[p]; k < c.begin[p + 1]; ++k) {
      const std::uint32_t a = c.acceptor[k];
      if (brenvox::is_hydrogen_bond(donor, hydrogen, frame + 3 * std::uint64_t(a))) {
        rows.insert(rows.end(), {std::uint32_t(f), std::uint32_t(pairs[p].donor),
                                 std::uint32_t(pairs[p].hydrogen), a});
      }
    }
  }
  return rows;
}

std::vector<std::uint32_t> buffer_values(const BondBuffer& b) {
  return std::vector<std::uint32_t>(b.data(), b.data() + b.size());
}

std::vector<std::uint32_t> sorted_records(std::vector<std::uint32_t> values) {
  std::vector<std::array<std::uint32_t, 4>> rows(values.size() / 4);
  std::memcpy(rows.data(), values.data(), values.size() * sizeof(std::uint32_t));
  std::sort(rows.begin(), rows.end());
  std::memcpy(values.data(), rows.data(), values.size() * sizeof(std::uint32_t));
  return values;
}

// Kept from run to run, as a frame loop keeps it from frame to frame.
brenvox::FrameScratch scratch;

// Runs a collector once into a buffer reserved beforehand, so buffer growth is not timed.
double time_collector(brenvox::FrameCollector collector, const System& s, std::uint64_t f,
                      std::span<const Pair> pairs, std::uint64_t expected_values) {
  BondBuffer out;
  out.reserve_more(expected_values);
  const Clock::time_point start = Clock::now();
  collector(s.xyz, f, f * s.n_atoms * 3, pairs, s.inputs.acceptors, scratch, out);
  const double ms = elapsed_ms(start);
  keep(out.size());
  return ms;
}

struct Report {
  std::vector<double> grid_ms, build_ms, floor_ms, runs_ms, sphere_ms, brute_ms;
  // One per repetition, from back-to-back runs.
  std::vector<double> grid_over_floor, grid_over_sphere;
  double bonds = 0, candidates = 0, sphere_candidates = 0;
  std::uint64_t bonds_total = 0;
  double brute_est_ms = 0;
  int brute_frames = 0, brute_reps = 0;
  bool ok = true;
};

void complain(Report& r, const std::string& message) {
  std::fprintf(stderr, "*** MISMATCH *** %s\n", message.c_str());
  r.ok = false;
}

// Tests per millisecond of the exhaustive search, from a slice of the pairs of frame 0.
double measure_brute_rate(const System& s) {
  const std::span<const Pair> pairs = s.inputs.pairs;
  const std::uint64_t n_acc = s.inputs.acceptors.size();
  const std::uint64_t slice =
      std::clamp<std::uint64_t>(20'000'000 / std::max<std::uint64_t>(n_acc, 1), 1, pairs.size());
  std::vector<double> ms;
  for (int i = 0; i < 3; ++i) {
    ms.push_back(time_collector(brenvox::collect_bonds_brute_frame, s, 0, pairs.first(slice), 0));
  }
  return double(slice * n_acc) / std::max(median(ms), 1e-6);
}

Report run_system(const System& s, const Options& opt) {
  Report r;
  const std::span<const Pair> pairs = s.inputs.pairs;
  const std::span<const std::uint64_t> acceptors = s.inputs.acceptors;
  if (pairs.empty() || acceptors.empty() || s.n_frames == 0) {
    throw std::runtime_error("system without pairs, acceptors or frames");
  }

  const double tests = double(pairs.size()) * double(acceptors.size());
  r.brute_est_ms = tests / measure_brute_rate(s);
  const bool brute_runs = r.brute_est_ms <= opt.brute_limit_s * 1e3;
  if (brute_runs) {
    r.brute_frames =
        r.brute_est_ms > 200.0 ? int(std::min<std::uint64_t>(2, s.n_frames)) : int(s.n_frames);
    const double per_rep = r.brute_est_ms * r.brute_frames;
    r.brute_reps = std::clamp(int(opt.brute_budget_s * 1e3 / per_rep), 1, opt.reps);
  }

  std::vector<double> frame_bonds, frame_candidates, frame_sphere_candidates;
  for (std::uint64_t f = 0; f < s.n_frames; ++f) {
    const double* frame = s.xyz.data() + f * s.n_atoms * 3;
    const Candidates cand = list_candidates(frame, pairs, acceptors);
    const Candidates sphere = within_cutoff(frame, pairs, cand);

    // Untimed first run of both: warms caches and checks them against each other.
    BondBuffer grid_out;
    brenvox::collect_bonds_spatial_frame(s.xyz, f, f * s.n_atoms * 3, pairs, acceptors, scratch,
                                         grid_out);
    const std::vector<std::uint32_t> grid_rows = buffer_values(grid_out);
    const std::uint64_t grid_bonds = grid_rows.size() / 4;
    const std::uint64_t floor_bonds = count_floor_bonds(frame, pairs, cand);
    if (floor_bonds != grid_bonds) {
      complain(r, "frame " + std::to_string(f) + ": grid search found " +
                      std::to_string(grid_bonds) + " bonds, floor loop " +
                      std::to_string(floor_bonds));
    } else if (count_floor_bonds_in_runs(frame, pairs, cand) != floor_bonds) {
      complain(r, "frame " + std::to_string(f) + ": the floor's two loops disagree");
    } else if (floor_records(frame, f, pairs, cand) != grid_rows) {
      complain(r, "frame " + std::to_string(f) +
                      ": grid rows differ from the floor's rows in content or order");
    }
    frame_bonds.push_back(double(grid_bonds));
    r.bonds_total += grid_bonds;
    frame_candidates.push_back(double(cand.acceptor.size()));
    frame_sphere_candidates.push_back(double(sphere.acceptor.size()));
    if (count_floor_bonds(frame, pairs, sphere) != floor_bonds) {
      complain(r, "frame " + std::to_string(f) + ": the sphere floor loses bonds");
    }

    std::vector<double> grid_ms, build_ms, floor_ms, runs_ms, sphere_ms;
    const auto time_floor = [&](auto count, const Candidates& listed) {
      const Clock::time_point start = Clock::now();
      const std::uint64_t bonds = count(frame, pairs, listed);
      const double ms = elapsed_ms(start);
      keep(bonds);
      return ms;
    };
    for (int rep = 0; rep < opt.reps; ++rep) {
      // Interleaved, so that a noisy stretch of the shared machine hits all five alike, and
      // started at a different one each time, so that none always follows the same neighbour
      // and inherits the cache state it leaves.
      for (int i = 0; i < 5; ++i) {
        switch ((rep + i) % 5) {
          case 0:
            grid_ms.push_back(time_collector(brenvox::collect_bonds_spatial_frame, s, f, pairs,
                                             grid_rows.size()));
            break;
          case 1:
            build_ms.push_back(
                time_collector(brenvox::collect_bonds_spatial_frame, s, f, pairs.first(1), 64));
            break;
          case 2: floor_ms.push_back(time_floor(count_floor_bonds, cand)); break;
          case 3: sphere_ms.push_back(time_floor(count_floor_bonds, sphere)); break;
          default: runs_ms.push_back(time_floor(count_floor_bonds_in_runs, cand));
        }
      }
      r.grid_over_floor.push_back(grid_ms.back() / floor_ms.back());
      r.grid_over_sphere.push_back(grid_ms.back() / sphere_ms.back());
    }
    r.sphere_ms.push_back(median(sphere_ms));
    r.runs_ms.push_back(median(runs_ms));
    r.grid_ms.push_back(median(grid_ms));
    r.build_ms.push_back(median(build_ms));
    r.floor_ms.push_back(median(floor_ms));

    if (brute_runs && f < std::uint64_t(r.brute_frames)) {
      BondBuffer brute_out;
      brenvox::collect_bonds_brute_frame(s.xyz, f, f * s.n_atoms * 3, pairs, acceptors, scratch,
                                         brute_out);
      std::vector<double> ms{};
      if (sorted_records(buffer_values(brute_out)) != sorted_records(grid_rows)) {
        complain(r, "frame " + std::to_string(f) + ": exhaustive search found " +
                        std::to_string(brute_out.size() / 4) + " bonds, grid search " +
                        std::to_string(grid_bonds) + " (or different ones)");
      }
      for (int rep = 0; rep < r.brute_reps; ++rep) {
        ms.push_back(
            time_collector(brenvox::collect_bonds_brute_frame, s, f, pairs, brute_out.size()));
      }
      r.brute_ms.push_back(median(ms));
    }
  }
  r.bonds = median(frame_bonds);
  r.candidates = median(frame_candidates);
  r.sphere_candidates = median(frame_sphere_candidates);
  return r;
}

Options parse_options(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--reps") {
      opt.reps = std::max(1, std::stoi(value()));
    } else if (arg == "--brute-limit-s") {
      opt.brute_limit_s = std::stod(value());
    } else if (arg == "--brute-budget-s") {
      opt.brute_budget_s = std::stod(value());
    } else if (arg.starts_with("--")) {
      throw std::runtime_error("unknown option " + arg);
    } else {
      opt.files.push_back(arg);
    }
  }
  if (opt.files.empty()) {
    throw std::runtime_error(
        "usage: grid_floor [--reps N] [--brute-limit-s S] [--brute-budget-s S] SYSTEM...");
  }
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options opt = parse_options(argc, argv);
    bool all_ok = true;
    for (const std::string& path : opt.files) {
      const System s = read_system(path);
      const Report r = run_system(s, opt);
      all_ok = all_ok && r.ok;
      const double grid = median(r.grid_ms);
      const double floor = median(r.floor_ms);
      const double build = median(r.build_ms);
      const double brute = r.brute_ms.empty() ? -1.0 : median(r.brute_ms);
      std::printf(
          "grid_floor atoms=%llu frames=%llu pairs=%zu acceptors=%zu bonds_total=%llu "
          "bonds_per_frame=%.1f "
          "brute_ms=%.4f brute_est_ms=%.4f brute_frames=%d brute_reps=%d grid_ms=%.4f "
          "grid_build_ms=%.4f candidates_per_frame=%.1f floor_ms=%.4f floor_runs_ms=%.4f "
          "grid_ns_per_candidate=%.3f floor_ns_per_candidate=%.3f grid_over_floor=%.3f "
          "sphere_candidates_per_frame=%.1f sphere_ms=%.4f grid_over_sphere=%.3f "
          "reps=%d check=%s\n",
          static_cast<unsigned long long>(s.n_atoms), static_cast<unsigned long long>(s.n_frames),
          s.inputs.pairs.size(), s.inputs.acceptors.size(),
          static_cast<unsigned long long>(r.bonds_total), r.bonds, brute, r.brute_est_ms,
          r.brute_frames, r.brute_reps, grid, build, r.candidates, floor, median(r.runs_ms),
          grid * 1e6 / r.candidates, floor * 1e6 / r.candidates, median(r.grid_over_floor),
          r.sphere_candidates, median(r.sphere_ms), median(r.grid_over_sphere), opt.reps,
          r.ok ? "ok" : "MISMATCH");
      std::fflush(stdout);
    }
    return all_ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "grid_floor: %s\n", e.what());
    return 2;
  }
}
