#include "auth/auth_state.h"

#include "auth/auth_records.h"
#include "auth/credentials.h"

namespace vorlet::v2 {

void auth_state_init(AuthState* state) noexcept {
  MutexLock hold(&state->mutex);
  state->credentials = nullptr;
  state->credential_count = 0;
  state->observe_min_role = static_cast<uint32_t>(AuthRole::none);
  state->control_min_role = static_cast<uint32_t>(AuthRole::operator_);
}

void auth_state_clear(AuthState* state) noexcept {
  // Each secret is wiped before it is freed.
  MutexLock hold(&state->mutex);
  credential_table_free(state->credentials, state->credential_count);
  state->credentials = nullptr;
  state->credential_count = 0;
}

}  // namespace vorlet::v2
