// Frames a producer writes straight on a host-bound pipe, skipping the
// writer thread: which frames may go that way, that nothing overtakes a
// frame queued before it, that large frames stay whole and in order, and
// what a full pipe, a closed read end or a close of the queue does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "codec/frame_io.h"
#include "codec/frame_reader.h"
#include "platform/pipe.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/pipe_queue.h"
#include "support/envelopes.h"
#include "support/test_runtime.h"
#include "support/waiting.h"
#include "support/pipe_support.h"
#include "support/proc_probe.h"

namespace vorlet::v2 {
namespace {

using test::TestRuntime;
using test::eventually;
using test::pattern;
using test::read_frame;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kLargestDirectBody = platform::kPipeAtomicWriteBytes - kFramePrefixBytes;  // 4,088

PipeItem heap_item(const Bytes& body) {
  void* copy = rt_malloc(body.size());
  std::memcpy(copy, body.data(), body.size());
  return PipeItem{copy, body.size(), BufferKind::heap};
}

struct ReaderDeleter {
  void operator()(FrameReader* r) const { frame_reader_destroy(r); }
};
using Reader = std::unique_ptr<FrameReader, ReaderDeleter>;

// The response pipe of a runtime whose host has its handles, with that
// pipe's writer running: the road every test here pushes frames down.
struct ResponseRoad {
  TestRuntime host{1, test::TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE}};  // pipe queues of 4
  Runtime* rt = host.rt;
  Reader reader;

  ResponseRoad() {
    EXPECT_EQ(host.opened, Status::ok);
    EXPECT_TRUE(host_pipe_writers_start(rt, HostPipe::response));
    reader.reset(frame_reader_create(host.handles.response_read_fd, 0));
  }
  // The host end goes first: a writer still stuck on bytes no one reads
  // (a test that failed) then fails its write and ends.
  ~ResponseRoad() {
    reader.reset();
    if (host.handles.response_read_fd >= 0) host.close_host_end(&host.handles.response_read_fd);
    host_pipe_writers_finish(rt);
  }

  PipeQueue& queue() { return *rt->pipe_queues[static_cast<uint32_t>(HostPipe::response)]; }
  bool writer_idle() {
    return eventually([&] { return queue().writer_idle(); });
  }
  Status push(const Bytes& body) {
    PipeItem item = heap_item(body);
    const Status s = host_pipe_writers_push(rt, HostPipe::response, &item);
    EXPECT_EQ(item.buffer, nullptr);
    pipe_item_release(&item);
    return s;
  }
  uint64_t direct() const { return rt->counters.load(Counter::response_pipe_direct_writes); }
  uint64_t peak() const { return rt->counters.load(Counter::response_pipe_peak); }
  uint64_t depth() const { return rt->counters.load(Counter::response_pipe_depth); }
  int32_t write_fd() const { return host_handles_response_write_fd(&rt->host_handles); }
};

// Only a frame the pipe takes whole in one write (prefix and body within
// PIPE_BUF) goes straight to an idle pipe; a larger one is queued for the
// writer, raising depth and peak as before. Both arrive as sent.
TEST(PipeDirect, OnlyAFrameWithinPipeBufIsWrittenDirectly) {
  const struct {
    uint64_t body;
    bool direct;
  } cases[] = {
      {1, true}, {100, true}, {kLargestDirectBody, true}, {kLargestDirectBody + 1, false}, {60000, false},
  };
  ResponseRoad road;
  uint32_t seed = 0;
  bool queued_any = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ASSERT_TRUE(road.writer_idle());
    const uint64_t direct_before = road.direct();
    const Bytes body = pattern(c.body, ++seed);
    ASSERT_EQ(road.push(body), Status::ok);
    EXPECT_EQ(road.direct(), direct_before + (c.direct ? 1 : 0));
    // A direct frame never enters the queue; a queued one makes the peak 1.
    queued_any = queued_any || !c.direct;
    EXPECT_EQ(road.peak(), queued_any ? 1u : 0u);
    Bytes got;
    ASSERT_EQ(read_frame(road.reader.get(), &got), Status::ok);
    EXPECT_TRUE(got == body);
  }
  EXPECT_EQ(road.rt->counters.load(Counter::response_pipe_blocked), 0u);
}

