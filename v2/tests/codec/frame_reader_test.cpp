#include "codec/frame_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "pool/frame_buffer.h"
#include "codec/frame_io.h"
#include "platform/pipe.h"
#include "support/pipe_support.h"

namespace vorlet::v2 {
namespace {

using test::pattern;
using test::read_frame;
using test::TestPipe;
using Bytes = std::vector<unsigned char>;

Bytes framed(const Bytes& body) {
  Bytes out(8);
  frame_prefix_encode(body.size(), out.data());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

void put(int32_t fd, const Bytes& bytes) {
  uint64_t done = 0;
  while (done < bytes.size()) {
    uint64_t n = 0;
    ASSERT_EQ(platform::pipe_write(fd, bytes.data() + done, bytes.size() - done, nullptr, 0, &n), Status::ok);
    done += n;
  }
}

struct ReaderDeleter {
  void operator()(FrameReader* r) const { frame_reader_destroy(r); }
};
using Reader = std::unique_ptr<FrameReader, ReaderDeleter>;

TEST(FrameReader, BytesArrivingOneAtATimeGiveWouldBlockUntilEachFrameIsWhole) {
  TestPipe p;
  Reader reader(frame_reader_create(p.read_fd, 0));
  ASSERT_NE(reader, nullptr);
  const std::vector<Bytes> bodies = {pattern(300, 1), Bytes{}, pattern(3, 2)};
  for (const Bytes& body : bodies) {
    const Bytes wire = framed(body);
    for (size_t i = 0; i < wire.size(); ++i) {
      put(p.write_fd, Bytes{wire[i]});
      void* frame = nullptr;
      uint64_t length = 99;
      const Status s = frame_read_try(reader.get(), &frame, &length);
      if (i + 1 < wire.size()) {
        ASSERT_EQ(s, Status::would_block) << "byte " << i << " of a " << body.size() << "-byte body";
        EXPECT_EQ(frame, nullptr);
        continue;
      }
      ASSERT_EQ(s, Status::ok);
      ASSERT_EQ(length, body.size());
      if (body.empty()) {
        EXPECT_EQ(frame, nullptr);
      } else {
        EXPECT_EQ(std::memcmp(frame, body.data(), body.size()), 0);
      }
      frame_buffer_release(frame);
    }
  }
}

TEST(FrameReader, CloseBetweenFramesIsClosedAndInsideAFrameIsIoOnce) {
  const Bytes whole = framed(Bytes{'h', 'e', 'l', 'l', 'o'});
  struct Case {
    const char* where;
    size_t bytes_before_close;
    std::vector<Status> reads;
  };
  const Case cases[] = {
      {"before any frame", 0, {Status::closed, Status::closed}},
      {"after a whole frame", whole.size(), {Status::ok, Status::closed, Status::closed}},
      {"after 3 length bytes", 3, {Status::io, Status::closed, Status::closed}},
      {"after the length", 8, {Status::io, Status::closed}},
      {"inside the body", 10, {Status::io, Status::closed}},
  };
  for (const Case& c : cases) {
    TestPipe p;
    Reader reader(frame_reader_create(p.read_fd, 0));
    put(p.write_fd, Bytes(whole.begin(), whole.begin() + static_cast<long>(c.bytes_before_close)));
    p.close_write();
    for (size_t i = 0; i < c.reads.size(); ++i) {
      void* frame = nullptr;
      uint64_t length = 0;
      EXPECT_EQ(frame_read_try(reader.get(), &frame, &length), c.reads[i]) << c.where << ", read " << i;
      frame_buffer_release(frame);
    }
  }
}

TEST(FrameReader, LengthOverTheLimitIsRefusedAndWhatFollowsIsReadAsTheNextLength) {
  TestPipe p;
  Reader reader(frame_reader_create(p.read_fd, 16));
  // A 19-byte body whose first bytes happen to form a 3-byte frame and an
  // empty frame.
  Bytes body(19, 0);
  frame_prefix_encode(3, body.data());
  std::memcpy(body.data() + 8, "abc", 3);
  frame_prefix_encode(0, body.data() + 11);
  put(p.write_fd, framed(body));

  Bytes got;
  EXPECT_EQ(read_frame(reader.get(), &got), Status::io);
  ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
  EXPECT_EQ(got, (Bytes{'a', 'b', 'c'}));
  ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
  EXPECT_TRUE(got.empty());

  // Lengths that cannot get a buffer header are refused without a limit.
  Reader unlimited(frame_reader_create(p.read_fd, 0));
  Bytes prefix(8);
  frame_prefix_encode(UINT64_MAX - 15, prefix.data());
  put(p.write_fd, prefix);
  EXPECT_EQ(read_frame(unlimited.get(), &got), Status::io);
}

TEST(FrameReader, AFrameOfExactlyTheLimitIsAcceptedAndOneByteMoreIsNot) {
  constexpr uint64_t kLimit = 1048576;
  TestPipe p;
  Reader reader(frame_reader_create(p.read_fd, kLimit));
  const Bytes body = pattern(kLimit, 3);
  Status written = Status::io;
  std::thread writer([&] { written = frame_write(p.write_fd, body.data(), body.size()); });
  Bytes got;
  EXPECT_EQ(read_frame(reader.get(), &got), Status::ok);
  writer.join();
  EXPECT_EQ(written, Status::ok);
  EXPECT_TRUE(got == body);

  Bytes prefix(8);
  frame_prefix_encode(kLimit + 1, prefix.data());
  put(p.write_fd, prefix);
  EXPECT_EQ(read_frame(reader.get(), &got), Status::io);
}

TEST(FrameReader, DestroyReleasesAPartlyReadBody) {
  TestPipe p;
  FrameReader* reader = frame_reader_create(p.read_fd, 0);
  const Bytes wire = framed(pattern(100000, 4));
  put(p.write_fd, Bytes(wire.begin(), wire.begin() + 5000));
  void* frame = nullptr;
  uint64_t length = 0;
  EXPECT_EQ(frame_read_try(reader, &frame, &length), Status::would_block);
  frame_reader_destroy(reader);  // the leak checker sees the body go
  EXPECT_EQ(frame_reader_create(-1, 0), nullptr);
  EXPECT_EQ(frame_read_try(nullptr, &frame, &length), Status::invalid_arg);
}

// A non-blocking write end that fills up is retried, not reported.
TEST(FrameWrite, WaitsForRoomOnANonBlockingDescriptor) {
  TestPipe p;
  ASSERT_EQ(platform::fd_set_nonblocking(p.write_fd), Status::ok);
  Reader reader(frame_reader_create(p.read_fd, 0));
  const Bytes body = pattern(300000, 5);
  Status written = Status::io;
  std::thread writer([&] { written = frame_write(p.write_fd, body.data(), body.size()); });
  Bytes got;
  EXPECT_EQ(read_frame(reader.get(), &got), Status::ok);
  writer.join();
  EXPECT_EQ(written, Status::ok);
  EXPECT_TRUE(got == body);
}

}  // namespace
}  // namespace vorlet::v2
