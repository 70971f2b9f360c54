#include "codec/parsed_envelope.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "support/envelopes.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

// Bytes that are no protobuf at all: field 1 claims 5 bytes, one follows.
const std::string kMalformed("\x0A\x05" "a", 3);

class ParsedEnvelopeTest : public ::testing::Test {
 protected:
  void SetUp() override { parsed_envelope_init(&pe_); }
  void TearDown() override { parsed_envelope_clear(&pe_); }

  Status parse(const std::string& bytes) {
    return parsed_envelope_parse(bytes.data(), bytes.size(), &pe_, err_, sizeof err_);
  }

  static bool empty(const ParsedEnvelope& pe) {
    ParsedEnvelope zero{};
    return std::memcmp(&pe, &zero, sizeof pe) == 0;
  }

  ParsedEnvelope pe_;
  char err_[128] = "untouched";
};

TEST_F(ParsedEnvelopeTest, CopiesTheRoutingFields) {
  transport::Envelope env;
  env.set_message_id("m-1");
  env.set_correlation_id("c-1");
  env.set_source("src");
  env.set_target("svc.orders");
  env.set_reply_to("back");
  env.set_message_type("Order");
  env.set_kind(transport::MESSAGE_KIND_EVENT);
  env.set_one_way(true);
  env.set_timeout_ms(-25);
  env.set_payload_schema_version(7);
  env.set_payload_format(static_cast<transport::PayloadFormat>(99));
  env.set_delivery_hint(transport::DELIVERY_HINT_REQUIRE_LOCAL);
  env.set_payload(std::string("p\0q", 3));
  (*env.mutable_headers())["tenant"] = "t1";
  (*env.mutable_headers())["region"] = "";
  (*env.mutable_headers())[""] = "anon";

  ASSERT_EQ(parse(env.SerializeAsString()), Status::ok);
  EXPECT_STREQ(err_, "untouched");
  EXPECT_STREQ(pe_.message_id, "m-1");
  EXPECT_STREQ(pe_.correlation_id, "c-1");
  EXPECT_STREQ(pe_.source, "src");
  EXPECT_STREQ(pe_.target, "svc.orders");
  EXPECT_STREQ(pe_.reply_to, "back");
  EXPECT_STREQ(pe_.message_type, "Order");
  EXPECT_EQ(pe_.kind, 3);
  EXPECT_EQ(pe_.one_way, 1u);
  EXPECT_EQ(pe_.timeout_ms, -25);
  EXPECT_EQ(pe_.payload_schema_version, 7u);
  EXPECT_EQ(pe_.payload_format, 99u);
  EXPECT_EQ(pe_.delivery_hint, 3u);

  ASSERT_EQ(pe_.header_count, 3u);
  std::map<std::string, std::string> headers;
  std::set<const void*> blocks;
  for (uint64_t i = 0; i < pe_.header_count; ++i) {
    headers[pe_.headers[i].key] = pe_.headers[i].value;
    blocks.insert(pe_.headers[i].key);
    blocks.insert(pe_.headers[i].value);
  }
  EXPECT_EQ(headers, (std::map<std::string, std::string>{{"tenant", "t1"}, {"region", ""}, {"", "anon"}}));
  EXPECT_EQ(blocks.size(), 6u) << "every key and value is a copy of its own";
}

TEST_F(ParsedEnvelopeTest, AbsentFieldsBecomeEmptyTexts) {
  transport::Envelope env;
  env.set_target("t");
  ASSERT_EQ(parse(env.SerializeAsString()), Status::ok);
  for (const char* text : {pe_.message_id, pe_.correlation_id, pe_.source, pe_.reply_to, pe_.message_type}) {
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
  }
  EXPECT_EQ(pe_.headers, nullptr);
  EXPECT_EQ(pe_.header_count, 0u);
  EXPECT_EQ(pe_.one_way, 0u);
}

TEST_F(ParsedEnvelopeTest, EmptyTargetKeepsTheCopies) {
  transport::Envelope env;
  env.set_message_id("m-2");
  (*env.mutable_headers())["k"] = "v";
  ASSERT_EQ(parse(env.SerializeAsString()), Status::invalid_arg);
  EXPECT_STREQ(err_, "target is required");
  EXPECT_STREQ(pe_.message_id, "m-2");
  EXPECT_STREQ(pe_.target, "");
  EXPECT_EQ(pe_.header_count, 1u);
}

