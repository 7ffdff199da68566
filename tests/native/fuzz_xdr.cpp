// The fuzz target of the .xtc and .trr readers: real files, damaged by seeded truncations, byte
// and bit flips, corrupt header words, insertions, deletions and splices, each indexed and
// decoded (serially and on a worker pool) from memory. Every case must end in an error value or
// in intact frames: a frame whose bytes the damage left alone decodes to what it decoded to in
// the intact file, bit for bit. Built with the native tests, run under AddressSanitizer and
// UndefinedBehaviorSanitizer by tools/run-native-tests and `make fuzz`.
//
//   hbond_xdr_fuzz [--cases N] [--seed S] FILE.xtc|FILE.trr ...
//
// Besides the files given, it makes files of its own from the first .xtc with more than nine
// atoms: a smaller compressed .xtc (by the test encoder, with runs and small-index changes),
// .trr files in float and double precision, with and without box, velocities and forces, one
// frame without coordinates, and an .xtc of three atoms (floats).

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "parallel/worker_pool.hpp"
#include "trajectory_files/byte_source.hpp"
#include "trajectory_files/frame_headers.hpp"
#include "trajectory_files/frame_index.hpp"
#include "trajectory_files/frame_reading.hpp"
#include "xdr_bytes.hpp"

namespace brenvox::xdr {
namespace {

using ByteVector = std::vector<std::uint8_t>;

// SplitMix64: one stream per case, from the seed and the case's number.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }

