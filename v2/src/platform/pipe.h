// Anonymous pipes and descriptor I/O of the platform. A descriptor is usable
// when it is >= 0. Every call retries when a signal interrupts it, so a
// host's signal handler never turns into a lost or torn frame.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace vorlet::v2::platform {

// Pipe buffer every host pipe is made with.
inline constexpr uint64_t kPipeBufferBytes = 65536;

// The largest write a pipe takes whole or not at all (PIPE_BUF): on a
// non-blocking write end such a write either moves every byte or none.
inline constexpr uint64_t kPipeAtomicWriteBytes = 4096;

// Makes a pipe whose ends are not inherited by child processes, with a
// buffer of at least kPipeBufferBytes. io when the pipe cannot be made or
// cannot get that buffer (both ends are then closed and left at -1). The
// caller owns both descriptors.
Status pipe_create(int32_t* read_end, int32_t* write_end) noexcept;

// Switches a descriptor to non-blocking writes and reads.
Status fd_set_nonblocking(int32_t fd) noexcept;

// Closes fd when it is >= 0.
void fd_close(int32_t fd) noexcept;

// Bytes waiting to be read, without reading them. ok with *bytes > 0 when
// data waits and 0 when nothing waits yet; closed when the write end has
// gone and nothing is left; io for an unusable descriptor. Data still
// waiting is always reported before the close.
Status pipe_available(int32_t fd, uint64_t* bytes) noexcept;

// Sleeps until fd has bytes to read or its write end has gone, for at most
// timeout_ms. ok when it is readable (the next query tells bytes from the
// close); would_block when the time passed first; io when the descriptor
// cannot be waited on.
Status pipe_wait_readable(int32_t fd, uint32_t timeout_ms) noexcept;

// A wait with no time limit.
inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// pipe_wait_readable that also ends, with ok, as soon as also_fd is
// readable (an Event's descriptor while the event is set; -1 for none), and
// that takes kWaitForever for no time limit. With also_ready, the caller
// learns whether also_fd is readable (or reports anything else) without a
// second look: when it is false after ok, fd is readable.
Status pipe_wait_readable_or(int32_t fd, int32_t also_fd, uint32_t timeout_ms, bool* also_ready = nullptr) noexcept;

// Sleeps until fd can take a write or its reader has gone (the next write
// tells which), with no time limit. io when the descriptor cannot be
// waited on.
Status pipe_wait_writable(int32_t fd) noexcept;

// One read of at most capacity bytes. ok with *got > 0; closed at end of
// file; would_block when a non-blocking descriptor has nothing; io else.
Status pipe_read(int32_t fd, void* buffer, uint64_t capacity, uint64_t* got) noexcept;

// One write of the first a_len bytes of a followed by the first b_len bytes
// of b (either may be empty). ok with *written > 0 (possibly fewer than
// asked); would_block when a non-blocking descriptor has no room; closed
// when the reader has gone; io else. SIGPIPE never reaches the process: on
// the library's own threads it is blocked; on any other thread it is
// blocked for the write, a SIGPIPE the write raised is consumed, and the
// thread's mask is restored. The process's disposition is never touched.
Status pipe_write(int32_t fd, const void* a, uint64_t a_len, const void* b, uint64_t b_len,
                  uint64_t* written) noexcept;

// One piece of a gathered write.
struct PipeSlice {
  const void* data;
  uint64_t length;
};

// pipe_write for up to kPipeSliceMax pieces at once, in order (empty pieces
// are skipped); the same results and the same SIGPIPE handling.
inline constexpr uint32_t kPipeSliceMax = 64;
Status pipe_write_gather(int32_t fd, const PipeSlice* parts, uint32_t count, uint64_t* written) noexcept;

}  // namespace vorlet::v2::platform
