// Black-box helpers for the transport views: owned views, built bytes and a
// tiny hand encoder for messages the views cannot build (deadletters).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "vorlet_v2.h"

namespace vorlet_test {

struct EnvelopeView {
  vorlet_v2_EnvelopeView v;
  EnvelopeView() { vorlet_v2_transport_envelope_view_init(&v); }
  ~EnvelopeView() { vorlet_v2_transport_envelope_view_cleanup(&v); }
  EnvelopeView(const EnvelopeView&) = delete;
  EnvelopeView& operator=(const EnvelopeView&) = delete;
  int32_t parse(const std::string& bytes) { return vorlet_v2_transport_parse_envelope(bytes.data(), bytes.size(), &v); }
};

struct DeadletterView {
  vorlet_v2_DeadletterView v;
  DeadletterView() { vorlet_v2_transport_deadletter_view_init(&v); }
  ~DeadletterView() { vorlet_v2_transport_deadletter_view_cleanup(&v); }
  DeadletterView(const DeadletterView&) = delete;
  DeadletterView& operator=(const DeadletterView&) = delete;
  int32_t parse(const std::string& bytes) {
    return vorlet_v2_transport_parse_deadletter(bytes.data(), bytes.size(), &v);
  }
};

inline vorlet_v2_EnvelopeSpec empty_spec() {
  vorlet_v2_EnvelopeSpec spec{};
  spec.struct_size = sizeof spec;
  return spec;
}

// The bytes of a successful build; the test fails when the build does not
// succeed.
inline std::string build(const vorlet_v2_EnvelopeSpec& spec) {
  void* out = nullptr;
  uint64_t len = 0;
  const int32_t status = vorlet_v2_transport_build_envelope(&spec, &out, &len);
  EXPECT_EQ(status, 0);
  if (status != 0) return {};
  std::string bytes(static_cast<const char*>(out), len);
  vorlet_v2_transport_buffer_release(out);
  return bytes;
}

inline std::map<std::string, std::string> headers_of(const vorlet_v2_EnvelopeView& v) {
  std::map<std::string, std::string> headers;
  for (uint64_t i = 0; i < v.header_count; ++i) headers[v.headers[i].key] = v.headers[i].value;
  return headers;
}

inline std::string payload_of(const vorlet_v2_EnvelopeView& v) {
  return v.payload == nullptr ? std::string() : std::string(static_cast<const char*>(v.payload), v.payload_len);
}

// Protobuf wire encoding, just enough for test messages.
inline std::string varint(uint64_t value) {
  std::string out;
  do {
    unsigned char byte = value & 0x7F;
    value >>= 7;
    if (value != 0) byte |= 0x80;
    out.push_back(static_cast<char>(byte));
  } while (value != 0);
  return out;
}
inline std::string field_varint(uint32_t number, uint64_t value) { return varint(number << 3) + varint(value); }
inline std::string field_bytes(uint32_t number, const std::string& bytes) {
  return varint((number << 3) | 2) + varint(bytes.size()) + bytes;
}

// Bytes that are no protobuf at all: field 1 claims 5 bytes, one follows.
inline const std::string kMalformed("\x0A\x05" "a", 3);

}  // namespace vorlet_test
