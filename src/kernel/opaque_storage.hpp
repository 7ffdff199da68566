#pragma once
// Working storage that a search keeps from frame to frame: owned by the caller, defined only in
// the search's own file. That file specialises the deleter with a plain `delete`.

#include <memory>

namespace brenvox {

template <typename T>
struct OpaqueStorageDeleter {
  void operator()(T* storage) const noexcept;
};

template <typename T>
using OpaqueStorage = std::unique_ptr<T, OpaqueStorageDeleter<T>>;

}  // namespace brenvox
