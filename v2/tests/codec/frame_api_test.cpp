// The frame exports as a host uses them, over pipes the host makes itself.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "vorlet_v2.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct HostPipe {
  int fds[2] = {-1, -1};
  HostPipe() { EXPECT_EQ(pipe(fds), 0); }
  ~HostPipe() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  void close_end(int i) {
    close(fds[i]);
    fds[i] = -1;
  }
};

// Reads one frame, waiting while the reader says would_block.
int32_t read_one(vorlet_v2_FrameReader* reader, Bytes* body) {
  for (int spins = 0; spins < 20000; ++spins) {
    void* frame = nullptr;
    uint64_t length = 0;
    const int32_t s = vorlet_v2_frame_read_try(reader, &frame, &length);
    if (s == VORLET_V2_WOULD_BLOCK) {
      usleep(500);
      continue;
    }
    if (s == VORLET_V2_OK) {
      const auto* p = static_cast<const unsigned char*>(frame);
      body->assign(p, p + length);
      vorlet_v2_frame_release(frame);
    }
    return s;
  }
  return VORLET_V2_WOULD_BLOCK;
}

TEST(FrameApi, FramesOfEverySizeArriveAsWritten) {
  HostPipe p;
  vorlet_v2_FrameReader* reader = vorlet_v2_frame_reader_create(p.fds[0], 0);
  ASSERT_NE(reader, nullptr);
  for (size_t size : {size_t{0}, size_t{1}, size_t{65536}, size_t{65537}, size_t{300000}}) {
    Bytes body(size);
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<unsigned char>(i * 7 + size);
    int32_t written = -99;
    std::thread writer([&] { written = vorlet_v2_frame_write(p.fds[1], body.data(), body.size()); });
    Bytes got;
    EXPECT_EQ(read_one(reader, &got), VORLET_V2_OK) << size;
    writer.join();
    EXPECT_EQ(written, VORLET_V2_OK) << size;
    EXPECT_TRUE(got == body) << size;
  }
  p.close_end(1);
  Bytes got;
  EXPECT_EQ(read_one(reader, &got), VORLET_V2_CLOSED);
  EXPECT_EQ(read_one(reader, &got), VORLET_V2_CLOSED);
  vorlet_v2_frame_reader_destroy(reader);
}

TEST(FrameApi, BadArgumentsAreRefused) {
  HostPipe p;
  void* frame = nullptr;
  uint64_t length = 0;
  EXPECT_EQ(vorlet_v2_frame_reader_create(-1, 0), nullptr);
  vorlet_v2_FrameReader* reader = vorlet_v2_frame_reader_create(p.fds[0], 0);
  EXPECT_EQ(vorlet_v2_frame_read_try(nullptr, &frame, &length), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_frame_read_try(reader, nullptr, &length), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_frame_read_try(reader, &frame, nullptr), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_frame_read_try(reader, &frame, &length), VORLET_V2_WOULD_BLOCK);
  EXPECT_EQ(vorlet_v2_frame_write(-1, "x", 1), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_frame_write(p.fds[1], nullptr, 1), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_frame_write(p.fds[1], "x", UINT64_MAX - 7), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_frame_write(p.fds[1], nullptr, 0), VORLET_V2_OK);  // an empty frame
  EXPECT_EQ(vorlet_v2_frame_read_try(reader, &frame, &length), VORLET_V2_OK);
  EXPECT_EQ(frame, nullptr);
  EXPECT_EQ(length, 0u);
  vorlet_v2_frame_release(nullptr);
  vorlet_v2_frame_reader_destroy(nullptr);
  vorlet_v2_frame_reader_destroy(reader);
}

