#pragma once
// Ordinary failures that the search detects in its inputs, described without Python; the
// module boundary raises each as the exception type its kind names.

#include <string>

#include "kernel/result.hpp"

namespace brenvox {

// A wrong coordinate length, or rows whose indices would not fit in uint32.
enum class ErrorKind { ValueError, OverflowError };

struct SearchError {
  ErrorKind kind;
  std::string message;
};

template <typename T>
using SearchResult = Result<T, SearchError>;
using SearchStatus = Status<SearchError>;

}  // namespace brenvox
