#include "client/ask_client.h"

#include <cstring>

#include "base/alloc.h"
#include "codec/frame_splitter.h"
#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"
#include "platform/pipe.h"
#include "pool/frame_buffer.h"
#include "runtime/ingress.h"
#include "runtime/limits.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

// The pause of a lane whose pipe polled readable and had nothing (a
// non-blocking descriptor someone else reads too), so that it never spins.
constexpr uint32_t kLaneEmptyReadPauseMs = 4;

// Gives a frame from a reader back to the pool when it goes.
struct FrameRelease {
  void operator()(void* frame) const noexcept { frame_buffer_release(frame); }
};
using FrameHolder = std::unique_ptr<void, FrameRelease>;

}  // namespace

PendingAsk::~PendingAsk() {
  // The last reference: the lock is taken as for every read of the record.
  MutexLock hold(&mutex);
  rt_free(bytes);
}

uint64_t ask_lane_frame_limit(uint64_t max_frame_bytes) noexcept {
  return max_frame_bytes > kMaxMessageBytes ? max_frame_bytes : kMaxMessageBytes;
}

std::shared_ptr<AskClientImpl> AskClientImpl::make(Runtime* rt, int32_t response_fd, int32_t deadletter_fd,
                                                   uint64_t frame_limit) {
  return std::make_shared<AskClientImpl>(rt, response_fd, deadletter_fd, frame_limit);
}

AskClientImpl::AskClientImpl(Runtime* rt, int32_t response_fd, int32_t deadletter_fd, uint64_t frame_limit) noexcept
    : runtime_(rt),
      response_{LaneKind::response, response_fd, frame_splitter_create(response_fd, frame_limit), {}},
      deadletter_{LaneKind::deadletter, deadletter_fd, frame_splitter_create(deadletter_fd, frame_limit), {}},
      wake_(platform::Event::create()) {}

AskClientImpl::~AskClientImpl() {
  shutdown();
  pending_.clear();
  frame_splitter_destroy(deadletter_.reader);
  frame_splitter_destroy(response_.reader);
}

bool AskClientImpl::start(StartThread start_thread) noexcept {
  if (response_.reader == nullptr || deadletter_.reader == nullptr || wake_ == nullptr) return false;
  if (!start_thread(&response_.thread, response_lane_main, this)) return false;
  if (!start_thread(&deadletter_.thread, deadletter_lane_main, this)) {
    stop_lanes();
    platform::join_thread(&response_.thread);
    return false;
  }
  return true;
}

void AskClientImpl::shutdown() noexcept {
  bool expected = false;
  if (!closed_.compare_exchange_strong(expected, true)) return;
  client_status_.store(to_c(Status::closed));
  stop_lanes();
  fail_all_pending(Status::closed);
  platform::join_thread(&response_.thread);
  platform::join_thread(&deadletter_.thread);
}

Status AskClientImpl::refusal() const noexcept {
  if (closed_.load()) return Status::closed;
  if (!stopping_.load()) return Status::ok;
  const int32_t status = client_status_.load();
  return status == 0 ? Status::closed : from_c(status);
}

Status AskClientImpl::insert_pending(const std::string& key, const std::shared_ptr<PendingAsk>& ask) {
  MutexLock hold(&pending_mutex_);
  // Every stop sets its flag before it fails what is pending, and the
  // fail-all empties the map under this mutex: an ask that passes this
  // test is either failed by that fail-all or sees no stop at all.
  const Status refused = refusal();
  if (refused != Status::ok) return refused;
  return pending_.try_emplace(key, ask).second ? Status::ok : Status::bad_state;
}

Status AskClientImpl::submit(const void* bytes, uint64_t length, const std::string& key,
                             const PendingAsk* ask) noexcept {
  MutexLock hold(&submit_mutex_);
  const Status s = ingress_submit_envelope(runtime_, bytes, length);
  if (s != Status::ok) erase_pending_if(key, ask);
  return s;
}

void AskClientImpl::erase_pending_if(const std::string& key, const PendingAsk* ask) noexcept {
  std::shared_ptr<PendingAsk> erased;  // dropped after the mutex is released
  MutexLock hold(&pending_mutex_);
  const auto it = pending_.find(key);
  if (it == pending_.end() || it->second.get() != ask) return;
  erased = std::move(it->second);
  pending_.erase(it);
}

size_t AskClientImpl::pending_count() const noexcept {
  MutexLock hold(&pending_mutex_);
  return pending_.size();
}

void AskClientImpl::complete_pending(const std::string& key, ReplyKind kind, const void* frame,
                                     uint64_t length) noexcept {
  if (key.empty()) return;
  HeapBlock copy;
  if (length > 0) {
    if (frame != nullptr) copy.reset(rt_malloc(length));
    if (copy == nullptr) {
      // Stopped first, so that no begin registers an ask this fail-all
      // would miss. The status stays 0: later begins report closed.
      stop_lanes();
      fail_all_pending(Status::nomem);
      return;
    }
    std::memcpy(copy.get(), frame, length);
  }
  std::shared_ptr<PendingAsk> ask;
  {
    MutexLock hold(&pending_mutex_);
    const auto it = pending_.find(key);
    // Nobody waits for this answer (cancelled, or never asked here).
    if (it == pending_.end()) return;
    ask = std::move(it->second);
    pending_.erase(it);
  }
  {
    MutexLock hold(&ask->mutex);
    rt_free(ask->bytes);
    ask->result = Status::ok;
    ask->kind = kind;
    ask->bytes = copy.release();
    ask->length = length;
    ask->done = true;
    ask->answered.store(true, std::memory_order_release);
  }
  ask->cond.notify_one();
}

