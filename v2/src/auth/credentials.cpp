#include "auth/credentials.h"

#include <cstring>

#include "base/alloc.h"
#include "base/text.h"
#include "platform/memory.h"

namespace vorlet::v2 {
namespace detail {
namespace {

char* copy_text(const char* text, uint64_t length) noexcept { return text_dup_n(text, length); }
void release_text(char* text, uint64_t) noexcept { rt_free(text); }

}  // namespace

CredentialTextAlloc credential_text_alloc{copy_text, release_text};

}  // namespace detail

namespace {

void wipe_and_release(char* text, uint64_t length) noexcept {
  if (text == nullptr) return;
  platform::secure_wipe(text, length);
  detail::credential_text_alloc.release(text, length);
}

// The checks of one element, in their order.
bool credential_valid(const AuthCredential& c) noexcept {
  if (!auth_input_covers(&c, VORLET_FIELD(AuthCredential, role))) return false;
  if (c.principal == nullptr || c.principal[0] == '\0') return false;
  if (c.secret == nullptr || c.secret[0] == '\0') return false;
  return auth_role_held(c.role);
}

}  // namespace

Status auth_config_copy_validated(const AuthConfig* config, CredentialEntry** out_table,
                                  uint64_t* out_count) noexcept {
  *out_table = nullptr;
  *out_count = 0;
  if (config == nullptr) return Status::invalid_arg;
  if (!auth_input_covers(config, VORLET_FIELD(AuthConfig, count))) return Status::invalid_arg;
  const uint64_t count = config->count;
  if (count > kCredentialsMax) return Status::invalid_arg;
  if (count == 0) return Status::ok;
  const AuthCredential* entries = config->entries;
  if (entries == nullptr) return Status::invalid_arg;
  for (uint64_t i = 0; i < count; ++i) {
    if (!credential_valid(entries[i])) return Status::invalid_arg;
    // Host input, not a secret: a plain comparison is fine here.
    for (uint64_t j = 0; j < i; ++j) {
      if (std::strcmp(entries[i].principal, entries[j].principal) == 0) return Status::invalid_arg;
    }
  }

  auto* table = static_cast<CredentialEntry*>(rt_calloc(count, sizeof(CredentialEntry)));
  if (table == nullptr) return Status::nomem;
  for (uint64_t i = 0; i < count; ++i) {
    CredentialEntry& e = table[i];
    e.principal_length = std::strlen(entries[i].principal);
    e.secret_length = std::strlen(entries[i].secret);
    e.principal = detail::credential_text_alloc.copy(entries[i].principal, e.principal_length);
    e.secret = e.principal == nullptr ? nullptr : detail::credential_text_alloc.copy(entries[i].secret, e.secret_length);
    if (e.secret == nullptr) {
      credential_table_free(table, count);
      return Status::nomem;
    }
    e.role = entries[i].role;
  }
  *out_table = table;
  *out_count = count;
  return Status::ok;
}

void credential_table_free(CredentialEntry* table, uint64_t count) noexcept {
  if (table == nullptr) return;
  for (uint64_t i = 0; i < count; ++i) {
    wipe_and_release(table[i].principal, table[i].principal_length);
    wipe_and_release(table[i].secret, table[i].secret_length);
  }
  platform::secure_wipe(table, count * sizeof(CredentialEntry));
  rt_free(table);
}

bool text_equal_constant_time(const char* stored, uint64_t stored_length, const char* given,
                              uint64_t given_length) noexcept {
  uint64_t diff = stored_length ^ given_length;
  for (uint64_t i = 0; i < given_length; ++i) {
    // Past the stored text the length difference has already decided; the
    // loop keeps its pace by comparing against the first byte.
    const uint64_t at = i < stored_length ? i : 0;
    diff |= static_cast<unsigned char>(stored[at] ^ given[i]);
  }
  return diff == 0;
}

uint32_t credential_table_match(const CredentialEntry* table, uint64_t count, const char* principal,
                                const char* secret) noexcept {
  const uint64_t principal_length = std::strlen(principal);
  const uint64_t secret_length = std::strlen(secret);
  uint32_t role = wire(AuthRole::none);  // each entry's role is or-ed in only where it matches
  uint32_t taken = 0;  // all ones once a match has been taken
  for (uint64_t i = 0; i < count; ++i) {
    const CredentialEntry& e = table[i];
    // Both comparisons always run: no && short cut.
    const auto principal_eq =
        static_cast<uint32_t>(text_equal_constant_time(e.principal, e.principal_length, principal, principal_length));
    const auto secret_eq =
        static_cast<uint32_t>(text_equal_constant_time(e.secret, e.secret_length, secret, secret_length));
    const uint32_t take = (0u - (principal_eq & secret_eq)) & ~taken;
    role |= e.role & take;
    taken |= take;
  }
  return role;
}

AuthConfigSummary credential_table_summary(const CredentialEntry* table, uint64_t count) noexcept {
  AuthConfigSummary s{};
  s.struct_size = sizeof(AuthConfigSummary);
  s.configured = count > 0 ? 1 : 0;
  s.entries = count;
  for (uint64_t i = 0; i < count; ++i) {
    switch (static_cast<AuthRole>(table[i].role)) {
      case AuthRole::viewer: ++s.viewers; break;
      case AuthRole::operator_: ++s.operators; break;
      case AuthRole::admin: ++s.admins; break;
      case AuthRole::none: break;
    }
  }
  return s;
}

}  // namespace vorlet::v2
