#include "platform/pipe.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/library_thread.h"
#include "platform/thread.h"
#include "support/child_process.h"
#include "support/pipe_support.h"
#include "vorlet_v2.h"

namespace vorlet::v2::platform {
namespace {

using test::TestPipe;

TEST(PlatformPipe, HoldsSixtyFourKibibytesAndANonBlockingEndRefusesMore) {
  TestPipe p;
  ASSERT_GE(p.read_fd, 0);
  ASSERT_GE(p.write_fd, 0);
  ASSERT_EQ(fd_set_nonblocking(p.write_fd), Status::ok);
  std::vector<unsigned char> block(kPipeBufferBytes, 0x5a);
  uint64_t done = 0;
  while (done < block.size()) {
    uint64_t n = 0;
    ASSERT_EQ(pipe_write(p.write_fd, block.data() + done, block.size() - done, nullptr, 0, &n), Status::ok);
    done += n;
  }
  uint64_t waiting = 0;
  EXPECT_EQ(pipe_available(p.read_fd, &waiting), Status::ok);
  EXPECT_EQ(waiting, kPipeBufferBytes);
  uint64_t n = 7;
  EXPECT_EQ(pipe_write(p.write_fd, block.data(), 1, nullptr, 0, &n), Status::would_block);
  EXPECT_EQ(n, 0u);
}

TEST(PlatformPipe, WaitingBytesAreReportedBeforeTheClose) {
  TestPipe p;
  uint64_t waiting = 9;
  EXPECT_EQ(pipe_available(p.read_fd, &waiting), Status::ok);
  EXPECT_EQ(waiting, 0u);

  const unsigned char head[] = {1, 2};
  const unsigned char tail[] = {3, 4, 5};
  uint64_t n = 0;
  ASSERT_EQ(pipe_write(p.write_fd, head, sizeof head, tail, sizeof tail, &n), Status::ok);
  EXPECT_EQ(n, 5u);
  p.close_write();

  EXPECT_EQ(pipe_available(p.read_fd, &waiting), Status::ok);
  EXPECT_EQ(waiting, 5u);
  unsigned char got[8] = {};
  ASSERT_EQ(pipe_read(p.read_fd, got, sizeof got, &n), Status::ok);
  ASSERT_EQ(n, 5u);
  EXPECT_EQ(got[0], 1);
  EXPECT_EQ(got[4], 5);
  EXPECT_EQ(pipe_available(p.read_fd, &waiting), Status::closed);
  EXPECT_EQ(pipe_read(p.read_fd, got, sizeof got, &n), Status::closed);
  EXPECT_EQ(pipe_available(-1, &waiting), Status::io);
}

// A host may hand a reader any descriptor; end of file must not look like
// "nothing yet" forever.
TEST(PlatformPipe, EndOfFileOnADescriptorThatIsNotAPipeIsClosed) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite("abc", 1, 3, file), 3u);
  std::fflush(file);
  std::rewind(file);
  const int32_t fd = fileno(file);
  uint64_t waiting = 0;
  EXPECT_EQ(pipe_available(fd, &waiting), Status::ok);
  EXPECT_EQ(waiting, 3u);
  unsigned char got[8];
  uint64_t n = 0;
  EXPECT_EQ(pipe_read(fd, got, sizeof got, &n), Status::ok);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(pipe_available(fd, &waiting), Status::closed);
  std::fclose(file);
}

// With the default SIGPIPE disposition, a write whose reader has gone must
// fail with closed and leave the process alive, on the host's thread and on
// a library thread alike.
TEST(PlatformPipe, WriteToAGoneReaderIsClosedOnEveryThread) {
  TestPipe p;
  p.close_read();
  const unsigned char byte = 1;
  uint64_t n = 0;
  EXPECT_EQ(pipe_write(p.write_fd, &byte, 1, nullptr, 0, &n), Status::closed);

  struct Arg {
    int32_t fd;
    Status status;
  } arg{p.write_fd, Status::ok};
  std::thread t;
  ASSERT_TRUE(start_thread(
      &t,
      [](void* a) {
        auto* self = static_cast<Arg*>(a);
        const unsigned char b = 1;
        uint64_t written = 0;
        self->status = pipe_write(self->fd, &b, 1, nullptr, 0, &written);
      },
      &arg));
  join_thread(&t);
  EXPECT_EQ(arg.status, Status::closed);
  EXPECT_FALSE(on_library_thread());
}

// A host thread with SIGPIPE at its default action writes a frame larger
// than the pipe into a blocking pipe, and the reader closes half-way: the
// write that meets the close has moved bytes already, so the kernel returns
// its partial count along with the signal. The process lives, the call says
// closed, and no SIGPIPE is left pending or blocked. In a process of its own,
// since a SIGPIPE that got through would end it.
TEST(PlatformPipe, AReaderThatClosesMidFrameCostsNoSigpipe) {
  const std::string report = test::run_in_child([] {
    test::ChildChecks checks;
    CHILD_CHECK(checks, signal(SIGPIPE, SIG_DFL) != SIG_ERR);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGPIPE);
    CHILD_CHECK(checks, pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr) == 0);
    int32_t read_fd = -1;
    int32_t write_fd = -1;
    if (!CHILD_CHECK(checks, pipe_create(&read_fd, &write_fd) == Status::ok)) return checks.report();

    constexpr size_t kFrame = 300000;
    constexpr size_t kReadBeforeClose = 100000;  // then the writer is inside its write
    std::thread reader([&] {
      std::vector<unsigned char> sink(kReadBeforeClose);
      size_t got = 0;
      while (got < kReadBeforeClose) {
        const ssize_t n = read(read_fd, sink.data() + got, kReadBeforeClose - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      fd_close(read_fd);
    });
    const std::vector<unsigned char> body(kFrame, 0x5A);
    const int32_t written = vorlet_v2_frame_write(write_fd, body.data(), body.size());
    reader.join();
    CHILD_CHECK(checks, written == VORLET_V2_CLOSED);

    sigset_t mask, pending;
    CHILD_CHECK(checks, pthread_sigmask(SIG_SETMASK, nullptr, &mask) == 0 && sigismember(&mask, SIGPIPE) == 0);
    CHILD_CHECK(checks, sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 0);
    fd_close(write_fd);
    return checks.report();
  });
  EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace vorlet::v2::platform
