#include "codec/deadletter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/alloc.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

const std::string kMalformed("\x0A\x05" "a", 3);

// Takes a buffer of the codec and hands back its bytes.
std::string take(void* out, uint64_t len) {
  std::string bytes(static_cast<const char*>(out), len);
  rt_free(out);
  return bytes;
}

transport::Deadletter parsed(const std::string& bytes) {
  transport::Deadletter dl;
  EXPECT_TRUE(dl.ParseFromString(bytes));
  return dl;
}

std::string sample_envelope() {
  transport::Envelope env;
  env.set_message_id("m-9");
  env.set_target("svc");
  env.set_payload(std::string("\0\1", 2));
  return env.SerializeAsString();
}

TEST(BuildDeadletter, CarriesTheEnvelopeOnlyWhenItParses) {
  const std::string env = sample_envelope();
  struct Case {
    const char* name;
    const void* bytes;
    uint64_t len;
    bool has_original;
  };
  const Case cases[] = {
      {"envelope", env.data(), env.size(), true},
      {"null bytes", nullptr, 0, false},
      {"malformed", kMalformed.data(), kMalformed.size(), false},
      {"too long", env.data(), 2147483648ull, false},
      {"present but empty", "", 0, true},
  };
  for (const Case& c : cases) {
    void* out = reinterpret_cast<void*>(1);
    uint64_t out_len = 99;
    ASSERT_EQ(transport_build_deadletter(c.bytes, c.len, 4, "queue full", 12, "h1", 7001, 2, &out, &out_len),
              Status::ok)
        << c.name;
    const transport::Deadletter dl = parsed(take(out, out_len));
    EXPECT_EQ(dl.has_original_envelope(), c.has_original) << c.name;
    if (c.has_original) {
      EXPECT_EQ(dl.original_envelope().SerializeAsString(), c.len == 0 ? "" : env) << c.name;
    }
    EXPECT_EQ(dl.reason(), 4);
    EXPECT_EQ(dl.detail(), "queue full");
    EXPECT_EQ(dl.active_generation(), 12u);
    EXPECT_EQ(dl.resolved_host(), "h1");
    EXPECT_EQ(dl.resolved_port(), 7001u);
    EXPECT_EQ(dl.endpoint_attempt_count(), 2u);
  }
}

TEST(BuildDeadletter, DefaultsEncodeToNothing) {
  void* out = nullptr;
  uint64_t out_len = 99;
  ASSERT_EQ(transport_build_deadletter(nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, &out, &out_len), Status::ok);
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(out_len, 0u);
  rt_free(out);
  // Non-NULL bytes of length 0: only the empty original envelope is written.
  ASSERT_EQ(transport_build_deadletter("", 0, 0, nullptr, 0, nullptr, 0, 0, &out, &out_len), Status::ok);
  EXPECT_EQ(take(out, out_len), std::string("\x0A\x00", 2));

  uint64_t len = 5;
  EXPECT_EQ(transport_build_deadletter(nullptr, 0, 1, "x", 0, nullptr, 0, 0, nullptr, &len), Status::invalid_arg);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(transport_build_deadletter(nullptr, 0, 1, "x", 0, nullptr, 0, 0, &out, nullptr), Status::invalid_arg);
}

std::string deadletter_with(int32_t reason, const std::string& detail, uint32_t attempts) {
  transport::Deadletter dl;
  dl.set_reason(static_cast<transport::DeadletterReason>(reason));
  dl.set_detail(detail);
  dl.set_endpoint_attempt_count(attempts);
  return dl.SerializeAsString();
}

TEST(PeekDeadletter, ReadsReasonAttemptsAndABoundedDetail) {
  DeadletterSummary s{};
  const std::string bytes = deadletter_with(7, "connect refused", 3);
  ASSERT_EQ(transport_peek_deadletter(bytes.data(), bytes.size(), &s.reason, &s.endpoint_attempt_count, s.detail,
                                      sizeof s.detail),
            Status::ok);
  EXPECT_EQ(s.reason, 7);
  EXPECT_EQ(s.endpoint_attempt_count, 3u);
  EXPECT_STREQ(s.detail, "connect refused");

  char detail[8];
  int32_t reason = -1;
  uint32_t attempts = 9;
  ASSERT_EQ(transport_peek_deadletter(bytes.data(), bytes.size(), &reason, &attempts, detail, 1), Status::ok);
  EXPECT_STREQ(detail, "");
  ASSERT_EQ(transport_peek_deadletter(bytes.data(), bytes.size(), &reason, &attempts, detail, sizeof detail),
            Status::ok);
  EXPECT_STREQ(detail, "connect");
  ASSERT_EQ(transport_peek_deadletter(bytes.data(), bytes.size(), &reason, &attempts, nullptr, 0), Status::ok);
  EXPECT_EQ(reason, 7);

  // The detail stops at its first NUL.
  const std::string with_nul = deadletter_with(2, std::string("ab\0cd", 5), 0);
  ASSERT_EQ(transport_peek_deadletter(with_nul.data(), with_nul.size(), &reason, &attempts, detail, sizeof detail),
            Status::ok);
  EXPECT_STREQ(detail, "ab");
  EXPECT_EQ(attempts, 0u);
}

