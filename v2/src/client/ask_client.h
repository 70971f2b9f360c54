// The ask client: requests go into a runtime through the submit call, and
// two lane threads read the runtime's response and deadletter pipes and
// hand each answer to the pending ask it belongs to (responses by their
// correlation id, deadletters by the message id of their original
// envelope). Tickets (ask_ticket.h) wait on the pending asks.
//
// Ownership: the client state is shared by the host's handle and by every
// live ticket, and goes with the last of them. The lanes hold no reference:
// shutdown joins them before the state can go. The runtime and every pipe
// descriptor are borrowed, never closed.
//
// Lock order: submit_mutex, then pending_mutex. A PendingAsk's mutex is
// never taken with pending_mutex held, and no reference to the state is
// dropped while one of its mutexes is held (the last one runs the
// destructor).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "base/mutex.h"
#include "base/status.h"
#include "codec/codes.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct FrameSplitter;
struct Runtime;

// The completion record of one ask, shared by the client's pending map
// (while the ask is pending) and by its ticket. The answer bytes are an
// rt_malloc block owned here until an await hands them to the host; one
// nobody collected is freed with the record.
struct PendingAsk {
  Mutex mutex;
  CondVar cond;  // waited on with mutex
  bool done GUARDED_BY(mutex) = false;  // set once, after the ask left the pending map
  // Raised (release) under the mutex together with done, for an awaiter
  // that polls before it sleeps on cond: it then takes the mutex and reads
  // the fields as usual.
  std::atomic<bool> answered{false};
  Status result GUARDED_BY(mutex) = Status::ok;
  ReplyKind kind GUARDED_BY(mutex) = ReplyKind::none;
  void* bytes GUARDED_BY(mutex) = nullptr;
  uint64_t length GUARDED_BY(mutex) = 0;

  PendingAsk() = default;
  PendingAsk(const PendingAsk&) = delete;
  PendingAsk& operator=(const PendingAsk&) = delete;
  ~PendingAsk();
};

// The largest frame the lanes accept: whatever the runtime may write to
// them, which is anything protobuf can encode (a deadletter embeds a whole
// envelope, submitted envelopes have no length limit), and never less than
// the runtime's own frame limit.
uint64_t ask_lane_frame_limit(uint64_t max_frame_bytes) noexcept;

class alignas(64) AskClientImpl {
 public:
  using StartThread = bool (*)(std::thread*, platform::ThreadProc, void*);

  // Makes both frame splitters; one that cannot be made makes start()
  // refuse. Throws only std::bad_alloc.
  static std::shared_ptr<AskClientImpl> make(Runtime* rt, int32_t response_fd, int32_t deadletter_fd,
                                             uint64_t frame_limit);

  AskClientImpl(Runtime* rt, int32_t response_fd, int32_t deadletter_fd, uint64_t frame_limit) noexcept;
  ~AskClientImpl();
  AskClientImpl(const AskClientImpl&) = delete;
  AskClientImpl& operator=(const AskClientImpl&) = delete;

  // Starts the response lane, then the deadletter lane; false (and no lane
  // left running) when a reader is missing or a thread cannot be started.
  // start_thread is replaced only by tests.
  bool start(StartThread start_thread = platform::start_thread) noexcept;

  // Stops the client for good: every pending ask fails with closed, the
  // lanes are joined. Once; later calls return at once.
  void shutdown() noexcept;

  // ---- for begin, cancel and the tests ----

  // ok while the client runs; otherwise what a begin is refused with:
  // closed after a shutdown, else the stored status (io after a lane
  // error), closed when that is 0.
  Status refusal() const noexcept;
  // Registers ask under key. The client's state is tested again under the
  // map's mutex, so no ask can slip in after the last fail-all. bad_state
  // when an ask with that key is pending; throws std::bad_alloc.
  Status insert_pending(const std::string& key, const std::shared_ptr<PendingAsk>& ask);
  // Submits bytes to the runtime, one submission of this client at a
  // time. On a refusal the entry of key is erased when it still holds ask.
  Status submit(const void* bytes, uint64_t length, const std::string& key, const PendingAsk* ask) noexcept;
  // Erases the entry of key only when it holds ask: a newer ask may have
  // taken the key.
  void erase_pending_if(const std::string& key, const PendingAsk* ask) noexcept;

  // Lane internals, reachable for tests.
  enum class LaneKind { response, deadletter };
  // nullptr when the frame was taken (matched or discarded); else the
  // error text of a frame that breaks the lane's rules.
  const char* take_frame(LaneKind kind, const void* frame, uint64_t length);
  void complete_pending(const std::string& key, ReplyKind kind, const void* frame, uint64_t length) noexcept;
  void fail_all_pending(Status status) noexcept;
  size_t pending_count() const noexcept;
  // The text of the lane error that stopped the client, or NULL.
  const char* lane_error() const noexcept { return lane_error_.load(); }
  int32_t client_status() const noexcept { return client_status_.load(); }

 private:
  struct Lane {
    LaneKind kind;
    int32_t fd;             // borrowed
    FrameSplitter* reader;  // owned
    std::thread thread;
  };
  static constexpr uint32_t kLaneCount = 2;

  static void response_lane_main(void* self) noexcept;
  static void deadletter_lane_main(void* self) noexcept;
  void run_lane(Lane& lane) noexcept;
  // Tells both lanes to end, and wakes them.
  void stop_lanes() noexcept;
  void lane_closed() noexcept;
  void lane_failed(const char* text) noexcept;

  Runtime* runtime_;  // borrowed; outlives the client
  Lane response_;
  Lane deadletter_;

  std::unique_ptr<platform::Event> wake_;  // set with stopping_, so that idle lanes see it at once
  alignas(64) std::atomic<bool> stopping_{false};  // set when the lanes are to end; never cleared
  alignas(64) std::atomic<int32_t> client_status_{0};
  alignas(64) std::atomic<bool> closed_{false};  // set once, by shutdown
  std::atomic<uint32_t> lanes_closed_{0};        // lanes that met end of file
  std::atomic<const char*> lane_error_{nullptr};

  mutable Mutex pending_mutex_;
  std::unordered_map<std::string, std::shared_ptr<PendingAsk>> pending_ GUARDED_BY(pending_mutex_);
  Mutex submit_mutex_ ACQUIRED_BEFORE(pending_mutex_);  // one submission of this client at a time
};

// What the host's handle holds.
struct AskClientHandle {
  std::shared_ptr<AskClientImpl> client;
};

// A running client; nullptr on any failure. The descriptors were checked
// by the caller.
AskClientHandle* ask_client_create(Runtime* rt, int32_t response_fd, int32_t deadletter_fd) noexcept;
// Shuts the client down and frees the handle; NULL is ignored.
void ask_client_destroy(AskClientHandle* handle) noexcept;

inline AskClientHandle* from_handle(vorlet_v2_AskClientHandle* h) noexcept {
  return reinterpret_cast<AskClientHandle*>(h);
}
inline vorlet_v2_AskClientHandle* to_handle(AskClientHandle* h) noexcept {
  return reinterpret_cast<vorlet_v2_AskClientHandle*>(h);
}

}  // namespace vorlet::v2
