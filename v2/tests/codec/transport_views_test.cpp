// The transport views and envelope builder as a host uses them: through the
// public header and the shared library only.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/transport_support.h"
#include "vorlet_v2.h"

namespace {

using namespace vorlet_test;

const char* or_empty(const char* text) { return text == nullptr ? "" : text; }

void expect_view_matches(const vorlet_v2_EnvelopeSpec& spec, const vorlet_v2_EnvelopeView& v) {
  EXPECT_EQ(v.struct_size, 136u);
  const std::pair<const char*, const char*> texts[] = {
      {spec.message_id, v.message_id}, {spec.correlation_id, v.correlation_id}, {spec.source, v.source},
      {spec.target, v.target},         {spec.reply_to, v.reply_to},             {spec.message_type, v.message_type},
      {spec.error_code, v.error_code}, {spec.error_message, v.error_message}};
  for (auto [given, got] : texts) {
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, or_empty(given));
  }
  EXPECT_EQ(payload_of(v), std::string(static_cast<const char*>(spec.payload), spec.payload_len));
  if (spec.payload_len == 0) {
    EXPECT_EQ(v.payload, nullptr);
  }
  // Headers come back as a set: no reader may rely on their order.
  std::map<std::string, std::string> want;
  for (uint64_t i = 0; i < spec.header_count; ++i) want[spec.headers[i].key] = spec.headers[i].value;
  EXPECT_EQ(headers_of(v), want);
  if (want.empty()) {
    EXPECT_EQ(v.headers, nullptr);
  }
  EXPECT_EQ(v.kind, spec.kind);
  EXPECT_EQ(v.one_way, spec.one_way != 0 ? 1u : 0u);
  EXPECT_EQ(v.timeout_ms, spec.timeout_ms);
  EXPECT_EQ(v.payload_schema_version, spec.payload_schema_version);
  EXPECT_EQ(v.payload_format, spec.payload_format);
  EXPECT_EQ(v.delivery_hint, spec.delivery_hint);
  EXPECT_EQ(v.status, spec.status);
}

TEST(TransportViews, BuildThenParseGivesEveryFieldBack) {
  static const char kPayload[] = {'a', '\0', 'b', '\0', '\xFF'};
  static const vorlet_v2_HeaderEntry kHeaders[] = {
      {"tenant", "t-1"}, {"region", "eu"}, {"", ""}, {"tenant", "t-2"}, {"na\xC3\xAFve", "\xE2\x82\xAC"}};

  vorlet_v2_EnvelopeSpec full = empty_spec();
  full.message_id = "m-1";
  full.correlation_id = "c-1";
  full.source = "billing";
  full.target = "svc.orders";
  full.reply_to = "billing.replies";
  full.kind = 1;
  full.one_way = 2;
  full.timeout_ms = 1500;
  full.payload = kPayload;
  full.payload_len = sizeof kPayload;
  full.headers = kHeaders;
  full.header_count = 5;
  full.status = 2;
  full.error_code = "E42";
  full.error_message = "d\xC3\xA9j\xC3\xA0 vu";
  full.delivery_hint = 4;
  full.message_type = "Order";
  full.payload_schema_version = 3;
  full.payload_format = 6;

  // Only a target; values outside their sets go through unchanged.
  vorlet_v2_EnvelopeSpec sparse = empty_spec();
  sparse.target = "t";
  sparse.kind = 9;
  sparse.timeout_ms = -1;
  sparse.status = 77;
  sparse.delivery_hint = 0xFFFFFFFFu;
  sparse.payload_format = 99;
  sparse.payload = kPayload;  // ignored with a length of 0

  for (const vorlet_v2_EnvelopeSpec* spec : {&full, &sparse}) {
    const std::string bytes = build(*spec);
    EnvelopeView view;
    ASSERT_EQ(view.parse(bytes), 0);
    vorlet_v2_EnvelopeSpec expected = *spec;
    if (spec == &full) --expected.header_count;  // the second "tenant" replaced the first
    if (spec == &full) {
      static const vorlet_v2_HeaderEntry kWant[] = {
          {"tenant", "t-2"}, {"region", "eu"}, {"", ""}, {"na\xC3\xAFve", "\xE2\x82\xAC"}};
      expected.headers = kWant;
    }
    if (spec == &sparse) expected.payload = "";
    expect_view_matches(expected, view.v);
  }
}

