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

// true on a thread started by start_thread (SIGPIPE is blocked there).
bool on_library_thread() noexcept;

}  // namespace vorlet::v2::platform
