#include "trajectory_files/frame_reading.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

namespace brenvox::xdr {

namespace {

// Bytes of the longest .trr header: the version string at its longest, reals of 8 bytes.
constexpr std::size_t kLongestHeader = 12 + kTrrLongestVersion + 13 * 4 + 2 * 8;
static_assert(kLongestHeader >= kHeaderBytes);

// An .xtc frame's bytes that its decoding can use: its header (at most 96 bytes) and the
// compressed bytes that the atoms it keeps (and one more) can use; a frame of few atoms stores
// them uncompressed, and is read whole.
std::uint64_t xtc_bytes_read(std::uint64_t frame_size, std::int32_t n_atoms, std::int32_t kept) {
  const std::int32_t read =
      n_atoms <= kXtcUncompressedAtoms ? n_atoms : std::min(n_atoms, kept + 1);
  return std::min<std::uint64_t>(frame_size, 96 + xtc_coordinate_bytes_used(read));
}

FrameStatus problem(FrameFailure failure) {
  return FrameStatus(FrameProblem{failure});
}

FrameStatus read_error(OsError error) {
  return FrameStatus(FrameProblem{FrameFailure::read_error, 0, 0, error.error_number});
}

}  // namespace

bool atom_count_fits(XdrFormat format, std::int32_t n_atoms, std::uint64_t file_size) {
  if (n_atoms < 1) return false;
  const auto atoms = std::uint64_t(n_atoms);
  if (format == XdrFormat::xtc) return atoms <= kXtcUncompressedAtoms || atoms / 4 <= file_size;
  return 12 * atoms <= file_size;
}

std::optional<FrameProblem> problem_before_reading(XdrFormat format, std::int32_t n_atoms,
                                                   std::uint64_t file_size,
                                                   std::span<const std::int64_t> offsets) {
  if (offsets.empty()) return std::nullopt;
  if (offsets[0] < 0 || std::uint64_t(offsets[0]) >= file_size) {
    return FrameProblem{FrameFailure::file_ends};
  }
  if (!atom_count_fits(format, n_atoms, file_size)) {
    return FrameProblem{FrameFailure::too_many_atoms};
  }
  return std::nullopt;
}

FrameStatus read_frame(const ByteSource& source, XdrFormat format, std::uint64_t offset,
                       std::int32_t n_atoms, const FrameSlot& slot,
                       std::vector<std::uint8_t>& buffer) {
  const std::uint64_t end = source.size();
  // The file ends before the frame (it shrank since its index was made).
  if (offset >= end) return problem(FrameFailure::file_ends);
  std::uint8_t head[kLongestHeader];
  auto got = source.read_at(offset, head);
  if (!got.ok()) return read_error(got.error());
  const std::optional<FrameExtent> extent =
      frame_extent(format, Bytes(head, std::min(got.value(), kHeaderBytes)));
  if (!extent) {
    // Fewer bytes than the file had when it was opened: it shrank.
    const bool shrank = got.value() < std::min<std::uint64_t>(sizeof head, end - offset);
    return problem(shrank ? FrameFailure::file_ends : FrameFailure::no_header);
  }
  if (extent->n_atoms != n_atoms) {
    return FrameStatus(FrameProblem{FrameFailure::atom_count, extent->n_atoms, n_atoms});
  }
  if (extent->size > end - offset) return problem(FrameFailure::file_ends);
  // The bytes the decoder reads: within the frame, so within the source's size.
  std::uint64_t needed;
  if (format == XdrFormat::xtc) {
    needed = xtc_bytes_read(extent->size, n_atoms, slot.atoms_stored(n_atoms));
  } else {
    XdrStream stream(Bytes(head, got.value()));
    const std::optional<TrrHeader> header = read_trr_header(stream);
    if (!header) return problem(FrameFailure::file_ends);  // its reals are past the file's end
    needed = std::min(header->bytes_through_x(), extent->size);
  }
  buffer.resize(static_cast<std::size_t>(needed));
  got = source.read_at(offset, buffer);
  if (!got.ok()) return read_error(got.error());
  // The file shrank since it was opened.
  if (got.value() < needed) return problem(FrameFailure::file_ends);
  const Bytes frame(buffer.data(), static_cast<std::size_t>(needed));
  return format == XdrFormat::xtc ? decode_xtc_frame(frame, n_atoms, slot)
                                  : decode_trr_frame(frame, n_atoms, slot);
}

FramesRead read_frames(const ByteSource& source, XdrFormat format,
                       std::span<const std::int64_t> offsets, const FrameArrays& arrays,
                       WorkerPool* pool) {
  const std::uint64_t n = offsets.size();
  // Per frame its problem, written only by the worker that reads the frame; the first frame
  // with one, lowered as workers find earlier ones. A worker takes no frame after it: every
  // frame before the first problem is read.
  std::vector<std::optional<FrameProblem>> problems(n);
  std::atomic<std::uint64_t> first_problem{n};
  std::atomic<std::uint64_t> next_frame{0};
  const auto work = [&](std::vector<std::uint8_t>& buffer) {
    for (;;) {
      const std::uint64_t k = next_frame.fetch_add(1, std::memory_order_relaxed);
      if (k >= n || k > first_problem.load(std::memory_order_relaxed)) return;
      FrameStatus status = offsets[k] < 0 ? problem(FrameFailure::file_ends)
                                          : read_frame(source, format, std::uint64_t(offsets[k]),
                                                       arrays.n_atoms, arrays.slot(k), buffer);
      if (!status.ok()) {
        problems[k] = status.error();
        std::uint64_t seen = first_problem.load(std::memory_order_relaxed);
        while (k < seen &&
               !first_problem.compare_exchange_weak(seen, k, std::memory_order_relaxed)) {
        }
      }
    }
  };
  if (pool == nullptr || pool->size() <= 1 || n <= 1) {
    std::vector<std::uint8_t> buffer;
    work(buffer);
  } else {
    std::vector<std::vector<std::uint8_t>> buffers(pool->size());
    pool->run([&](std::size_t worker) { work(buffers[worker]); });
  }
  const std::uint64_t first = first_problem.load();
  if (first == n) return FramesRead{n, std::nullopt};
  return FramesRead{first, problems[first]};
}

}  // namespace brenvox::xdr
