#include "kernel/exception_state.hpp"

#include <cxxabi.h>
#include <pthread.h>

#include <cstdlib>

namespace brenvox {

namespace {

// Far more than the runtime's per-thread block and the loader's slot table need.
constexpr std::size_t kRoomBytes = 16 * 1024;

// Statically initialised: taking it allocates nothing.
pthread_mutex_t room_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

bool prepare_exception_state() noexcept {
  // A block freed just before the runtime's own allocation leaves that room in this thread's
  // arena; the lock keeps the other threads that prepare from taking it in between.
  pthread_mutex_lock(&room_lock);
  void* room = std::malloc(kRoomBytes);
  if (room != nullptr) {
    std::free(room);
    // Declared const by the runtime: the volatile store keeps the call.
    abi::__cxa_eh_globals* volatile state = abi::__cxa_get_globals();
    static_cast<void>(state);
  }
  pthread_mutex_unlock(&room_lock);
  return room != nullptr;
}

int start_thread_between_preparations(pthread_t* thread, const pthread_attr_t* attributes,
                                      void* (*routine)(void*), void* argument) noexcept {
  pthread_mutex_lock(&room_lock);
  const int error = pthread_create(thread, attributes, routine, argument);
  pthread_mutex_unlock(&room_lock);
  return error;
}

}  // namespace brenvox
