#include "kernel/bond_buffer.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace brenvox {

namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

// The rows of a long trajectory fill megabytes that are written once: in 2 MiB pages they take
// one page fault where small pages take 512. A hint, which the kernel may ignore.
void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes < 2 * kHugePage) return;
  const std::uintptr_t begin =
      (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace

BondBuffer::~BondBuffer() {
  std::free(data_);
}

BondBuffer::BondBuffer(BondBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

BondBuffer& BondBuffer::operator=(BondBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void BondBuffer::reserve_more(std::size_t values) {
  if (capacity_ - length_ >= values) return;
  if (values > SIZE_MAX / sizeof(std::uint32_t) - length_) throw std::bad_alloc();
  std::size_t wanted = length_ + values;
  void* grown = std::realloc(data_, wanted * sizeof(std::uint32_t));
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<std::uint32_t*>(grown);
  capacity_ = wanted;
  advise_huge_pages(data_, wanted * sizeof(std::uint32_t));
}

void BondBuffer::grow(std::size_t at_least) {
  std::size_t doubled = capacity_ > SIZE_MAX / 8 ? SIZE_MAX / 4 : capacity_ * 2;
  std::size_t wanted = doubled > length_ + at_least ? doubled : length_ + at_least;
  if (wanted < 64) wanted = 64;
  reserve_more(wanted - length_);
}

void BondBuffer::append(const BondBuffer& other) {
  if (other.length_ == 0) return;
  reserve_more(other.length_);
  std::memcpy(data_ + length_, other.data_, other.length_ * sizeof(std::uint32_t));
  length_ += other.length_;
}

void BondBuffer::shrink_to_fit() noexcept {
  if (capacity_ == length_ || length_ == 0) return;
  if (void* shrunk = std::realloc(data_, length_ * sizeof(std::uint32_t))) {
    data_ = static_cast<std::uint32_t*>(shrunk);
    capacity_ = length_;
  }
}

BondStorage BondBuffer::release() noexcept {
  BondStorage storage{data_, length_, capacity_};
  data_ = nullptr;
  length_ = 0;
  capacity_ = 0;
  return storage;
}

}  // namespace brenvox