// A frame larger than the pipe, pushed while no host reads: the writer
// fills the pipe and waits for room, the producer does not, and the small
// frames pushed behind it wait in the queue, none written directly into
// the middle of the large one. Read back, all arrive whole and in order.
TEST(PipeDirect, FramesBehindOneLargerThanThePipeWaitForIt) {
  ResponseRoad road;
  ASSERT_TRUE(road.writer_idle());
  const Bytes large = pattern(2 * platform::kPipeBufferBytes + 123, 40);
  const auto before = Clock::now();
  ASSERT_EQ(road.push(large), Status::ok);
  for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(road.push(pattern(100, 41 + i)), Status::ok);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(2)) << "a producer waited on the full pipe";
  EXPECT_EQ(road.direct(), 0u);

  Bytes got;
  ASSERT_EQ(read_frame(road.reader.get(), &got), Status::ok);
  EXPECT_TRUE(got == large);
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(read_frame(road.reader.get(), &got), Status::ok);
    EXPECT_TRUE(got == pattern(100, 41 + i)) << i;
  }
  ASSERT_TRUE(road.writer_idle());
  ASSERT_EQ(road.push(pattern(100, 50)), Status::ok);
  EXPECT_EQ(road.direct(), 1u);
  ASSERT_EQ(read_frame(road.reader.get(), &got), Status::ok);
  EXPECT_TRUE(got == pattern(100, 50));
}

// A small frame pushed right behind a large one must not overtake it: while
// the large one waits in the queue for the writer to wake, and while the
// writer holds it in a batch not yet written, the pipe has room, yet the
// small frame goes to the queue. Read back, every pair is in order and
// whole (a frame slipped in the middle of a large one would garble both).
TEST(PipeDirect, ASmallFrameNeverOvertakesOneQueuedBeforeIt) {
  constexpr int kPairs = 300;
  // Frame n: large when n is even, small when odd.
  auto expected = [](size_t n) { return pattern(n % 2 == 0 ? 5000 : 64, static_cast<uint32_t>(n)); };
  ResponseRoad road;
  std::atomic<bool> wrong{false}, pushed_all{false};
  size_t first_wrong = 0;
  std::thread host([&] {
    size_t n = 0;
    for (; n < 2 * kPairs; ++n) {
      Bytes got;
      if (read_frame(road.reader.get(), &got, 2000) != Status::ok || got != expected(n)) break;
    }
    first_wrong = n;
    if (n == 2 * kPairs) return;
    // Out of order: stop the producer and swallow whatever it still sends,
    // so that the test ends with a failure instead of a producer waiting.
    wrong.store(true);
    unsigned char sink[65536];
    const int32_t fd = road.host.handles.response_read_fd;
    for (;;) {
      if (platform::pipe_wait_readable(fd, 200) != Status::ok) {
        if (pushed_all.load()) break;
        continue;
      }
      uint64_t got = 0;
      if (platform::pipe_read(fd, sink, sizeof sink, &got) != Status::ok) break;
    }
  });
  for (int i = 0; i < kPairs && !wrong.load(); ++i) {
    ASSERT_EQ(road.push(expected(2 * i)), Status::ok);
    // Vary the gap, so that some small frames find the large one still
    // queued and some find it in the writer's hands.
    for (int spin = 0; spin < (i % 8) * 500; ++spin) std::atomic_signal_fence(std::memory_order_seq_cst);
    if (i % 3 == 0) std::this_thread::yield();
    ASSERT_EQ(road.push(expected(2 * i + 1)), Status::ok);
  }
  pushed_all.store(true);
  host.join();
  EXPECT_EQ(first_wrong, 2u * kPairs) << "frame " << first_wrong << " is not the one pushed in its place";
}

