#include "codec/transport_views.h"

#include <cstring>

#include "codec/envelope_copy.h"
#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"

namespace vorlet::v2 {
namespace {

// Fills a cleaned view; nomem leaves the partial copies in the view for the
// caller's cleanup.
Status envelope_view_fill(const transport::Envelope& env, vorlet_v2_EnvelopeView* view) noexcept {
  view->message_id = text_copy(env.message_id());
  view->correlation_id = text_copy(env.correlation_id());
  view->source = text_copy(env.source());
  view->target = text_copy(env.target());
  view->reply_to = text_copy(env.reply_to());
  view->message_type = text_copy(env.message_type());
  view->error_code = text_copy(env.error_code());
  view->error_message = text_copy(env.error_message());
  if (view->message_id == nullptr || view->correlation_id == nullptr || view->source == nullptr ||
      view->target == nullptr || view->reply_to == nullptr || view->message_type == nullptr ||
      view->error_code == nullptr || view->error_message == nullptr) {
    return Status::nomem;
  }
  const std::string& payload = env.payload();
  if (!payload.empty()) {
    void* copy = rt_malloc(payload.size());
    if (copy == nullptr) return Status::nomem;
    std::memcpy(copy, payload.data(), payload.size());
    view->payload = copy;
    view->payload_len = payload.size();
  }
  if (header_array_copy(env, &view->headers, &view->header_count) != HeaderCopy::ok) return Status::nomem;
  view->kind = env.kind();
  view->one_way = env.one_way() ? 1 : 0;
  view->timeout_ms = env.timeout_ms();
  view->payload_schema_version = env.payload_schema_version();
  view->payload_format = static_cast<uint32_t>(env.payload_format());
  view->delivery_hint = static_cast<uint32_t>(env.delivery_hint());
  view->status = static_cast<uint32_t>(env.status());
  return Status::ok;
}

}  // namespace

Status envelope_build(const vorlet_v2_EnvelopeSpec& spec, void** out, uint64_t* out_len) noexcept {
  *out = nullptr;
  *out_len = 0;
  // Refused before anything is copied: protobuf cannot encode it anyway.
  if (spec.payload_len > kMaxMessageBytes) return Status::io;
  try {
    ScratchArena arena;
    auto& env = *arena.make<transport::Envelope>();
    if (spec.message_id != nullptr) env.set_message_id(spec.message_id);
    if (spec.correlation_id != nullptr) env.set_correlation_id(spec.correlation_id);
    if (spec.source != nullptr) env.set_source(spec.source);
    if (spec.target != nullptr) env.set_target(spec.target);
    if (spec.reply_to != nullptr) env.set_reply_to(spec.reply_to);
    env.set_kind(static_cast<transport::MessageKind>(spec.kind));
    env.set_one_way(spec.one_way != 0);
    env.set_timeout_ms(spec.timeout_ms);
    if (spec.payload_len != 0) env.set_payload(spec.payload, spec.payload_len);
    auto& headers = *env.mutable_headers();
    for (uint64_t i = 0; i < spec.header_count; ++i) {
      const vorlet_v2_HeaderEntry& h = spec.headers[i];
      if (h.key == nullptr || h.value == nullptr) return Status::invalid_arg;
      headers[h.key] = h.value;
    }
    env.set_status(static_cast<transport::BusinessStatus>(spec.status));
    if (spec.error_code != nullptr) env.set_error_code(spec.error_code);
    if (spec.error_message != nullptr) env.set_error_message(spec.error_message);
    env.set_delivery_hint(static_cast<transport::DeliveryHint>(spec.delivery_hint));
    if (spec.message_type != nullptr) env.set_message_type(spec.message_type);
    env.set_payload_schema_version(spec.payload_schema_version);
    env.set_payload_format(static_cast<transport::PayloadFormat>(spec.payload_format));
    return message_serialize_to_buffer(env, out, out_len);
  } catch (...) {
    return Status::nomem;
  }
}

void envelope_view_init(vorlet_v2_EnvelopeView* view) noexcept {
  if (view == nullptr) return;
  std::memset(view, 0, sizeof *view);
  view->struct_size = kEnvelopeViewSize;
}

void envelope_view_cleanup(vorlet_v2_EnvelopeView* view) noexcept {
  if (view == nullptr) return;
  owned_free(view->message_id);
  owned_free(view->correlation_id);
  owned_free(view->source);
  owned_free(view->target);
  owned_free(view->reply_to);
  owned_free(view->message_type);
  owned_free(view->error_code);
  owned_free(view->error_message);
  owned_free(view->payload);
  header_array_free(view->headers, view->header_count);
  envelope_view_init(view);
}

void deadletter_view_init(vorlet_v2_DeadletterView* view) noexcept {
  if (view == nullptr) return;
  std::memset(view, 0, sizeof *view);
  view->struct_size = kDeadletterViewSize;
  view->original_envelope.struct_size = kEnvelopeViewSize;
}

void deadletter_view_cleanup(vorlet_v2_DeadletterView* view) noexcept {
  if (view == nullptr) return;
  envelope_view_cleanup(&view->original_envelope);
  owned_free(view->detail);
  owned_free(view->resolved_host);
  deadletter_view_init(view);
}

Status envelope_view_parse(const void* bytes, uint64_t len, vorlet_v2_EnvelopeView* view) noexcept {
  try {
    ScratchArena arena;
    auto& env = *arena.make<transport::Envelope>();
    if (!message_parse_bounded(bytes, len, env)) return Status::io;
    envelope_view_cleanup(view);
    const Status status = envelope_view_fill(env, view);
    if (status != Status::ok) envelope_view_cleanup(view);
    return status;
  } catch (...) {
    // Only the parse can throw, before the view is touched.
    return Status::nomem;
  }
}

Status deadletter_view_parse(const void* bytes, uint64_t len, vorlet_v2_DeadletterView* view) noexcept {
  try {
    ScratchArena arena;
    auto& dl = *arena.make<transport::Deadletter>();
    if (!message_parse_bounded(bytes, len, dl)) return Status::io;
    deadletter_view_cleanup(view);
    Status status = Status::ok;
    if (dl.has_original_envelope()) status = envelope_view_fill(dl.original_envelope(), &view->original_envelope);
    if (status == Status::ok) {
      view->detail = text_copy(dl.detail());
      view->resolved_host = text_copy(dl.resolved_host());
      if (view->detail == nullptr || view->resolved_host == nullptr) status = Status::nomem;
    }
    if (status != Status::ok) {
      deadletter_view_cleanup(view);
      return status;
    }
    view->reason = dl.reason();
    view->active_generation = dl.active_generation();
    view->resolved_port = dl.resolved_port();
    view->endpoint_attempt_count = dl.endpoint_attempt_count();
    return Status::ok;
  } catch (...) {
    return Status::nomem;
  }
}

}  // namespace vorlet::v2
