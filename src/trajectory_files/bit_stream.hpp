#pragma once
// The bit stream of an .xtc frame's compressed coordinates: numbers of up to 56 bits, each
// stored most significant bit first, one after the other with no alignment.
//
// Reading never touches a byte outside the span: past its end the stream reads as zero bits,
// and overran() says so. A decoder reads a bounded number of bits per atom and checks
// overran() once per atom, so that corrupt counts cost no more than the atoms of the frame.

#include <cstddef>
#include <cstdint>

#include "trajectory_files/xdr_stream.hpp"

namespace brenvox::xdr {

class BitStream {
 public:
  explicit BitStream(Bytes bytes) noexcept
      : data_(bytes.data()), size_(bytes.size()), n_bits_(std::uint64_t{bytes.size()} * 8) {}

  // The next `n` bits (0 to 56) as an unsigned number.
  std::uint64_t read(unsigned n) noexcept {
    if (n == 0) return 0;
    const std::uint64_t word = word_at(static_cast<std::size_t>(bit_ >> 3));
    const std::uint64_t value = (word << (bit_ & 7)) >> (64 - n);
    bit_ += n;
    return value;
  }

  // True once more bits have been read than the span holds.
  bool overran() const noexcept { return bit_ > n_bits_; }

 private:
  // The eight bytes from `byte` on, most significant first; bytes past the end read as zero.
  std::uint64_t word_at(std::size_t byte) const noexcept {
    if (byte < size_ && size_ - byte >= 8) return load_big_endian_64(data_ + byte);
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      const bool inside = byte < size_ && i < size_ - byte;
      word = (word << 8) | (inside ? data_[byte + i] : 0u);
    }
    return word;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::uint64_t n_bits_;
  std::uint64_t bit_ = 0;
};

}  // namespace brenvox::xdr