TEST(PeekDeadletter, ACutDetailCanBeSentOnAgain) {
  // 158 ASCII bytes and then a two-byte character straddling the 159-byte cut.
  const std::string detail = std::string(158, 'a') + "\xC3\xA9" + "tail";
  const std::string bytes = deadletter_with(7, detail, 1);
  DeadletterSummary s{};
  ASSERT_EQ(transport_peek_deadletter(bytes.data(), bytes.size(), &s.reason, &s.endpoint_attempt_count, s.detail,
                                      sizeof s.detail),
            Status::ok);
  EXPECT_EQ(std::strlen(s.detail), 158u);

  void* out = nullptr;
  uint64_t out_len = 0;
  ASSERT_EQ(transport_build_deadletter(nullptr, 0, s.reason, s.detail, 0, nullptr, 0, 0, &out, &out_len), Status::ok);
  EXPECT_EQ(parsed(take(out, out_len)).detail(), std::string(158, 'a'));
}

TEST(PeekDeadletter, Refusals) {
  int32_t reason = 5;
  uint32_t attempts = 5;
  char detail[160];
  ASSERT_EQ(transport_peek_deadletter(kMalformed.data(), kMalformed.size(), &reason, &attempts, detail, sizeof detail),
            Status::io);
  EXPECT_STREQ(detail, "deadletter protobuf parse failed");
  EXPECT_EQ(reason, 0);
  EXPECT_EQ(attempts, 0u);

  const std::string bytes = deadletter_with(7, "x", 3);
  reason = 5;
  EXPECT_EQ(transport_peek_deadletter(bytes.data(), 2147483648ull, &reason, &attempts, detail, sizeof detail),
            Status::io);
  EXPECT_EQ(reason, 0);

  for (int i = 0; i < 3; ++i) {
    std::strcpy(detail, "untouched");
    const Status status = transport_peek_deadletter(i == 0 ? nullptr : bytes.data(), bytes.size(),
                                                    i == 1 ? nullptr : &reason, i == 2 ? nullptr : &attempts,
                                                    detail, sizeof detail);
    EXPECT_EQ(status, Status::invalid_arg) << i;
    EXPECT_STREQ(detail, "invalid arguments") << i;
  }
}

TEST(RestampDeadletter, ChangesOnlyTheAttemptCount) {
  transport::Deadletter dl;
  dl.mutable_original_envelope()->set_message_id("m");
  dl.set_reason(transport::DEADLETTER_REASON_REMOTE_TRANSPORT_FAILED);
  dl.set_detail("d");
  dl.set_active_generation(4);
  dl.set_resolved_host("h");
  dl.set_resolved_port(9);
  dl.set_endpoint_attempt_count(7);
  // Undeclared fields 20 (varint) and 21 (bytes) travel with it.
  const std::string unknown("\xA0\x01\x2A\xAA\x01\x02zz", 8);
  const std::string input = dl.SerializeAsString() + unknown;
  const std::string kept = input;

  void* out = nullptr;
  uint64_t out_len = 0;
  ASSERT_EQ(transport_restamp_deadletter_attempts(input.data(), input.size(), 3, &out, &out_len), Status::ok);
  EXPECT_EQ(input, kept);
  dl.set_endpoint_attempt_count(3);
  EXPECT_EQ(take(out, out_len), dl.SerializeAsString() + unknown);

  ASSERT_EQ(transport_restamp_deadletter_attempts(input.data(), input.size(), 0, &out, &out_len), Status::ok);
  dl.clear_endpoint_attempt_count();
  EXPECT_EQ(take(out, out_len), dl.SerializeAsString() + unknown);
}

