// The credential table: validated copies of the principals, secrets and
// roles a host loads. A table is an array of CredentialEntry with its
// count; it owns every text in it, and freeing it wipes each text first, so
// no secret outlives the table in freed memory.
//
// These functions work on tables the caller holds; the runtime's active
// table is read and swapped only under the auth state's lock.
#pragma once

#include <cstdint>

#include "auth/auth_records.h"
#include "base/status.h"

namespace vorlet::v2 {

inline constexpr uint64_t kCredentialsMax = 32;

struct CredentialEntry {
  char* principal;  // owned, not empty
  char* secret;     // owned, not empty
  uint64_t principal_length;
  uint64_t secret_length;
  uint32_t role;  // 1 to 3
};

// Checks config and copies it into a new table owned by the caller (NULL
// for a count of 0). invalid_arg for the first broken rule, nomem when a
// copy cannot be made (everything made so far is wiped and freed); on
// failure the outs hold NULL and 0. config is only read.
Status auth_config_copy_validated(const AuthConfig* config, CredentialEntry** out_table,
                                  uint64_t* out_count) noexcept;

// Wipes and frees every text and the array. NULL is ignored; a partly
// filled (zeroed) table is fine.
void credential_table_free(CredentialEntry* table, uint64_t count) noexcept;

// The role of the first entry whose principal and secret both equal the
// given texts; the role none when no entry matches. Every entry is
// compared, and each comparison takes a time set by the given text's length
// alone, so the time tells neither how much of a secret matched nor which
// principals exist.
uint32_t credential_table_match(const CredentialEntry* table, uint64_t count, const char* principal,
                                const char* secret) noexcept;

// Byte equality of a stored text with a given one, without an early exit;
// stored_length must be at least 1.
bool text_equal_constant_time(const char* stored, uint64_t stored_length, const char* given,
                              uint64_t given_length) noexcept;

// The summary of a table: configured, entries and the count of each role.
AuthConfigSummary credential_table_summary(const CredentialEntry* table, uint64_t count) noexcept;

namespace detail {
// Where credential texts come from and go back to after their wipe. Tests
// replace them to fail a copy part-way or to look at a text just before it
// is freed.
struct CredentialTextAlloc {
  char* (*copy)(const char* text, uint64_t length) noexcept;
  void (*release)(char* text, uint64_t length) noexcept;
};
extern CredentialTextAlloc credential_text_alloc;
}  // namespace detail

}  // namespace vorlet::v2
