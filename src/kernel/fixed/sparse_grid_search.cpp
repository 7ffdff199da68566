#include "kernel/fixed/sparse_grid_search.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "kernel/baker_hubbard.hpp"
#include "kernel/fixed/cell_key.hpp"

namespace brenvox {

namespace {

struct GridEntry {
  double xyz[3];
  std::uint64_t atom;
};

struct PairContext {
  std::uint64_t frame;
  const Pair* pair;
  const double* donor;
  const double* hydrogen;
  BondBuffer* out;
};

inline void test_candidates(const GridEntry* begin, const GridEntry* end, const PairContext& ctx) {
  for (const GridEntry* e = begin; e != end; ++e) {
    if (e->atom == ctx.pair->donor) continue;
    if (is_hydrogen_bond(ctx.donor, ctx.hydrogen, e->xyz)) {
      ctx.out->push_record(ctx.frame, ctx.pair->donor, ctx.pair->hydrogen, e->atom);
    }
  }
}

class ColumnTable {
 public:
  struct Run {
    std::size_t begin = 0;
    std::size_t end = 0;
  };

  void reset(std::size_t n_columns) {
    std::size_t capacity = 16;
    while (capacity < 2 * n_columns) capacity *= 2;
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
  }

  Run& insert(std::int32_t x, std::int32_t y) {
    const std::uint64_t key = pack(x, y);
    for (std::size_t i = hash(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (!s.used) {
        s.used = true;
        s.key = key;
        return s.run;
      }
      if (s.key == key) return s.run;
    }
  }

  const Run* find(std::int64_t x, std::int64_t y) const {
    if (x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX) return nullptr;
    const std::uint64_t key = pack(std::int32_t(x), std::int32_t(y));
    for (std::size_t i = hash(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (!s.used) return nullptr;
      if (s.key == key) return &s.run;
    }
  }

 private:
  struct Slot {
    std::uint64_t key = 0;
    Run run;
    bool used = false;
  };

  static std::uint64_t pack(std::int32_t x, std::int32_t y) {
    return (std::uint64_t(std::uint32_t(x)) << 32) | std::uint32_t(y);
  }
  std::size_t hash(std::uint64_t key) const {
    return std::size_t((key * 0x9E3779B97F4A7C15ull) >> 17) & mask_;
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

}  // namespace

struct SparseSearchStorage {
  std::vector<std::size_t> order;
  std::vector<GridEntry> entries;
  std::vector<std::int32_t> entry_z;
  ColumnTable columns;
};

template <>
void OpaqueStorageDeleter<SparseSearchStorage>::operator()(SparseSearchStorage* s) const noexcept {
  delete s;
}

SparseSearchStoragePtr make_sparse_search_storage() {
  return SparseSearchStoragePtr(new SparseSearchStorage());
}

void search_sparse_grid(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                        std::span<const std::uint64_t> acceptors, const AcceptorCells& k,
                        SparseSearchStorage& storage, BondBuffer& out) {
  const std::size_t n = acceptors.size();
  std::vector<std::size_t>& order = storage.order;
  order.resize(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto key_less = [&](std::size_t a, std::size_t b) {
    const CellKey& ka = k.keys[a];
    const CellKey& kb = k.keys[b];
    if (ka.x != kb.x) return ka.x < kb.x;
    if (ka.y != kb.y) return ka.y < kb.y;
    return ka.z < kb.z;
  };
  std::stable_sort(order.begin(), order.end(), key_less);

  std::vector<GridEntry>& entries = storage.entries;
  std::vector<std::int32_t>& entry_z = storage.entry_z;
  entries.resize(n);
  entry_z.resize(n);
  std::size_t n_columns = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t i = order[j];
    std::memcpy(entries[j].xyz, k.position(i), sizeof entries[j].xyz);
    entries[j].atom = acceptors[i];
    entry_z[j] = k.keys[i].z;
    if (j == 0 || k.keys[i].x != k.keys[order[j - 1]].x || k.keys[i].y != k.keys[order[j - 1]].y) {
      ++n_columns;
    }
  }
  ColumnTable& columns = storage.columns;
  columns.reset(n_columns);
  for (std::size_t j = 0; j < n; ++j) {
    const CellKey& key = k.keys[order[j]];
    ColumnTable::Run& run = columns.insert(key.x, key.y);
    if (run.end == 0) run.begin = j;
    run.end = j + 1;
  }

  const GridEntry* base = entries.data();
  for (const Pair& pair : pairs) {
    const double* donor = view.atom(pair.donor);
    const double* hydrogen = view.atom(pair.hydrogen);
    const CellKey h = cell_key(hydrogen);
    const PairContext ctx{frame, &pair, donor, hydrogen, &out};
    const std::int64_t z_lo = std::int64_t(h.z) - 1;
    const std::int64_t z_hi = std::int64_t(h.z) + 1;
    for (std::int64_t x = std::int64_t(h.x) - 1; x <= std::int64_t(h.x) + 1; ++x) {
      for (std::int64_t y = std::int64_t(h.y) - 1; y <= std::int64_t(h.y) + 1; ++y) {
        const ColumnTable::Run* run = columns.find(x, y);
        if (run == nullptr) continue;
        const std::int32_t* zb = entry_z.data() + run->begin;
        const std::int32_t* ze = entry_z.data() + run->end;
        const std::int32_t* first =
            std::lower_bound(zb, ze, z_lo, [](std::int32_t z, std::int64_t v) { return z < v; });
        const std::int32_t* last =
            std::upper_bound(first, ze, z_hi, [](std::int64_t v, std::int32_t z) { return v < z; });
        test_candidates(base + (first - entry_z.data()), base + (last - entry_z.data()), ctx);
      }
    }
  }
}

}  // namespace brenvox
