#include "runtime/pipe_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "pool/frame_buffer.h"
#include "codec/frame_io.h"
#include "codec/frame_reader.h"
#include "runtime/host_pipe_writers.h"
#include "support/pipe_support.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

using test::pattern;
using test::read_frame;
using test::TakeHandles;
using test::TestRuntime;
using Bytes = std::vector<unsigned char>;

PipeItem heap_item(const Bytes& body) {
  void* copy = rt_malloc(body.size());
  std::memcpy(copy, body.data(), body.size());
  return PipeItem{copy, body.size(), BufferKind::heap};
}

PipeItem frame_item(const Bytes& body) {
  void* copy = frame_buffer_acquire(body.size());
  std::memcpy(copy, body.data(), body.size());
  return PipeItem{copy, body.size(), BufferKind::frame};
}

struct ReaderDeleter {
  void operator()(FrameReader* r) const { frame_reader_destroy(r); }
};
using Reader = std::unique_ptr<FrameReader, ReaderDeleter>;

uint64_t counter(Runtime* rt, Counter c) { return rt->counters.load(c); }

// The host reads nothing while its 64 KiB pipe is full and the queue fills
// behind it; then every frame still arrives, in order, and each push that
// had to wait is counted and announced.
TEST(PipeWriters, ASlowHostLosesNothingAndTheWaitsAreCounted) {
  constexpr int kFrames = 20;
  constexpr uint64_t kBody = 65536 - 8;  // one frame fills the pipe
  TestRuntime host(1, TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE});  // pipe queues of 4
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  ASSERT_EQ(rt->pipe_queues[1]->capacity(), 4u);
  // Earlier traffic the host has not read yet fills the pipe.
  const Bytes earlier = pattern(kBody, 999);
  ASSERT_EQ(frame_write(host_handles_response_write_fd(&rt->host_handles), earlier.data(), kBody), Status::ok);

  std::atomic<int> entered{0}, done{0}, refused{0};
  std::thread producer([&] {
    for (int i = 0; i < kFrames; ++i) {
      PipeItem item = heap_item(pattern(kBody, i));
      entered.store(i + 1);
      if (host_pipe_writers_push(rt, HostPipe::response, &item) != Status::ok) refused.fetch_add(1);
      done.store(i + 1);
      pipe_item_release(&item);
    }
  });
  // Waits until the producer sits in push number n with n - 1 done, and
  // gives it a moment to reach the full queue.
  auto wait_inside_push = [&](int n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((done.load() != n - 1 || entered.load() != n) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done.load() == n - 1 && entered.load() == n;
  };
  // No writer yet: four pushes fill the queue, the fifth waits.
  ASSERT_TRUE(wait_inside_push(5));
  ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::response));
  // The writer takes those four and sticks on the full pipe; four more fill
  // the queue again and the ninth waits.
  ASSERT_TRUE(wait_inside_push(9));
  EXPECT_EQ(counter(rt, Counter::response_pipe_peak), 4u);

  Reader reader(frame_reader_create(host.handles.response_read_fd, 0));
  Bytes got;
  ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
  ASSERT_TRUE(got == earlier);
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(read_frame(reader.get(), &got), Status::ok) << "frame " << i;
    ASSERT_TRUE(got == pattern(kBody, i)) << "frame " << i;
  }
  producer.join();
  EXPECT_EQ(refused.load(), 0);

  host_pipe_writers_finish(rt);
  host_handles_close_write_ends(&rt->host_handles);
  EXPECT_EQ(read_frame(reader.get(), &got), Status::closed);

  const uint64_t blocked = counter(rt, Counter::response_pipe_blocked);
  EXPECT_GE(blocked, 2u);
  EXPECT_EQ(counter(rt, Counter::response_pipe_peak), 4u);
  // One change notice per wait; the host never consumed, so one byte.
  EXPECT_EQ(counter(rt, Counter::monitor_seq), blocked);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_written), 1u);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_skipped), blocked - 1);
}

TEST(PipeWriters, ManyProducersKeepTheirOwnOrder) {
  constexpr int kProducers = 4;
  constexpr int kEach = 200;
  TestRuntime host(1, TakeHandles{0});
  Runtime* rt = host.rt;
  ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::deadletter));
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([rt, p] {
      for (int i = 0; i < kEach; ++i) {
        PipeItem item = (i % 2 == 0) ? heap_item(Bytes{static_cast<unsigned char>(p), static_cast<unsigned char>(i)})
                                     : frame_item(Bytes{static_cast<unsigned char>(p), static_cast<unsigned char>(i)});
        EXPECT_EQ(host_pipe_writers_push(rt, HostPipe::deadletter, &item), Status::ok);
      }
    });
  }
  Reader reader(frame_reader_create(host.handles.deadletter_read_fd, 0));
  int next[kProducers] = {};
  for (int n = 0; n < kProducers * kEach; ++n) {
    Bytes got;
    ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
    ASSERT_EQ(got.size(), 2u);
    ASSERT_LT(got[0], kProducers);
    EXPECT_EQ(got[1], static_cast<unsigned char>(next[got[0]]++));
  }
  for (auto& t : producers) t.join();
  host_pipe_writers_finish(rt);
}

