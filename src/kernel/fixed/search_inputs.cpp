#include "kernel/fixed/search_inputs.hpp"

#include <algorithm>
#include <string>

#include "kernel/internal_failure.hpp"

namespace brenvox {

FrameView::FrameView(CoordView xyz, std::uint64_t frame_offset)
    : coords_(xyz.data() + std::min<std::uint64_t>(frame_offset, xyz.size())),
      n_atoms_(frame_offset > xyz.size() ? 0 : (xyz.size() - frame_offset) / 3),
      length_(xyz.size()),
      frame_offset_(frame_offset) {}

void FrameView::fail_out_of_bounds(std::uint64_t index) const {
  throw InternalFailure("index out of bounds: the len is " + std::to_string(length_) +
                        " but atom " + std::to_string(index) + " of the frame at offset " +
                        std::to_string(frame_offset_) + " lies beyond it");
}

}  // namespace brenvox