 private:
  std::uint64_t state_;
};

struct Decoding {
  std::vector<float> xyz, box, time;
  std::vector<std::int64_t> step;
  std::int32_t n_atoms = 0;
  std::int32_t stored = 0;  // atoms per frame in xyz: all, or the first ones kept
  FramesRead read{0, std::nullopt};
};

// The arrays for `n_frames` frames of the index's atom count are never larger than this.
constexpr std::uint64_t kLargestArrayFloats = std::uint64_t{64} << 20;

Decoding decode(const ByteSource& source, XdrFormat format, std::span<const std::int64_t> offsets,
                std::int32_t n_atoms, WorkerPool* pool, std::int32_t kept_atoms = 0) {
  Decoding d;
  d.n_atoms = n_atoms;
  d.stored = kept_atoms > 0 && kept_atoms < n_atoms ? kept_atoms : n_atoms;
  std::uint64_t n = offsets.size();
  if (n > 0 && 3 * std::uint64_t(n_atoms) * n > kLargestArrayFloats) {
    n = std::max<std::uint64_t>(1, kLargestArrayFloats / (3 * std::uint64_t(n_atoms)));
  }
  d.xyz.resize(n * 3 * std::uint64_t(d.stored));
  d.box.resize(9 * n);
  d.time.resize(n);
  d.step.resize(n);
  const FrameArrays arrays{d.xyz.data(),  d.box.data(), d.time.data(),
                           d.step.data(), n_atoms,      kept_atoms};
  d.read = read_frames(source, format, offsets.first(n), arrays, pool);
  return d;
}

struct Base {
  std::string name;
  XdrFormat format;
  ByteVector bytes;
  std::vector<std::int64_t> offsets;
  std::vector<std::uint64_t> sizes;  // of each frame
  Decoding intact;
};

bool read_file(const std::string& path, ByteVector& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::optional<Base> make_base(std::string name, XdrFormat format, ByteVector bytes) {
  Base base{std::move(name), format, std::move(bytes), {}, {}, {}};
  MemorySource source(base.bytes);
  auto index = index_frames(source, format);
  if (!index.ok() || index.value().damage || index.value().offsets.empty()) {
    std::fprintf(stderr, "fuzz_xdr: %s is not an intact file\n", base.name.c_str());
    return std::nullopt;
  }
  base.offsets = index.value().offsets;
  for (std::size_t k = 0; k < base.offsets.size(); ++k) {
    const std::uint64_t end =
        k + 1 < base.offsets.size() ? std::uint64_t(base.offsets[k + 1]) : base.bytes.size();
    base.sizes.push_back(end - std::uint64_t(base.offsets[k]));
  }
  base.intact = decode(source, format, base.offsets, *index.value().n_atoms, nullptr);
  if (base.intact.read.problem || base.intact.read.n_frames != base.offsets.size()) {
    std::fprintf(stderr, "fuzz_xdr: %s does not decode\n", base.name.c_str());
    return std::nullopt;
  }
  return base;
}

// Files of its own, from the first frames of an intact compressed .xtc.
std::vector<Base> own_files(const Base& xtc) {
  using namespace testing_support;
  std::vector<Base> made;
  const std::int32_t n_atoms = std::min<std::int32_t>(xtc.intact.n_atoms, 300);
  const std::size_t n_frames = std::min<std::size_t>(xtc.offsets.size(), 3);
  const auto x_of = [&](std::size_t frame) {
    std::vector<double> x;
    for (std::int32_t i = 0; i < 3 * n_atoms; ++i) {
      x.push_back(xtc.intact.xyz[frame * 3 * std::size_t(xtc.intact.n_atoms) + std::size_t(i)]);
    }
    return x;
  };
  // A compressed .xtc of the frames' first atoms at precision 1000.
  std::vector<ByteVector> frames;
  for (std::size_t f = 0; f < n_frames; ++f) {
    std::vector<IntXyz> atoms;
    const std::vector<double> x = x_of(f);
    for (std::int32_t i = 0; i < n_atoms; ++i) {
      atoms.push_back({std::llround(x[3 * i] * 1000), std::llround(x[3 * i + 1] * 1000),
                       std::llround(x[3 * i + 2] * 1000)});
    }
    XtcHeaderFields fields;
    fields.n_atoms = n_atoms;
    fields.step = std::int32_t(f);
    fields.time = float(f);
    std::copy_n(xtc.intact.box.begin() + std::ptrdiff_t(9 * f), 9, fields.box.begin());
    frames.push_back(xtc_frame(fields, encode_xtc(atoms, 1000.0f, f, 9 + std::int32_t(f))));
  }
  std::vector<std::pair<std::string, ByteVector>> files = {{"own-compressed.xtc", joined(frames)}};
  // .trr files: float with everything, double with box and x, float without box, and one
  // frame without coordinates.
  for (int variant = 0; variant < 4; ++variant) {
    frames.clear();
    for (std::size_t f = 0; f < n_frames; ++f) {
      TrrFrameFields s;
      s.precision = variant == 1 ? 8 : 4;
      s.n_atoms = n_atoms;
      s.step = std::int32_t(10 * f);
      s.time = 0.5 * double(f);
      if (variant != 2) {
        std::array<double, 9> box;
        std::copy_n(xtc.intact.box.begin() + std::ptrdiff_t(9 * f), 9, box.begin());
        s.box = box;
      }
      if (!(variant == 3 && f == 1)) s.x = x_of(f);
      if (variant == 0 || variant == 3) s.v = x_of(f);
      if (variant == 0) s.f = x_of(f);
      frames.push_back(trr_frame(s));
    }
    files.emplace_back("own-" + std::to_string(variant) + ".trr", joined(frames));
  }
  frames.clear();
  for (std::size_t f = 0; f < n_frames; ++f) {
    XtcHeaderFields fields;
    fields.n_atoms = 3;
    fields.step = std::int32_t(f);
    const std::vector<double> x = x_of(f);
    std::vector<float> floats(x.begin(), x.begin() + 9);
    frames.push_back(xtc_frame(fields, floats));
  }
  files.emplace_back("own-three-atoms.xtc", joined(frames));
  for (auto& [name, bytes] : files) {
    auto base = make_base(name, format_of_path(name), std::move(bytes));
    if (base) made.push_back(std::move(*base));
  }
  return made;
}

std::uint32_t interesting_word(Random& r, std::uint32_t original, std::int32_t n_atoms) {
  static constexpr std::uint32_t kValues[] = {
      0,          1,          0xffffffff, 2,    3,    4,    8,          9,
      10,         12,         36,         64,   65,   72,   73,         0x7fffffff,
      0x80000000, 0x00ffffff, 0x01000000, 1993, 1995, 2023, 0x7ffffffc, 0xfffffffc};
  switch (r.below(6)) {
    case 0: return std::uint32_t(n_atoms + 1);
    case 1: return std::uint32_t(n_atoms - 1);
    case 2: return original + std::uint32_t(r.below(9)) - 4;
    case 3: return std::uint32_t(r.next());
    default: return kValues[r.below(std::size(kValues))];
  }
}

void put_word(ByteVector& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4 && at + std::size_t(i) < bytes.size(); ++i) {
    bytes[at + std::size_t(i)] = std::uint8_t(value >> (24 - 8 * i));
  }
}

std::uint32_t word_at(const ByteVector& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value = (value << 8) | (at + std::size_t(i) < bytes.size() ? bytes[at + std::size_t(i)] : 0);
  }
  return value;
}

