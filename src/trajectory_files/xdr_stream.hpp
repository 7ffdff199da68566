#pragma once
// A bounds-checked reader of XDR data (RFC 4506: big-endian 4-byte units, opaque data padded to
// a multiple of four bytes) over a span of bytes. Every read is checked against the span's end:
// a read that does not fit returns nothing and leaves the position where it was, so that no
// byte outside the span is ever touched.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace brenvox::xdr {

using Bytes = std::span<const std::uint8_t>;

inline std::uint32_t load_big_endian_32(const std::uint8_t* at) noexcept {
  std::uint32_t value;
  std::memcpy(&value, at, sizeof value);
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap32(value);
  return value;
}

inline std::uint64_t load_big_endian_64(const std::uint8_t* at) noexcept {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  return value;
}

// XDR's padding of `n` opaque bytes to whole 4-byte units; nullopt where that would not fit.
inline std::optional<std::uint64_t> padded_size(std::uint64_t n) noexcept {
  if (n > UINT64_MAX - 3) return std::nullopt;
  return (n + 3) & ~std::uint64_t{3};
}

class XdrStream {
 public:
  explicit XdrStream(Bytes bytes) noexcept : bytes_(bytes) {}

  std::size_t position() const noexcept { return position_; }
  std::size_t remaining() const noexcept { return bytes_.size() - position_; }

  std::optional<std::uint32_t> read_uint32() noexcept {
    if (remaining() < 4) return std::nullopt;
    const std::uint32_t value = load_big_endian_32(bytes_.data() + position_);
    position_ += 4;
    return value;
  }
  std::optional<std::int32_t> read_int32() noexcept {
    const auto value = read_uint32();
    if (!value) return std::nullopt;
    return static_cast<std::int32_t>(*value);
  }
  // XDR's hyper integer: eight bytes, most significant first.
  std::optional<std::int64_t> read_int64() noexcept {
    if (remaining() < 8) return std::nullopt;
    const std::uint64_t value = load_big_endian_64(bytes_.data() + position_);
    position_ += 8;
    return static_cast<std::int64_t>(value);
  }
  std::optional<float> read_float() noexcept {
    const auto bits = read_uint32();
    if (!bits) return std::nullopt;
    return std::bit_cast<float>(*bits);
  }
  std::optional<double> read_double() noexcept {
    if (remaining() < 8) return std::nullopt;
    const std::uint64_t bits = load_big_endian_64(bytes_.data() + position_);
    position_ += 8;
    return std::bit_cast<double>(bits);
  }
  // A real of `precision` bytes (4 or 8), as a double; a float converts exactly.
  std::optional<double> read_real(int precision) noexcept {
    if (precision == 8) return read_double();
    const auto value = read_float();
    if (!value) return std::nullopt;
    return double{*value};
  }

  // The next `n` bytes, and the padding after them skipped.
  std::optional<Bytes> read_opaque(std::uint64_t n) noexcept {
    const auto padded = padded_size(n);
    if (!padded || *padded > remaining()) return std::nullopt;
    const Bytes data = bytes_.subspan(position_, static_cast<std::size_t>(n));
    position_ += static_cast<std::size_t>(*padded);
    return data;
  }
  // The next `n` bytes, unpadded (XDR data already in 4-byte units).
  std::optional<Bytes> read_bytes(std::uint64_t n) noexcept {
    if (n > remaining()) return std::nullopt;
    const Bytes data = bytes_.subspan(position_, static_cast<std::size_t>(n));
    position_ += static_cast<std::size_t>(n);
    return data;
  }
  bool skip(std::uint64_t n) noexcept { return read_bytes(n).has_value(); }

 private:
  Bytes bytes_;
  std::size_t position_ = 0;
};

}  // namespace brenvox::xdr