// The host keeps the default SIGPIPE disposition and its own mask; a frame
// written to a pipe whose reader has gone reports closed and the process
// lives on, with no SIGPIPE left pending.
TEST(FrameApi, WritingToAGoneReaderIsClosedAndSigpipeNeverArrives) {
  struct sigaction current {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
  ASSERT_EQ(current.sa_handler, SIG_DFL);
  sigset_t before;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
  ASSERT_EQ(sigismember(&before, SIGPIPE), 0);

  HostPipe p;
  p.close_end(0);
  EXPECT_EQ(vorlet_v2_frame_write(p.fds[1], "abc", 3), VORLET_V2_CLOSED);
  EXPECT_EQ(vorlet_v2_frame_write(p.fds[1], "abc", 3), VORLET_V2_CLOSED);

  sigset_t after, pending;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
  EXPECT_EQ(sigismember(&after, SIGPIPE), 0);
  ASSERT_EQ(sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
}

// A host whose signal handler does not restart system calls interrupts a
// writer that waits for room in the pipe, again and again: the frame still
// arrives whole and the write reports ok.
TEST(FrameApi, ASignalWhileTheWriterWaitsForRoomLosesNothing) {
  struct sigaction on_signal {}, saved {};
  on_signal.sa_handler = [](int) {};
  sigemptyset(&on_signal.sa_mask);
  on_signal.sa_flags = 0;  // no SA_RESTART: a blocked call fails with EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &on_signal, &saved), 0);

  HostPipe p;
  Bytes body(1u << 20);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<unsigned char>(i * 31 + (i >> 16));
  std::atomic<int32_t> written{-99};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    written = vorlet_v2_frame_write(p.fds[1], body.data(), body.size());
    done = true;
  });
  // The host takes 16 KiB at a time; in between the writer fills the pipe
  // and waits, and the signals find it waiting.
  Bytes wire;
  while (wire.size() < body.size() + 8) {
    for (int i = 0; i < 2 && !done; ++i) {
      pthread_kill(writer.native_handle(), SIGUSR1);
      usleep(300);
    }
    struct pollfd readable {p.fds[0], POLLIN, 0};
    if (poll(&readable, 1, 2000) <= 0) break;
    unsigned char chunk[16384];
    const ssize_t n = read(p.fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    wire.insert(wire.end(), chunk, chunk + n);
  }
  writer.join();
  ASSERT_EQ(sigaction(SIGUSR1, &saved, nullptr), 0);
  EXPECT_EQ(written.load(), VORLET_V2_OK);
  ASSERT_EQ(wire.size(), body.size() + 8);
  uint64_t length = 0;
  for (int i = 7; i >= 0; --i) length = (length << 8) | wire[i];
  EXPECT_EQ(length, body.size());
  EXPECT_TRUE(std::equal(body.begin(), body.end(), wire.begin() + 8));
}

// A host may hand the call a non-blocking descriptor. The writer then
// waits for room instead of failing: a frame far larger than the pipe
// arrives whole, and a reader that goes while the writer waits ends the
// write with closed instead of leaving it waiting.
TEST(FrameApi, ANonBlockingPipeIsWaitedOnForRoomUntilItsReaderGoes) {
  HostPipe p;
  ASSERT_EQ(fcntl(p.fds[1], F_SETFL, fcntl(p.fds[1], F_GETFL) | O_NONBLOCK), 0);
  Bytes body(1u << 20);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<unsigned char>(i * 13 + (i >> 12));
  int32_t written = -99;
  std::thread writer([&] { written = vorlet_v2_frame_write(p.fds[1], body.data(), body.size()); });
  Bytes wire;
  unsigned char chunk[16384];
  while (wire.size() < body.size() + 8) {
    const ssize_t n = read(p.fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    wire.insert(wire.end(), chunk, chunk + n);
  }
  writer.join();
  EXPECT_EQ(written, VORLET_V2_OK);
  ASSERT_EQ(wire.size(), body.size() + 8);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), wire.begin() + 8));

  // Now the reader takes one chunk and goes, with the frame not yet out.
  std::thread second([&] { written = vorlet_v2_frame_write(p.fds[1], body.data(), body.size()); });
  ASSERT_GT(read(p.fds[0], chunk, sizeof chunk), 0);
  p.close_end(0);
  second.join();
  EXPECT_EQ(written, VORLET_V2_CLOSED);
}

}  // namespace
