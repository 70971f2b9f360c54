// The transport schema's enumerations, by the names the core uses, and the
// kind of a terminal reply (which of the schema's two messages its bytes
// are). The parsed envelope, the deadletter codec and the tcp reply frame
// carry them as plain integers (the values arrive from peers and hosts
// unchecked); compare and store them through these names. The numbers are
// the schema's and the public header's, and a test holds them together.
#pragma once

#include <cstdint>

namespace vorlet::v2 {

enum class MessageKind : int32_t {
  unspecified = 0,
  request = 1,
  response = 2,
  event = 3,
};

enum class DeliveryHint : uint32_t {
  unspecified = 0,
  router_default = 1,
  prefer_local = 2,
  require_local = 3,
  require_remote = 4,
};

enum class DeadletterReason : int32_t {
  unspecified = 0,
  no_active_snapshot = 1,
  route_miss = 2,
  no_responsible_host = 3,
  queue_rejected = 4,
  local_handoff_failed = 5,
  delivery_failed = 6,
  remote_transport_failed = 7,
  runtime_stopped = 8,
  invalid_envelope = 9,
  endpoint_unavailable = 10,
  remote_reply_timeout = 11,
  locality_mismatch = 12,
  expired_before_delivery = 13,
  one_way_dropped_by_policy = 14,
};

// The kind of a terminal reply: the result_kind of a tcp reply frame, of a
// reply slot and of the inbound handler, and the kind an ask reports.
enum class ReplyKind : int32_t {
  none = 0,        // no result, or a failure without payload
  response = 1,    // a serialized Envelope
  deadletter = 2,  // a serialized Deadletter
};

// The number a value travels as.
constexpr int32_t wire(MessageKind kind) noexcept { return static_cast<int32_t>(kind); }
constexpr uint32_t wire(DeliveryHint hint) noexcept { return static_cast<uint32_t>(hint); }
constexpr int32_t wire(DeadletterReason reason) noexcept { return static_cast<int32_t>(reason); }
constexpr int32_t wire(ReplyKind kind) noexcept { return static_cast<int32_t>(kind); }

}  // namespace vorlet::v2