// The damaged bytes of one case, and what kind of damage.
int damage(const Base& base, Random& r, ByteVector& bytes) {
  bytes = base.bytes;
  const std::size_t frame = std::size_t(r.below(base.offsets.size()));
  const std::size_t start = std::size_t(base.offsets[frame]);
  const std::size_t size = std::size_t(base.sizes[frame]);
  const int kind = int(r.below(8));
  switch (kind) {
    case 0:  // truncation anywhere, or in one frame
      bytes.resize(r.below(2) ? std::size_t(r.below(bytes.size())) : start + r.below(size));
      break;
    case 1:  // 1 to 8 bytes flipped anywhere
      for (std::uint64_t n = 1 + r.below(8); n > 0; --n) {
        bytes[std::size_t(r.below(bytes.size()))] ^= std::uint8_t(1 + r.below(255));
      }
      break;
    case 2:    // a header word of one frame
    case 5: {  // ... and a truncation after it
      const std::size_t at = start + 4 * std::size_t(r.below(std::min<std::size_t>(size, 128) / 4));
      put_word(bytes, at, interesting_word(r, word_at(bytes, at), base.intact.n_atoms));
      if (kind == 5) bytes.resize(at + r.below(bytes.size() - at));
      break;
    }
    case 3:  // one bit of one frame
      bytes[start + std::size_t(r.below(size))] ^= std::uint8_t(1u << r.below(8));
      break;
    case 4: {  // bytes inserted or deleted
      const std::size_t at = std::size_t(r.below(bytes.size()));
      const std::size_t n = 1 + std::size_t(r.below(16));
      if (r.below(2)) {
        bytes.erase(bytes.begin() + std::ptrdiff_t(at),
                    bytes.begin() + std::ptrdiff_t(std::min(bytes.size(), at + n)));
      } else {
        for (std::size_t i = 0; i < n; ++i) {
          bytes.insert(bytes.begin() + std::ptrdiff_t(at), std::uint8_t(r.next()));
        }
      }
      break;
    }
    case 6: {  // a run of zeros or ones
      const std::size_t at = std::size_t(r.below(bytes.size()));
      const std::size_t n = std::min<std::size_t>(bytes.size() - at, 1 + r.below(256));
      std::memset(bytes.data() + at, r.below(2) ? 0xff : 0, n);
      break;
    }
    default: {  // the start of one frame copied over another place
      const std::size_t from = std::size_t(base.offsets[std::size_t(r.below(base.offsets.size()))]);
      const std::size_t to = std::size_t(r.below(bytes.size()));
      for (std::size_t i = 0; i < 100 && from + i < base.bytes.size() && to + i < bytes.size();
           ++i) {
        bytes[to + i] = base.bytes[from + i];
      }
      break;
    }
  }
  return kind;
}

