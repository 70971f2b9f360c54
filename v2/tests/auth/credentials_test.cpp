#include "auth/credentials.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "auth/authentication.h"
#include "support/runtime_probe.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

using test::TestRuntime;

AuthCredential cred(const char* principal, const char* secret, uint32_t role, uint64_t size = 32) {
  AuthCredential c{};
  c.struct_size = size;
  c.principal = principal;
  c.secret = secret;
  c.role = role;
  return c;
}

AuthConfig config_of(const std::vector<AuthCredential>& entries, uint64_t size = 24) {
  return AuthConfig{size, entries.empty() ? nullptr : entries.data(), entries.size()};
}

TEST(AuthConfigRules, EachRuleInItsOrder) {
  std::vector<std::string> names;
  for (int i = 0; i < 33; ++i) names.push_back("p" + std::to_string(i));
  std::vector<AuthCredential> full;
  for (int i = 0; i < 33; ++i) full.push_back(cred(names[i].c_str(), "s", 1 + i % 3));

  struct Case {
    const char* name;
    std::vector<AuthCredential> entries;
    uint64_t config_size;
    int32_t want;
  };
  const std::vector<Case> cases = {
      {"one credential", {cred("ann", "pw", 1)}, 24, 0},
      {"config size 0 reads as 24", {cred("ann", "pw", 1)}, 0, 0},
      {"config size above 24", {cred("ann", "pw", 1)}, 1000, 0},
      {"config size 16", {cred("ann", "pw", 1)}, 16, -1},
      {"config size 23", {cred("ann", "pw", 1)}, 23, -1},
      {"config size 16 before an empty count", {}, 16, -1},
      {"32 credentials", std::vector<AuthCredential>(full.begin(), full.begin() + 32), 24, 0},
      {"33 credentials", full, 24, -1},
      {"element size 28", {cred("ann", "pw", 1, 28), cred("bob", "pw", 2, 28)}, 24, 0},
      {"element size 0 reads as 32", {cred("ann", "pw", 1, 0)}, 24, 0},
      {"element size 27", {cred("ann", "pw", 1), cred("bob", "pw", 2, 27)}, 24, -1},
      {"NULL principal", {cred(nullptr, "pw", 1)}, 24, -1},
      {"empty principal", {cred("", "pw", 1)}, 24, -1},
      {"NULL secret", {cred("ann", nullptr, 1)}, 24, -1},
      {"empty secret", {cred("ann", "", 1)}, 24, -1},
      {"role 0", {cred("ann", "pw", 0)}, 24, -1},
      {"role 4", {cred("ann", "pw", 4)}, 24, -1},
      {"duplicate principal, other secret and role", {cred("ann", "a", 1), cred("bob", "b", 2), cred("ann", "c", 3)}, 24, -1},
      {"principals differing in case", {cred("ann", "pw", 1), cred("Ann", "pw", 2)}, 24, 0},
      {"repeated secret", {cred("ann", "same", 1), cred("bob", "same", 1)}, 24, 0},
  };
  for (const Case& c : cases) {
    const AuthConfig config = config_of(c.entries, c.config_size);
    EXPECT_EQ(vorlet_v2_runtime_validate_auth_config(&config), c.want) << c.name;
  }

  EXPECT_EQ(vorlet_v2_runtime_validate_auth_config(nullptr), -1);
  const AuthConfig empty{24, nullptr, 0};
  EXPECT_EQ(vorlet_v2_runtime_validate_auth_config(&empty), 0);
  const AuthConfig missing{24, nullptr, 1};
  EXPECT_EQ(vorlet_v2_runtime_validate_auth_config(&missing), -1);
  // The count is checked before the entries are looked at.
  const AuthConfig too_many{24, nullptr, 33};
  EXPECT_EQ(vorlet_v2_runtime_validate_auth_config(&too_many), -1);
}

TEST(AuthConfigCopy, OwnsItsTextsAndKeepsRoles) {
  char principal[] = "ann";
  char secret[] = "pw";
  const std::vector<AuthCredential> entries = {cred(principal, secret, 3), cred("bob", "x", 1)};
  const AuthConfig config = config_of(entries);
  CredentialEntry* table = nullptr;
  uint64_t count = 0;
  ASSERT_EQ(auth_config_copy_validated(&config, &table, &count), Status::ok);
  ASSERT_EQ(count, 2u);
  principal[0] = 'X';
  secret[0] = 'X';
  EXPECT_STREQ(table[0].principal, "ann");
  EXPECT_STREQ(table[0].secret, "pw");
  EXPECT_EQ(table[0].role, 3u);
  EXPECT_EQ(table[1].role, 1u);
  credential_table_free(table, count);

  const std::vector<AuthCredential> bad = {cred("ann", "pw", 9)};
  const AuthConfig bad_config = config_of(bad);
  table = reinterpret_cast<CredentialEntry*>(0x1);
  count = 7;
  EXPECT_EQ(auth_config_copy_validated(&bad_config, &table, &count), Status::invalid_arg);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(count, 0u);
}

