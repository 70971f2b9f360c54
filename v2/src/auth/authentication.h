// Loading the runtime's credential table, its summary, and proving an
// identity against it (authenticate, login, clear).
#pragma once

#include <cstdint>

#include "auth/auth_records.h"
#include "base/status.h"

namespace vorlet::v2 {

struct Runtime;

// Checks config by making and wiping a trial copy: ok, invalid_arg, nomem.
Status auth_config_validate(const AuthConfig* config) noexcept;

// Replaces the table with a validated copy of config and records
// auth_config_applied. invalid_arg, nomem (nothing changed), bad_state on a
// stopped runtime. The old table is wiped and freed outside the lock.
Status authentication_apply_config(Runtime* rt, const AuthConfig* config) noexcept;

// The summary of the table, copied into out under the auth state's lock.
void authentication_config_summary(Runtime* rt, AuthConfigSummary* out) noexcept;

// Writes summary into out by the size-prefix rule (48 bytes).
void auth_config_summary_copy_out(const AuthConfigSummary& summary, AuthConfigSummary* out) noexcept;

// {ok, role} for a matching credential, else {unauthorized, 0}, each
// recorded as an authentication event; {bad_state, 0} without an event on
// a stopped runtime. Every argument must be present.
AuthVerdict authentication_authenticate(Runtime* rt, const char* principal, const char* secret) noexcept;

// Authenticates and writes the context ({1, role} or {0, 0}) and the
// result. invalid_arg, with nothing written and nothing recorded, for a
// context declared 1 to 15 bytes long. Every argument must be present.
Status authentication_login(Runtime* rt, const char* principal, const char* secret, AuthContext* context_out,
                            AuthResult* result_out) noexcept;

// Writes {0, 0}; invalid_arg (nothing written) for NULL or a context
// declared 1 to 15 bytes long.
Status auth_context_clear(AuthContext* context) noexcept;

}  // namespace vorlet::v2