// A pipe with no room sends the small frame to the queue at once: the
// producer does not wait on the pipe. The frames queued behind a writer
// stuck on the full pipe follow in order once the host reads.
TEST(PipeDirect, AFullPipeSendsTheFrameToTheQueue) {
  ResponseRoad road;
  // The runtime's end gives would_block on a full pipe; the host's end
  // still blocks.
  ASSERT_NE(test::descriptor_flags(road.write_fd()) & test::kFlagNonBlocking, 0u);
  ASSERT_EQ(test::descriptor_flags(road.host.handles.response_read_fd) & test::kFlagNonBlocking, 0u);
  ASSERT_TRUE(road.writer_idle());
  // Earlier bytes the host has not read fill the pipe to the last byte.
  const Bytes filler = pattern(platform::kPipeBufferBytes - kFramePrefixBytes, 7);
  ASSERT_EQ(frame_write(road.write_fd(), filler.data(), filler.size()), Status::ok);

  const auto before = Clock::now();
  for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(road.push(pattern(100, i)), Status::ok);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(2)) << "a producer waited on the full pipe";
  EXPECT_EQ(road.direct(), 0u);
  EXPECT_GE(road.peak(), 1u);
  EXPECT_EQ(road.rt->counters.load(Counter::response_pipe_blocked), 0u);

  Bytes got;
  ASSERT_EQ(read_frame(road.reader.get(), &got), Status::ok);
  EXPECT_TRUE(got == filler);
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(read_frame(road.reader.get(), &got), Status::ok);
    EXPECT_TRUE(got == pattern(100, i)) << i;
  }
  // Drained: the writer goes idle and the next small frame goes directly.
  ASSERT_TRUE(road.writer_idle());
  ASSERT_EQ(road.push(pattern(100, 9)), Status::ok);
  EXPECT_EQ(road.direct(), 1u);
  ASSERT_EQ(read_frame(road.reader.get(), &got), Status::ok);
  EXPECT_TRUE(got == pattern(100, 9));
}

// Several frames in one write that does not wait: only as many as a pipe
// takes whole (prefixes and bodies within PIPE_BUF); a full pipe takes
// none of them and a gone reader fails the write. What went out reads back
// frame by frame.
TEST(PipeDirect, SeveralFramesGoOutInOneWriteOnlyWithinPipeBuf) {
  const struct {
    std::vector<uint64_t> bodies;
    Status want;
  } cases[] = {
      {{1, 1}, Status::ok},
      {{100, 200, 300}, Status::ok},
      {std::vector<uint64_t>(32, 120), Status::ok},                 // 32 frames, 4,096 bytes
      {{2000, kLargestDirectBody - 2000 - kFramePrefixBytes}, Status::ok},  // exactly 4,096 bytes
      {{2000, kLargestDirectBody - 2000 - kFramePrefixBytes + 1}, Status::invalid_arg},
      {{kLargestDirectBody + 1}, Status::invalid_arg},
      {std::vector<uint64_t>(33, 1), Status::invalid_arg},          // more pieces than one write has
      {{100, 0}, Status::invalid_arg},
      {{}, Status::invalid_arg},
  };
  test::TestPipe pipe;
  ASSERT_EQ(platform::fd_set_nonblocking(pipe.write_fd), Status::ok);
  Reader reader(frame_reader_create(pipe.read_fd, 0));
  uint32_t seed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bodies));
    std::vector<Bytes> bodies;
    std::vector<FrameOut> frames;
    for (uint64_t length : c.bodies) bodies.push_back(pattern(length, ++seed));
    for (const Bytes& b : bodies) frames.push_back({b.empty() ? nullptr : b.data(), b.size()});
    ASSERT_EQ(frames_write_once(pipe.write_fd, frames.data(), frames.size()), c.want);
    if (c.want != Status::ok) continue;
    for (const Bytes& b : bodies) {
      Bytes got;
      ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
      EXPECT_TRUE(got == b);
    }
  }
  // A pipe with room for one of two frames takes neither.
  const Bytes filler = pattern(platform::kPipeBufferBytes - 2 * kFramePrefixBytes - 150, 99);
  ASSERT_EQ(frame_write(pipe.write_fd, filler.data(), filler.size()), Status::ok);
  const Bytes a = pattern(100, 1), b = pattern(100, 2);
  const FrameOut two[] = {{a.data(), a.size()}, {b.data(), b.size()}};
  EXPECT_EQ(frames_write_once(pipe.write_fd, two, 2), Status::would_block);
  Bytes got;
  ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
  EXPECT_TRUE(got == filler);
  EXPECT_EQ(frames_write_once(pipe.write_fd, two, 2), Status::ok);
  for (const Bytes* want : {&a, &b}) {
    ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
    EXPECT_TRUE(got == *want);
  }
  // The reader gone: the write fails and nothing is left behind.
  reader.reset();
  pipe.close_read();
  EXPECT_EQ(frames_write_once(pipe.write_fd, two, 2), Status::closed);
}