TEST(CredentialMatch, ExactBytesWithTheLengthFoldedIn) {
  struct Case {
    const char* stored;
    const char* given;
    bool equal;
  };
  const Case cases[] = {
      {"secret", "secret", true},  {"secret", "secre", false}, {"secret", "secretX", false},
      {"secret", "", false},       {"secret", "Secret", false}, {"secret", "secreT", false},
      {"s", "s", true},            {"s", "ss", false},          {"ab\xc3\xa9", "ab\xc3\xa9", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_equal_constant_time(c.stored, std::strlen(c.stored), c.given, std::strlen(c.given)), c.equal)
        << c.stored << " / " << c.given;
  }
}

TEST(CredentialMatch, BothTextsOfOneEntryMustMatch) {
  const std::vector<AuthCredential> entries = {cred("ann", "alpha", 1), cred("bob", "beta", 2), cred("cy", "gamma", 3)};
  const AuthConfig config = config_of(entries);
  CredentialEntry* table = nullptr;
  uint64_t count = 0;
  ASSERT_EQ(auth_config_copy_validated(&config, &table, &count), Status::ok);
  EXPECT_EQ(credential_table_match(table, count, "ann", "alpha"), 1u);
  EXPECT_EQ(credential_table_match(table, count, "bob", "beta"), 2u);
  EXPECT_EQ(credential_table_match(table, count, "cy", "gamma"), 3u);
  EXPECT_EQ(credential_table_match(table, count, "ann", "beta"), 0u);  // another entry's secret
  EXPECT_EQ(credential_table_match(table, count, "bob", "bet"), 0u);
  EXPECT_EQ(credential_table_match(table, count, "Bob", "beta"), 0u);
  EXPECT_EQ(credential_table_match(table, count, "dan", "alpha"), 0u);
  EXPECT_EQ(credential_table_match(nullptr, 0, "ann", "alpha"), 0u);
  credential_table_free(table, count);
}

// Swaps the credential text allocator for one that can fail the n-th copy
// and that checks every text is all zeros when it is given back.
class TextAllocProbe {
 public:
  TextAllocProbe() : saved_(detail::credential_text_alloc) {
    instance_ = this;
    detail::credential_text_alloc = {copy, release};
  }
  ~TextAllocProbe() {
    detail::credential_text_alloc = saved_;
    instance_ = nullptr;
  }
  int fail_copy_at = 0;  // 1-based; 0 never fails
  int copies = 0;
  int released = 0;
  int released_dirty = 0;

 private:
  static char* copy(const char* text, uint64_t length) noexcept {
    TextAllocProbe& p = *instance_;
    if (++p.copies == p.fail_copy_at) return nullptr;
    return p.saved_.copy(text, length);
  }
  static void release(char* text, uint64_t length) noexcept {
    TextAllocProbe& p = *instance_;
    ++p.released;
    for (uint64_t i = 0; i <= length; ++i) {
      if (text[i] != '\0') {
        ++p.released_dirty;
        break;
      }
    }
    p.saved_.release(text, length);
  }
  static inline TextAllocProbe* instance_ = nullptr;
  detail::CredentialTextAlloc saved_;
};

TEST(CredentialWipe, EverySecretIsZeroedBeforeItIsFreed) {
  const std::vector<AuthCredential> two = {cred("ann", "alpha", 1), cred("bob", "beta", 2)};
  const AuthConfig config = config_of(two);
  TextAllocProbe probe;

  // The throw-away copy of validate.
  EXPECT_EQ(vorlet_v2_runtime_validate_auth_config(&config), 0);
  EXPECT_EQ(probe.released, 4);

  // The old table when a new one is applied, and the last one at destroy.
  {
    TestRuntime r;
    ASSERT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &config), 0);
    EXPECT_EQ(probe.released, 4);
    const std::vector<AuthCredential> one = {cred("cy", "gamma", 3)};
    const AuthConfig next = config_of(one);
    ASSERT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &next), 0);
    EXPECT_EQ(probe.released, 8);
  }
  EXPECT_EQ(probe.released, 10);
  EXPECT_EQ(probe.released_dirty, 0);
}

TEST(CredentialWipe, ACopyFailingPartWayWipesWhatItMadeAndChangesNothing) {
  TestRuntime r;
  const std::vector<AuthCredential> first = {cred("ann", "alpha", 1)};
  const AuthConfig first_config = config_of(first);
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &first_config), 0);
  const uint64_t events = test::event_count(r.rt);

  TextAllocProbe probe;
  probe.fail_copy_at = 4;  // the second entry's secret
  const std::vector<AuthCredential> two = {cred("bob", "beta", 2), cred("cy", "gamma", 3)};
  const AuthConfig config = config_of(two);
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &config), -2);
  EXPECT_EQ(probe.released, 3);
  EXPECT_EQ(probe.released_dirty, 0);
  EXPECT_EQ(test::event_count(r.rt), events);

  vorlet_v2_AuthResult result{16, 9, 9};
  ASSERT_EQ(vorlet_v2_runtime_authenticate(r.handle(), "ann", "alpha", &result), 0);
  EXPECT_EQ(result.result_code, 0u);
  EXPECT_EQ(result.role, 1u);

  probe.fail_copy_at = probe.copies + 1;  // the very first text
  EXPECT_EQ(vorlet_v2_runtime_validate_auth_config(&config), -2);
}

}  // namespace
}  // namespace vorlet::v2
