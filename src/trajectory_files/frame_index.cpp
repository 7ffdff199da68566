#include "trajectory_files/frame_index.hpp"

#include <algorithm>

namespace brenvox::xdr {

namespace {

// The header bytes at each frame's offset, as a read of kHeaderBytes there would give them. While
// frames are small, a window of many frames is read at once; once they are large, just their
// headers.
class HeaderWindow {
 public:
  explicit HeaderWindow(const ByteSource& source) : source_(source), window_(kWindowBytes) {}

  Result<Bytes, OsError> at(std::uint64_t offset) {
    const bool inside = loaded_ && offset >= start_ && offset - start_ <= length_;
    if (!inside || (length_ - (offset - start_) < kHeaderBytes && !at_end_)) {
      const std::size_t wanted = frames_are_large_ ? kHeaderBytes : kWindowBytes;
      auto read = source_.read_at(offset, std::span(window_.data(), wanted));
      if (!read.ok()) return read.error();
      loaded_ = true;
      start_ = offset;
      length_ = read.value();
      at_end_ = length_ < wanted;
    }
    const std::size_t from = static_cast<std::size_t>(offset - start_);
    return Bytes(window_.data() + from, std::min(length_ - from, kHeaderBytes));
  }

  // The size of the frame just found, which says how much the next read takes.
  void saw_frame(std::uint64_t size) { frames_are_large_ = size > kWindowBytes / 16; }

 private:
  static constexpr std::size_t kWindowBytes = std::size_t{64} << 10;
  const ByteSource& source_;
  std::vector<std::uint8_t> window_;
  bool loaded_ = false;
  bool at_end_ = false;  // the window reaches the end of the source
  bool frames_are_large_ = false;
  std::uint64_t start_ = 0;
  std::size_t length_ = 0;
};

}  // namespace

Result<FrameIndex, OsError> index_frames(const ByteSource& source, XdrFormat format) {
  FrameIndex index;
  const std::uint64_t end = source.size();
  HeaderWindow headers(source);
  std::uint64_t offset = 0;
  while (offset < end) {
    auto head = headers.at(offset);
    if (!head.ok()) return head.error();
    const std::optional<FrameExtent> extent = frame_extent(format, head.value());
    if (!extent) {
      index.damage = FrameProblem{FrameFailure::no_header};
      break;
    }
    if (index.n_atoms && extent->n_atoms != *index.n_atoms) {
      index.damage = FrameProblem{FrameFailure::atom_count, extent->n_atoms, *index.n_atoms};
      break;
    }
    if (extent->size > end - offset) {
      index.damage = FrameProblem{FrameFailure::file_ends};
      break;
    }
    index.n_atoms = extent->n_atoms;
    index.offsets.push_back(static_cast<std::int64_t>(offset));
    offset += extent->size;
    headers.saw_frame(extent->size);
  }
  return index;
}

}  // namespace brenvox::xdr
