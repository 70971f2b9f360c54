#include <gtest/gtest.h>

#include <string>

#include "support/schema_fields.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using google::protobuf::FieldDescriptor;

using test::expect_fields;

TEST(TransportSchema, MessagesHaveTheWireNumbersAndTypes) {
  using T = FieldDescriptor;
  const auto* env = transport::Envelope::descriptor();
  EXPECT_EQ(env->full_name(), "vorlet.v2.transport.Envelope");
  expect_fields(env, {{"message_id", 1, T::TYPE_STRING},
                      {"correlation_id", 2, T::TYPE_STRING},
                      {"source", 3, T::TYPE_STRING},
                      {"target", 4, T::TYPE_STRING},
                      {"reply_to", 5, T::TYPE_STRING},
                      {"kind", 6, T::TYPE_ENUM},
                      {"one_way", 7, T::TYPE_BOOL},
                      {"timeout_ms", 8, T::TYPE_INT32},
                      {"payload", 9, T::TYPE_BYTES},
                      {"headers", 10, T::TYPE_MESSAGE, true},
                      {"status", 11, T::TYPE_ENUM},
                      {"error_code", 12, T::TYPE_STRING},
                      {"error_message", 13, T::TYPE_STRING},
                      {"delivery_hint", 14, T::TYPE_ENUM},
                      {"message_type", 15, T::TYPE_STRING},
                      {"payload_schema_version", 16, T::TYPE_UINT32},
                      {"payload_format", 17, T::TYPE_ENUM}});
  EXPECT_TRUE(env->FindFieldByName("headers")->is_map());
  expect_fields(transport::Deadletter::descriptor(), {{"original_envelope", 1, T::TYPE_MESSAGE},
                                                      {"reason", 2, T::TYPE_ENUM},
                                                      {"detail", 3, T::TYPE_STRING},
                                                      {"active_generation", 4, T::TYPE_UINT64},
                                                      {"resolved_host", 5, T::TYPE_STRING},
                                                      {"resolved_port", 6, T::TYPE_UINT32},
                                                      {"endpoint_attempt_count", 7, T::TYPE_UINT32}});
}

TEST(TransportSchema, EnumerationsAreOpenAndComplete) {
  struct EnumCase {
    const google::protobuf::EnumDescriptor* d;
    int count;
    const char* last;
  };
  const EnumCase cases[] = {{transport::MessageKind_descriptor(), 4, "MESSAGE_KIND_EVENT"},
                            {transport::BusinessStatus_descriptor(), 3, "BUSINESS_STATUS_ERROR"},
                            {transport::DeliveryHint_descriptor(), 5, "DELIVERY_HINT_REQUIRE_REMOTE"},
                            {transport::PayloadFormat_descriptor(), 7, "PAYLOAD_FORMAT_BINARY"},
                            {transport::DeadletterReason_descriptor(), 15,
                             "DEADLETTER_REASON_ONE_WAY_DROPPED_BY_POLICY"}};
  for (const EnumCase& c : cases) {
    ASSERT_EQ(c.d->value_count(), c.count) << c.d->name();
    EXPECT_EQ(c.d->value(c.count - 1)->name(), c.last);
    EXPECT_EQ(c.d->value(c.count - 1)->number(), c.count - 1);
  }
  // An unknown kind survives a parse and is written back as it came.
  transport::Envelope env;
  ASSERT_TRUE(env.ParseFromString(std::string("\x30\x09", 2)));
  EXPECT_EQ(static_cast<int>(env.kind()), 9);
  EXPECT_EQ(env.SerializeAsString(), std::string("\x30\x09", 2));
}

TEST(TransportSchema, EncodingEdges) {
  transport::Envelope env;
  EXPECT_EQ(env.SerializeAsString(), "");

  transport::Deadletter dl;
  dl.mutable_original_envelope();
  EXPECT_EQ(dl.SerializeAsString(), std::string("\x0A\x00", 2));
  ASSERT_TRUE(dl.ParseFromString(std::string("\x0A\x00", 2)));
  EXPECT_TRUE(dl.has_original_envelope());

  env.set_timeout_ms(-1);
  EXPECT_EQ(env.SerializeAsString(), std::string("\x40\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01", 11));

  // An undeclared field 18 (varint 5) is kept and written after field 17.
  env.Clear();
  ASSERT_TRUE(env.ParseFromString(std::string("\x90\x01\x05\x88\x01\x02", 6)));
  EXPECT_EQ(env.payload_format(), transport::PAYLOAD_FORMAT_PROTOBUF);
  EXPECT_EQ(env.SerializeAsString(), std::string("\x88\x01\x02\x90\x01\x05", 6));
}

}  // namespace
}  // namespace vorlet::v2
