#pragma once
// A fault that is not an ordinary error value: a broken invariant or an impossible size.
// The module boundary turns it into the interpreter's internal-failure exception.

#include <unistd.h>

#include <source_location>
#include <stdexcept>
#include <string>

namespace brenvox {

class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const std::string& message,
                           std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where), thread_id_(gettid()) {}

  const std::source_location& where() const noexcept { return where_; }
  // The thread that detected the fault, which may be a worker rather than the caller.
  pid_t thread_id() const noexcept { return thread_id_; }

 private:
  std::source_location where_;
  pid_t thread_id_;
};

}  // namespace brenvox