struct Tally {
  std::uint64_t cases = 0, frames_decoded = 0, frames_checked = 0, failures = 0;
  std::map<std::string, std::uint64_t> outcomes;
};

bool same_floats(const float* a, const float* b, std::size_t n) {
  return std::memcmp(a, b, n * sizeof(float)) == 0;
}

bool same_decoding(const Decoding& a, const Decoding& b) {
  const auto kind = [](const Decoding& d) {
    return d.read.problem ? int(d.read.problem->failure) : -1;
  };
  const std::size_t n = a.read.n_frames;
  return n == b.read.n_frames && kind(a) == kind(b) &&
         same_floats(a.xyz.data(), b.xyz.data(), n * 3 * std::size_t(a.n_atoms)) &&
         same_floats(a.box.data(), b.box.data(), 9 * n) &&
         same_floats(a.time.data(), b.time.data(), n) &&
         std::equal(a.step.begin(), a.step.begin() + std::ptrdiff_t(n), b.step.begin());
}

// Checks a decoding of damaged bytes: the frames it decoded whose bytes are those of an intact
// frame at the same offset equal the intact decoding.
bool check(const Base& base, const ByteVector& bytes, std::span<const std::int64_t> offsets,
           const Decoding& d, Tally& tally, std::string& why) {
  tally.frames_decoded += d.read.n_frames;
  if (d.read.problem && d.read.problem->failure == FrameFailure::atom_count) {
    ++tally.outcomes["it holds another atom count (any)"];
  } else if (d.read.problem) {
    ++tally.outcomes[describe(*d.read.problem)];
  } else {
    ++tally.outcomes["all frames decoded"];
  }
  if (d.n_atoms != base.intact.n_atoms) return true;
  const std::size_t per_frame = 3 * std::size_t(d.n_atoms), kept = 3 * std::size_t(d.stored);
  for (std::size_t k = 0; k < d.read.n_frames; ++k) {
    const auto intact = std::lower_bound(base.offsets.begin(), base.offsets.end(), offsets[k]);
    if (intact == base.offsets.end() || *intact != offsets[k]) continue;
    const std::size_t j = std::size_t(intact - base.offsets.begin());
    const std::size_t start = std::size_t(offsets[k]), size = std::size_t(base.sizes[j]);
    if (start + size > bytes.size() ||
        std::memcmp(bytes.data() + start, base.bytes.data() + start, size) != 0) {
      continue;
    }
    ++tally.frames_checked;
    if (!same_floats(&d.xyz[k * kept], &base.intact.xyz[j * per_frame], kept) ||
        !same_floats(&d.box[9 * k], &base.intact.box[9 * j], 9) ||
        !same_floats(&d.time[k], &base.intact.time[j], 1) || d.step[k] != base.intact.step[j]) {
      why = "intact frame " + std::to_string(j) + " decoded differently";
      return false;
    }
  }
  return true;
}

