// The trajectory search. Per frame, every acceptor is entered in a cell grid of edge just above
// the cut-off; with a box, acceptors are wrapped into the cell and their images near its faces
// are entered too, each carrying the lattice numbers that turn its raw coordinates into that
// image. A hydrogen, wrapped the same way, then meets every image within the cut-off in the 27
// cells around it, and each candidate is decided from raw coordinates with the exact image
// formula, so decisions do not depend on how the candidate was found.
//
// As in the band grid of the fixed search, each image is entered in three y-bands, so the 27
// cells are three runs of consecutive entries, tested a block of vector lanes at a time.

#include "kernel/trajectory_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "kernel/distance_lanes.hpp"

namespace brenvox {

namespace {

constexpr std::size_t kRunBlock = 2 * kLanes;
// Cells a little wider than the cut-off, so that rounding in the wrapped positions never
// moves a candidate out of the 27 cells.
constexpr double kCellSlack = 1.0 + 1e-6;
constexpr std::uint64_t kCellsPerImage = 16;
constexpr std::uint64_t kCellsMinimum = 4096;
// Beyond this extent the grid is one cell: every probe meets every image.
constexpr double kMaxExtent = 1e300;

bool is_finite(const double* p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

// An acceptor image as entered: where it sits in the grid, and how to get its exact offset.
struct Image {
  double grid[3];
  double raw[3];
  double lattice[3];  // the image is raw − (lattice_a a + lattice_b b + lattice_c c)
  std::uint32_t position;
};

// A donor–hydrogen pair as the search visits it.
struct Probe {
  double grid[3];
  double hydrogen[3];
  double lattice[3];  // of the hydrogen's own wrap
  double w[3];        // donor − hydrogen, minimum image when periodic
  std::uint32_t pair_position;
  std::int64_t cell[3];
};

struct Grid {
  double origin[3];
  double inverse_edge;
  std::int64_t n[3];  // cells per axis
  std::uint64_t n_band_cells;
  std::vector<std::uint32_t> start;
  std::vector<double> x, y, z, la, lb, lc;
  std::vector<std::uint32_t> position;

  // Band b holds y cells b - 2 ... b, so a probe in y cell h reads band h + 1.
  std::uint64_t band_cell(std::int64_t cx, std::int64_t band, std::int64_t cz) const {
    return (std::uint64_t(cx) * std::uint64_t(n[1] + 2) + std::uint64_t(band)) * std::uint64_t(n[2]) +
           std::uint64_t(cz);
  }
};

struct HitRange {
  std::uint64_t first;
  std::uint64_t count;
};

}  // namespace

struct TrajectorySearchStorage {
  std::vector<double> frame;  // a float32 frame in float64
  std::vector<Image> images;
  std::vector<std::uint64_t> image_cell;
  Grid grid;
  std::vector<Probe> staged_probes;
  std::vector<Probe> probes;
  std::vector<std::uint32_t> probe_start;
  std::vector<std::uint32_t> pair_hits;
  std::vector<std::uint32_t> hits;
  std::vector<HitRange> ranges;
};

void TrajectorySearchStorageDeleter::operator()(TrajectorySearchStorage* storage) const noexcept {
  delete storage;
}

TrajectorySearchStoragePtr make_trajectory_search_storage() {
  return TrajectorySearchStoragePtr(new TrajectorySearchStorage());
}

namespace {

const double* frame_coordinates(const TrajectorySearch& s, std::uint64_t frame,
                                std::vector<double>& converted) {
  const std::uint64_t values = s.n_atoms * 3;
  if (!s.single_precision) return static_cast<const double*>(s.xyz) + frame * values;
  const float* source = static_cast<const float*>(s.xyz) + frame * values;
  converted.resize(values);
  for (std::uint64_t i = 0; i < values; ++i) converted[i] = source[i];
  return converted.data();
}

// Fractional coordinates of p, split into the lattice numbers floor(f) and the rest.
void wrap(const PeriodicBox& box, const double* p, double lattice[3], double rest[3]) {
  fractional_coordinates(box, p, rest);
  for (int j = 0; j < 3; ++j) {
    lattice[j] = std::floor(rest[j]);
    rest[j] -= lattice[j];
  }
}

void cartesian(const PeriodicBox& box, const double f[3], double out[3]) {
  for (int k = 0; k < 3; ++k) out[k] = (f[0] * box.a[k] + f[1] * box.b[k]) + f[2] * box.c[k];
}

// Every acceptor image that may lie within the cut-off of a wrapped hydrogen: fractional
// coordinates within the cut-off of the unit cell, across each pair of faces.
void enter_images(const TrajectorySearch& s, const double* coords, const PeriodicBox* box,
                  std::vector<Image>& images) {
  images.clear();
  double margin[3] = {};
  if (box != nullptr) {
    for (int j = 0; j < 3; ++j) margin[j] = s.distance_cutoff / box->width[j] * kCellSlack + 1e-12;
  }
  for (std::size_t i = 0; i < s.acceptors.size(); ++i) {
    const double* a = coords + 3 * s.acceptors[i];
    if (!is_finite(a)) continue;  // never bonds
    Image image{};
    std::memcpy(image.raw, a, sizeof image.raw);
    image.position = static_cast<std::uint32_t>(i);
    if (box == nullptr) {
      std::memcpy(image.grid, a, sizeof image.grid);
      images.push_back(image);
      continue;
    }
    double lattice[3], rest[3];
    wrap(*box, a, lattice, rest);
    for (int ma = -1; ma <= 1; ++ma) {
      for (int mb = -1; mb <= 1; ++mb) {
        for (int mc = -1; mc <= 1; ++mc) {
          const double f[3] = {rest[0] + ma, rest[1] + mb, rest[2] + mc};
          bool near = true;
          for (int j = 0; j < 3; ++j) near = near && f[j] > -margin[j] && f[j] < 1.0 + margin[j];
          if (!near) continue;
          cartesian(*box, f, image.grid);
          image.lattice[0] = lattice[0] - ma;
          image.lattice[1] = lattice[1] - mb;
          image.lattice[2] = lattice[2] - mc;
          images.push_back(image);
        }
      }
    }
  }
}

// Chooses the grid's origin and edge; false when no image was entered.
bool size_grid(const std::vector<Image>& images, std::size_t n_images_hint, double cutoff,
               Grid& g) {
  if (images.empty()) return false;
  double lo[3] = {INFINITY, INFINITY, INFINITY};
  double hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (const Image& image : images) {
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::fmin(lo[k], image.grid[k]);
      hi[k] = std::fmax(hi[k], image.grid[k]);
    }
  }
  const double limit = double(std::max<std::uint64_t>(kCellsPerImage * n_images_hint, kCellsMinimum));
  double extent[3];
  bool one_cell = false;
  for (int k = 0; k < 3; ++k) {
    g.origin[k] = lo[k];
    extent[k] = hi[k] - lo[k];
    one_cell = one_cell || !(extent[k] <= kMaxExtent);
  }
  double edge = std::fmax(cutoff * kCellSlack, 1e-300);
  while (!one_cell) {
    double cells = 1.0;
    for (int k = 0; k < 3; ++k) cells *= std::floor(extent[k] / edge) + (k == 1 ? 3.0 : 1.0);
    if (cells <= limit) break;
    edge *= 1.5;
  }
  if (one_cell) {
    g.inverse_edge = 0.0;
    g.n[0] = g.n[1] = g.n[2] = 1;
  } else {
    g.inverse_edge = 1.0 / edge;
    for (int k = 0; k < 3; ++k) g.n[k] = std::int64_t(std::floor(extent[k] * g.inverse_edge)) + 1;
  }
  g.n_band_cells = std::uint64_t(g.n[0]) * std::uint64_t(g.n[1] + 2) * std::uint64_t(g.n[2]);
  return true;
}

// The cell of a grid position along axis k, or false when it lies beyond the cells next to
// the grid (no image can then be within the cut-off).
bool probe_cell(const Grid& g, const double* p, std::int64_t cell[3]) {
  for (int k = 0; k < 3; ++k) {
    const double t = g.inverse_edge == 0.0 ? 0.0 : (p[k] - g.origin[k]) * g.inverse_edge;
    if (!(t >= -1.0 && t < double(g.n[k] + 1))) return false;
    cell[k] = std::int64_t(std::floor(t));
  }
  return true;
}

std::int64_t image_cell(const Grid& g, const double* p, int k) {
  const double t = (p[k] - g.origin[k]) * g.inverse_edge;
  if (!(t >= 0.0)) return 0;
  return std::min(std::int64_t(t), g.n[k] - 1);
}

// A counting sort of the images into band cells, each image entered in three bands, stored per
// component and padded with a block of entries at infinity.
void fill_grid(const std::vector<Image>& images, std::vector<std::uint64_t>& cells, Grid& g) {
  const std::size_t n = images.size();
  cells.resize(n);
  g.start.assign(g.n_band_cells + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t cx = image_cell(g, images[i].grid, 0);
    const std::int64_t cy = image_cell(g, images[i].grid, 1);
    const std::int64_t cz = image_cell(g, images[i].grid, 2);
    cells[i] = g.band_cell(cx, cy, cz);  // the lowest of its three bands
    for (std::uint64_t b = 0; b < 3; ++b) ++g.start[cells[i] + b * std::uint64_t(g.n[2]) + 1];
  }
  for (std::uint64_t c = 1; c <= g.n_band_cells; ++c) g.start[c] += g.start[c - 1];
  const std::size_t entries = 3 * n;
  for (auto* v : {&g.x, &g.y, &g.z, &g.la, &g.lb, &g.lc}) v->resize(entries + kRunBlock);
  g.position.resize(entries);
  std::vector<std::uint32_t>& cursor = g.start;  // advanced, then shifted back below
  for (std::size_t i = 0; i < n; ++i) {
    for (std::uint64_t b = 0; b < 3; ++b) {
      const std::uint32_t at = cursor[cells[i] + b * std::uint64_t(g.n[2])]++;
      g.x[at] = images[i].raw[0];
      g.y[at] = images[i].raw[1];
      g.z[at] = images[i].raw[2];
      g.la[at] = images[i].lattice[0];
      g.lb[at] = images[i].lattice[1];
      g.lc[at] = images[i].lattice[2];
      g.position[at] = images[i].position;
    }
  }
  // Each cell's cursor now sits at the next cell's start.
  for (std::uint64_t c = g.n_band_cells; c > 0; --c) g.start[c] = g.start[c - 1];
  g.start[0] = 0;
  for (auto* v : {&g.x, &g.y, &g.z}) std::fill(v->begin() + entries, v->end(), __builtin_inf());
  for (auto* v : {&g.la, &g.lb, &g.lc}) std::fill(v->begin() + entries, v->end(), 0.0);
}

// Pairs whose atoms are finite and whose hydrogen lies near the grid, in the order of their
// hydrogen's band cell so that consecutive probes read cached entries.
void order_probes(const TrajectorySearch& s, const double* coords, const PeriodicBox* box,
                  const Grid& g, std::vector<Probe>& staged, std::vector<std::uint32_t>& start,
                  std::vector<Probe>& probes) {
  staged.clear();
  for (std::size_t i = 0; i < s.pair_atoms.size() / 2; ++i) {
    const double* d = coords + 3 * s.pair_atoms[2 * i];
    const double* h = coords + 3 * s.pair_atoms[2 * i + 1];
    if (!is_finite(d) || !is_finite(h)) continue;
    Probe p{};
    std::memcpy(p.hydrogen, h, sizeof p.hydrogen);
    const double dh[3] = {d[0] - h[0], d[1] - h[1], d[2] - h[2]};
    if (box == nullptr) {
      std::memcpy(p.w, dh, sizeof p.w);
      std::memcpy(p.grid, h, sizeof p.grid);
    } else {
      minimum_image(*box, dh, p.w);
      double rest[3];
      wrap(*box, h, p.lattice, rest);
      cartesian(*box, rest, p.grid);
    }
    if (!probe_cell(g, p.grid, p.cell)) continue;
    p.pair_position = static_cast<std::uint32_t>(i);
    staged.push_back(p);
  }
  // Counting sort by the cell's x and z, clamped into the grid; y order within is not needed.
  const std::uint64_t columns = std::uint64_t(g.n[0]) * std::uint64_t(g.n[2]);
  const auto column = [&](const Probe& p) {
    return std::uint64_t(std::clamp<std::int64_t>(p.cell[0], 0, g.n[0] - 1)) * std::uint64_t(g.n[2]) +
           std::uint64_t(std::clamp<std::int64_t>(p.cell[2], 0, g.n[2] - 1));
  };
  start.assign(columns + 1, 0);
  for (const Probe& p : staged) ++start[column(p) + 1];
  for (std::uint64_t c = 1; c <= columns; ++c) start[c] += start[c - 1];
  probes.resize(staged.size());
  for (const Probe& p : staged) probes[start[column(p)]++] = p;
}

struct ProbeLanes {
  HydrogenLanes h;
  Doubles wx, wy, wz;
  Doubles limit_factor;  // s2 × cos²
  Doubles la, lb, lc;    // the hydrogen's lattice numbers
};

struct CriterionLanes {
  Doubles distance_squared;
  LaneMask obtuse;
  Doubles box[9];  // a, b, c
};

template <bool Periodic>
[[gnu::always_inline]] inline LaneMask accepted_lanes(const CriterionLanes& c, const ProbeLanes& p,
                                                      const Grid& g, std::uint32_t j) {
  Doubles x, y, z;
  std::memcpy(&x, g.x.data() + j, sizeof x);
  std::memcpy(&y, g.y.data() + j, sizeof y);
  std::memcpy(&z, g.z.data() + j, sizeof z);
  Doubles vx = x - p.h.x;
  Doubles vy = y - p.h.y;
  Doubles vz = z - p.h.z;
  if constexpr (Periodic) {
    Doubles la, lb, lc;
    std::memcpy(&la, g.la.data() + j, sizeof la);
    std::memcpy(&lb, g.lb.data() + j, sizeof lb);
    std::memcpy(&lc, g.lc.data() + j, sizeof lc);
    const Doubles na = la - p.la;
    const Doubles nb = lb - p.lb;
    const Doubles nc = lc - p.lc;
    vx = ((vx - nc * c.box[6]) - nb * c.box[3]) - na * c.box[0];
    vy = ((vy - nc * c.box[7]) - nb * c.box[4]) - na * c.box[1];
    vz = ((vz - nc * c.box[8]) - nb * c.box[5]) - na * c.box[2];
  }
  const Doubles r2 = (vx * vx + vy * vy) + vz * vz;
  const Doubles dot = (vx * p.wx + vy * p.wy) + vz * p.wz;
  const Doubles limit = r2 * p.limit_factor;
  const Doubles square = dot * dot;
  const LaneMask negative = dot < Doubles{};
  const LaneMask angle = (c.obtuse & negative & (square > limit)) |
                         (~c.obtuse & (negative | (square < limit)));
  return (r2 < c.distance_squared) & (r2 > Doubles{}) & angle;
}

template <bool Periodic>
[[gnu::always_inline]] inline void search_probes_body(const CriterionLanes& c,
                                                      const HbondCriterion& criterion,
                                                      const Grid& g, std::span<const Probe> probes,
                                                      std::vector<std::uint32_t>& pair_hits,
                                                      std::vector<std::uint32_t>& hits,
                                                      HitRange* ranges) {
  for (const Probe& t : probes) {
    const double s2 = (t.w[0] * t.w[0] + t.w[1] * t.w[1]) + t.w[2] * t.w[2];
    if (!(s2 > 0.0)) continue;
    const ProbeLanes p{broadcast(t.hydrogen),
                       Doubles{} + t.w[0],
                       Doubles{} + t.w[1],
                       Doubles{} + t.w[2],
                       Doubles{} + s2 * criterion.cos_squared,
                       Doubles{} + t.lattice[0],
                       Doubles{} + t.lattice[1],
                       Doubles{} + t.lattice[2]};
    pair_hits.clear();
    const std::int64_t band = t.cell[1] + 1;
    const std::int64_t x_lo = std::max<std::int64_t>(t.cell[0] - 1, 0);
    const std::int64_t x_hi = std::min<std::int64_t>(t.cell[0] + 1, g.n[0] - 1);
    const std::int64_t z_lo = std::max<std::int64_t>(t.cell[2] - 1, 0);
    const std::int64_t z_hi = std::min<std::int64_t>(t.cell[2] + 1, g.n[2] - 1);
    for (std::int64_t x = x_lo; x <= x_hi; ++x) {
      const std::uint64_t run = g.band_cell(x, band, z_lo);
      const std::uint32_t end = g.start[run + std::uint64_t(z_hi - z_lo) + 1];
      for (std::uint32_t j = g.start[run]; j < end; j += kRunBlock) {
        unsigned bits = lane_bits(accepted_lanes<Periodic>(c, p, g, j)) |
                        lane_bits(accepted_lanes<Periodic>(c, p, g, j + kLanes)) << kLanes;
        bits &= (1u << std::min<std::uint32_t>(end - j, kRunBlock)) - 1;
        for (; bits != 0; bits &= bits - 1) {
          pair_hits.push_back(g.position[j + static_cast<std::uint32_t>(__builtin_ctz(bits))]);
        }
      }
    }
    // Few hits per pair: insertion sort into acceptor-list order.
    for (std::size_t i = 1; i < pair_hits.size(); ++i) {
      for (std::size_t m = i; m > 0 && pair_hits[m] < pair_hits[m - 1]; --m) {
        std::swap(pair_hits[m], pair_hits[m - 1]);
      }
    }
    ranges[t.pair_position] = HitRange{hits.size(), pair_hits.size()};
    hits.insert(hits.end(), pair_hits.begin(), pair_hits.end());
  }
}

BRENVOX_TARGET_CLONES void search_probes_periodic(const CriterionLanes& c,
                                                  const HbondCriterion& criterion, const Grid& g,
                                                  std::span<const Probe> probes,
                                                  std::vector<std::uint32_t>& pair_hits,
                                                  std::vector<std::uint32_t>& hits,
                                                  HitRange* ranges) {
  search_probes_body<true>(c, criterion, g, probes, pair_hits, hits, ranges);
}

BRENVOX_TARGET_CLONES void search_probes_open(const CriterionLanes& c,
                                              const HbondCriterion& criterion, const Grid& g,
                                              std::span<const Probe> probes,
                                              std::vector<std::uint32_t>& pair_hits,
                                              std::vector<std::uint32_t>& hits,
                                              HitRange* ranges) {
  search_probes_body<false>(c, criterion, g, probes, pair_hits, hits, ranges);
}

void collect_frame(const TrajectorySearch& s, std::uint64_t frame, TrajectorySearchStorage& st,
                   BondBuffer& out) {
  const double* coords = frame_coordinates(s, frame, st.frame);
  const PeriodicBox* box =
      s.boxes.empty() ? nullptr : &s.boxes[s.boxes.size() == 1 ? 0 : frame];
  enter_images(s, coords, box, st.images);
  Grid& g = st.grid;
  if (!size_grid(st.images, st.images.size(), s.distance_cutoff, g)) return;
  fill_grid(st.images, st.image_cell, g);
  order_probes(s, coords, box, g, st.staged_probes, st.probe_start, st.probes);

  CriterionLanes c{};
  c.distance_squared = Doubles{} + s.criterion.distance_squared;
  c.obtuse = LaneMask{} - (s.criterion.obtuse ? 1 : 0);
  if (box != nullptr) {
    for (int k = 0; k < 3; ++k) {
      c.box[k] = Doubles{} + box->a[k];
      c.box[3 + k] = Doubles{} + box->b[k];
      c.box[6 + k] = Doubles{} + box->c[k];
    }
  }
  st.hits.clear();
  const std::size_t n_pairs = s.pair_atoms.size() / 2;
  st.ranges.assign(n_pairs, HitRange{0, 0});
  if (box != nullptr) {
    search_probes_periodic(c, s.criterion, g, st.probes, st.pair_hits, st.hits, st.ranges.data());
  } else {
    search_probes_open(c, s.criterion, g, st.probes, st.pair_hits, st.hits, st.ranges.data());
  }
  for (std::size_t i = 0; i < n_pairs; ++i) {
    const HitRange r = st.ranges[i];
    const std::int64_t donor = s.pair_atoms[2 * i];
    const std::int64_t hydrogen = s.pair_atoms[2 * i + 1];
    for (std::uint64_t h = r.first; h < r.first + r.count; ++h) {
      const std::int64_t acceptor = s.acceptors[st.hits[h]];
      if (acceptor != donor) out.push_record(frame, donor, hydrogen, acceptor);
    }
  }
}

}  // namespace

void collect_trajectory_frames(const TrajectorySearch& search, std::uint64_t first,
                               std::uint64_t last, TrajectorySearchStorage& storage,
                               BondBuffer& out) {
  if (search.pair_atoms.empty() || search.acceptors.empty()) return;
  for (std::uint64_t frame = first; frame < last; ++frame) collect_frame(search, frame, storage, out);
}

BondBuffer search_trajectory(const TrajectorySearch& search) {
  BondBuffer out;
  TrajectorySearchStoragePtr storage = make_trajectory_search_storage();
  collect_trajectory_frames(search, 0, search.n_frames, *storage, out);
  return out;
}

}  // namespace brenvox
