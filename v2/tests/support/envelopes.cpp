#include "support/envelopes.h"

namespace vorlet::v2::test {

transport::Envelope envelope(const EnvelopeFields& fields) {
  transport::Envelope env;
  env.set_message_id(fields.message_id);
  env.set_correlation_id(fields.correlation_id);
  env.set_source(fields.source);
  env.set_target(fields.target);
  env.set_reply_to(fields.reply_to);
  env.set_kind(fields.kind);
  env.set_one_way(fields.one_way);
  env.set_timeout_ms(fields.timeout_ms);
  env.set_payload(fields.payload);
  for (const auto& [key, value] : fields.headers) (*env.mutable_headers())[key] = value;
  return env;
}

std::string request_envelope(const RequestSpec& spec) {
  transport::Envelope env;
  env.set_message_id(spec.message_id);
  env.set_kind(transport::MESSAGE_KIND_REQUEST);
  env.set_source("test-host");
  env.set_target(spec.target);
  env.set_one_way(spec.one_way);
  if (!spec.one_way) env.set_correlation_id("c-" + spec.message_id);
  env.set_timeout_ms(spec.timeout_ms);
  env.set_delivery_hint(spec.hint);
  std::string payload(spec.payload_bytes, '\0');
  for (uint64_t i = 0; i < spec.payload_bytes; ++i) payload[i] = static_cast<char>('a' + i % 26);
  env.set_payload(payload);
  return env.SerializeAsString();
}

std::string response_for(const std::string& request_bytes) {
  transport::Envelope req;
  if (!req.ParseFromString(request_bytes)) return "";
  transport::Envelope env;
  env.set_message_id("r-" + req.message_id());
  env.set_correlation_id(req.message_id());
  env.set_kind(transport::MESSAGE_KIND_RESPONSE);
  env.set_target(req.source());
  env.set_payload("answer to " + req.message_id());
  return env.SerializeAsString();
}

bool envelope_id(const std::string& bytes, std::string* message_id, bool* one_way) {
  transport::Envelope env;
  if (!env.ParseFromString(bytes)) return false;
  *message_id = env.message_id();
  if (one_way != nullptr) *one_way = env.one_way();
  return true;
}

std::string peer_deadletter(int32_t reason, const std::string& detail, const char* about) {
  transport::Deadletter dl;
  if (about != nullptr) {
    *dl.mutable_original_envelope() =
        envelope({.message_id = "m-1", .correlation_id = "c-1", .target = "svc", .payload = "question"});
    dl.mutable_original_envelope()->set_message_id(about);
  }
  dl.set_reason(static_cast<transport::DeadletterReason>(reason));
  dl.set_detail(detail);
  dl.set_active_generation(99);
  dl.set_resolved_host("far-side");
  dl.set_resolved_port(9);
  dl.set_endpoint_attempt_count(5);
  return dl.SerializeAsString();
}

}  // namespace vorlet::v2::test
