#include "platform/pipe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "support/pipe_support.h"

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

}  // namespace
}  // namespace vorlet::v2::platform
