// The trajectory search. Per frame, every acceptor is entered in a cell grid of edge just above
// the cut-off; with a box, acceptors are wrapped into the cell and their images near its faces
// are entered too, each keeping the lattice numbers that turn its raw coordinates into that
// image. A hydrogen, wrapped the same way, meets every image within the cut-off in the 27 cells
// around it, and each candidate is decided in vector lanes from raw coordinates with the exact
// image formula, so decisions do not depend on how a candidate was found.
//
// As in the dense grid of the fixed search, each image is entered in three y-bands, so the 27
// cells are three runs of consecutive entries.

#include "kernel/trajectory_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "kernel/bucket_starts.hpp"
#include "kernel/distance_lanes.hpp"
#include "kernel/hit_list.hpp"

namespace brenvox {

namespace {

constexpr std::size_t kRunBlock = 2 * kLanes;
// Cells a little wider than the cut-off: grid positions differ from exact offsets only by
// rounding, far below this slack, so every bond's acceptor lies in the 27 cells.
constexpr double kCellSlack = 1.0 + 1e-4;
constexpr std::uint64_t kCellsPerImage = 16;
constexpr std::uint64_t kCellsMinimum = 4096;
// Beyond this extent the grid is one cell: every probe meets every image.
constexpr double kMaxExtent = 1e300;

bool is_finite(const double* p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

// An acceptor image: where it sits in the grid, and how to get its exact offset.
struct Image {
  double grid[3];
  double raw[3];
  double lattice[3];  // the image is raw − (lattice_a a + lattice_b b + lattice_c c)
  std::uint32_t position;
};

// A donor–hydrogen pair as the search visits it.
struct Probe {
  double hydrogen[3];
  double lattice[3];  // of the hydrogen's own wrap
  double w[3];        // donor − hydrogen, the minimum image when periodic
  std::int32_t cell[3];
  std::uint32_t pair_position;
};

struct Grid {
  double origin[3];
  double inverse_edge;
  std::int64_t n[3];  // cells per axis
  std::uint64_t n_band_cells;
  BucketStarts start;  // per band cell
  // Raw coordinates and (periodic only) lattice numbers of the entries, padded with a block
  // at infinity.
  std::vector<double> x, y, z, la, lb, lc;
  std::vector<std::uint32_t> position;  // in the acceptor list

  // Band b holds y cells b - 2 ... b, so a probe in y cell h reads band h + 1.
  std::uint64_t band_cell(std::int64_t cx, std::int64_t band, std::int64_t cz) const {
    return (std::uint64_t(cx) * std::uint64_t(n[1] + 2) + std::uint64_t(band)) *
               std::uint64_t(n[2]) +
           std::uint64_t(cz);
  }
};

}  // namespace

struct TrajectorySearchStorage {
  std::vector<Image> images;
  std::vector<std::uint64_t> image_cell;
  BucketStarts images_by_cell;
  std::vector<std::uint32_t> images_in_cell_order;
  Grid grid;
  std::vector<Probe> probes;  // in list order, only the pairs that can bond
  std::vector<std::uint64_t> probe_cell;
  BucketStarts probe_start;
  std::vector<std::uint32_t> visits;
  HitList hits;  // accepted acceptors' list positions
  std::vector<HitRange> ranges;
};

template <>
void OpaqueStorageDeleter<TrajectorySearchStorage>::operator()(
    TrajectorySearchStorage* s) const noexcept {
  delete s;
}

TrajectorySearchStoragePtr make_trajectory_search_storage() {
  return TrajectorySearchStoragePtr(new TrajectorySearchStorage());
}

namespace {

// Atom `index` of a frame, widened to float64 when the frame is float32: exact, so float32
// input decides exactly as its float64 copy would, with no copy of the frame.
template <typename T>
void load_atom(const T* frame, std::int64_t index, double out[3]) {
  const T* p = frame + 3 * index;
  out[0] = p[0];
  out[1] = p[1];
  out[2] = p[2];
}

// std::floor without the call into libm that a baseline x86-64 build makes for it (floor is an
// instruction only from SSE4.1 on): exact, but for the sign of a zero result, which no
// decision depends on.
inline double floor_of(double x) {
  if (!(std::fabs(x) < 4503599627370496.0)) return x;  // 2^52: whole already, or not finite
  const double truncated = static_cast<double>(static_cast<std::int64_t>(x));
  return truncated - static_cast<double>(truncated > x);
}

// Fractional coordinates of p, split into the lattice numbers floor(f) and the rest.
[[gnu::always_inline]] inline void wrap(const PeriodicBox& box, const double* p, double lattice[3],
                                        double rest[3]) {
  if (box.rectangular) {
    // The general product with its zero terms left out: the same values.
    for (int j = 0; j < 3; ++j) rest[j] = p[j] * box.inverse[j][j];
  } else {
    fractional_coordinates(box, p, rest);
  }
  for (int j = 0; j < 3; ++j) {
    lattice[j] = floor_of(rest[j]);
    rest[j] -= lattice[j];
  }
}

void cartesian(const PeriodicBox& box, const double f[3], double out[3]) {
  if (box.rectangular) {
    out[0] = f[0] * box.a[0];
    out[1] = f[1] * box.b[1];
    out[2] = f[2] * box.c[2];
    return;
  }
  for (int k = 0; k < 3; ++k) out[k] = (f[0] * box.a[k] + f[1] * box.b[k]) + f[2] * box.c[k];
}

// Every acceptor image that may lie within the cut-off of a wrapped hydrogen: fractional
// coordinates within the cut-off of the unit cell, across each pair of faces.
template <typename T>
void enter_images(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                  std::vector<Image>& images) {
  images.clear();
  double margin[3] = {};
  if (box != nullptr) {
    for (int j = 0; j < 3; ++j) margin[j] = s.distance_cutoff / box->width[j] * kCellSlack + 1e-9;
  }
  for (std::size_t i = 0; i < s.acceptors.size(); ++i) {
    double a[3];
    load_atom(coords, s.acceptors[i], a);
    if (!is_finite(a)) continue;  // never bonds
    // Written in place: a copy from the stack would read back fields just stored.
    const auto add_image = [&]() -> Image& {
      Image& image = images.emplace_back();
      std::memcpy(image.raw, a, sizeof a);
      image.position = static_cast<std::uint32_t>(i);
      return image;
    };
    if (box == nullptr) {
      Image& image = add_image();
      std::memcpy(image.grid, a, sizeof a);
      continue;
    }
    double lattice[3], rest[3];
    wrap(*box, a, lattice, rest);
    // Per axis, the shifts m for which rest + m stays within the margin of [0, 1].
    int shifts[3][3];
    int n_shifts[3];
    for (int j = 0; j < 3; ++j) {
      n_shifts[j] = 0;
      shifts[j][n_shifts[j]++] = 0;
      if (rest[j] < margin[j]) shifts[j][n_shifts[j]++] = 1;
      if (rest[j] > 1.0 - margin[j]) shifts[j][n_shifts[j]++] = -1;
    }
    for (int ia = 0; ia < n_shifts[0]; ++ia) {
      for (int ib = 0; ib < n_shifts[1]; ++ib) {
        for (int ic = 0; ic < n_shifts[2]; ++ic) {
          const int m[3] = {shifts[0][ia], shifts[1][ib], shifts[2][ic]};
          const double f[3] = {rest[0] + m[0], rest[1] + m[1], rest[2] + m[2]};
          Image& image = add_image();
          cartesian(*box, f, image.grid);
          for (int j = 0; j < 3; ++j) image.lattice[j] = lattice[j] - m[j];
        }
      }
    }
  }
}

// Chooses the grid's origin, edge and size; false when no image was entered.
bool size_grid(const std::vector<Image>& images, double cutoff, Grid& g) {
  if (images.empty()) return false;
  double lo[3] = {INFINITY, INFINITY, INFINITY};
  double hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (const Image& image : images) {
    for (int k = 0; k < 3; ++k) {
      lo[k] = image.grid[k] < lo[k] ? image.grid[k] : lo[k];
      hi[k] = image.grid[k] > hi[k] ? image.grid[k] : hi[k];
    }
  }
  const double limit =
      double(std::max<std::uint64_t>(kCellsPerImage * images.size(), kCellsMinimum));
  double extent[3];
  bool one_cell = false;
  for (int k = 0; k < 3; ++k) {
    g.origin[k] = lo[k];
    extent[k] = hi[k] - lo[k];
    one_cell = one_cell || !(extent[k] <= kMaxExtent);
  }
  double edge = std::max(cutoff * kCellSlack, 1e-300);
  while (!one_cell) {
    double cells = 1.0;
    bool axes_fit = true;  // cell numbers stay far inside int32
    for (int k = 0; k < 3; ++k) {
      const double along = std::floor(extent[k] / edge) + 1.0;
      cells *= along + (k == 1 ? 2.0 : 0.0);
      axes_fit = axes_fit && along < 1e9;
    }
    if (cells <= limit && axes_fit) break;
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

// The cell of a grid position, or false when it lies beyond the cells next to the grid (no
// image can then be within the cut-off).
bool probe_cell(const Grid& g, const double* p, std::int32_t cell[3]) {
  for (int k = 0; k < 3; ++k) {
    const double t = g.inverse_edge == 0.0 ? 0.0 : (p[k] - g.origin[k]) * g.inverse_edge;
    if (!(t >= -1.0 && t < double(g.n[k] + 1))) return false;
    cell[k] = static_cast<std::int32_t>(floor_of(t));
  }
  return true;
}

std::int64_t image_cell(const Grid& g, const double* p, int k) {
  const double t = (p[k] - g.origin[k]) * g.inverse_edge;
  if (!(t >= 0.0)) return 0;
  return std::min(std::int64_t(t), g.n[k] - 1);
}

// A counting sort of the images into band cells, each image entered in three bands. Images are
// placed in the order of their first band cell, so that each copy lands just after the previous
// image's rather than anywhere: within a run, entries are then by y cell and image order, which
// no result depends on, as each pair's hits are sorted.
void fill_grid(bool periodic, TrajectorySearchStorage& st) {
  const std::vector<Image>& images = st.images;
  Grid& g = st.grid;
  const std::size_t n = images.size();
  const std::uint64_t band_step = std::uint64_t(g.n[2]);
  std::vector<std::uint64_t>& cells = st.image_cell;
  cells.resize(n);
  g.start.reset(g.n_band_cells);
  st.images_by_cell.reset(g.n_band_cells);
  for (std::size_t i = 0; i < n; ++i) {
    const double* p = images[i].grid;
    cells[i] = g.band_cell(image_cell(g, p, 0), image_cell(g, p, 1), image_cell(g, p, 2));
    st.images_by_cell.count(cells[i]);
    for (std::uint64_t b = 0; b < 3; ++b) g.start.count(cells[i] + b * band_step);
  }
  g.start.finish_counting();
  st.images_by_cell.finish_counting();
  st.images_in_cell_order.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    st.images_in_cell_order[st.images_by_cell.place(cells[i])] = i;
  }
  const std::size_t entries = 3 * n;
  for (auto* v : {&g.x, &g.y, &g.z}) v->resize(entries + kRunBlock);
  for (auto* v : {&g.la, &g.lb, &g.lc}) v->resize(periodic ? entries + kRunBlock : 0);
  g.position.resize(entries);
  for (const std::uint32_t i : st.images_in_cell_order) {
    for (std::uint64_t b = 0; b < 3; ++b) {
      const std::uint32_t at = g.start.place(cells[i] + b * band_step);
      g.x[at] = images[i].raw[0];
      g.y[at] = images[i].raw[1];
      g.z[at] = images[i].raw[2];
      g.position[at] = images[i].position;
      if (!periodic) continue;
      g.la[at] = images[i].lattice[0];
      g.lb[at] = images[i].lattice[1];
      g.lc[at] = images[i].lattice[2];
    }
  }
  for (auto* v : {&g.x, &g.y, &g.z}) std::fill(v->begin() + entries, v->end(), __builtin_inf());
  if (periodic) {
    for (auto* v : {&g.la, &g.lb, &g.lc}) std::fill(v->begin() + entries, v->end(), 0.0);
  }
}

// d − h, as the minimum image when periodic. A short raw offset is its own minimum image: its
// fractional coordinates all round to zero.
void donor_offset(const PeriodicBox* box, const double* d, const double* h, double w[3]) {
  const double dh[3] = {d[0] - h[0], d[1] - h[1], d[2] - h[2]};
  const double r2 = (dh[0] * dh[0] + dh[1] * dh[1]) + dh[2] * dh[2];
  if (box == nullptr || r2 < 0.16 * box->min_width * box->min_width) {
    std::memcpy(w, dh, sizeof dh);
  } else {
    minimum_image(*box, dh, w);
  }
}

// The probe of pair i, or false when it cannot bond: an atom is not finite, or its hydrogen
// lies beyond the cells next to the grid.
template <typename T>
bool make_probe(const TrajectorySearch& s, const T* coords, const PeriodicBox* box, const Grid& g,
                std::size_t i, Probe& p) {
  double d[3], h[3];
  load_atom(coords, s.pair_atoms[2 * i], d);
  load_atom(coords, s.pair_atoms[2 * i + 1], h);
  if (!is_finite(d) || !is_finite(h)) return false;
  std::memcpy(p.hydrogen, h, sizeof h);
  p.pair_position = static_cast<std::uint32_t>(i);
  double grid[3] = {h[0], h[1], h[2]};
  if (box != nullptr) {
    double rest[3];
    wrap(*box, h, p.lattice, rest);
    cartesian(*box, rest, grid);
  } else {
    p.lattice[0] = p.lattice[1] = p.lattice[2] = 0.0;
  }
  if (!probe_cell(g, grid, p.cell)) return false;
  donor_offset(box, d, h, p.w);
  return true;
}

// The probes of the pairs that can bond, in list order, and `visits`, their positions in the
// order of their hydrogen's band cell, so that consecutive probes read cached entries. Probes
// are large: they stay where they are made, and only their positions are sorted.
template <typename T>
void make_probes(const TrajectorySearch& s, const T* coords, const PeriodicBox* box, const Grid& g,
                 TrajectorySearchStorage& st) {
  const std::size_t n_pairs = s.pair_atoms.size() / 2;
  if (st.probes.size() < n_pairs) st.probes.resize(n_pairs);
  st.probe_cell.resize(n_pairs);
  st.probe_start.reset(g.n_band_cells);
  std::size_t n = 0;
  constexpr std::size_t kAhead = 8;  // pairs name atoms in no particular order
  for (std::size_t i = 0; i < n_pairs; ++i) {
    if (i + kAhead < n_pairs) {
      __builtin_prefetch(coords + 3 * s.pair_atoms[2 * (i + kAhead)]);
      __builtin_prefetch(coords + 3 * s.pair_atoms[2 * (i + kAhead) + 1]);
    }
    Probe& p = st.probes[n];
    if (!make_probe(s, coords, box, g, i, p)) continue;
    st.probe_cell[n] =
        g.band_cell(std::clamp<std::int64_t>(p.cell[0], 0, g.n[0] - 1), p.cell[1] + 1,
                    std::clamp<std::int64_t>(p.cell[2], 0, g.n[2] - 1));
    st.probe_start.count(st.probe_cell[n]);
    ++n;
  }
  st.visits.resize(st.probe_start.finish_counting());
  for (std::uint32_t k = 0; k < n; ++k) {
    st.visits[st.probe_start.place(st.probe_cell[k])] = k;
  }
}

enum class BoxKind { Open, Rectangular, Triclinic };

struct CriterionLanes {
  Doubles distance_squared;
  Doubles a[3], b[3], c[3];
};

// The test of one pair against the entries j ... j + kLanes - 1: v is the image offset from
// raw coordinates and lattice numbers, each component ((d − n_c c) − n_b b) − n_a a; for a
// rectangular box the zero terms are left out, which changes at most the sign of a zero.
template <BoxKind Kind, bool Obtuse>
[[gnu::always_inline]] inline LaneMask accepted_lanes(const CriterionLanes& c, const Probe& p,
                                                      const PairLanes& pair, const Grid& g,
                                                      std::uint32_t j) {
  AcceptorOffsets v = offsets_from(pair.hydrogen, g.x.data() + j, g.y.data() + j, g.z.data() + j);
  if constexpr (Kind != BoxKind::Open) {
    Doubles la, lb, lc;
    std::memcpy(&la, g.la.data() + j, sizeof la);
    std::memcpy(&lb, g.lb.data() + j, sizeof lb);
    std::memcpy(&lc, g.lc.data() + j, sizeof lc);
    const Doubles na = la - p.lattice[0];
    const Doubles nb = lb - p.lattice[1];
    const Doubles nc = lc - p.lattice[2];
    if constexpr (Kind == BoxKind::Rectangular) {
      v.vx = v.vx - na * c.a[0];
      v.vy = v.vy - nb * c.b[1];
      v.vz = v.vz - nc * c.c[2];
    } else {
      v.vx = ((v.vx - nc * c.c[0]) - nb * c.b[0]) - na * c.a[0];
      v.vy = ((v.vy - nc * c.c[1]) - nb * c.b[1]) - na * c.a[1];
      v.vz = ((v.vz - nc * c.c[2]) - nb * c.b[2]) - na * c.a[2];
    }
    v.r2 = (v.vx * v.vx + v.vy * v.vy) + v.vz * v.vz;
  }
  const Doubles dot = (v.vx * pair.wx + v.vy * pair.wy) + v.vz * pair.wz;
  const Doubles limit = v.r2 * pair.quarter_s2;
  const Doubles square = dot * dot;
  const LaneMask negative = dot < Doubles{};
  LaneMask angle;
  if constexpr (Obtuse) {
    angle = negative & (square > limit);
  } else {
    angle = negative | (square < limit);
  }
  return (v.r2 < c.distance_squared) & (v.r2 > Doubles{}) & angle;
}

// Accepted lanes among the kRunBlock entries from `first`, as bits, those from `end` on cleared.
template <BoxKind Kind, bool Obtuse>
[[gnu::always_inline]] inline unsigned accepted_block(const CriterionLanes& c, const Probe& p,
                                                      const PairLanes& pair, const Grid& g,
                                                      std::uint32_t first, std::uint32_t end) {
  const unsigned bits = lane_bits(accepted_lanes<Kind, Obtuse>(c, p, pair, g, first)) |
                        lane_bits(accepted_lanes<Kind, Obtuse>(c, p, pair, g, first + kLanes))
                            << kLanes;
  return bits & ((1u << std::min<std::uint32_t>(end - first, kRunBlock)) - 1);
}

// Each probe, in the order of `visits`, against its three runs, entirely in vector lanes; each
// pair's accepted acceptors are put in list order. Each run's first block is tested before any
// hit is written, so that the three tests overlap; the rare longer run continues block by block.
template <BoxKind Kind, bool Obtuse>
[[gnu::always_inline]] inline void search_probes_with(const CriterionLanes& c, double cos_squared,
                                                      const Grid& g, const Probe* probes,
                                                      std::span<const std::uint32_t> visits,
                                                      HitList& hits, HitRange* ranges) {
  constexpr std::size_t kAhead = 8;  // probes are read in no particular order
  for (std::size_t v = 0; v < visits.size(); ++v) {
    if (v + kAhead < visits.size()) {
      const char* ahead = reinterpret_cast<const char*>(probes + visits[v + kAhead]);
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + sizeof(Probe) - 1);
    }
    const Probe& p = probes[visits[v]];
    const double s2 = (p.w[0] * p.w[0] + p.w[1] * p.w[1]) + p.w[2] * p.w[2];
    if (!(s2 > 0.0)) continue;
    // quarter_s2 holds s2 × cos² here, whatever the angle.
    const PairLanes pair{broadcast(p.hydrogen), splat(p.w[0]), splat(p.w[1]), splat(p.w[2]),
                         splat(s2 * cos_squared)};
    // Runs beyond the grid's x extent are left empty.
    std::uint32_t begin[3] = {}, end[3] = {};
    const std::int64_t z_lo = std::max<std::int64_t>(p.cell[2] - 1, 0);
    const std::int64_t z_hi = std::min<std::int64_t>(p.cell[2] + 1, g.n[2] - 1);
    for (int r = 0; r < 3; ++r) {
      const std::int64_t x = std::int64_t{p.cell[0]} - 1 + r;
      if (x < 0 || x >= g.n[0]) continue;
      const std::uint64_t run = g.band_cell(x, p.cell[1] + 1, z_lo);
      begin[r] = g.start.begin(run);
      end[r] = g.start.end(run + std::uint64_t(z_hi - z_lo));
    }
    unsigned first_block[3];
    for (int r = 0; r < 3; ++r) {
      first_block[r] = accepted_block<Kind, Obtuse>(c, p, pair, g, begin[r], end[r]);
    }
    const std::size_t first_hit = hits.size;
    hits.make_room(3 * kRunBlock);
    for (int r = 0; r < 3; ++r) {
      for (unsigned bits = first_block[r]; bits != 0; bits &= bits - 1) {
        hits.value[hits.size++] =
            g.position[begin[r] + static_cast<std::uint32_t>(__builtin_ctz(bits))];
      }
      for (std::uint32_t j = begin[r] + kRunBlock; j < end[r]; j += kRunBlock) {
        hits.make_room(kRunBlock);
        for (unsigned bits = accepted_block<Kind, Obtuse>(c, p, pair, g, j, end[r]); bits != 0;
             bits &= bits - 1) {
          hits.value[hits.size++] = g.position[j + static_cast<std::uint32_t>(__builtin_ctz(bits))];
        }
      }
    }
    // Few hits per pair: insertion sort into acceptor-list order.
    std::uint32_t* pair_hits = hits.value.data() + first_hit;
    const std::size_t count = hits.size - first_hit;
    for (std::size_t i = 1; i < count; ++i) {
      for (std::size_t m = i; m > 0 && pair_hits[m] < pair_hits[m - 1]; --m) {
        std::swap(pair_hits[m], pair_hits[m - 1]);
      }
    }
    ranges[p.pair_position] = HitRange{first_hit, count};
  }
}

// The search for one kind of box, with the angle test that `obtuse` names. Inlined, so that it
// is compiled for the target of the clone that calls it.
template <BoxKind Kind>
[[gnu::always_inline]] inline void search_probes_in(bool obtuse, const CriterionLanes& c,
                                                    double cos_squared, const Grid& g,
                                                    const Probe* probes,
                                                    std::span<const std::uint32_t> visits,
                                                    HitList& hits, HitRange* ranges) {
  if (obtuse) {
    search_probes_with<Kind, true>(c, cos_squared, g, probes, visits, hits, ranges);
  } else {
    search_probes_with<Kind, false>(c, cos_squared, g, probes, visits, hits, ranges);
  }
}

// A failure to grow the hit lists comes back as an exception_ptr (see distance_lanes.hpp).
BRENVOX_TARGET_CLONES std::exception_ptr search_probes(BoxKind kind, bool obtuse,
                                                       const CriterionLanes& c, double cos_squared,
                                                       const Grid& g, const Probe* probes,
                                                       std::span<const std::uint32_t> visits,
                                                       HitList& hits, HitRange* ranges) noexcept {
  try {
    switch (kind) {
      case BoxKind::Open:
        search_probes_in<BoxKind::Open>(obtuse, c, cos_squared, g, probes, visits, hits, ranges);
        break;
      case BoxKind::Rectangular:
        search_probes_in<BoxKind::Rectangular>(obtuse, c, cos_squared, g, probes, visits, hits,
                                               ranges);
        break;
      case BoxKind::Triclinic:
        search_probes_in<BoxKind::Triclinic>(obtuse, c, cos_squared, g, probes, visits, hits,
                                             ranges);
        break;
    }
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

BoxKind kind_of(const PeriodicBox* box) {
  if (box == nullptr) return BoxKind::Open;
  return box->rectangular ? BoxKind::Rectangular : BoxKind::Triclinic;
}

CriterionLanes criterion_lanes(const HbondCriterion& criterion, const PeriodicBox* box) {
  CriterionLanes c{};
  c.distance_squared = splat(criterion.distance_squared);
  if (box != nullptr) {
    for (int k = 0; k < 3; ++k) {
      c.a[k] = splat(box->a[k]);
      c.b[k] = splat(box->b[k]);
      c.c[k] = splat(box->c[k]);
    }
  }
  return c;
}

template <typename T>
void collect_frame(const TrajectorySearch& s, std::uint64_t frame, TrajectorySearchStorage& st,
                   BondBuffer& out) {
  const T* coords = static_cast<const T*>(s.xyz) + frame * s.n_atoms * 3;
  const PeriodicBox* box = s.boxes.empty() ? nullptr : &s.boxes[s.boxes.size() == 1 ? 0 : frame];
  enter_images(s, coords, box, st.images);
  Grid& g = st.grid;
  if (!size_grid(st.images, s.distance_cutoff, g)) return;
  fill_grid(box != nullptr, st);
  make_probes(s, coords, box, g, st);

  const std::size_t n_pairs = s.pair_atoms.size() / 2;
  st.hits.size = 0;
  st.ranges.assign(n_pairs, HitRange{0, 0});
  if (std::exception_ptr failure = search_probes(
          kind_of(box), s.criterion.obtuse, criterion_lanes(s.criterion, box),
          s.criterion.cos_squared, g, st.probes.data(), st.visits, st.hits, st.ranges.data())) {
    std::rethrow_exception(failure);
  }
  for (std::size_t i = 0; i < n_pairs; ++i) {
    const HitRange r = st.ranges[i];
    const std::int64_t donor = s.pair_atoms[2 * i];
    const std::int64_t hydrogen = s.pair_atoms[2 * i + 1];
    for (std::uint64_t h = r.first; h < r.first + r.count; ++h) {
      const std::int64_t acceptor = s.acceptors[st.hits.value[h]];
      if (acceptor != donor) out.push_record(frame, donor, hydrogen, acceptor);
    }
  }
}

}  // namespace

void collect_trajectory_frames(const TrajectorySearch& search, std::uint64_t first,
                               std::uint64_t last, TrajectorySearchStorage& storage,
                               BondBuffer& out) {
  if (search.pair_atoms.empty() || search.acceptors.empty()) return;
  for (std::uint64_t frame = first; frame < last; ++frame) {
    if (search.single_precision) {
      collect_frame<float>(search, frame, storage, out);
    } else {
      collect_frame<double>(search, frame, storage, out);
    }
  }
}

BondBuffer search_trajectory(const TrajectorySearch& search) {
  BondBuffer out;
  TrajectorySearchStoragePtr storage = make_trajectory_search_storage();
  collect_trajectory_frames(search, 0, search.n_frames, *storage, out);
  return out;
}

}  // namespace brenvox
