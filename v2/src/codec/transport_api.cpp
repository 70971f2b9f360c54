// Exported transport views: build and parse envelopes and deadletters.
#include <cstddef>
#include <cstring>

#include "base/alloc.h"
#include "base/record.h"
#include "codec/transport_views.h"
#include "vorlet_v2.h"

namespace {

using namespace vorlet::v2;

static_assert(sizeof(vorlet_v2_HeaderEntry) == 16);
static_assert(offsetof(vorlet_v2_HeaderEntry, value) == 8);

static_assert(sizeof(vorlet_v2_EnvelopeSpec) == kEnvelopeSpecSize);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, message_id) == 8);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, correlation_id) == 16);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, source) == 24);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, target) == 32);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, reply_to) == 40);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, kind) == 48);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, one_way) == 52);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, timeout_ms) == 56);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, payload) == 64);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, payload_len) == 72);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, headers) == 80);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, header_count) == 88);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, status) == 96);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, error_code) == 104);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, error_message) == 112);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, delivery_hint) == 120);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, message_type) == 128);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, payload_schema_version) == 136);
static_assert(offsetof(vorlet_v2_EnvelopeSpec, payload_format) == 140);

static_assert(sizeof(vorlet_v2_EnvelopeView) == kEnvelopeViewSize);
static_assert(offsetof(vorlet_v2_EnvelopeView, headers) == 8);
static_assert(offsetof(vorlet_v2_EnvelopeView, header_count) == 16);
static_assert(offsetof(vorlet_v2_EnvelopeView, message_id) == 24);
static_assert(offsetof(vorlet_v2_EnvelopeView, correlation_id) == 32);
static_assert(offsetof(vorlet_v2_EnvelopeView, source) == 40);
static_assert(offsetof(vorlet_v2_EnvelopeView, target) == 48);
static_assert(offsetof(vorlet_v2_EnvelopeView, reply_to) == 56);
static_assert(offsetof(vorlet_v2_EnvelopeView, message_type) == 64);
static_assert(offsetof(vorlet_v2_EnvelopeView, error_code) == 72);
static_assert(offsetof(vorlet_v2_EnvelopeView, error_message) == 80);
static_assert(offsetof(vorlet_v2_EnvelopeView, payload) == 88);
static_assert(offsetof(vorlet_v2_EnvelopeView, payload_len) == 96);
static_assert(offsetof(vorlet_v2_EnvelopeView, kind) == 104);
static_assert(offsetof(vorlet_v2_EnvelopeView, one_way) == 108);
static_assert(offsetof(vorlet_v2_EnvelopeView, timeout_ms) == 112);
static_assert(offsetof(vorlet_v2_EnvelopeView, payload_schema_version) == 116);
static_assert(offsetof(vorlet_v2_EnvelopeView, payload_format) == 120);
static_assert(offsetof(vorlet_v2_EnvelopeView, delivery_hint) == 124);
static_assert(offsetof(vorlet_v2_EnvelopeView, status) == 128);

static_assert(sizeof(vorlet_v2_DeadletterView) == kDeadletterViewSize);
static_assert(offsetof(vorlet_v2_DeadletterView, original_envelope) == 8);
static_assert(offsetof(vorlet_v2_DeadletterView, detail) == 144);
static_assert(offsetof(vorlet_v2_DeadletterView, resolved_host) == 152);
static_assert(offsetof(vorlet_v2_DeadletterView, reason) == 160);
static_assert(offsetof(vorlet_v2_DeadletterView, active_generation) == 168);
static_assert(offsetof(vorlet_v2_DeadletterView, resolved_port) == 176);
static_assert(offsetof(vorlet_v2_DeadletterView, endpoint_attempt_count) == 180);

}  // namespace

extern "C" {

int32_t vorlet_v2_transport_build_envelope(const vorlet_v2_EnvelopeSpec* spec, void** out, uint64_t* out_len) {
  if (out == nullptr || out_len == nullptr) return to_c(Status::invalid_arg);
  *out = nullptr;
  *out_len = 0;
  // An EnvelopeSpec has no optional tail: a shorter record is refused, not padded.
  if (spec == nullptr || record_read_declared(spec) < kEnvelopeSpecSize) return to_c(Status::invalid_arg);
  if ((spec->payload_len != 0 && spec->payload == nullptr) || (spec->header_count != 0 && spec->headers == nullptr)) {
    return to_c(Status::invalid_arg);
  }
  return to_c(envelope_build(*spec, out, out_len));
}

void vorlet_v2_transport_buffer_release(void* buffer) { rt_free(buffer); }

int32_t vorlet_v2_transport_parse_envelope(const void* bytes, uint64_t len, vorlet_v2_EnvelopeView* view) {
  if (bytes == nullptr || view == nullptr) return to_c(Status::invalid_arg);
  return to_c(envelope_view_parse(bytes, len, view));
}

int32_t vorlet_v2_transport_parse_deadletter(const void* bytes, uint64_t len, vorlet_v2_DeadletterView* view) {
  if (bytes == nullptr || view == nullptr) return to_c(Status::invalid_arg);
  return to_c(deadletter_view_parse(bytes, len, view));
}

void vorlet_v2_transport_envelope_view_init(vorlet_v2_EnvelopeView* view) { envelope_view_init(view); }
void vorlet_v2_transport_envelope_view_cleanup(vorlet_v2_EnvelopeView* view) { envelope_view_cleanup(view); }
void vorlet_v2_transport_deadletter_view_init(vorlet_v2_DeadletterView* view) { deadletter_view_init(view); }
void vorlet_v2_transport_deadletter_view_cleanup(vorlet_v2_DeadletterView* view) { deadletter_view_cleanup(view); }

uint64_t vorlet_v2_transport_c_string_length(const char* text) { return text == nullptr ? 0 : std::strlen(text); }

int32_t vorlet_v2_transport_copy_bytes(const void* src, uint64_t len, void* dst, uint64_t dst_capacity) {
  if (len == 0) return to_c(Status::ok);
  if (src == nullptr || dst == nullptr || dst_capacity < len) return to_c(Status::invalid_arg);
  std::memmove(dst, src, len);  // overlapping ranges copy as if through a temporary
  return to_c(Status::ok);
}

}  // extern "C"
