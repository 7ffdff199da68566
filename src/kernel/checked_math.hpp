#pragma once
// Products of counts that must not wrap.

#include <cstdint>
#include <optional>

namespace brenvox {

inline std::optional<std::uint64_t> checked_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

inline std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  return checked_product(a, b).value_or(UINT64_MAX);
}

}  // namespace brenvox
