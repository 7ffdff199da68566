#include "kernel/bond_buffer.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace brenvox {

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

std::uint32_t* BondBuffer::extend_reserved(std::size_t values) {
  if (capacity_ - length_ < values) throw std::bad_alloc();
  std::uint32_t* start = data_ + length_;
  length_ += values;
  return start;
}

BondStorage BondBuffer::release() noexcept {
  BondStorage storage{data_, length_, capacity_};
  data_ = nullptr;
  length_ = 0;
  capacity_ = 0;
  return storage;
}

}  // namespace brenvox