TEST_F(ParsedEnvelopeTest, FailuresLeaveTheRecordEmpty) {
  transport::Envelope env;
  env.set_target("t");
  const std::string good = env.SerializeAsString();
  const std::string bad_utf8 = std::string("\x1A\x01\xFF", 3) + good;  // source = 0xFF

  for (const std::string& bytes : {kMalformed, bad_utf8}) {
    ASSERT_EQ(parse(good), Status::ok);
    EXPECT_EQ(parse(bytes), Status::io);
    EXPECT_STREQ(err_, "protobuf parse failed");
    EXPECT_TRUE(empty(pe_));
  }

  // Too long to be a message: refused before a byte is read, error cut.
  ASSERT_EQ(parse(good), Status::ok);
  char small[10];
  EXPECT_EQ(parsed_envelope_parse(good.data(), 2147483648ull, &pe_, small, sizeof small), Status::io);
  EXPECT_STREQ(small, "protobuf ");
  EXPECT_TRUE(empty(pe_));
}

TEST_F(ParsedEnvelopeTest, NullArgumentsTouchNothing) {
  transport::Envelope env;
  env.set_target("t");
  ASSERT_EQ(parse(env.SerializeAsString()), Status::ok);
  EXPECT_EQ(parsed_envelope_parse(nullptr, 0, &pe_, err_, sizeof err_), Status::invalid_arg);
  EXPECT_STREQ(err_, "invalid arguments");
  EXPECT_STREQ(pe_.target, "t");
  char one = 'x';
  EXPECT_EQ(parsed_envelope_parse("", 0, nullptr, &one, 1), Status::invalid_arg);
  EXPECT_EQ(one, '\0');
  EXPECT_EQ(parsed_envelope_parse("", 0, nullptr, nullptr, 0), Status::invalid_arg);
}

TEST_F(ParsedEnvelopeTest, ClearIsIdempotent) {
  parsed_envelope_clear(&pe_);
  parsed_envelope_clear(&pe_);
  parsed_envelope_clear(nullptr);
  parsed_envelope_init(nullptr);
  EXPECT_TRUE(empty(pe_));
  // Zero bytes are an envelope without a target.
  EXPECT_EQ(parse(""), Status::invalid_arg);
  EXPECT_STREQ(err_, "target is required");
  parsed_envelope_clear(&pe_);
  parsed_envelope_clear(&pe_);
  EXPECT_TRUE(empty(pe_));
}

// A record is handed over, never copied (the type refuses a copy at compile
// time): a move, constructed or assigned, takes every field byte for byte
// and leaves the source empty; an assignment first frees what the target
// held, and a record moved onto itself keeps what it owns. Each text is
// freed once, by whoever holds it last: ASan and LSan see a second free or
// one missed.
TEST(ParsedEnvelopeMove, TakesEveryFieldAndLeavesTheSourceEmpty) {
  auto bytes_of = [](const ParsedEnvelope& pe) {
    std::string raw(sizeof pe, '\0');
    std::memcpy(raw.data(), static_cast<const void*>(&pe), sizeof pe);
    return raw;
  };
  const std::string empty_bytes = bytes_of(ParsedEnvelope{});
  transport::Envelope env = test::envelope({.message_id = "m-1",
                                            .correlation_id = "c-1",
                                            .source = "src",
                                            .target = "svc.orders",
                                            .reply_to = "back",
                                            .kind = transport::MESSAGE_KIND_EVENT,
                                            .one_way = true,
                                            .timeout_ms = 25,
                                            .headers = {{"tenant", "t1"}, {"region", "r1"}}});
  env.set_message_type("Order");
  env.set_payload_schema_version(7);
  env.set_payload_format(static_cast<transport::PayloadFormat>(2));
  env.set_delivery_hint(transport::DELIVERY_HINT_PREFER_LOCAL);
  const std::string wire_bytes = env.SerializeAsString();
  auto parsed = [&] {
    ParsedEnvelope pe;
    EXPECT_EQ(parsed_envelope_parse(wire_bytes.data(), wire_bytes.size(), &pe, nullptr, 0), Status::ok);
    return pe;  // moved out
  };

  // Every field set, so that one a move forgot would show.
  ParsedEnvelope source = parsed();
  ASSERT_STREQ(source.target, "svc.orders");
  ASSERT_EQ(source.header_count, 2u);
  ASSERT_TRUE(source.kind != 0 && source.one_way != 0 && source.timeout_ms != 0 && source.payload_schema_version != 0 &&
              source.payload_format != 0 && source.delivery_hint != 0);
  const std::string held = bytes_of(source);

  ParsedEnvelope constructed(std::move(source));
  EXPECT_EQ(bytes_of(constructed), held);
  EXPECT_EQ(bytes_of(source), empty_bytes);

  ParsedEnvelope assigned = parsed();  // its own texts, freed by the assignment
  assigned = std::move(constructed);
  EXPECT_EQ(bytes_of(assigned), held);
  EXPECT_EQ(bytes_of(constructed), empty_bytes);

  ParsedEnvelope& same = assigned;
  assigned = std::move(same);
  EXPECT_EQ(bytes_of(assigned), held);
  EXPECT_STREQ(assigned.message_id, "m-1");

  // A moved-from record is an empty one: cleared, parsed into, destroyed.
  parsed_envelope_clear(&source);
  EXPECT_EQ(parsed_envelope_parse(wire_bytes.data(), wire_bytes.size(), &constructed, nullptr, 0), Status::ok);
  EXPECT_STREQ(constructed.reply_to, "back");
}

