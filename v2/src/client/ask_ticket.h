// Tickets of the ask client: begin registers and submits one request and
// gives the host a ticket; the ticket collects the request's answer once
// (await, poll) or gives it up (cancel).
//
// A ticket keeps the client state and its pending ask alive while it is
// active; a spent or cancelled ticket holds neither, only its own copy of
// the message id. One ticket is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/alloc.h"
#include "base/status.h"
#include "client/ask_client.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct AskTicket {
  std::shared_ptr<AskClientImpl> client;
  std::shared_ptr<PendingAsk> pending;
  std::string message_id;
  bool active = false;
};

// What begin submits for a request: the serialized envelope again, with an
// empty correlation id set to the message id. invalid_arg unless the bytes
// are a two-way REQUEST with a message id (and 1 to 2^31 - 1 bytes long);
// nomem on exhaustion. *message_id gets the request's id. The bytes are an
// rt_malloc block owned by the caller.
Status ask_request_prepare(const void* request, uint64_t length, std::string* message_id, HeapBlock* bytes,
                           uint64_t* bytes_length) noexcept;

// On ok *out holds the new ticket, owned by the caller; on every failure
// *out is NULL and nothing stays registered.
Status ask_client_begin(AskClientHandle* handle, const void* request, uint64_t length, AskTicket** out) noexcept;

// The ask's outcome within timeout_ms, once: ok with kind and the answer's
// bytes (now the caller's), or the status that failed the ask; the ticket
// is then spent. would_block: nothing yet, the ticket stays active.
// invalid_arg for a NULL pointer or a spent ticket (nothing written).
Status ask_ticket_await(AskTicket* ticket, uint32_t timeout_ms, int32_t* kind_out, void** bytes_out,
                        uint64_t* length_out) noexcept;
void ask_ticket_cancel(AskTicket* ticket) noexcept;
const char* ask_ticket_message_id(const AskTicket* ticket) noexcept;
void ask_ticket_destroy(AskTicket* ticket) noexcept;

inline AskTicket* from_handle(vorlet_v2_AskTicket* t) noexcept { return reinterpret_cast<AskTicket*>(t); }
inline const AskTicket* from_handle(const vorlet_v2_AskTicket* t) noexcept {
  return reinterpret_cast<const AskTicket*>(t);
}
inline vorlet_v2_AskTicket* to_handle(AskTicket* t) noexcept { return reinterpret_cast<vorlet_v2_AskTicket*>(t); }

}  // namespace vorlet::v2