void AskClientImpl::fail_all_pending(Status status) noexcept {
  std::unordered_map<std::string, std::shared_ptr<PendingAsk>> taken;
  {
    MutexLock hold(&pending_mutex_);
    taken.swap(pending_);
  }
  for (auto& entry : taken) {
    PendingAsk& ask = *entry.second;
    {
      MutexLock hold(&ask.mutex);
      rt_free(ask.bytes);
      ask.bytes = nullptr;
      ask.length = 0;
      ask.result = status;
      ask.kind = ReplyKind::none;
      ask.done = true;
      ask.answered.store(true, std::memory_order_release);
    }
    ask.cond.notify_one();
  }
}

void AskClientImpl::response_lane_main(void* self) noexcept {
  auto* client = static_cast<AskClientImpl*>(self);
  client->run_lane(client->response_);
}

void AskClientImpl::deadletter_lane_main(void* self) noexcept {
  auto* client = static_cast<AskClientImpl*>(self);
  client->run_lane(client->deadletter_);
}

void AskClientImpl::run_lane(Lane& lane) noexcept {
  // Every whole frame that was read is handed on before the lane sleeps,
  // with no time limit, on the pipe and the wake event together; then one
  // read takes what the pipe holds.
  while (!stopping_.load()) {
    void* raw = nullptr;
    uint64_t length = 0;
    Status s = frame_splitter_next(lane.reader, &raw, &length);
    if (s == Status::would_block) {
      bool woken = false;
      s = platform::pipe_wait_readable_or(lane.fd, wake_->descriptor(), platform::kWaitForever, &woken);
      if (woken) continue;  // a stop: the loop sees the flag
      if (s != Status::ok) return lane_failed("frame lane wait failed");
      s = frame_splitter_fill(lane.reader);
      if (s == Status::would_block) (void)wake_->wait_ms(kLaneEmptyReadPauseMs);
      if (s == Status::ok || s == Status::would_block) continue;
      return lane_failed("frame_read_try failed");
    }
    if (s == Status::closed) return lane_closed();
    if (s != Status::ok) return lane_failed("frame_read_try failed");
    FrameHolder frame(raw);
    const char* error = nullptr;
    try {
      error = take_frame(lane.kind, frame.get(), length);
    } catch (...) {
      error = "frame lane failed";
    }
    if (error != nullptr) return lane_failed(error);
  }
}

const char* AskClientImpl::take_frame(LaneKind kind, const void* frame, uint64_t length) {
  ScratchArena arena;
  if (kind == LaneKind::response) {
    auto& envelope = *arena.make<transport::Envelope>();
    if (!message_parse_bounded(frame, length, envelope)) return "failed to parse response envelope";
    if (envelope.kind() != transport::MESSAGE_KIND_RESPONSE) {
      return "unexpected non-response frame on response lane";
    }
    complete_pending(envelope.correlation_id(), ReplyKind::response, frame, length);
    return nullptr;
  }
  auto& deadletter = *arena.make<transport::Deadletter>();
  if (!message_parse_bounded(frame, length, deadletter)) return "failed to parse deadletter";
  // Without an original envelope the key is empty and the frame dropped.
  complete_pending(deadletter.original_envelope().message_id(), ReplyKind::deadletter, frame, length);
  return nullptr;
}

void AskClientImpl::lane_closed() noexcept {
  // The runtime closes its response and deadletter pipes one after the
  // other, each once everything queued for it is written: answers may still
  // wait on the other pipe. Only the second end of file stops the client.
  if (lanes_closed_.fetch_add(1) + 1 < kLaneCount) return;
  bool expected = false;
  if (!stopping_.compare_exchange_strong(expected, true)) return;
  if (wake_ != nullptr) wake_->set();
  client_status_.store(to_c(Status::closed));
  fail_all_pending(Status::closed);
}

void AskClientImpl::lane_failed(const char* text) noexcept {
  lane_error_.store(text);
  client_status_.store(to_c(Status::io));
  stop_lanes();
  fail_all_pending(Status::io);
}

void AskClientImpl::stop_lanes() noexcept {
  stopping_.store(true);
  if (wake_ != nullptr) wake_->set();
}

AskClientHandle* ask_client_create(Runtime* rt, int32_t response_fd, int32_t deadletter_fd) noexcept {
  if (rt == nullptr) return nullptr;
  try {
    auto handle = std::make_unique<AskClientHandle>();
    handle->client =
        AskClientImpl::make(rt, response_fd, deadletter_fd, ask_lane_frame_limit(limits_max_frame_bytes(rt)));
    // A refused start drops the only reference here: the state goes with
    // the handle.
    if (!handle->client->start()) return nullptr;
    return handle.release();
  } catch (...) {
    return nullptr;
  }
}

void ask_client_destroy(AskClientHandle* handle) noexcept {
  if (handle == nullptr) return;
  if (handle->client != nullptr) handle->client->shutdown();
  delete handle;
}

}  // namespace vorlet::v2