// The size of the text buffer the dispatcher hands the semantic check.
constexpr uint64_t kSemanticTextCapacity = 128;

TEST(EnvelopeSemantics, RulesInOrderFirstRefusalWins) {
  struct Case {
    const char* what;
    std::function<void(ParsedEnvelope&)> set;
    const char* refusal;  // nullptr: valid
  };
  const Case cases[] = {
      {"kind unspecified", [](ParsedEnvelope& pe) { pe.kind = 0; }, "envelope kind is unspecified"},
      {"two-way request without correlation", [](ParsedEnvelope& pe) { pe.correlation_id[0] = 0; },
       "request envelope missing correlation_id"},
      {"two-way request without reply_to", [](ParsedEnvelope& pe) { pe.reply_to[0] = 0; }, nullptr},
      {"one-way request with reply_to",
       [](ParsedEnvelope& pe) {
         pe.one_way = 1;
         pe.correlation_id[0] = 0;
       },
       "one-way request must not carry reply_to"},
      {"one-way request without correlation",
       [](ParsedEnvelope& pe) {
         pe.one_way = 1;
         pe.correlation_id[0] = 0;
         pe.reply_to[0] = 0;
       },
       nullptr},
      {"response without correlation, one-way too",
       [](ParsedEnvelope& pe) {
         pe.kind = 2;
         pe.one_way = 1;
         pe.correlation_id[0] = 0;
       },
       "response envelope missing correlation_id"},
      {"one-way response",
       [](ParsedEnvelope& pe) {
         pe.kind = 2;
         pe.one_way = 1;
       },
       "response envelope must not be one_way"},
      {"response with reply_to", [](ParsedEnvelope& pe) { pe.kind = 2; }, "response envelope must not carry reply_to"},
      {"response preferring local",
       [](ParsedEnvelope& pe) {
         pe.kind = 2;
         pe.reply_to[0] = 0;
         pe.delivery_hint = 2;
       },
       "response envelope must not override delivery_hint"},
      {"response with the router default",
       [](ParsedEnvelope& pe) {
         pe.kind = 2;
         pe.reply_to[0] = 0;
         pe.delivery_hint = 1;
       },
       nullptr},
      {"event with anything", [](ParsedEnvelope& pe) {
         pe.kind = 3;
         pe.one_way = 1;
         pe.correlation_id[0] = 0;
         pe.delivery_hint = 4;
       },
       nullptr},
      {"kind outside the schema", [](ParsedEnvelope& pe) { pe.kind = 77; }, nullptr},
  };
  transport::Envelope base = test::envelope({.message_id = "sem",
                                             .correlation_id = "c-sem",
                                             .source = "tester",
                                             .target = "svc.local",
                                             .payload = "payload of sem"});
  base.set_reply_to("tester");
  const std::string bytes = base.SerializeAsString();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ParsedEnvelope pe;
    parsed_envelope_init(&pe);
    ASSERT_EQ(parsed_envelope_parse(bytes.data(), bytes.size(), &pe, nullptr, 0), Status::ok);
    c.set(pe);
    char text[kSemanticTextCapacity] = "stale";
    const Status s = parsed_envelope_validate_semantics(&pe, text, sizeof text);
    if (c.refusal == nullptr) {
      EXPECT_EQ(s, Status::ok);
      EXPECT_STREQ(text, "stale");
    } else {
      EXPECT_EQ(s, Status::invalid_arg);
      EXPECT_STREQ(text, c.refusal);
      char small[8];
      EXPECT_EQ(parsed_envelope_validate_semantics(&pe, small, sizeof small), Status::invalid_arg);
      EXPECT_EQ(std::string(small), std::string(c.refusal).substr(0, 7));
      EXPECT_EQ(parsed_envelope_validate_semantics(&pe, nullptr, 0), Status::invalid_arg);
    }
    parsed_envelope_clear(&pe);
  }
  EXPECT_EQ(parsed_envelope_validate_semantics(nullptr, nullptr, 0), Status::invalid_arg);
}

}  // namespace
}  // namespace vorlet::v2
