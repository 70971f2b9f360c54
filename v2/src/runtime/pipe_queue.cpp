#include "runtime/pipe_queue.h"

#include "base/alloc.h"
#include "codec/frame_io.h"
#include "platform/pipe.h"
#include "pool/frame_buffer.h"

namespace vorlet::v2 {
namespace {

void raise_peak(std::atomic<uint64_t>* peak, uint64_t v) noexcept {
  uint64_t seen = peak->load(std::memory_order_relaxed);
  while (seen < v && !peak->compare_exchange_weak(seen, v, std::memory_order_relaxed)) {
  }
}

}  // namespace

void pipe_item_release(PipeItem* item) noexcept {
  if (item == nullptr || item->buffer == nullptr) return;
  if (item->kind == BufferKind::frame) {
    frame_buffer_release(item->buffer);
  } else {
    rt_free(item->buffer);
  }
  *item = PipeItem{nullptr, 0, BufferKind::heap};
}

PipeQueue::~PipeQueue() {
  MutexLock hold(&mutex_);
  for (; count_ > 0; --count_, ++read_index_) pipe_item_release(&ring_[read_index_ & mask_]);
  rt_free(ring_);
}

Status PipeQueue::init(uint64_t requested_capacity, PipeGauges gauges) noexcept {
  if (gauges.depth == nullptr || gauges.peak == nullptr || gauges.blocked == nullptr) return Status::invalid_arg;
  if (requested_capacity > (1ull << 32)) return Status::invalid_arg;
  uint64_t capacity = 2;
  while (capacity < requested_capacity) capacity <<= 1;
  auto* ring = static_cast<PipeItem*>(rt_calloc(capacity, sizeof(PipeItem)));
  if (ring == nullptr) return Status::nomem;
  MutexLock hold(&mutex_);
  ring_ = ring;
  capacity_ = capacity;
  mask_ = capacity - 1;
  gauges_ = gauges;
  return Status::ok;
}

Status PipeQueue::push(int32_t fd, PipeItem* item, bool* blocked_out, bool keep_if_closed) noexcept {
  if (item == nullptr || blocked_out == nullptr || fd < 0 || item->buffer == nullptr || item->length == 0) {
    return Status::invalid_arg;
  }
  *blocked_out = false;
  bool waited = false;
  bool direct = false;
  uint64_t depth = 0;
  {
    MutexLock hold(&mutex_);
    if (count_ == capacity_ && !closed_) {
      waited = true;
      while (count_ == capacity_ && !closed_) not_full_.wait(mutex_);
    }
    if (closed_) {
      hold.unlock();
      if (!keep_if_closed) pipe_item_release(item);
      return Status::bad_state;
    }
    if (count_ == 0 && idle_writer_fd_ >= 0 && gauges_.direct_writes != nullptr &&
        item->length <= platform::kPipeAtomicWriteBytes - kFramePrefixBytes) {
      const Status written = frame_write_once(idle_writer_fd_, item->buffer, item->length);
      if (written == Status::ok) gauges_.direct_writes->fetch_add(1, std::memory_order_relaxed);
      // A failed write drops the frame, as the writer drops one the host can
      // no longer take; only a pipe with no room sends it to the queue.
      direct = written != Status::would_block;
    }
    if (!direct) {
      ring_[write_index_ & mask_] = *item;
      ++write_index_;
      if (count_++ == 0) not_empty_.notify_one();
      depth = count_;
      // Under the mutex, so that the last store is always the present depth.
      gauges_.depth->store(depth, std::memory_order_relaxed);
    }
  }
  if (direct) {
    pipe_item_release(item);  // outside the mutex: the frame pool has a lock of its own
  } else {
    *item = PipeItem{nullptr, 0, BufferKind::heap};
    raise_peak(gauges_.peak, depth);
  }
  if (waited) {
    gauges_.blocked->fetch_add(1, std::memory_order_relaxed);
    *blocked_out = true;
  }
  return Status::ok;
}

uint64_t PipeQueue::push_direct_run(PipeItem* items, uint64_t count) noexcept {
  constexpr uint64_t kMostPerWrite = platform::kPipeSliceMax / 2;
  FrameOut frames[kMostPerWrite];
  uint64_t run = 0;
  uint64_t bytes = 0;  // prefixes included; never over kPipeAtomicWriteBytes
  while (run < count && run < kMostPerWrite && items[run].buffer != nullptr && items[run].length != 0 &&
         items[run].length <= platform::kPipeAtomicWriteBytes &&
         kFramePrefixBytes + items[run].length <= platform::kPipeAtomicWriteBytes - bytes) {
    frames[run] = {items[run].buffer, items[run].length};
    bytes += kFramePrefixBytes + items[run].length;
    ++run;
  }
  if (run < 2) return 0;
  {
    MutexLock hold(&mutex_);
    if (closed_ || count_ != 0 || idle_writer_fd_ < 0 || gauges_.direct_writes == nullptr) return 0;
    const Status written = frames_write_once(idle_writer_fd_, frames, run);
    if (written == Status::would_block) return 0;
    if (written == Status::ok) gauges_.direct_writes->fetch_add(run, std::memory_order_relaxed);
  }
  // Outside the mutex: the frame pool has a lock of its own.
  for (uint64_t i = 0; i < run; ++i) pipe_item_release(&items[i]);
  return run;
}

void PipeQueue::close() noexcept {
  MutexLock hold(&mutex_);
  closed_ = true;
  not_empty_.notify_all();
  not_full_.notify_all();
}

void PipeQueue::reopen() noexcept {
  MutexLock hold(&mutex_);
  closed_ = false;
}

bool PipeQueue::writer_idle() noexcept {
  MutexLock hold(&mutex_);
  return idle_writer_fd_ >= 0 && count_ == 0;
}

void PipeQueue::writer_loop(int32_t fd) noexcept {
  PipeItem batch[kWriterBatch];
  for (;;) {
    uint64_t taken = 0;
    uint64_t remaining;
    {
      MutexLock hold(&mutex_);
      // Idle from here until a batch is taken: the last batch is out.
      idle_writer_fd_ = fd;
      while (count_ == 0 && !closed_) not_empty_.wait(mutex_);
      idle_writer_fd_ = -1;
      if (count_ == 0) return;  // closed and written out
      const bool was_full = count_ == capacity_;
      while (taken < kWriterBatch && count_ > 0) {
        PipeItem& slot = ring_[read_index_ & mask_];
        batch[taken++] = slot;
        slot = PipeItem{nullptr, 0, BufferKind::heap};
        ++read_index_;
        --count_;
      }
      if (was_full) {
        if (taken == 1) {
          not_full_.notify_one();
        } else {
          not_full_.notify_all();
        }
      }
      remaining = count_;
      gauges_.depth->store(remaining, std::memory_order_relaxed);
    }
    raise_peak(gauges_.peak, remaining);
    // The whole batch in as few writes as the pipe takes; a frame the host
    // can no longer take is dropped, the next one may still go out.
    FrameOut frames[kWriterBatch];
    for (uint64_t i = 0; i < taken; ++i) frames[i] = {batch[i].buffer, batch[i].length};
    if (fd >= 0) frames_write_blocking(fd, frames, taken);
    for (uint64_t i = 0; i < taken; ++i) pipe_item_release(&batch[i]);
  }
}

}  // namespace vorlet::v2
