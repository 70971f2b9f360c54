// Exported entry points of the ask client and the raw builders.
#include "base/alloc.h"
#include "base/record.h"
#include "client/ask_client.h"
#include "client/ask_ticket.h"
#include "client/raw_builders.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

namespace {

using namespace vorlet::v2;

static_assert(sizeof(vorlet_v2_RawRequestOptions) == 72);
static_assert(offsetof(vorlet_v2_RawRequestOptions, message_id) == 8);
static_assert(offsetof(vorlet_v2_RawRequestOptions, source) == 16);
static_assert(offsetof(vorlet_v2_RawRequestOptions, target) == 24);
static_assert(offsetof(vorlet_v2_RawRequestOptions, reply_to) == 32);
static_assert(offsetof(vorlet_v2_RawRequestOptions, payload) == 40);
static_assert(offsetof(vorlet_v2_RawRequestOptions, payload_len) == 48);
static_assert(offsetof(vorlet_v2_RawRequestOptions, timeout_ms) == 56);
static_assert(offsetof(vorlet_v2_RawRequestOptions, delivery_hint) == 60);
static_assert(offsetof(vorlet_v2_RawRequestOptions, one_way) == 64);

static_assert(sizeof(vorlet_v2_RawReplyOptions) == 48);
static_assert(offsetof(vorlet_v2_RawReplyOptions, request) == 8);
static_assert(offsetof(vorlet_v2_RawReplyOptions, request_len) == 16);
static_assert(offsetof(vorlet_v2_RawReplyOptions, source) == 24);
static_assert(offsetof(vorlet_v2_RawReplyOptions, payload) == 32);
static_assert(offsetof(vorlet_v2_RawReplyOptions, payload_len) == 40);

static_assert(sizeof(vorlet_v2_HostHandles) == 40);
static_assert(offsetof(vorlet_v2_HostHandles, response_read_fd) == 16);
static_assert(offsetof(vorlet_v2_HostHandles, deadletter_read_fd) == 20);
static_assert(offsetof(vorlet_v2_HostHandles, delivered_read_fd) == 32);

}  // namespace

extern "C" {

int32_t vorlet_v2_client_build_raw_request(const vorlet_v2_RawRequestOptions* options, void** out,
                                           uint64_t* out_len) {
  if (out == nullptr || out_len == nullptr) return to_c(Status::invalid_arg);
  *out = nullptr;
  *out_len = 0;
  if (options == nullptr) return to_c(Status::invalid_arg);
  using R = vorlet_v2_RawRequestOptions;
  R o{};
  const uint64_t size = record_read(options, o,
                                    {VORLET_FIELD(R, message_id), VORLET_FIELD(R, source), VORLET_FIELD(R, target),
                                     VORLET_FIELD(R, reply_to), VORLET_FIELD(R, payload),
                                     VORLET_FIELD(R, payload_len), VORLET_FIELD(R, timeout_ms),
                                     VORLET_FIELD(R, delivery_hint), VORLET_FIELD(R, one_way)});
  if (!struct_field_fits(size, offsetof(R, target), sizeof o.target)) return to_c(Status::invalid_arg);
  return to_c(raw_request_build(o, out, out_len));
}

int32_t vorlet_v2_client_build_raw_reply(const vorlet_v2_RawReplyOptions* options, void** out, uint64_t* out_len) {
  if (out == nullptr || out_len == nullptr) return to_c(Status::invalid_arg);
  *out = nullptr;
  *out_len = 0;
  if (options == nullptr) return to_c(Status::invalid_arg);
  using R = vorlet_v2_RawReplyOptions;
  R o{};
  const uint64_t size = record_read(options, o,
                                    {VORLET_FIELD(R, request), VORLET_FIELD(R, request_len), VORLET_FIELD(R, source),
                                     VORLET_FIELD(R, payload), VORLET_FIELD(R, payload_len)});
  if (!struct_field_fits(size, offsetof(R, source), sizeof o.source)) return to_c(Status::invalid_arg);
  return to_c(raw_reply_build(o, out, out_len));
}

void vorlet_v2_client_bytes_release(void* bytes) { rt_free(bytes); }

vorlet_v2_AskClientHandle* vorlet_v2_ask_client_create(vorlet_v2_Runtime* runtime,
                                                       const vorlet_v2_HostHandles* handles) {
  if (runtime == nullptr || handles == nullptr) return nullptr;
  using H = vorlet_v2_HostHandles;
  H h{};
  h.response_read_fd = -1;
  h.deadletter_read_fd = -1;
  h.delivered_read_fd = -1;
  const uint64_t size = record_read(handles, h,
                                    {VORLET_FIELD(H, response_read_fd), VORLET_FIELD(H, deadletter_read_fd),
                                     VORLET_FIELD(H, delivered_read_fd)});
  if (!struct_field_fits(size, offsetof(H, delivered_read_fd), sizeof h.delivered_read_fd)) return nullptr;
  // The delivered-request pipe is never read here; that the host took it
  // means local deliveries do not arrive on the response pipe.
  if (h.response_read_fd < 0 || h.deadletter_read_fd < 0 || h.delivered_read_fd < 0) return nullptr;
  return to_handle(ask_client_create(from_handle(runtime), h.response_read_fd, h.deadletter_read_fd));
}

void vorlet_v2_ask_client_destroy(vorlet_v2_AskClientHandle* client) { ask_client_destroy(from_handle(client)); }

int32_t vorlet_v2_ask_client_begin(vorlet_v2_AskClientHandle* client, const void* request, uint64_t length,
                                   vorlet_v2_AskTicket** ticket_out) {
  return to_c(ask_client_begin(from_handle(client), request, length, reinterpret_cast<AskTicket**>(ticket_out)));
}

int32_t vorlet_v2_ask_ticket_await(vorlet_v2_AskTicket* ticket, uint32_t timeout_ms, int32_t* kind_out,
                                   void** bytes_out, uint64_t* length_out) {
  return to_c(ask_ticket_await(from_handle(ticket), timeout_ms, kind_out, bytes_out, length_out));
}

int32_t vorlet_v2_ask_ticket_poll(vorlet_v2_AskTicket* ticket, int32_t* kind_out, void** bytes_out,
                                  uint64_t* length_out) {
  return to_c(ask_ticket_await(from_handle(ticket), 0, kind_out, bytes_out, length_out));
}

void vorlet_v2_ask_ticket_cancel(vorlet_v2_AskTicket* ticket) { ask_ticket_cancel(from_handle(ticket)); }

const char* vorlet_v2_ask_ticket_message_id(const vorlet_v2_AskTicket* ticket) {
  return ask_ticket_message_id(from_handle(ticket));
}

void vorlet_v2_ask_ticket_destroy(vorlet_v2_AskTicket* ticket) { ask_ticket_destroy(from_handle(ticket)); }

}  // extern "C"
