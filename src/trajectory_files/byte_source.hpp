#pragma once
// Where a file's bytes come from: positioned reads (pread) on an open file, or a span in memory
// (for tests and the fuzz target). Reads are safe from any number of threads at once. A file
// that shrinks while it is read gives short reads, never a signal: nothing is mapped.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "kernel/result.hpp"

namespace brenvox::xdr {

// An errno value from the operating system.
struct OsError {
  int error_number;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The size when the source was opened.
  virtual std::uint64_t size() const noexcept = 0;
  // Reads up to out.size() bytes at `offset`; fewer only where the source ends.
  virtual Result<std::size_t, OsError> read_at(std::uint64_t offset,
                                               std::span<std::uint8_t> out) const noexcept = 0;
};

class FileSource final : public ByteSource {
 public:
  // Opens `path` for reading (EISDIR for a directory).
  static Result<std::unique_ptr<FileSource>, OsError> open(const char* path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  std::uint64_t size() const noexcept override { return size_; }
  Result<std::size_t, OsError> read_at(std::uint64_t offset,
                                       std::span<std::uint8_t> out) const noexcept override;

 private:
  FileSource(int descriptor, std::uint64_t size) : descriptor_(descriptor), size_(size) {}
  int descriptor_;
  std::uint64_t size_;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const noexcept override { return bytes_.size(); }
  Result<std::size_t, OsError> read_at(std::uint64_t offset,
                                       std::span<std::uint8_t> out) const noexcept override;

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace brenvox::xdr