TEST(TransportViews, EmptyEnvelope) {
  const vorlet_v2_EnvelopeSpec spec = empty_spec();
  void* out = nullptr;
  uint64_t len = 99;
  ASSERT_EQ(vorlet_v2_transport_build_envelope(&spec, &out, &len), 0);
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(len, 0u);
  vorlet_v2_transport_buffer_release(out);
  vorlet_v2_transport_buffer_release(nullptr);

  EnvelopeView view;
  ASSERT_EQ(vorlet_v2_transport_parse_envelope("", 0, &view.v), 0);
  for (const char* text : {view.v.message_id, view.v.correlation_id, view.v.source, view.v.target, view.v.reply_to,
                           view.v.message_type, view.v.error_code, view.v.error_message}) {
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
  }
  EXPECT_EQ(view.v.payload, nullptr);
  EXPECT_EQ(view.v.payload_len, 0u);
  EXPECT_EQ(view.v.headers, nullptr);
}

TEST(TransportViews, BuildRefusals) {
  static const char kPayload[] = "x";
  static const vorlet_v2_HeaderEntry kNullValue[] = {{"a", "1"}, {"b", nullptr}};
  static const vorlet_v2_HeaderEntry kNullKey[] = {{nullptr, "1"}};
  struct Case {
    const char* name;
    void (*mutate)(vorlet_v2_EnvelopeSpec&);
    int32_t status;
  };
  const Case cases[] = {
      {"size 143", [](vorlet_v2_EnvelopeSpec& s) { s.struct_size = 143; }, -1},
      {"size 0", [](vorlet_v2_EnvelopeSpec& s) { s.struct_size = 0; }, -1},
      {"payload NULL with length", [](vorlet_v2_EnvelopeSpec& s) { s.payload_len = 5; }, -1},
      {"headers NULL with count", [](vorlet_v2_EnvelopeSpec& s) { s.header_count = 1; }, -1},
      {"second header value NULL",
       [](vorlet_v2_EnvelopeSpec& s) {
         s.headers = kNullValue;
         s.header_count = 2;
       },
       -1},
      {"header key NULL",
       [](vorlet_v2_EnvelopeSpec& s) {
         s.headers = kNullKey;
         s.header_count = 1;
       },
       -1},
      // Refused as too large to encode, without reading the payload.
      {"payload over 2^31 - 1",
       [](vorlet_v2_EnvelopeSpec& s) {
         s.payload = kPayload;
         s.payload_len = 2147483648ull;
       },
       -5},
  };
  for (const Case& c : cases) {
    vorlet_v2_EnvelopeSpec spec = empty_spec();
    spec.target = "t";
    c.mutate(spec);
    void* out = reinterpret_cast<void*>(1);
    uint64_t len = 99;
    EXPECT_EQ(vorlet_v2_transport_build_envelope(&spec, &out, &len), c.status) << c.name;
    EXPECT_EQ(out, nullptr) << c.name;
    EXPECT_EQ(len, 0u) << c.name;
  }

  void* out = reinterpret_cast<void*>(1);
  uint64_t len = 99;
  EXPECT_EQ(vorlet_v2_transport_build_envelope(nullptr, &out, &len), -1);
  EXPECT_EQ(out, nullptr);
  const vorlet_v2_EnvelopeSpec spec = empty_spec();
  out = reinterpret_cast<void*>(1);
  len = 99;
  EXPECT_EQ(vorlet_v2_transport_build_envelope(&spec, nullptr, &len), -1);
  EXPECT_EQ(len, 99u);
  EXPECT_EQ(vorlet_v2_transport_build_envelope(&spec, &out, nullptr), -1);
  EXPECT_EQ(out, reinterpret_cast<void*>(1));
}

