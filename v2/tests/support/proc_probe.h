// What the process holds right now, read from /proc/self: open descriptors,
// threads, and the flags of one descriptor. Each test runs in its own
// process, so counts taken before and after a step show what it leaked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorlet::v2::test {

size_t open_descriptor_count();
// Threads of the process, counted once the count holds still.
size_t thread_count();
// Times the process's threads have gone to sleep so far (each thread's
// voluntary context switches, summed).
uint64_t voluntary_switches();
// What /proc/self/fd/<fd> names ("socket:[1234]"), or "" when fd is not open.
std::string descriptor_target(int fd);
// Resident memory of the process now (VmRSS), and the largest it has been
// since the last peak reset (VmHWM), in bytes; 0 when unreadable.
uint64_t resident_bytes();
uint64_t peak_resident_bytes();
// Starts the peak over from the resident memory of now; false when the
// kernel does not allow it.
bool reset_peak_resident();
// The open-file flags of fd (octal "flags:" of its fdinfo), or 0.
uint32_t descriptor_flags(int fd);
// Connections waiting to be accepted by the socket listening on port (of
// any address), or -1 when no socket listens there.
int64_t listen_backlog(uint16_t port);
// The descriptor limit under which exactly `free` more descriptors can be
// opened now (a new descriptor takes the lowest free number).
uint64_t descriptor_limit_leaving(size_t free);

inline constexpr uint32_t kFlagNonBlocking = 04000;
inline constexpr uint32_t kFlagCloseOnExec = 02000000;

}  // namespace vorlet::v2::test
