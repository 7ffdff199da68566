#pragma once
// Ordinary failures that the search detects in its inputs, described without Python; the
// module boundary raises each as the exception type its kind names.

#include <stdexcept>
#include <string>

#include "kernel/result.hpp"

namespace brenvox {

// A wrong coordinate length, cut-off, box or count (ValueError), rows whose indices would not
// fit in uint32 (OverflowError), or an atom index outside the frame (IndexError).
enum class ErrorKind { ValueError, OverflowError, IndexError };

struct SearchError {
  ErrorKind kind;
  std::string message;
};

// A frame the search cannot decide correctly, found while searching (ValueError).
class RefusedSearch : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <typename T>
using SearchResult = Result<T, SearchError>;
using SearchStatus = Status<SearchError>;

}  // namespace brenvox
