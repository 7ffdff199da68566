#pragma once
// The C++ runtime allocates a thread's exception state the first time the thread throws or
// catches, as thread-local storage of a library loaded after start-up; when that allocation
// fails, the C library aborts the whole process. Every thread that may throw, the caller's
// thread at each entry and each worker as it starts, prepares that state first.

#include <pthread.h>

namespace brenvox {

// Makes the calling thread's exception state exist. Returns false, having touched nothing, when
// the memory for it cannot be had; the thread must then not throw.
bool prepare_exception_state() noexcept;

// pthread_create, but never while another thread prepares: a new thread's stack, mapped between
// a preparing thread's freeing its room and the runtime's allocation, could take that room.
int start_thread_between_preparations(pthread_t* thread, const pthread_attr_t* attributes,
                                      void* (*routine)(void*), void* argument) noexcept;

}  // namespace brenvox
