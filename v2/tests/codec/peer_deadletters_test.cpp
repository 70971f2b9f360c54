// A peer's deadletter as the remote worker reads it: which reasons fail
// over, and re-stamping its attempt count.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/alloc.h"
#include "codec/deadletter.h"
#include "support/envelopes.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::peer_deadletter;

TEST(PeerDeadletters, RefusalsBeforeOwnershipAreTheOnesThatFailOver) {
  for (int32_t reason = 0; reason <= 15; ++reason) {
    const std::string bytes = peer_deadletter(reason, "why");
    DeadletterSummary summary{};
    ASSERT_EQ(deadletter_summary_decode(bytes.data(), bytes.size(), &summary), Status::ok);
    EXPECT_EQ(summary.reason, reason);
    EXPECT_EQ(summary.endpoint_attempt_count, 5u);
    EXPECT_STREQ(summary.detail, "why");
    EXPECT_EQ(deadletter_is_pre_ownership(summary), reason == 4 || reason == 5 || reason == 8) << reason;
  }
  DeadletterSummary summary{};
  EXPECT_EQ(deadletter_summary_decode("\xFF\xFF", 2, &summary), Status::io);
  EXPECT_EQ(summary.reason, 0);
  EXPECT_STREQ(summary.detail, "deadletter protobuf parse failed");
  EXPECT_FALSE(deadletter_is_pre_ownership(summary));
  EXPECT_EQ(deadletter_summary_decode(nullptr, 2, &summary), Status::invalid_arg);
  EXPECT_EQ(deadletter_summary_decode("x", 0, &summary), Status::invalid_arg);
}

TEST(PeerDeadletters, ReStampingReplacesTheBlockOrKeepsTheOldOne) {
  const std::string original = peer_deadletter(13, "why");
  void* bytes = rt_malloc(original.size());
  std::memcpy(bytes, original.data(), original.size());
  uint64_t length = original.size();

  EXPECT_EQ(deadletter_set_attempt_count(nullptr, &length, 1), Status::invalid_arg);
  EXPECT_EQ(deadletter_set_attempt_count(&bytes, nullptr, 1), Status::invalid_arg);
  uint64_t zero = 0;
  EXPECT_EQ(deadletter_set_attempt_count(&bytes, &zero, 1), Status::invalid_arg);
  void* before = bytes;
  EXPECT_EQ(deadletter_set_attempt_count(&bytes, &length, 0), Status::ok);
  EXPECT_EQ(bytes, before);

  ASSERT_EQ(deadletter_set_attempt_count(&bytes, &length, 3), Status::ok);
  transport::Deadletter dl;
  ASSERT_TRUE(dl.ParseFromArray(bytes, static_cast<int>(length)));
  EXPECT_EQ(dl.endpoint_attempt_count(), 3u);
  dl.set_endpoint_attempt_count(5);
  EXPECT_EQ(dl.SerializeAsString(), original);
  rt_free(bytes);

  void* junk = rt_malloc(2);
  std::memcpy(junk, "\xFF\xFF", 2);
  uint64_t junk_length = 2;
  EXPECT_EQ(deadletter_set_attempt_count(&junk, &junk_length, 3), Status::io);
  EXPECT_EQ(junk_length, 2u);
  EXPECT_EQ(std::memcmp(junk, "\xFF\xFF", 2), 0);
  rt_free(junk);
}

}  // namespace
}  // namespace vorlet::v2