TEST(TransportViews, FailedParseKeepsTheEarlierContents) {
  vorlet_v2_EnvelopeSpec spec = empty_spec();
  spec.message_id = "kept";
  spec.target = "t";
  const std::string bytes = build(spec);
  const std::string not_utf8 = field_bytes(3, "\xFF");
  EnvelopeView view;
  ASSERT_EQ(view.parse(bytes), 0);
  EXPECT_EQ(view.parse(kMalformed), -5);
  EXPECT_EQ(view.parse(not_utf8), -5);
  EXPECT_EQ(vorlet_v2_transport_parse_envelope(bytes.data(), 2147483648ull, &view.v), -5);
  EXPECT_EQ(vorlet_v2_transport_parse_envelope(nullptr, 0, &view.v), -1);
  EXPECT_EQ(vorlet_v2_transport_parse_envelope(bytes.data(), bytes.size(), nullptr), -1);
  EXPECT_STREQ(view.v.message_id, "kept");

  const std::string dl_bytes = field_bytes(3, "kept too");
  DeadletterView dl;
  ASSERT_EQ(dl.parse(dl_bytes), 0);
  EXPECT_EQ(dl.parse(kMalformed), -5);
  EXPECT_EQ(vorlet_v2_transport_parse_deadletter(dl_bytes.data(), 2147483648ull, &dl.v), -5);
  EXPECT_EQ(vorlet_v2_transport_parse_deadletter(nullptr, 0, &dl.v), -1);
  EXPECT_STREQ(dl.v.detail, "kept too");
}

TEST(TransportViews, ParseReplacesWhatTheViewHeld) {
  static const vorlet_v2_HeaderEntry kHeaders[] = {{"k", "v"}};
  vorlet_v2_EnvelopeSpec first = empty_spec();
  first.target = "first";
  first.payload = "12345";
  first.payload_len = 5;
  first.headers = kHeaders;
  first.header_count = 1;
  vorlet_v2_EnvelopeSpec second = empty_spec();
  second.target = "second";
  EnvelopeView view;
  ASSERT_EQ(view.parse(build(first)), 0);
  ASSERT_EQ(view.parse(build(second)), 0);  // the sanitizer build sees any leak of the first
  EXPECT_STREQ(view.v.target, "second");
  EXPECT_EQ(view.v.payload, nullptr);
  EXPECT_EQ(view.v.header_count, 0u);
}

TEST(TransportViews, DeadletterWithAndWithoutTheEnvelope) {
  vorlet_v2_EnvelopeSpec spec = empty_spec();
  spec.message_id = "m-7";
  spec.target = "svc";
  spec.payload = "pp";
  spec.payload_len = 2;
  const std::string env = build(spec);
  const std::string rest = field_varint(2, 9) + field_bytes(3, "bad envelope") + field_varint(4, 1ull << 40) +
                           field_bytes(5, "10.0.0.2") + field_varint(6, 7001) + field_varint(7, 3);

  DeadletterView with;
  ASSERT_EQ(with.parse(field_bytes(1, env) + rest), 0);
  EXPECT_EQ(with.v.struct_size, 184u);
  expect_view_matches(spec, with.v.original_envelope);
  EXPECT_STREQ(with.v.detail, "bad envelope");
  EXPECT_STREQ(with.v.resolved_host, "10.0.0.2");
  EXPECT_EQ(with.v.reason, 9);
  EXPECT_EQ(with.v.active_generation, 1ull << 40);
  EXPECT_EQ(with.v.resolved_port, 7001u);
  EXPECT_EQ(with.v.endpoint_attempt_count, 3u);

  // Present but empty: the embedded view holds empty texts.
  DeadletterView empty_env;
  ASSERT_EQ(empty_env.parse(field_bytes(1, "")), 0);
  ASSERT_NE(empty_env.v.original_envelope.message_id, nullptr);
  EXPECT_STREQ(empty_env.v.original_envelope.target, "");

  // Absent: the embedded view stays zeroed, detail and host are "".
  DeadletterView without;
  ASSERT_EQ(without.parse(field_varint(2, 2)), 0);
  const vorlet_v2_EnvelopeView& e = without.v.original_envelope;
  EXPECT_EQ(e.struct_size, 136u);
  for (const char* text : {e.message_id, e.correlation_id, e.source, e.target, e.reply_to, e.message_type,
                           e.error_code, e.error_message}) {
    EXPECT_EQ(text, nullptr);
  }
  EXPECT_EQ(e.header_count, 0u);
  EXPECT_STREQ(without.v.detail, "");
  EXPECT_STREQ(without.v.resolved_host, "");
  EXPECT_EQ(without.v.reason, 2);

  // Reusing the view that held an envelope drops it.
  ASSERT_EQ(with.parse(field_varint(2, 2)), 0);
  EXPECT_EQ(with.v.original_envelope.message_id, nullptr);
}