TEST(PipeWriters, ClosingAQueueWritesOutEveryQueuedFrameThenEndOfFile) {
  TestRuntime host(0, TakeHandles{VORLET_V2_HOST_HANDLE_DELIVERED_PIPE});
  Runtime* rt = host.rt;
  ASSERT_EQ(host.opened, Status::ok);
  for (int i = 0; i < 10; ++i) {
    PipeItem item = frame_item(pattern(100 + i, i));
    ASSERT_EQ(host_pipe_writers_push(rt, HostPipe::delivered, &item), Status::ok);
    EXPECT_EQ(item.buffer, nullptr);
  }
  EXPECT_EQ(counter(rt, Counter::delivered_pipe_depth), 10u);
  host_pipe_writers_close_queue(rt, HostPipe::delivered);
  ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::delivered));
  host_pipe_writers_finish(rt);
  host_handles_close_write_ends(&rt->host_handles);

  Reader reader(frame_reader_create(host.handles.delivered_read_fd, 0));
  for (int i = 0; i < 10; ++i) {
    Bytes got;
    ASSERT_EQ(read_frame(reader.get(), &got), Status::ok);
    EXPECT_TRUE(got == pattern(100 + i, i));
  }
  Bytes got;
  EXPECT_EQ(read_frame(reader.get(), &got), Status::closed);
  EXPECT_EQ(counter(rt, Counter::delivered_pipe_depth), 0u);
  EXPECT_EQ(counter(rt, Counter::delivered_pipe_blocked), 0u);
}

// A refused item stays the caller's; a closed queue gives the buffer back.
TEST(PipeQueue, RefusalsSayWhoOwnsTheBuffer) {
  std::atomic<uint64_t> depth{0}, peak{0}, blocked{0};
  PipeQueue queue;
  ASSERT_EQ(queue.init(3, {&depth, &peak, &blocked}), Status::ok);
  EXPECT_EQ(queue.capacity(), 4u);
  EXPECT_EQ(PipeQueue().init(4, {&depth, nullptr, &blocked}), Status::invalid_arg);
  bool waited = true;

  PipeItem item = heap_item(Bytes{1, 2, 3});
  void* const buffer = item.buffer;
  EXPECT_EQ(queue.push(-1, &item, &waited), Status::invalid_arg);
  EXPECT_EQ(item.buffer, buffer);
  PipeItem empty{buffer, 0, BufferKind::heap};
  EXPECT_EQ(queue.push(5, &empty, &waited), Status::invalid_arg);
  PipeItem none{nullptr, 3, BufferKind::heap};
  EXPECT_EQ(queue.push(5, &none, &waited), Status::invalid_arg);

  ASSERT_EQ(queue.push(5, &item, &waited), Status::ok);  // kept until the queue goes
  EXPECT_FALSE(waited);
  EXPECT_EQ(item.buffer, nullptr);
  EXPECT_EQ(depth.load(), 1u);

  queue.close();
  PipeItem late = frame_item(Bytes{4});
  EXPECT_EQ(queue.push(5, &late, &waited), Status::bad_state);
  EXPECT_EQ(late.buffer, nullptr);  // given back by the queue
}

// A producer waiting for room is let go with bad_state when the queue closes.
TEST(PipeQueue, CloseReleasesAWaitingProducer) {
  std::atomic<uint64_t> depth{0}, peak{0}, blocked{0};
  PipeQueue queue;
  ASSERT_EQ(queue.init(2, {&depth, &peak, &blocked}), Status::ok);
  bool waited = false;
  for (int i = 0; i < 2; ++i) {
    PipeItem item = heap_item(Bytes{1});
    ASSERT_EQ(queue.push(5, &item, &waited), Status::ok);
  }
  Status late_status = Status::ok;
  std::thread producer([&] {
    PipeItem item = heap_item(Bytes{2});
    bool w = false;
    late_status = queue.push(5, &item, &w);
    pipe_item_release(&item);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queue.close();
  producer.join();
  EXPECT_EQ(late_status, Status::bad_state);
  EXPECT_EQ(blocked.load(), 0u);
}

// Frames for a host that closed its end are dropped one by one; the writer
// still ends, and SIGPIPE never reaches the process.
TEST(PipeWriters, AHostThatClosedItsEndMakesTheWriterDropFrames) {
  TestRuntime host(0, TakeHandles{0});
  Runtime* rt = host.rt;
  host.close_host_end(&host.handles.response_read_fd);
  ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::response));
  for (int i = 0; i < 3; ++i) {
    PipeItem item = heap_item(pattern(1000, i));
    EXPECT_EQ(host_pipe_writers_push(rt, HostPipe::response, &item), Status::ok);
  }
  host_pipe_writers_finish(rt);
  EXPECT_FALSE(host_pipe_writers_started(rt, HostPipe::response));
  // Once the write end is closed, pushes are refused and the item stays.
  host_handles_close_write_ends(&rt->host_handles);
  PipeItem item = heap_item(Bytes{1});
  EXPECT_EQ(host_pipe_writers_push(rt, HostPipe::response, &item), Status::invalid_arg);
  EXPECT_NE(item.buffer, nullptr);
  pipe_item_release(&item);
}

}  // namespace
}  // namespace vorlet::v2