// A run of small frames goes straight on an idle pipe in one write: as many
// leading frames as fit together, counted as direct writes, the items of
// those that went cleared and the rest left for the caller to push in
// order. None goes while the writer has work, a single frame is left to
// push, and a closed queue takes nothing.
TEST(PipeDirect, ARunOfSmallFramesGoesOutInOneWriteOnlyWhileTheWriterIsIdle) {
  ResponseRoad road;
  PipeQueue& queue = road.queue();
  const std::vector<Bytes> bodies = {pattern(64, 1), pattern(64, 2), pattern(64, 3), pattern(5000, 4),
                                     pattern(64, 5)};
  std::vector<PipeItem> items;
  for (const Bytes& b : bodies) items.push_back(heap_item(b));
  ASSERT_TRUE(road.writer_idle());
  ASSERT_EQ(queue.push_direct_run(items.data(), items.size()), 3u);
  EXPECT_EQ(road.direct(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(items[i].buffer, nullptr) << i;
  ASSERT_NE(items[3].buffer, nullptr);
  // The large one goes to the queue; the pair behind it goes out as a run
  // only once the writer has written it and is idle again, else it is
  // pushed. Either way it arrives after the large one.
  bool blocked = false;
  ASSERT_EQ(queue.push(road.write_fd(), &items[3], &blocked), Status::ok);
  PipeItem pair[2] = {items[4], heap_item(pattern(64, 6))};
  const uint64_t went = queue.push_direct_run(pair, 2);
  if (went == 0) {
    for (PipeItem& item : pair) ASSERT_EQ(queue.push(road.write_fd(), &item, &blocked), Status::ok);
  }
  for (uint32_t i = 0; i < 6; ++i) {
    Bytes got;
    ASSERT_EQ(read_frame(road.reader.get(), &got), Status::ok) << i;
    EXPECT_TRUE(got == (i < 5 ? bodies[i] : pattern(64, 6))) << i;
  }
  // One frame alone is the usual push's to write; two that do not fit
  // together are too.
  ASSERT_TRUE(road.writer_idle());
  PipeItem one = heap_item(pattern(64, 7));
  EXPECT_EQ(queue.push_direct_run(&one, 1), 0u);
  PipeItem wide[2] = {heap_item(pattern(3000, 8)), heap_item(pattern(1100, 9))};
  EXPECT_EQ(queue.push_direct_run(wide, 2), 0u);
  queue.close();
  PipeItem late[2] = {heap_item(pattern(64, 10)), heap_item(pattern(64, 11))};
  EXPECT_EQ(queue.push_direct_run(late, 2), 0u);
  for (PipeItem* item : {&one, &wide[0], &wide[1], &late[0], &late[1]}) {
    EXPECT_NE(item->buffer, nullptr);
    pipe_item_release(item);
  }
}

// A host that closed its read end: the direct write fails and the frame is
// dropped, as the writer drops one (push says ok, the buffer is given back,
// nothing is counted, no SIGPIPE reaches this host thread's process).
TEST(PipeDirect, AClosedReadEndDropsTheFrameAsTheWriterWould) {
  ResponseRoad road;
  road.reader.reset();
  road.host.close_host_end(&road.host.handles.response_read_fd);
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(road.writer_idle());
    EXPECT_EQ(road.push(pattern(100, i)), Status::ok);
  }
  EXPECT_EQ(road.direct(), 0u);
  EXPECT_EQ(road.depth(), 0u);
  EXPECT_EQ(road.peak(), 0u);
  // The writer's own road for a large frame drops it the same way.
  EXPECT_EQ(road.push(pattern(10000, 3)), Status::ok);
  EXPECT_TRUE(road.writer_idle());
}

// A queue with no direct-write counter, or with no writer running, writes
// nothing itself: every frame waits in the queue.
TEST(PipeDirect, NoWriterOrNoCounterMeansNoDirectWrite) {
  test::TestPipe pipe;
  ASSERT_EQ(platform::fd_set_nonblocking(pipe.write_fd), Status::ok);
  std::atomic<uint64_t> depth{0}, peak{0}, blocked{0}, direct{0};
  {
    PipeQueue queue;
    ASSERT_EQ(queue.init(4, {&depth, &peak, &blocked, &direct}), Status::ok);
    bool waited = false;
    PipeItem item = heap_item(Bytes{1, 2, 3});
    ASSERT_EQ(queue.push(pipe.write_fd, &item, &waited), Status::ok);  // no writer yet
    EXPECT_EQ(depth.load(), 1u);
    EXPECT_EQ(direct.load(), 0u);
    queue.close();
    queue.writer_loop(pipe.write_fd);  // writes it out and ends
  }
  {
    std::atomic<uint64_t> d{0}, p{0}, b{0};
    PipeQueue queue;
    ASSERT_EQ(queue.init(4, {&d, &p, &b}), Status::ok);
    std::thread writer([&] { queue.writer_loop(pipe.write_fd); });
    ASSERT_TRUE(eventually([&] { return queue.writer_idle(); }));
    bool waited = false;
    PipeItem item = heap_item(Bytes{4, 5});
    ASSERT_EQ(queue.push(pipe.write_fd, &item, &waited), Status::ok);
    EXPECT_EQ(p.load(), 1u);  // it went through the queue
    queue.close();
    writer.join();
  }
  Reader reader(frame_reader_create(pipe.read_fd, 0));
  Bytes got;
  ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
  EXPECT_TRUE(got == (Bytes{1, 2, 3}));
  ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
  EXPECT_TRUE(got == (Bytes{4, 5}));
}

// A queue on a pipe of the test's own, with its writer thread, for the
// tests that drive the queue from several threads or close it mid-frame.
struct OwnQueue {
  test::TestPipe pipe;
  std::atomic<uint64_t> depth{0}, peak{0}, blocked{0}, direct{0};
  PipeQueue queue;
  std::thread writer;

  explicit OwnQueue(uint64_t capacity) {
    EXPECT_EQ(platform::fd_set_nonblocking(pipe.write_fd), Status::ok);
    EXPECT_EQ(queue.init(capacity, {&depth, &peak, &blocked, &direct}), Status::ok);
    writer = std::thread([this] { queue.writer_loop(pipe.write_fd); });
  }
  ~OwnQueue() { finish(); }
  void finish() {
    queue.close();
    if (writer.joinable()) writer.join();
  }
  Status push(const Bytes& body) {
    bool waited = false;
    PipeItem item = heap_item(body);
    const Status s = queue.push(pipe.write_fd, &item, &waited);
    pipe_item_release(&item);
    return s;
  }
};

// The first 8 bytes of a body name its producer and its place in that
// producer's sequence; the rest is the pattern of that pair.
Bytes tagged(uint32_t producer, uint32_t seq, uint64_t n) {
  Bytes body = pattern(n, producer * 100000 + seq);
  std::memcpy(body.data(), &producer, 4);
  std::memcpy(body.data() + 4, &seq, 4);
  return body;
}

// Producers pushing frames small, beyond PIPE_BUF and larger than the pipe
// to a host that reads slowly: each producer's frames arrive in its order
// and whole, so no frame written directly came between the bytes of one the
// writer was still writing, and no frame was lost.
TEST(PipeDirect, ProducersKeepTheirOrderWithLargeFramesAndASlowHost) {
  constexpr uint32_t kProducers = 4;
  constexpr uint32_t kEach = 40;
  const uint64_t sizes[] = {64, 5000, 60000, platform::kPipeBufferBytes + 1000, 64, 3 * platform::kPipeBufferBytes};
  auto size_of = [&](uint32_t seq) { return sizes[seq % (sizeof sizes / sizeof sizes[0])]; };
  OwnQueue own(4);
  std::atomic<uint32_t> bad{0};
  std::thread host([&] {
    Reader reader(frame_reader_create(own.pipe.read_fd, 0));
    uint32_t next[kProducers] = {};
    for (uint32_t n = 0; n < kProducers * kEach; ++n) {
      // Slow, and slower now and then, so that producers find the pipe full
      // or part full.
      if (n % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(n % 3));
      Bytes got;
      if (read_frame(reader.get(), &got, 20000) != Status::ok || got.size() < 8) {
        bad.store(n + 1);
        return;
      }
      uint32_t producer = 0, seq = 0;
      std::memcpy(&producer, got.data(), 4);
      std::memcpy(&seq, got.data() + 4, 4);
      if (producer >= kProducers || seq != next[producer] || got != tagged(producer, seq, size_of(seq))) {
        bad.store(n + 1);
        return;
      }
      ++next[producer];
    }
  });
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (uint32_t seq = 0; seq < kEach && bad.load() == 0; ++seq) {
        EXPECT_EQ(own.push(tagged(p, seq, size_of(seq))), Status::ok) << p << "/" << seq;
      }
    });
  }
  // A failed host stops reading; closing the pipe then lets a producer
  // stuck on it go, so the test ends with its failure.
  host.join();
  if (bad.load() != 0) own.pipe.close_read();
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(bad.load(), 0u) << "frame " << bad.load() - 1 << " is not whole or not in its producer's order";
  own.finish();
}

