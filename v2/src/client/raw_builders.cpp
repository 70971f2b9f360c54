#include "client/raw_builders.h"

#include <string>

#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

bool filled(const char* text) { return text != nullptr && text[0] != '\0'; }

// Whether a payload can be carried. Lengths protobuf cannot encode are
// refused here, before anything is read from the payload.
bool payload_ok(const void* payload, uint64_t len) {
  return (len == 0 || payload != nullptr) && len <= kMaxMessageBytes;
}

void set_payload(transport::Envelope& env, const void* payload, uint64_t len) {
  if (payload != nullptr && len != 0) env.set_payload(payload, len);
}

// A builder's status set is ok, invalid_arg and nomem: an envelope that
// cannot be encoded is a bad request, never an empty success.
Status serialize(const transport::Envelope& env, void** out, uint64_t* out_len) {
  const Status status = message_serialize_to_buffer(env, out, out_len);
  return status == Status::io ? Status::invalid_arg : status;
}

}  // namespace

Status raw_request_build(const vorlet_v2_RawRequestOptions& o, void** out, uint64_t* out_len) noexcept {
  *out = nullptr;
  *out_len = 0;
  if (!filled(o.message_id) || !filled(o.source) || !filled(o.target)) return Status::invalid_arg;
  if (!payload_ok(o.payload, o.payload_len)) return Status::invalid_arg;
  if (o.delivery_hint > transport::DELIVERY_HINT_REQUIRE_REMOTE || o.timeout_ms < 0 || o.one_way > 1) {
    return Status::invalid_arg;
  }
  const bool two_way = o.one_way == 0;
  if (two_way != filled(o.reply_to)) return Status::invalid_arg;
  try {
    ScratchArena arena;
    auto& env = *arena.make<transport::Envelope>();
    env.set_message_id(o.message_id);
    env.set_source(o.source);
    env.set_target(o.target);
    if (two_way) {
      env.set_correlation_id(o.message_id);
      env.set_reply_to(o.reply_to);
    }
    env.set_kind(transport::MESSAGE_KIND_REQUEST);
    env.set_one_way(!two_way);
    env.set_timeout_ms(o.timeout_ms);
    set_payload(env, o.payload, o.payload_len);
    env.set_status(transport::BUSINESS_STATUS_OK);
    env.set_delivery_hint(static_cast<transport::DeliveryHint>(o.delivery_hint));
    return serialize(env, out, out_len);
  } catch (...) {
    return Status::nomem;
  }
}

Status raw_reply_build(const vorlet_v2_RawReplyOptions& o, void** out, uint64_t* out_len) noexcept {
  *out = nullptr;
  *out_len = 0;
  if (o.request == nullptr || o.request_len == 0 || o.request_len > kMaxMessageBytes || !filled(o.source)) {
    return Status::invalid_arg;
  }
  if (!payload_ok(o.payload, o.payload_len)) return Status::invalid_arg;
  try {
    ScratchArena arena;
    auto& request = *arena.make<transport::Envelope>();
    if (!message_parse_bounded(o.request, o.request_len, request)) return Status::invalid_arg;
    if (request.kind() != transport::MESSAGE_KIND_REQUEST || request.one_way() || request.message_id().empty() ||
        request.source().empty()) {
      return Status::invalid_arg;
    }
    auto& reply = *arena.make<transport::Envelope>();
    reply.set_message_id(request.message_id() + ".reply");
    reply.set_correlation_id(request.message_id());
    reply.set_source(o.source);
    // Back to whoever sent the request; reply_to is not consulted.
    reply.set_target(request.source());
    reply.set_kind(transport::MESSAGE_KIND_RESPONSE);
    reply.set_timeout_ms(request.timeout_ms());
    set_payload(reply, o.payload, o.payload_len);
    reply.set_status(transport::BUSINESS_STATUS_OK);
    reply.set_delivery_hint(transport::DELIVERY_HINT_ROUTER_DEFAULT);
    return serialize(reply, out, out_len);
  } catch (...) {
    return Status::nomem;
  }
}

}  // namespace vorlet::v2
