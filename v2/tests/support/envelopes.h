// Envelopes as a host or a peer writes them, for tests that drive a whole
// runtime: any envelope spelled out field by field, requests to a target,
// the host's response to a request it read, and the deadletters it reads
// back.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::test {

// The fields of an envelope a test spells out, in the schema's order so that
// a designated initializer can name them. A text left empty and a number
// left 0 are not on the wire, exactly as when they are never set, so the
// bytes are those the fields say.
struct EnvelopeFields {
  std::string message_id{};
  std::string correlation_id{};
  std::string source{};
  std::string target{};
  std::string reply_to{};
  transport::MessageKind kind = transport::MESSAGE_KIND_REQUEST;
  bool one_way = false;
  int32_t timeout_ms = 0;
  std::string payload{};
  std::vector<std::pair<std::string, std::string>> headers{};
};

transport::Envelope envelope(const EnvelopeFields& fields);

struct RequestSpec {
  std::string message_id;
  std::string target;
  bool one_way = false;
  int32_t timeout_ms = 5000;
  uint64_t payload_bytes = 16;
  transport::DeliveryHint hint = transport::DELIVERY_HINT_UNSPECIFIED;
};

// A serialized REQUEST; a two-way one carries a correlation id of its own.
std::string request_envelope(const RequestSpec& spec);

// The host's RESPONSE to the serialized request it read: correlated by the
// request's message id. Empty when request_bytes is not an envelope.
std::string response_for(const std::string& request_bytes);

// The message id and one-way flag of a serialized envelope; false when the
// bytes are not one.
bool envelope_id(const std::string& bytes, std::string* message_id, bool* one_way = nullptr);

// A peer's serialized deadletter with this reason and detail, generation
// 99, resolved far-side:9 and 5 attempts, whose original envelope is the
// request m-1 (correlation c-1, target svc, payload "question") renamed to
// `about`; NULL: no original envelope.
std::string peer_deadletter(int32_t reason, const std::string& detail, const char* about = "m-1");

}  // namespace vorlet::v2::test
