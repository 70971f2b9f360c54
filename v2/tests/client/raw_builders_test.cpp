// The raw request and reply builders as a host uses them: through the public
// header and the shared library only.
#include <gtest/gtest.h>

#include <string>

#include "support/transport_support.h"
#include "vorlet_v2.h"

namespace {

using namespace vorlet_test;

vorlet_v2_RawRequestOptions two_way_request() {
  vorlet_v2_RawRequestOptions o{};
  o.struct_size = sizeof o;
  o.message_id = "req-1";
  o.source = "frontend";
  o.target = "svc.orders";
  o.reply_to = "frontend.inbox";
  o.payload = "hi\0there";
  o.payload_len = 8;
  o.timeout_ms = 2500;
  o.delivery_hint = 2;
  return o;
}

// The status of a build; on success the bytes land in *bytes.
int32_t build_request(const vorlet_v2_RawRequestOptions& o, std::string* bytes = nullptr) {
  void* out = reinterpret_cast<void*>(1);
  uint64_t len = 99;
  const int32_t status = vorlet_v2_client_build_raw_request(&o, &out, &len);
  if (status != 0) {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0u);
    return status;
  }
  if (bytes != nullptr) bytes->assign(static_cast<const char*>(out), len);
  vorlet_v2_client_bytes_release(out);
  return status;
}

int32_t build_reply(const vorlet_v2_RawReplyOptions& o, std::string* bytes = nullptr) {
  void* out = reinterpret_cast<void*>(1);
  uint64_t len = 99;
  const int32_t status = vorlet_v2_client_build_raw_reply(&o, &out, &len);
  if (status != 0) {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0u);
    return status;
  }
  if (bytes != nullptr) bytes->assign(static_cast<const char*>(out), len);
  vorlet_v2_client_bytes_release(out);
  return status;
}

TEST(RawRequest, TwoWayAndOneWayMappings) {
  std::string bytes;
  ASSERT_EQ(build_request(two_way_request(), &bytes), 0);
  EnvelopeView v;
  ASSERT_EQ(v.parse(bytes), 0);
  EXPECT_STREQ(v.v.message_id, "req-1");
  EXPECT_STREQ(v.v.correlation_id, "req-1");
  EXPECT_STREQ(v.v.source, "frontend");
  EXPECT_STREQ(v.v.target, "svc.orders");
  EXPECT_STREQ(v.v.reply_to, "frontend.inbox");
  EXPECT_EQ(v.v.kind, 1);
  EXPECT_EQ(v.v.one_way, 0u);
  EXPECT_EQ(v.v.timeout_ms, 2500);
  EXPECT_EQ(payload_of(v.v), std::string("hi\0there", 8));
  EXPECT_EQ(v.v.status, 1u);
  EXPECT_EQ(v.v.delivery_hint, 2u);
  EXPECT_EQ(v.v.header_count, 0u);
  EXPECT_STREQ(v.v.message_type, "");
  EXPECT_EQ(v.v.payload_format, 0u);

  vorlet_v2_RawRequestOptions o = two_way_request();
  o.one_way = 1;
  o.reply_to = "";
  o.payload_len = 0;  // a payload pointer with no length carries nothing
  ASSERT_EQ(build_request(o, &bytes), 0);
  ASSERT_EQ(v.parse(bytes), 0);
  EXPECT_STREQ(v.v.correlation_id, "");
  EXPECT_STREQ(v.v.reply_to, "");
  EXPECT_EQ(v.v.one_way, 1u);
  EXPECT_EQ(v.v.payload, nullptr);

  o.reply_to = nullptr;
  o.payload = nullptr;
  EXPECT_EQ(build_request(o), 0);
}

TEST(RawRequest, DeclaredSizes) {
  vorlet_v2_RawRequestOptions o = two_way_request();
  struct Case {
    uint64_t size;
    uint32_t one_way;
    int32_t status;
  };
  // Below 40 reply_to is not read, so a two-way request lacks it; below 68
  // one_way reads as 0, so a one-way request with a reply_to is two-way.
  const Case cases[] = {{0, 0, 0},  {1000, 0, 0}, {24, 0, -1}, {32, 0, -1}, {40, 0, 0},
                        {64, 1, 0}, {68, 1, -1},  {72, 1, -1}};
  for (const Case& c : cases) {
    o.struct_size = c.size;
    o.one_way = c.one_way;
    EXPECT_EQ(build_request(o), c.status) << c.size;
  }
  o.struct_size = 68;
  o.one_way = 1;
  o.reply_to = nullptr;
  EXPECT_EQ(build_request(o), 0);

  // At 40 only the texts are read: no payload, timeout 0, hint 0.
  o = two_way_request();
  o.struct_size = 40;
  std::string bytes;
  ASSERT_EQ(build_request(o, &bytes), 0);
  EnvelopeView v;
  ASSERT_EQ(v.parse(bytes), 0);
  EXPECT_EQ(v.v.payload_len, 0u);
  EXPECT_EQ(v.v.timeout_ms, 0);
  EXPECT_EQ(v.v.delivery_hint, 0u);
}