// The id is compared whole: a longer id, a prefix, or one that goes on past
// a NUL byte names another request.
TEST(PeekDeadletter, TellsWhomItsOriginalEnvelopeIsAbout) {
  auto about = [](const char* original_id, size_t id_length) {
    transport::Deadletter dl;
    dl.set_reason(transport::DEADLETTER_REASON_ROUTE_MISS);
    dl.set_detail("why");
    if (original_id != nullptr) dl.mutable_original_envelope()->set_message_id(std::string(original_id, id_length));
    return dl.SerializeAsString();
  };
  const struct Case {
    const char* name;
    std::string bytes;
    const char* asked;
    DeadletterOriginal want;
  } cases[] = {
      {"no original", about(nullptr, 0), "m-9", DeadletterOriginal::absent},
      {"the same id", about("m-9", 3), "m-9", DeadletterOriginal::same},
      {"a longer id", about("m-90", 4), "m-9", DeadletterOriginal::other},
      {"a prefix", about("m-", 2), "m-9", DeadletterOriginal::other},
      {"past a NUL byte", about("m-9\0x", 5), "m-9", DeadletterOriginal::other},
      {"an empty id asked as NULL", about("", 0), nullptr, DeadletterOriginal::same},
      {"an empty id asked as m-9", about("", 0), "m-9", DeadletterOriginal::other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeadletterSummary s{};
    s.original = DeadletterOriginal::other;
    ASSERT_EQ(transport_peek_deadletter_about(c.bytes.data(), c.bytes.size(), c.asked, &s.reason,
                                              &s.endpoint_attempt_count, &s.original, s.detail, sizeof s.detail),
              Status::ok);
    EXPECT_EQ(s.original, c.want);
    EXPECT_EQ(s.reason, 2);
    EXPECT_STREQ(s.detail, "why");
  }
  DeadletterSummary s{};
  s.original = DeadletterOriginal::other;
  EXPECT_EQ(transport_peek_deadletter_about(kMalformed.data(), kMalformed.size(), "m-9", &s.reason,
                                            &s.endpoint_attempt_count, &s.original, s.detail, sizeof s.detail),
            Status::io);
  EXPECT_EQ(s.original, DeadletterOriginal::absent);
  EXPECT_EQ(transport_peek_deadletter_about(kMalformed.data(), kMalformed.size(), "m-9", &s.reason,
                                            &s.endpoint_attempt_count, nullptr, s.detail, sizeof s.detail),
            Status::invalid_arg);
}

// A deadletter that names no envelope takes the one given; one that names
// its own keeps it; bytes that are no envelope add nothing.
TEST(RestampDeadletter, GivesAnOriginalEnvelopeOnlyWhereThereIsNone) {
  const std::string env = sample_envelope();
  transport::Deadletter without;
  without.set_reason(transport::DEADLETTER_REASON_EXPIRED_BEFORE_DELIVERY);
  without.set_detail("d");
  transport::Deadletter with = without;
  with.mutable_original_envelope()->set_message_id("theirs");
  const struct Case {
    const char* name;
    std::string input;
    std::string envelope;
    bool has_original;
    const char* original_id;
  } cases[] = {
      {"none: the given one", without.SerializeAsString(), env, true, "m-9"},
      {"its own: kept", with.SerializeAsString(), env, true, "theirs"},
      {"none, given bytes that are no envelope", without.SerializeAsString(), kMalformed, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    void* out = nullptr;
    uint64_t out_len = 0;
    ASSERT_EQ(transport_restamp_deadletter(c.input.data(), c.input.size(), 2, c.envelope.data(), c.envelope.size(),
                                           &out, &out_len),
              Status::ok);
    const transport::Deadletter dl = parsed(take(out, out_len));
    EXPECT_EQ(dl.endpoint_attempt_count(), 2u);
    EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_EXPIRED_BEFORE_DELIVERY);
    ASSERT_EQ(dl.has_original_envelope(), c.has_original);
    EXPECT_EQ(dl.original_envelope().message_id(), c.original_id);
    if (c.original_id == std::string("m-9")) {
      EXPECT_EQ(dl.original_envelope().SerializeAsString(), env);
    }
  }
}

TEST(RestampDeadletter, Refusals) {
  void* out = reinterpret_cast<void*>(1);
  uint64_t out_len = 5;
  EXPECT_EQ(transport_restamp_deadletter_attempts(kMalformed.data(), kMalformed.size(), 1, &out, &out_len), Status::io);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(out_len, 0u);
  EXPECT_EQ(transport_restamp_deadletter_attempts("", 2147483648ull, 1, &out, &out_len), Status::io);
  out_len = 5;
  EXPECT_EQ(transport_restamp_deadletter_attempts(nullptr, 0, 1, &out, &out_len), Status::invalid_arg);
  EXPECT_EQ(out_len, 5u);
  EXPECT_EQ(transport_restamp_deadletter_attempts("", 0, 1, nullptr, &out_len), Status::invalid_arg);
  EXPECT_EQ(transport_restamp_deadletter_attempts("", 0, 1, &out, nullptr), Status::invalid_arg);
}

}  // namespace
}  // namespace vorlet::v2