TEST(TransportViews, SizesAfterInitCleanupAndParse) {
  vorlet_v2_EnvelopeView ev;
  std::memset(&ev, 0xAB, sizeof ev);
  vorlet_v2_transport_envelope_view_init(&ev);
  EXPECT_EQ(ev.struct_size, 136u);
  EXPECT_EQ(ev.message_id, nullptr);
  ev.struct_size = 3;  // never read
  ASSERT_EQ(vorlet_v2_transport_parse_envelope("", 0, &ev), 0);
  EXPECT_EQ(ev.struct_size, 136u);
  ev.struct_size = 3;
  vorlet_v2_transport_envelope_view_cleanup(&ev);
  EXPECT_EQ(ev.struct_size, 136u);
  EXPECT_EQ(ev.target, nullptr);

  vorlet_v2_DeadletterView dv;
  std::memset(&dv, 0xAB, sizeof dv);
  vorlet_v2_transport_deadletter_view_init(&dv);
  EXPECT_EQ(dv.struct_size, 184u);
  EXPECT_EQ(dv.original_envelope.struct_size, 136u);
  EXPECT_EQ(dv.detail, nullptr);
  ASSERT_EQ(vorlet_v2_transport_parse_deadletter("", 0, &dv), 0);
  EXPECT_EQ(dv.struct_size, 184u);
  EXPECT_EQ(dv.original_envelope.struct_size, 136u);
  vorlet_v2_transport_deadletter_view_cleanup(&dv);
  EXPECT_EQ(dv.struct_size, 184u);
  EXPECT_EQ(dv.original_envelope.struct_size, 136u);
  EXPECT_EQ(dv.detail, nullptr);

  vorlet_v2_transport_envelope_view_init(nullptr);
  vorlet_v2_transport_envelope_view_cleanup(nullptr);
  vorlet_v2_transport_deadletter_view_init(nullptr);
  vorlet_v2_transport_deadletter_view_cleanup(nullptr);
}

TEST(TransportViews, CopyBytesAndStringLength) {
  char dst[4] = {'#', '#', '#', '#'};
  struct Case {
    const void* src;
    uint64_t len;
    void* dst;
    uint64_t cap;
    int32_t status;
  };
  const Case cases[] = {
      {nullptr, 0, nullptr, 0, 0}, {"abc", 3, dst, 3, 0},     {"abcd", 4, dst, 3, -1},
      {nullptr, 1, dst, 4, -1},    {"abc", 3, nullptr, 4, -1},
  };
  for (const Case& c : cases) {
    std::memset(dst, '#', sizeof dst);
    EXPECT_EQ(vorlet_v2_transport_copy_bytes(c.src, c.len, c.dst, c.cap), c.status) << c.len << "/" << c.cap;
    if (c.status != 0 || c.len == 0) {
      EXPECT_EQ(std::string(dst, 4), "####");
    }
  }
  ASSERT_EQ(vorlet_v2_transport_copy_bytes("abc", 3, dst, 4), 0);
  EXPECT_EQ(std::string(dst, 4), "abc#");

  EXPECT_EQ(vorlet_v2_transport_c_string_length(nullptr), 0u);
  EXPECT_EQ(vorlet_v2_transport_c_string_length(""), 0u);
  EXPECT_EQ(vorlet_v2_transport_c_string_length("a\xC3\xA9"), 3u);
}

}  // namespace
