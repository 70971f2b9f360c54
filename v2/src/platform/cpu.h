// The processor's hint for a thread that polls a memory location in a
// loop: it lets a sibling hardware thread run and avoids the penalty of a
// mis-speculated loop exit. Not a system call; costs tens of cycles.
#pragma once

namespace vorlet::v2::platform {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#else
  asm volatile("" ::: "memory");
#endif
}

}  // namespace vorlet::v2::platform
