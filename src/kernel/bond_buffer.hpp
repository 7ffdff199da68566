#pragma once
// Growable sequence of uint32 values, four per hydrogen bond (frame, donor, hydrogen, acceptor).
// Its malloc'd storage can be released as-is, so the result array takes it over without a copy.

#include <cstddef>
#include <cstdint>

namespace brenvox {

// Raw storage handed over by BondBuffer::release(); free it with std::free.
struct BondStorage {
  std::uint32_t* data = nullptr;
  std::size_t length = 0;    // values, not records
  std::size_t capacity = 0;  // values
};

class BondBuffer {
 public:
  BondBuffer() = default;
  ~BondBuffer();
  BondBuffer(BondBuffer&& other) noexcept;
  BondBuffer& operator=(BondBuffer&& other) noexcept;
  BondBuffer(const BondBuffer&) = delete;
  BondBuffer& operator=(const BondBuffer&) = delete;

  std::size_t size() const noexcept { return length_; }
  std::size_t capacity() const noexcept { return capacity_; }
  const std::uint32_t* data() const noexcept { return data_; }
  std::uint32_t* data() noexcept { return data_; }

  // Ensures room for `values` more values; throws std::bad_alloc.
  void reserve_more(std::size_t values);

  // Each index is narrowed to its low 32 bits; callers check representability once per call.
  void push_record(std::uint64_t frame, std::uint64_t donor, std::uint64_t hydrogen,
                   std::uint64_t acceptor) {
    if (capacity_ - length_ < 4) grow(4);
    std::uint32_t* end = data_ + length_;
    end[0] = static_cast<std::uint32_t>(frame);
    end[1] = static_cast<std::uint32_t>(donor);
    end[2] = static_cast<std::uint32_t>(hydrogen);
    end[3] = static_cast<std::uint32_t>(acceptor);
    length_ += 4;
  }

  // Appends the records of `first` and `second` and keeps the first min(count, 2) of them:
  // both are written whatever the count, so that a caller with few rows per key pays no branch
  // on how many there are.
  void push_up_to_two_records(std::uint64_t frame, std::uint64_t donor, std::uint64_t hydrogen,
                              std::uint32_t first, std::uint32_t second, unsigned count) {
    if (capacity_ - length_ < 8) grow(8);
    std::uint32_t* end = data_ + length_;
    end[0] = end[4] = static_cast<std::uint32_t>(frame);
    end[1] = end[5] = static_cast<std::uint32_t>(donor);
    end[2] = end[6] = static_cast<std::uint32_t>(hydrogen);
    end[3] = first;
    end[7] = second;
    length_ += 4 * (count < 2 ? count : 2);
  }

  void append(const BondBuffer& other);

  // Empties the buffer and keeps its storage.
  void clear() noexcept { length_ = 0; }

  // Gives back the storage beyond the values held; kept as it is when that fails.
  void shrink_to_fit() noexcept;

  // Gives up the storage; the buffer is empty afterwards.
  BondStorage release() noexcept;

 private:
  void grow(std::size_t at_least);

  std::uint32_t* data_ = nullptr;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace brenvox