// A close while the writer is still writing a frame larger than the pipe
// (and has a frame behind it): the writer finishes both once the host
// reads, then ends; the host reads both whole and then end of file.
TEST(PipeDirect, ACloseDuringALargeFrameFinishesIt) {
  OwnQueue own(4);
  ASSERT_TRUE(eventually([&] { return own.queue.writer_idle(); }));
  const Bytes large = pattern(4 * platform::kPipeBufferBytes, 60);
  const Bytes small = pattern(200, 61);
  ASSERT_EQ(own.push(large), Status::ok);
  ASSERT_EQ(own.push(small), Status::ok);
  own.queue.close();
  Bytes refused = small;
  EXPECT_EQ(own.push(refused), Status::bad_state);
  std::vector<Bytes> frames;
  Status last = Status::ok;
  std::thread host([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer waits on the full pipe
    Reader reader(frame_reader_create(own.pipe.read_fd, 0));
    for (;;) {
      Bytes got;
      last = read_frame(reader.get(), &got);
      if (last != Status::ok) break;
      frames.push_back(got);
    }
    // Gone, so that a writer with bytes left (a failure) ends all the same.
    reader.reset();
    own.pipe.close_read();
  });
  own.writer.join();  // ends once both frames are out
  own.pipe.close_write();
  host.join();
  EXPECT_EQ(last, Status::closed);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0] == large);
  EXPECT_TRUE(frames[1] == small);
  EXPECT_EQ(own.direct.load(), 0u);
}

