// Exported raw request and reply builders.
#include "client/raw_builders.h"
#include "codec/alloc.h"
#include "codec/record.h"
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

}  // extern "C"
