#pragma once
// Ordinary failures detected by the kernel, carried up to the module boundary as values.

#include <string>
#include <utility>
#include <variant>

namespace brenvox {

enum class ErrorKind { TypeError, ValueError, OverflowError, RuntimeError };

struct KernelError {
  ErrorKind kind;
  std::string message;
};

// Either a value or the ordinary failure that prevented it.
template <typename T, typename E = KernelError>
class Outcome {
 public:
  Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Outcome(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  E& error() { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace brenvox