bool run_case(const Base& base, const ByteVector& bytes, WorkerPool* pool, Tally& tally,
              std::string& why) {
  MemorySource source(bytes);
  auto indexed = index_frames(source, base.format);
  if (!indexed.ok()) {
    why = "a memory source failed to read";
    return false;
  }
  const FrameIndex& index = indexed.value();
  // The index: increasing offsets of frames within the bytes, an atom count with them.
  for (std::size_t k = 0; k < index.offsets.size(); ++k) {
    if (index.offsets[k] < 0 || std::uint64_t(index.offsets[k]) >= bytes.size() ||
        (k > 0 && index.offsets[k] <= index.offsets[k - 1])) {
      why = "the index has an offset out of order or out of the file";
      return false;
    }
  }
  if (index.offsets.empty() != !index.n_atoms ||
      (!index.damage && !bytes.empty() && index.offsets.empty())) {
    why = "the index's atom count or damage does not fit its offsets";
    return false;
  }
  if (index.n_atoms && atom_count_fits(base.format, *index.n_atoms, bytes.size())) {
    const Decoding d = decode(source, base.format, index.offsets, *index.n_atoms, pool);
    if (!check(base, bytes, index.offsets, d, tally, why)) return false;
    // On the pool, the same as serially.
    if (pool != nullptr &&
        !same_decoding(d, decode(source, base.format, index.offsets, *index.n_atoms, nullptr))) {
      why = "the pool decoded other frames than the caller's thread";
      return false;
    }
  } else if (index.n_atoms) {
    ++tally.outcomes["the file is too short for its atom count"];
  }
  // The intact file's offsets on the damaged bytes: frames whose headers were damaged too; every
  // other case keeps only the first half of the atoms, as a search of part of a system does.
  const std::int32_t kept = tally.cases % 2 ? base.intact.n_atoms / 2 + 1 : 0;
  const Decoding d = decode(source, base.format, base.offsets, base.intact.n_atoms, pool, kept);
  return check(base, bytes, base.offsets, d, tally, why);
}

int run(int argc, char** argv) {
  std::uint64_t n_cases = 15000, seed = 1;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if ((argument == "--cases" || argument == "--seed") && i + 1 < argc) {
      (argument == "--cases" ? n_cases : seed) = std::strtoull(argv[++i], nullptr, 10);
    } else {
      paths.push_back(argument);
    }
  }
  std::vector<Base> bases;
  for (const std::string& path : paths) {
    ByteVector bytes;
    if (!read_file(path, bytes)) {
      std::fprintf(stderr, "fuzz_xdr: cannot read %s\n", path.c_str());
      return 2;
    }
    auto base =
        make_base(path.substr(path.find_last_of('/') + 1), format_of_path(path), std::move(bytes));
    if (!base) return 2;
    bases.push_back(std::move(*base));
  }
  for (const Base& base : bases) {
    if (base.format == XdrFormat::xtc && base.intact.n_atoms > kXtcUncompressedAtoms) {
      for (Base& made : own_files(base)) bases.push_back(std::move(made));
      break;
    }
  }
  if (bases.empty()) {
    std::fprintf(stderr, "usage: hbond_xdr_fuzz [--cases N] [--seed S] FILE.xtc|FILE.trr ...\n");
    return 2;
  }
  auto pool = WorkerPool::create(2);
  if (!pool.ok()) return 2;
  const auto started = std::chrono::steady_clock::now();
  Tally tally;
  ByteVector bytes;
  for (std::uint64_t c = 0; c < n_cases; ++c) {
    Random r(seed * 0x100000001b3ULL + c);
    const std::size_t b = std::size_t(r.below(bases.size()));
    const int kind = damage(bases[b], r, bytes);
    std::string why;
    WorkerPool* on = c % 8 == 7 ? pool.value().get() : nullptr;
    if (!run_case(bases[b], bytes, on, tally, why)) {
      std::fprintf(stderr, "fuzz_xdr: case %llu (seed %llu, %s, damage %d): %s\n",
                   (unsigned long long)c, (unsigned long long)seed, bases[b].name.c_str(), kind,
                   why.c_str());
      ++tally.failures;
    }
    ++tally.cases;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "fuzz_xdr: %llu cases on %zu files in %.1f s (seed %llu): %llu frames decoded, %llu "
      "intact frames checked, %llu failed cases\n",
      (unsigned long long)tally.cases, bases.size(), seconds, (unsigned long long)seed,
      (unsigned long long)tally.frames_decoded, (unsigned long long)tally.frames_checked,
      (unsigned long long)tally.failures);
  for (const auto& [outcome, count] : tally.outcomes) {
    std::printf("  %8llu  %s\n", (unsigned long long)count, outcome.c_str());
  }
  return tally.failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace brenvox::xdr

int main(int argc, char** argv) {
  return brenvox::xdr::run(argc, argv);
}
