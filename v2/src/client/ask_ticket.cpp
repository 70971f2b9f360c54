#include "client/ask_ticket.h"

#include <chrono>
#include <new>

#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"
#include "runtime/spin_wait.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {

Status ask_request_prepare(const void* request, uint64_t length, std::string* message_id, HeapBlock* bytes,
                           uint64_t* bytes_length) noexcept {
  bytes->reset();
  *bytes_length = 0;
  if (request == nullptr || length == 0 || length > kMaxMessageBytes) return Status::invalid_arg;
  try {
    ScratchArena arena;
    auto& envelope = *arena.make<transport::Envelope>();
    // The runtime and the host read ids as texts: an id with a NUL inside
    // reads as a shorter one there (as none when it leads), and the answer
    // to it would never be matched to this ask.
    if (!message_parse_bounded(request, length, envelope) || envelope.kind() != transport::MESSAGE_KIND_REQUEST ||
        envelope.one_way() || envelope.message_id().empty() ||
        envelope.message_id().find('\0') != std::string::npos) {
      return Status::invalid_arg;
    }
    // The answer is matched by correlation id: a request without one is
    // answered under its message id.
    if (envelope.correlation_id().empty()) envelope.set_correlation_id(envelope.message_id());
    *message_id = envelope.message_id();
    void* out = nullptr;
    const Status s = message_serialize_to_buffer(envelope, &out, bytes_length);
    // Grown past what can be encoded by the filled-in id: a bad request.
    if (s == Status::io) return Status::invalid_arg;
    bytes->reset(out);
    return s;
  } catch (...) {
    return Status::nomem;
  }
}

Status ask_client_begin(AskClientHandle* handle, const void* request, uint64_t length, AskTicket** out) noexcept {
  if (handle == nullptr || out == nullptr || handle->client == nullptr) return Status::invalid_arg;
  *out = nullptr;
  std::unique_ptr<AskTicket> ticket(new (std::nothrow) AskTicket);
  if (ticket == nullptr) return Status::nomem;
  if (request == nullptr || length == 0 || length > kMaxMessageBytes) return Status::invalid_arg;
  AskClientImpl& client = *handle->client;
  Status s = client.refusal();
  if (s != Status::ok) return s;

  HeapBlock bytes;
  uint64_t bytes_length = 0;
  s = ask_request_prepare(request, length, &ticket->message_id, &bytes, &bytes_length);
  if (s != Status::ok) return s;
  std::shared_ptr<PendingAsk> ask;
  try {
    ask = std::make_shared<PendingAsk>();
    s = client.insert_pending(ticket->message_id, ask);
  } catch (...) {
    return Status::nomem;
  }
  if (s != Status::ok) return s;
  // Registered before it is submitted, so an answer that comes back
  // before begin returns is already waiting for the ticket.
  s = client.submit(bytes.get(), bytes_length, ticket->message_id, ask.get());
  if (s != Status::ok) return s;

  ticket->client = handle->client;
  ticket->pending = std::move(ask);
  ticket->active = true;
  *out = ticket.release();
  return Status::ok;
}

Status ask_ticket_await(AskTicket* ticket, uint32_t timeout_ms, int32_t* kind_out, void** bytes_out,
                        uint64_t* length_out) noexcept {
  if (ticket == nullptr || !ticket->active || ticket->pending == nullptr || kind_out == nullptr ||
      bytes_out == nullptr || length_out == nullptr) {
    return Status::invalid_arg;
  }
  *kind_out = wire(ReplyKind::none);
  *bytes_out = nullptr;
  *length_out = 0;
  // Declared before the lock, so that both references (the last one to
  // the client runs its destructor) go only after the mutex is released.
  std::shared_ptr<AskClientImpl> client;
  const std::shared_ptr<PendingAsk> ask = ticket->pending;
  // An answer that comes within a round trip is taken without sleeping, so
  // the lane that delivers it has no one to wake. A caller that only polls
  // (timeout 0) does not spin.
  if (timeout_ms != 0) {
    (void)spin_until(spin_iterations_for_ns(kAskSpinNs),
                     [&ask] { return ask->answered.load(std::memory_order_acquire); });
  }
  MutexLock hold(&ask->mutex);
  if (!ask->done) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!ask->done) {
      if (!ask->cond.wait_until(ask->mutex, deadline) && !ask->done) return Status::would_block;
    }
  }
  *kind_out = wire(ask->kind);
  *bytes_out = ask->bytes;
  *length_out = ask->length;
  ask->bytes = nullptr;
  ask->length = 0;
  const Status result = ask->result;
  ticket->active = false;
  ticket->pending.reset();
  client = std::move(ticket->client);
  hold.unlock();
  return result;
}

void ask_ticket_cancel(AskTicket* ticket) noexcept {
  if (ticket == nullptr || !ticket->active) return;
  ticket->active = false;
  // Moved out first: the pending ask goes before the client, and neither
  // under the client's mutex.
  std::shared_ptr<AskClientImpl> client = std::move(ticket->client);
  std::shared_ptr<PendingAsk> pending = std::move(ticket->pending);
  if (client != nullptr && pending != nullptr) client->erase_pending_if(ticket->message_id, pending.get());
}

const char* ask_ticket_message_id(const AskTicket* ticket) noexcept {
  return ticket == nullptr ? "" : ticket->message_id.c_str();
}

void ask_ticket_destroy(AskTicket* ticket) noexcept {
  if (ticket == nullptr) return;
  ask_ticket_cancel(ticket);
  delete ticket;
}

}  // namespace vorlet::v2
