#pragma once
// Ordinary failures travel as values: a Result holds either a value or the error that prevented
// it, and its void form, Status, only the error if there was one. Exceptions are kept for
// internal failures and for running out of memory.

#include <utility>
#include <variant>

namespace brenvox {

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  E& error() { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return error_.index() == 0; }
  E& error() { return std::get<1>(error_); }

 private:
  std::variant<std::monostate, E> error_;
};

template <typename E>
using Status = Result<void, E>;

}  // namespace brenvox
