// Whether the calling thread is one the library started. The platform's
// thread start marks each such thread; the allocation-failure sweep and the
// pipe layer ask. The flag lives here, on the ground floor, so that both
// can ask without the ground depending on the platform.
#pragma once

namespace vorlet::v2 {

// Marks the calling thread as the library's, for the rest of its life.
void mark_library_thread() noexcept;

// true on a thread that mark_library_thread marked.
bool on_library_thread() noexcept;

}  // namespace vorlet::v2
