#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/library_thread.h"
#include "platform/pipe.h"
#include "platform/thread.h"

namespace vorlet::v2::platform {

static_assert(kPipeAtomicWriteBytes == PIPE_BUF);

namespace {

// Keeps a write on a host thread from raising SIGPIPE against the process.
// Library threads start with SIGPIPE blocked and need nothing.
class SigpipeGuard {
 public:
  SigpipeGuard() noexcept {
    if (on_library_thread()) return;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &block, &saved_) != 0) return;
    active_ = true;
    restore_ = sigismember(&saved_, SIGPIPE) == 0;
    // A SIGPIPE already pending belongs to the host; only one our write
    // raises is consumed.
    sigset_t pending;
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }

  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  // Called after every write, whatever it returned: a write that meets a
  // reader gone away raises SIGPIPE even when it has moved some bytes
  // already, and then returns that partial count rather than EPIPE.
  void consume_raised() noexcept {
    if (!active_ || was_pending_) return;
    sigset_t pending;
    if (sigpending(&pending) != 0 || sigismember(&pending, SIGPIPE) != 1) return;
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, SIGPIPE);
    const struct timespec zero{0, 0};
    while (sigtimedwait(&only, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }

  ~SigpipeGuard() {
    if (active_ && restore_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }

 private:
  sigset_t saved_;
  bool active_ = false;
  bool restore_ = false;
  bool was_pending_ = false;
};

void close_pair(int32_t* a, int32_t* b) noexcept {
  fd_close(*a);
  fd_close(*b);
  *a = -1;
  *b = -1;
}

Status query_available(int fd, uint64_t* bytes) noexcept {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0 || n < 0) return Status::io;
  *bytes = static_cast<uint64_t>(n);
  return Status::ok;
}

// Caps a count to what one read or write call accepts.
size_t call_size(uint64_t n) noexcept { return n > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<size_t>(n); }

}  // namespace

Status pipe_create(int32_t* read_end, int32_t* write_end) noexcept {
  *read_end = -1;
  *write_end = -1;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return Status::io;
  *read_end = fds[0];
  *write_end = fds[1];
  // The pipe may come smaller than asked (a user's pipe quota is used up):
  // the host pipes rely on the full buffer, so that is a failure.
  const int size = fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(kPipeBufferBytes));
  if (size < 0 || static_cast<uint64_t>(size) < kPipeBufferBytes) {
    close_pair(read_end, write_end);
    return Status::io;
  }
  return Status::ok;
}

Status fd_set_nonblocking(int32_t fd) noexcept {
  if (fd < 0) return Status::invalid_arg;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Status::io;
  return Status::ok;
}

void fd_close(int32_t fd) noexcept {
  // Linux releases the descriptor even when close is interrupted, so no retry.
  if (fd >= 0) close(fd);
}

Status pipe_available(int32_t fd, uint64_t* bytes) noexcept {
  *bytes = 0;
  if (fd < 0) return Status::io;
  Status s = query_available(fd, bytes);
  if (s != Status::ok || *bytes > 0) return s;
  struct pollfd p{fd, POLLIN, 0};
  int r;
  while ((r = poll(&p, 1, 0)) < 0 && errno == EINTR) {
  }
  if (r < 0 || (p.revents & (POLLNVAL | POLLERR)) != 0) return Status::io;
  if ((p.revents & (POLLIN | POLLHUP)) == 0) return Status::ok;
  // Readable: either bytes arrived since the first query, or the writer
  // has gone (a hang-up, or end of file on a descriptor that is not a
  // pipe). Bytes written before it went are still read first.
  s = query_available(fd, bytes);
  if (s != Status::ok || *bytes > 0) return s;
  return Status::closed;
}

Status pipe_wait_readable(int32_t fd, uint32_t timeout_ms) noexcept {
  return pipe_wait_readable_or(fd, -1, timeout_ms);
}

Status pipe_wait_readable_or(int32_t fd, int32_t also_fd, uint32_t timeout_ms, bool* also_ready) noexcept {
  if (also_ready != nullptr) *also_ready = false;
  if (fd < 0) return Status::io;
  const bool forever = timeout_ms == kWaitForever;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    // poll passes over an entry whose descriptor is negative.
    struct pollfd p[2] = {{fd, POLLIN, 0}, {also_fd, POLLIN, 0}};
    const int wait_ms = forever ? -1 : timeout_ms > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
    const int r = poll(p, 2, wait_ms);
    if (r > 0) {
      if (also_ready != nullptr) *also_ready = p[1].revents != 0;
      return (p[0].revents & POLLNVAL) != 0 ? Status::io : Status::ok;
    }
    if (r == 0) return Status::would_block;
    if (errno != EINTR) return Status::io;
    if (forever) continue;
    // Interrupted: wait out only what is left.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t spent_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (spent_ms >= static_cast<int64_t>(timeout_ms)) return Status::would_block;
    timeout_ms -= static_cast<uint32_t>(spent_ms);
    start = now;
  }
}

Status pipe_wait_writable(int32_t fd) noexcept {
  if (fd < 0) return Status::io;
  struct pollfd p{fd, POLLOUT, 0};
  int r;
  while ((r = poll(&p, 1, -1)) < 0 && errno == EINTR) {
  }
  if (r < 0 || (p.revents & POLLNVAL) != 0) return Status::io;
  // POLLOUT, or POLLERR once the reader has gone: the write says which.
  return Status::ok;
}

Status pipe_read(int32_t fd, void* buffer, uint64_t capacity, uint64_t* got) noexcept {
  *got = 0;
  if (fd < 0) return Status::io;
  ssize_t n;
  while ((n = read(fd, buffer, call_size(capacity))) < 0 && errno == EINTR) {
  }
  if (n > 0) {
    *got = static_cast<uint64_t>(n);
    return Status::ok;
  }
  if (n == 0) return Status::closed;
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? Status::would_block : Status::io;
}

Status pipe_write(int32_t fd, const void* a, uint64_t a_len, const void* b, uint64_t b_len,
                  uint64_t* written) noexcept {
  const PipeSlice parts[2] = {{a, a_len}, {b, b_len}};
  return pipe_write_gather(fd, parts, 2, written);
}

Status pipe_write_gather(int32_t fd, const PipeSlice* slices, uint32_t slice_count, uint64_t* written) noexcept {
  *written = 0;
  if (fd < 0 || slice_count > kPipeSliceMax) return Status::io;
  struct iovec parts[kPipeSliceMax];
  int count = 0;
  // One call moves at most INT_MAX bytes; the caller writes the rest next.
  size_t room = INT_MAX;
  for (uint32_t i = 0; i < slice_count && room > 0; ++i) {
    if (slices[i].length == 0) continue;
    parts[count].iov_base = const_cast<void*>(slices[i].data);
    parts[count].iov_len = slices[i].length < room ? static_cast<size_t>(slices[i].length) : room;
    room -= parts[count].iov_len;
    ++count;
  }
  if (count == 0) return Status::ok;
  SigpipeGuard guard;
  ssize_t n;
  while ((n = writev(fd, parts, count)) < 0 && errno == EINTR) {
  }
  const int write_errno = errno;
  guard.consume_raised();
  if (n >= 0) {
    *written = static_cast<uint64_t>(n);
    return Status::ok;
  }
  if (write_errno == EAGAIN || write_errno == EWOULDBLOCK) return Status::would_block;
  if (write_errno == EPIPE) return Status::closed;
  return Status::io;
}

}  // namespace vorlet::v2::platform