// Through a whole started runtime: a small request delivered to an idle
// host, the host's response to it and a route miss's deadletter each go
// straight on their pipe, and the statistics record counts them there,
// with no queue depth, peak or wait.
TEST(PipeDirect, TheStatisticsCountTheDirectFramesOfEachPipe) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  auto idle = [&](HostPipe pipe) {
    return eventually([&] { return fx.rt->pipe_queues[static_cast<uint32_t>(pipe)]->writer_idle(); });
  };
  auto submit = [&](const std::string& bytes) {
    return vorlet_v2_runtime_submit_envelope(to_handle(fx.rt), bytes.data(), bytes.size());
  };

  ASSERT_TRUE(idle(HostPipe::delivered));
  const std::string request = test::request_envelope({"direct-1", test::kLocalTarget});
  ASSERT_EQ(submit(request), 0);
  test::FrameBytes got;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(std::string(got.begin(), got.end()), request);

  ASSERT_TRUE(idle(HostPipe::response));
  const std::string response = test::response_for(request);
  ASSERT_EQ(frame_write(fx.handles.request_write_fd, response.data(), response.size()), Status::ok);
  ASSERT_EQ(fx.read_frame(HostPipe::response, &got), Status::ok);
  EXPECT_EQ(std::string(got.begin(), got.end()), response);

  ASSERT_TRUE(idle(HostPipe::deadletter));
  ASSERT_EQ(submit(test::request_envelope({"direct-2", "svc.none"})), 0);
  ASSERT_EQ(fx.read_frame(HostPipe::deadletter, &got), Status::ok);

  vorlet_v2_RuntimeStats s{};
  s.struct_size = sizeof s;
  ASSERT_EQ(vorlet_v2_runtime_get_stats(to_handle(fx.rt), &s), 0);
  EXPECT_EQ(s.delivered_pipe_direct_writes, 1u);
  EXPECT_EQ(s.response_pipe_direct_writes, 1u);
  EXPECT_EQ(s.deadletter_pipe_direct_writes, 1u);
  EXPECT_EQ(s.delivered_pipe_peak + s.response_pipe_peak + s.deadletter_pipe_peak, 0u);
  EXPECT_EQ(s.delivered_pipe_blocked + s.response_pipe_blocked + s.deadletter_pipe_blocked, 0u);
  ASSERT_EQ(fx.stop(), Status::ok);
}

}  // namespace
}  // namespace vorlet::v2