TEST(RawRequest, Refusals) {
  static const char kByte = 'x';
  struct Case {
    const char* name;
    void (*mutate)(vorlet_v2_RawRequestOptions&);
  };
  const Case cases[] = {
      {"message_id NULL", [](vorlet_v2_RawRequestOptions& o) { o.message_id = nullptr; }},
      {"message_id empty", [](vorlet_v2_RawRequestOptions& o) { o.message_id = ""; }},
      {"source empty", [](vorlet_v2_RawRequestOptions& o) { o.source = ""; }},
      {"target NULL", [](vorlet_v2_RawRequestOptions& o) { o.target = nullptr; }},
      {"two-way reply_to empty", [](vorlet_v2_RawRequestOptions& o) { o.reply_to = ""; }},
      {"two-way reply_to NULL", [](vorlet_v2_RawRequestOptions& o) { o.reply_to = nullptr; }},
      {"one-way with reply_to", [](vorlet_v2_RawRequestOptions& o) { o.one_way = 1; }},
      {"one_way 2", [](vorlet_v2_RawRequestOptions& o) { o.one_way = 2; }},
      {"delivery_hint 5", [](vorlet_v2_RawRequestOptions& o) { o.delivery_hint = 5; }},
      {"timeout -1", [](vorlet_v2_RawRequestOptions& o) { o.timeout_ms = -1; }},
      {"payload NULL with length",
       [](vorlet_v2_RawRequestOptions& o) {
         o.payload = nullptr;
         o.payload_len = 1;
       }},
      // Could never be encoded; refused before the payload is read.
      {"payload over 2^31 - 1",
       [](vorlet_v2_RawRequestOptions& o) {
         o.payload = &kByte;
         o.payload_len = 2147483648ull;
       }},
  };
  for (const Case& c : cases) {
    vorlet_v2_RawRequestOptions o = two_way_request();
    c.mutate(o);
    EXPECT_EQ(build_request(o), -1) << c.name;
  }

  const vorlet_v2_RawRequestOptions o = two_way_request();
  void* out = reinterpret_cast<void*>(1);
  uint64_t len = 99;
  EXPECT_EQ(vorlet_v2_client_build_raw_request(nullptr, &out, &len), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(len, 0u);
  out = reinterpret_cast<void*>(1);
  len = 99;
  EXPECT_EQ(vorlet_v2_client_build_raw_request(&o, nullptr, &len), -1);
  EXPECT_EQ(len, 99u);
  EXPECT_EQ(vorlet_v2_client_build_raw_request(&o, &out, nullptr), -1);
  EXPECT_EQ(out, reinterpret_cast<void*>(1));
  vorlet_v2_client_bytes_release(nullptr);
}

// A request built through the views, so that it can carry what the raw
// builder never sets.
std::string rich_request() {
  static const vorlet_v2_HeaderEntry kHeaders[] = {{"trace", "t-1"}};
  vorlet_v2_EnvelopeSpec spec = empty_spec();
  spec.message_id = "m";
  spec.source = "asker";
  spec.target = "svc";
  spec.reply_to = "asker.elsewhere";
  spec.kind = 1;
  spec.timeout_ms = 750;
  spec.payload = "request payload";
  spec.payload_len = 15;
  spec.headers = kHeaders;
  spec.header_count = 1;
  spec.message_type = "Question";
  spec.payload_format = 1;
  spec.delivery_hint = 4;
  spec.status = 2;
  spec.error_code = "E";
  return build(spec);
}

TEST(RawReply, AnswersTheRequestsSource) {
  const std::string request = rich_request();
  vorlet_v2_RawReplyOptions o{};
  o.struct_size = sizeof o;
  o.request = request.data();
  o.request_len = request.size();
  o.source = "svc-instance-3";
  o.payload = "answer";
  o.payload_len = 6;
  std::string bytes;
  ASSERT_EQ(build_reply(o, &bytes), 0);
  EnvelopeView v;
  ASSERT_EQ(v.parse(bytes), 0);
  EXPECT_STREQ(v.v.message_id, "m.reply");
  EXPECT_STREQ(v.v.correlation_id, "m");
  EXPECT_STREQ(v.v.source, "svc-instance-3");
  EXPECT_STREQ(v.v.target, "asker");
  EXPECT_STREQ(v.v.reply_to, "");
  EXPECT_EQ(v.v.kind, 2);
  EXPECT_EQ(v.v.one_way, 0u);
  EXPECT_EQ(v.v.timeout_ms, 750);
  EXPECT_EQ(payload_of(v.v), "answer");
  EXPECT_EQ(v.v.status, 1u);
  EXPECT_EQ(v.v.delivery_hint, 1u);
  // Nothing else of the request is carried over.
  EXPECT_EQ(v.v.header_count, 0u);
  EXPECT_STREQ(v.v.message_type, "");
  EXPECT_EQ(v.v.payload_format, 0u);
  EXPECT_STREQ(v.v.error_code, "");

  // A raw request is answered the same way; a size of 32 reads no payload.
  std::string raw;
  ASSERT_EQ(build_request(two_way_request(), &raw), 0);
  o.request = raw.data();
  o.request_len = raw.size();
  o.struct_size = 32;
  ASSERT_EQ(build_reply(o, &bytes), 0);
  ASSERT_EQ(v.parse(bytes), 0);
  EXPECT_STREQ(v.v.message_id, "req-1.reply");
  EXPECT_STREQ(v.v.target, "frontend");
  EXPECT_EQ(v.v.timeout_ms, 2500);
  EXPECT_EQ(v.v.payload, nullptr);
}

TEST(RawReply, Refusals) {
  auto request_with = [](void (*mutate)(vorlet_v2_EnvelopeSpec&)) {
    vorlet_v2_EnvelopeSpec spec = empty_spec();
    spec.message_id = "m";
    spec.source = "asker";
    spec.target = "svc";
    spec.kind = 1;
    mutate(spec);
    return build(spec);
  };
  const std::string good = request_with([](vorlet_v2_EnvelopeSpec&) {});
  const std::string requests[] = {
      request_with([](vorlet_v2_EnvelopeSpec& s) { s.one_way = 1; }),
      request_with([](vorlet_v2_EnvelopeSpec& s) { s.kind = 2; }),
      request_with([](vorlet_v2_EnvelopeSpec& s) { s.kind = 3; }),
      request_with([](vorlet_v2_EnvelopeSpec& s) { s.source = nullptr; }),
      request_with([](vorlet_v2_EnvelopeSpec& s) { s.message_id = ""; }),
      kMalformed,
  };
  for (const std::string& request : requests) {
    vorlet_v2_RawReplyOptions o{};
    o.request = request.data();
    o.request_len = request.size();
    o.source = "me";
    EXPECT_EQ(build_reply(o), -1);
  }

  struct Case {
    const char* name;
    void (*mutate)(vorlet_v2_RawReplyOptions&);
  };
  const Case cases[] = {
      {"request NULL", [](vorlet_v2_RawReplyOptions& o) { o.request = nullptr; }},
      {"request_len 0", [](vorlet_v2_RawReplyOptions& o) { o.request_len = 0; }},
      {"request_len 2^31", [](vorlet_v2_RawReplyOptions& o) { o.request_len = 2147483648ull; }},
      {"source NULL", [](vorlet_v2_RawReplyOptions& o) { o.source = nullptr; }},
      {"source empty", [](vorlet_v2_RawReplyOptions& o) { o.source = ""; }},
      {"payload NULL with length", [](vorlet_v2_RawReplyOptions& o) { o.payload_len = 3; }},
      {"payload over 2^31 - 1",
       [](vorlet_v2_RawReplyOptions& o) {
         o.payload = "x";
         o.payload_len = 2147483648ull;
       }},
      {"size 31", [](vorlet_v2_RawReplyOptions& o) { o.struct_size = 31; }},
  };
  for (const Case& c : cases) {
    vorlet_v2_RawReplyOptions o{};
    o.request = good.data();
    o.request_len = good.size();
    o.source = "me";
    c.mutate(o);
    EXPECT_EQ(build_reply(o), -1) << c.name;
  }

  vorlet_v2_RawReplyOptions o{};
  o.request = good.data();
  o.request_len = good.size();
  o.source = "me";
  EXPECT_EQ(build_reply(o), 0);
  void* out = reinterpret_cast<void*>(1);
  uint64_t len = 99;
  EXPECT_EQ(vorlet_v2_client_build_raw_reply(nullptr, &out, &len), -1);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(vorlet_v2_client_build_raw_reply(&o, &out, nullptr), -1);
  EXPECT_EQ(out, reinterpret_cast<void*>(1));
  len = 99;
  EXPECT_EQ(vorlet_v2_client_build_raw_reply(&o, nullptr, &len), -1);
  EXPECT_EQ(len, 99u);
}

}  // namespace
