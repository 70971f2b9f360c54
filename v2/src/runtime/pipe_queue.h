// The bounded queue in front of one host-bound pipe: many producers (the
// dispatcher, the workers, the hand-offs), one writer thread that writes
// the frames out. A full queue makes producers wait for room, so a slow
// host slows the runtime down instead of losing frames.
//
// A small frame that finds the queue empty and its writer idle skips the
// hand-off: the producer writes it on the pipe itself, under the queue's
// mutex, in one write that does not wait (the runtime's write end is
// non-blocking). Nothing can be ahead of it then, so order is kept; when the
// pipe has no room the frame is queued as any other.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/mutex.h"
#include "base/status.h"

namespace vorlet::v2 {

// How a queued buffer is given back once written (or dropped).
enum class BufferKind : int32_t {
  heap = 0,   // rt_free
  frame = 1,  // a frame buffer, frame_buffer_release
};

struct PipeItem {
  void* buffer;
  uint64_t length;
  BufferKind kind;
};

// Gives the item's buffer back by its kind and clears the item. An item
// already cleared is left alone, so a caller may call it after any push.
void pipe_item_release(PipeItem* item) noexcept;

// The runtime gauges one queue keeps up to date. A frame written directly
// never enters the queue: it raises neither depth nor peak, and it is never
// a push that waited.
struct PipeGauges {
  std::atomic<uint64_t>* depth;    // count after the last push or batch
  std::atomic<uint64_t>* peak;     // highest depth seen
  std::atomic<uint64_t>* blocked;  // pushes that had to wait for room
  // Frames written whole straight on the pipe by their producer. May be
  // left null: such a queue writes nothing directly, every frame goes
  // through the writer.
  std::atomic<uint64_t>* direct_writes = nullptr;
};

class PipeQueue {
 public:
  PipeQueue() = default;
  PipeQueue(const PipeQueue&) = delete;
  PipeQueue& operator=(const PipeQueue&) = delete;
  // Gives back every buffer still queued.
  ~PipeQueue();

  // capacity is rounded up to a power of two, at least 2. invalid_arg when
  // the gauges are missing or the capacity is beyond 2^32; nomem when the
  // ring cannot be had.
  Status init(uint64_t requested_capacity, PipeGauges gauges) noexcept;

  // Queues an item for the pipe whose runtime write end is fd, waiting
  // while the queue is full; or writes it straight on the pipe (above) when
  // it is a frame of at most platform::kPipeAtomicWriteBytes, prefix
  // included, the queue is empty, the writer waits with no batch in hand
  // and the pipe has room.
  //  ok:          the queue owns the buffer (or the frame is written, or
  //               dropped as the writer drops a frame the host can no
  //               longer take, and the buffer given back); *item is
  //               cleared. *blocked_out is true when the push had to wait
  //               (counted in the blocked gauge).
  //  bad_state:   the queue is closed; the buffer was given back by its
  //               kind and *item is cleared, unless keep_if_closed, when
  //               *item is untouched and the buffer is still the caller's.
  //  invalid_arg: fd < 0, no buffer or a length of 0; *item is untouched
  //               and the buffer is still the caller's.
  Status push(int32_t fd, PipeItem* item, bool* blocked_out, bool keep_if_closed = false) noexcept;

  // The leading frames of items[0..count) that go straight on the pipe
  // together in one write, when push would write one of them that way (the
  // queue is open and empty, the writer waits with no batch in hand, the
  // pipe has room): as many as fit in platform::kPipeAtomicWriteBytes,
  // prefixes included, and at least two. Returns how many went, written or
  // dropped as the writer drops frames the host can no longer take; their
  // buffers are given back and their items cleared. 0 when none went: the
  // caller pushes them one by one.
  uint64_t push_direct_run(PipeItem* items, uint64_t count) noexcept;

  // Wakes the writer and every waiting producer; later pushes are refused.
  void close() noexcept;
  // Accepts pushes again. Only for a queue whose writer has ended (so it is
  // empty) and that no producer uses meanwhile: a start that fails after
  // its writers ran undoes their close with it. Stop's close is final.
  void reopen() noexcept;

  // The writer thread's body: writes every queued frame to fd in arrival
  // order, outside the mutex, and gives each buffer back. A failed write
  // drops that frame. Returns once the queue is closed and empty. While it
  // waits for work, producers may write small frames to fd directly.
  void writer_loop(int32_t fd) noexcept;

  uint64_t capacity() const noexcept { return capacity_; }
  // True while a writer waits for work with no batch in hand: a push now
  // may write its frame directly.
  bool writer_idle() noexcept;

 private:
  static constexpr uint64_t kWriterBatch = 8;

  Mutex mutex_;
  CondVar not_empty_;  // both waited on with mutex_
  CondVar not_full_;
  // The ring, its size and the gauges are set by init and fixed after it.
  PipeItem* ring_ PT_GUARDED_BY(mutex_) = nullptr;
  uint64_t capacity_ = 0;
  uint64_t mask_ = 0;
  uint64_t write_index_ GUARDED_BY(mutex_) = 0;  // free-running; the slot is index & mask
  uint64_t read_index_ GUARDED_BY(mutex_) = 0;
  uint64_t count_ GUARDED_BY(mutex_) = 0;
  bool closed_ GUARDED_BY(mutex_) = false;
  // The write end of a writer that waits for work with no batch in hand, -1
  // while it writes one or no writer runs: only then is a direct write
  // sure to come after every frame queued before it.
  int32_t idle_writer_fd_ GUARDED_BY(mutex_) = -1;
  PipeGauges gauges_{};
};

}  // namespace vorlet::v2
