#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/schema_fields.h"
#include "vorlet/v2/control.pb.h"

namespace vorlet::v2 {
namespace {

namespace ctl = vorlet::v2::control;
using google::protobuf::FieldDescriptor;

using test::expect_fields;

TEST(ControlSchema, MessagesHaveTheWireNumbersAndTypes) {
  using T = FieldDescriptor;
  const auto* env = ctl::ControlEnvelope::descriptor();
  EXPECT_EQ(env->full_name(), "vorlet.v2.control.ControlEnvelope");
  EXPECT_EQ(env->file()->name(), "vorlet/v2/control.proto");
  EXPECT_EQ(env->file()->dependency_count(), 0);
  EXPECT_EQ(env->file()->package(), "vorlet.v2.control");
  EXPECT_EQ(env->file()->options().java_package(), "vorlet.v2.control");
  EXPECT_TRUE(env->file()->options().java_multiple_files());
  expect_fields(env, {{"seq", 1, T::TYPE_UINT64, false},
                      {"generation", 2, T::TYPE_UINT64, false},
                      {"kind", 3, T::TYPE_ENUM, false},
                      {"payload_format", 4, T::TYPE_ENUM, false},
                      {"payload_type", 5, T::TYPE_ENUM, false},
                      {"schema_version", 6, T::TYPE_UINT32, false},
                      {"payload", 7, T::TYPE_BYTES, false},
                      {"metadata", 8, T::TYPE_MESSAGE, true}});
  const FieldDescriptor* metadata = env->FindFieldByName("metadata");
  ASSERT_TRUE(metadata->is_map());
  expect_fields(metadata->message_type(), {{"key", 1, T::TYPE_STRING, false}, {"value", 2, T::TYPE_STRING, false}});
  expect_fields(ctl::RouteSnapshotPayload::descriptor(), {{"generation", 1, T::TYPE_UINT64, false},
                                                          {"routes", 2, T::TYPE_MESSAGE, true},
                                                          {"overload_policy", 3, T::TYPE_MESSAGE, false}});
  expect_fields(ctl::Route::descriptor(), {{"target", 1, T::TYPE_STRING, false},
                                           {"strategy", 2, T::TYPE_ENUM, false},
                                           {"route_key_hint", 3, T::TYPE_STRING, false},
                                           {"flags", 4, T::TYPE_UINT32, false},
                                           {"endpoints", 5, T::TYPE_MESSAGE, true}});
  expect_fields(ctl::Endpoint::descriptor(), {{"host", 1, T::TYPE_STRING, false},
                                              {"port", 2, T::TYPE_UINT32, false},
                                              {"weight", 3, T::TYPE_UINT32, false},
                                              {"flags", 4, T::TYPE_UINT32, false}});
  expect_fields(ctl::OverloadPolicy::descriptor(), {{"ingress_mode", 1, T::TYPE_ENUM, false},
                                                    {"local_delivery_mode", 2, T::TYPE_ENUM, false},
                                                    {"remote_outbound_mode", 3, T::TYPE_ENUM, false},
                                                    {"remote_outbound_reply_reserve_slots", 4, T::TYPE_UINT32, false}});
}

TEST(ControlSchema, EnumerationsHaveTheirNamesAndNumbers) {
  using Names = std::vector<std::string>;
  const std::pair<const google::protobuf::EnumDescriptor*, Names> cases[] = {
      {ctl::ControlKind_descriptor(),
       {"CONTROL_KIND_UNSPECIFIED", "CONTROL_KIND_APPLY_SNAPSHOT", "CONTROL_KIND_ACK", "CONTROL_KIND_NACK"}},
      {ctl::ConfigFormat_descriptor(), {"CONFIG_FORMAT_UNSPECIFIED", "CONFIG_FORMAT_JSON", "CONFIG_FORMAT_PROTOBUF"}},
      {ctl::ControlPayloadType_descriptor(),
       {"CONTROL_PAYLOAD_TYPE_UNSPECIFIED", "CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT"}},
      {ctl::RouteResolutionStrategy_descriptor(),
       {"ROUTE_RESOLUTION_STRATEGY_UNSPECIFIED", "ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER",
        "ROUTE_RESOLUTION_STRATEGY_WEIGHTED_ROUND_ROBIN", "ROUTE_RESOLUTION_STRATEGY_RENDEZVOUS_HASH"}},
      {ctl::OverloadMode_descriptor(),
       {"OVERLOAD_MODE_REJECT", "OVERLOAD_MODE_DROP_EXPIRED_FIRST", "OVERLOAD_MODE_DROP_ONE_WAY_FIRST"}},
  };
  for (const auto& [d, names] : cases) {
    ASSERT_EQ(d->value_count(), static_cast<int>(names.size())) << d->name();
    for (int i = 0; i < d->value_count(); ++i) {
      EXPECT_EQ(d->value(i)->name(), names[i]) << d->name();
      EXPECT_EQ(d->value(i)->number(), i) << names[i];
    }
  }
}

TEST(ControlSchema, EncodingEdges) {
  // A present policy with every field at its default is still written, and
  // parses back present.
  ctl::RouteSnapshotPayload p;
  p.mutable_overload_policy();
  EXPECT_EQ(p.SerializeAsString(), std::string("\x1A\x00", 2));
  ctl::RouteSnapshotPayload back;
  ASSERT_TRUE(back.ParseFromString(std::string("\x1A\x00", 2)));
  EXPECT_TRUE(back.has_overload_policy());
  ASSERT_TRUE(back.ParseFromString(""));
  EXPECT_FALSE(back.has_overload_policy());

  // Enumerations are open: strategy 9 survives a parse.
  ctl::Route r;
  ASSERT_TRUE(r.ParseFromString(std::string("\x10\x09", 2)));
  EXPECT_EQ(static_cast<int>(r.strategy()), 9);
}

}  // namespace
}  // namespace vorlet::v2
