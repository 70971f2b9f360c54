// Threads of the library. Every thread the library starts runs with SIGPIPE
// blocked, so that a write to a pipe or socket whose reader has gone fails
// with an error instead of killing the host process.
#pragma once

#include <thread>

namespace vorlet::v2::platform {

using ThreadProc = void (*)(void*);

// Starts proc(arg) on a new thread stored in *out. false when the thread
// cannot be created (*out stays not joinable). Never throws.
bool start_thread(std::thread* out, ThreadProc proc, void* arg) noexcept;

// Joins *t when it is joinable.
void join_thread(std::thread* t) noexcept;

// A thread started by start_thread is marked as the library's
// (base/library_thread.h): SIGPIPE is blocked there.

}  // namespace vorlet::v2::platform
