#include "trajectory_files/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace brenvox::xdr {

Result<std::unique_ptr<FileSource>, OsError> FileSource::open(const char* path) {
  int descriptor;
  do {
    descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return OsError{errno};
  struct stat status;
  int error = 0;
  if (fstat(descriptor, &status) != 0) {
    error = errno;
  } else if (S_ISDIR(status.st_mode)) {
    error = EISDIR;
  }
  if (error != 0) {
    ::close(descriptor);
    return OsError{error};
  }
  const std::uint64_t size = std::uint64_t(std::max<off_t>(status.st_size, 0));
  return std::unique_ptr<FileSource>(new FileSource(descriptor, size));
}

FileSource::~FileSource() {
  ::close(descriptor_);
}

Result<std::size_t, OsError> FileSource::read_at(std::uint64_t offset,
                                                 std::span<std::uint8_t> out) const noexcept {
  constexpr auto kLargestOffset = std::uint64_t(std::numeric_limits<off_t>::max());
  std::size_t done = 0;
  while (done < out.size()) {
    if (offset > kLargestOffset - done) break;  // past any file's end
    // Linux reads at most about 2 GiB at a time.
    const std::size_t chunk = std::min<std::size_t>(out.size() - done, std::size_t{1} << 30);
    const ssize_t got = pread(descriptor_, out.data() + done, chunk, off_t(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return OsError{errno};
    }
    if (got == 0) break;
    done += std::size_t(got);
  }
  return done;
}

Result<std::size_t, OsError> MemorySource::read_at(std::uint64_t offset,
                                                   std::span<std::uint8_t> out) const noexcept {
  if (offset >= bytes_.size()) return std::size_t{0};
  const std::size_t n = std::min<std::uint64_t>(out.size(), bytes_.size() - offset);
  std::memcpy(out.data(), bytes_.data() + offset, n);
  return n;
}

}  // namespace brenvox::xdr
