// The auth state a runtime holds: its credential table and the least role
// for each access kind, under a lock of its own. The runtime object keeps
// it, but only auth/ reads or changes its fields; the runtime's create and
// destroy call the two functions below.
#pragma once

#include <cstdint>

#include "base/mutex.h"

namespace vorlet::v2 {

struct CredentialEntry;

struct AuthState {
  // A leaf: nothing else is taken while it is held (events are recorded
  // after it is released).
  Mutex mutex;
  CredentialEntry* credentials GUARDED_BY(mutex);  // owned; NULL when empty; replaced whole
  uint64_t credential_count GUARDED_BY(mutex);
  uint32_t observe_min_role GUARDED_BY(mutex);
  uint32_t control_min_role GUARDED_BY(mutex);
};

// A new runtime's state: no credentials, observe open to role none,
// control needing an operator.
void auth_state_init(AuthState* state) noexcept;

// Wipes and frees the credential table and leaves the table empty. Safe on
// a state that was never given a table.
void auth_state_clear(AuthState* state) noexcept;

}  // namespace vorlet::v2
