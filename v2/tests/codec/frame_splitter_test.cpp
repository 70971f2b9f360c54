#include "codec/frame_splitter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pool/frame_buffer.h"
#include "codec/frame_io.h"
#include "platform/pipe.h"
#include "support/pipe_support.h"

namespace vorlet::v2 {
namespace {

using test::pattern;
using test::TestPipe;
using Bytes = std::vector<unsigned char>;

Bytes prefix(uint64_t length) {
  Bytes out(8);
  frame_prefix_encode(length, out.data());
  return out;
}

Bytes framed(const Bytes& body) {
  Bytes out = prefix(body.size());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void put(int32_t fd, const unsigned char* bytes, uint64_t n) {
  uint64_t done = 0;
  while (done < n) {
    uint64_t wrote = 0;
    ASSERT_EQ(platform::pipe_write(fd, bytes + done, n - done, nullptr, 0, &wrote), Status::ok);
    done += wrote;
  }
}

struct SplitterDeleter {
  void operator()(FrameSplitter* s) const { frame_splitter_destroy(s); }
};
using Splitter = std::unique_ptr<FrameSplitter, SplitterDeleter>;

// What the splitter handed on: a frame's body, or a status other than ok.
struct Outcome {
  Status status;
  Bytes body;
  bool operator==(const Outcome& o) const { return status == o.status && body == o.body; }
};

std::string describe(const std::vector<Outcome>& outcomes) {
  std::string out;
  for (const Outcome& o : outcomes) {
    out += "[" + std::to_string(static_cast<int>(o.status)) + " " + std::to_string(o.body.size()) + "B]";
  }
  return out;
}

// Takes every whole frame the splitter holds, up to would_block (or the
// first closed, which is recorded).
void take_all(FrameSplitter* s, std::vector<Outcome>* got) {
  for (;;) {
    void* frame = nullptr;
    uint64_t length = 0;
    const Status st = frame_splitter_next(s, &frame, &length);
    if (st == Status::would_block) return;
    Outcome o{st, {}};
    if (st == Status::ok && length > 0) {
      const auto* b = static_cast<const unsigned char*>(frame);
      o.body.assign(b, b + length);
    }
    if (st == Status::ok && length == 0) {
      EXPECT_EQ(frame, nullptr);
    }
    frame_buffer_release(frame);
    got->push_back(o);
    if (st == Status::closed) return;
  }
}

// Reads until the pipe holds nothing more, taking every frame after each
// read. Every read must take something: a splitter with no room left for
// what it is missing would otherwise be read forever.
void fill_and_take(FrameSplitter* s, int32_t read_fd, std::vector<Outcome>* got) {
  uint64_t before = UINT64_MAX;
  for (;;) {
    take_all(s, got);
    uint64_t waiting = 0;
    if (platform::pipe_available(read_fd, &waiting) != Status::ok || waiting == 0) return;
    ASSERT_LT(waiting, before) << "a read took nothing";
    before = waiting;
    ASSERT_EQ(frame_splitter_fill(s), Status::ok);
  }
}

// The stream is written in chunks of the given size, each read and split
// before the next is written; then, when close is set, the write end goes
// and the splitter is read to its end.
std::vector<Outcome> split(const Bytes& stream, uint64_t chunk, uint64_t limit, bool close) {
  TestPipe p;
  Splitter s(frame_splitter_create(p.read_fd, limit));
  EXPECT_NE(s, nullptr);
  std::vector<Outcome> got;
  if (s == nullptr) return got;
  for (uint64_t at = 0; at < stream.size(); at += chunk) {
    put(p.write_fd, stream.data() + at, std::min<uint64_t>(chunk, stream.size() - at));
    fill_and_take(s.get(), p.read_fd, &got);
  }
  if (!close) return got;
  p.close_write();
  for (int reads = 0; reads < 4 && (got.empty() || got.back().status != Status::closed); ++reads) {
    EXPECT_EQ(frame_splitter_fill(s.get()), Status::ok);
    take_all(s.get(), &got);
  }
  // End of file stays.
  void* frame = nullptr;
  uint64_t length = 0;
  EXPECT_EQ(frame_splitter_next(s.get(), &frame, &length), Status::closed);
  return got;
}

constexpr uint64_t kBuffer = kFrameSplitterBufferBytes;

// Every case is split in chunks of every size: one byte at a time (a frame
// across many reads), odd sizes that cut prefixes and bodies anywhere, and
// the whole stream (several frames in one read). The outcomes never depend
// on how the bytes arrived.
TEST(FrameSplitter, HandsOnTheSameFramesHoweverTheBytesArrive) {
  const Bytes small = pattern(300, 1);
  const Bytes largest_in_buffer = pattern(kBuffer - 8, 2);
  const Bytes one_more = pattern(kBuffer - 7, 3);
  const Bytes large = pattern(3 * kBuffer + 11, 4);
  // Frames whose ends fall anywhere in the buffer, more than it holds.
  Bytes many_frames;
  std::vector<Outcome> many_outcomes;
  for (uint32_t i = 0; i < 100; ++i) {
    const Bytes body = pattern(1000 + i, 10 + i);
    const Bytes f = framed(body);
    many_frames.insert(many_frames.end(), f.begin(), f.end());
    many_outcomes.push_back({Status::ok, body});
  }
  const Outcome io{Status::io, {}};
  const Outcome closed{Status::closed, {}};
  struct Case {
    const char* name;
    Bytes stream;
    uint64_t limit;
    bool close;
    std::vector<Outcome> want;
  };
  const Case cases[] = {
      {"three frames and an empty one", join({framed(small), framed({}), framed(pattern(3, 5)), framed(small)}), 0,
       true,
       {{Status::ok, small}, {Status::ok, {}}, {Status::ok, pattern(3, 5)}, {Status::ok, small}, closed}},
      {"empty frames only", join({framed({}), framed({}), framed({})}), 0, false,
       {{Status::ok, {}}, {Status::ok, {}}, {Status::ok, {}}}},
      {"a frame that fills the buffer exactly, then one byte more, then a small one",
       join({framed(largest_in_buffer), framed(one_more), framed(small)}), 0, true,
       {{Status::ok, largest_in_buffer}, {Status::ok, one_more}, {Status::ok, small}, closed}},
      {"frames running across the end of the buffer", many_frames, 0, false, many_outcomes},
      {"a frame larger than the buffer between small ones", join({framed(small), framed(large), framed(small)}), 0,
       false, {{Status::ok, small}, {Status::ok, large}, {Status::ok, small}}},
      // Only the 8 length bytes go: the next length is read from what follows.
      {"a length over the limit, then more bytes",
       join({prefix(17), prefix(3), Bytes{'a', 'b', 'c'}, framed(pattern(16, 8))}), 16, false,
       {io, {Status::ok, {'a', 'b', 'c'}}, {Status::ok, pattern(16, 8)}}},
      {"a length of exactly the limit", join({framed(pattern(16, 6)), prefix(17)}), 16, false,
       {{Status::ok, pattern(16, 6)}, io}},
      {"a length no buffer can hold", join({prefix(UINT64_MAX), framed(small)}), 0, false, {io, {Status::ok, small}}},
      {"end of file between frames", framed(small), 0, true, {{Status::ok, small}, closed}},
      {"end of file at once", {}, 0, true, {closed}},
      {"end of file inside a prefix", join({framed(small), Bytes{1, 2, 3}}), 0, true, {{Status::ok, small}, io, closed}},
      {"end of file inside a body", join({prefix(10), pattern(5, 7)}), 0, true, {io, closed}},
      {"end of file inside a body larger than the buffer", join({prefix(large.size()), Bytes(large.begin(), large.end() - 1)}),
       0, true, {io, closed}},
  };
  for (const Case& c : cases) {
    for (const uint64_t chunk : {uint64_t{1}, uint64_t{3}, uint64_t{8}, uint64_t{13}, uint64_t{4093}, kBuffer}) {
      // A byte at a time is enough for the small streams.
      if (chunk < 8 && c.stream.size() > 4 * 4096) continue;
      SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(chunk));
      const std::vector<Outcome> got = split(c.stream, chunk, c.limit, c.close);
      EXPECT_TRUE(got == c.want) << "got " << describe(got) << ", want " << describe(c.want);
    }
  }
}

// One read takes everything the pipe holds: every frame in it is handed on
// without another read, and nothing is left in the pipe.
TEST(FrameSplitter, OneReadTakesEveryFrameThePipeHolds) {
  TestPipe p;
  Splitter s(frame_splitter_create(p.read_fd, 0));
  ASSERT_NE(s, nullptr);
  Bytes stream;
  for (uint32_t i = 0; i < 100; ++i) {
    const Bytes f = framed(pattern(i * 7, i));
    stream.insert(stream.end(), f.begin(), f.end());
  }
  ASSERT_LT(stream.size(), kBuffer);
  put(p.write_fd, stream.data(), stream.size());
  void* frame = nullptr;
  uint64_t length = 0;
  EXPECT_EQ(frame_splitter_next(s.get(), &frame, &length), Status::would_block);
  ASSERT_EQ(frame_splitter_fill(s.get()), Status::ok);
  uint64_t waiting = 1;
  ASSERT_EQ(platform::pipe_available(p.read_fd, &waiting), Status::ok);
  EXPECT_EQ(waiting, 0u);
  std::vector<Outcome> got;
  take_all(s.get(), &got);
  ASSERT_EQ(got.size(), 100u);
  for (uint32_t i = 0; i < 100; ++i) EXPECT_TRUE(got[i] == (Outcome{Status::ok, pattern(i * 7, i)})) << i;
}

// A body larger than the buffer, written by a writer that the pipe's
// buffer holds back, arrives whole; so do the frames around it.
TEST(FrameSplitter, ALargeFrameFromABlockedWriterArrivesWhole) {
  TestPipe p;
  Splitter s(frame_splitter_create(p.read_fd, 0));
  ASSERT_NE(s, nullptr);
  const Bytes large = pattern(5 * kBuffer + 100, 9);
  const Bytes stream = join({framed(pattern(10, 1)), framed(large), framed(pattern(20, 2))});
  std::thread writer([&] { put(p.write_fd, stream.data(), stream.size()); });
  std::vector<Outcome> got;
  while (got.size() < 3) {
    ASSERT_EQ(platform::pipe_wait_readable(p.read_fd, 10000), Status::ok);
    ASSERT_EQ(frame_splitter_fill(s.get()), Status::ok);
    take_all(s.get(), &got);
  }
  writer.join();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(got[0] == (Outcome{Status::ok, pattern(10, 1)}));
  EXPECT_TRUE(got[1] == (Outcome{Status::ok, large}));
  EXPECT_TRUE(got[2] == (Outcome{Status::ok, pattern(20, 2)}));
}

TEST(FrameSplitter, RefusesWhatItCannotUseAndDestroyReleasesAPartFrame) {
  EXPECT_EQ(frame_splitter_create(-1, 0), nullptr);
  void* frame = nullptr;
  uint64_t length = 0;
  EXPECT_EQ(frame_splitter_next(nullptr, &frame, &length), Status::invalid_arg);
  EXPECT_EQ(frame_splitter_fill(nullptr), Status::invalid_arg);
  TestPipe p;
  FrameSplitter* s = frame_splitter_create(p.read_fd, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(frame_splitter_next(s, nullptr, &length), Status::invalid_arg);
  EXPECT_EQ(frame_splitter_next(s, &frame, nullptr), Status::invalid_arg);
  const Bytes part = join({prefix(2 * kBuffer), pattern(100, 1)});
  put(p.write_fd, part.data(), part.size());
  ASSERT_EQ(frame_splitter_fill(s), Status::ok);
  EXPECT_EQ(frame_splitter_next(s, &frame, &length), Status::would_block);
  frame_splitter_destroy(s);  // the leak checker sees the large body go
  frame_splitter_destroy(nullptr);
}

}  // namespace
}  // namespace vorlet::v2
