// Exported entry points of the info record and the surface profiles.
#include "observe/info.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

extern "C" {

uint32_t vorlet_v2_runtime_get_abi_version(void) { return kAbiVersion; }

int32_t vorlet_v2_runtime_get_info(vorlet_v2_RuntimeInfo* info) { return to_c(info_get(info)); }

const char* vorlet_v2_runtime_surface_profile_name(uint32_t profile) { return surface_profile_name(profile); }

uint32_t vorlet_v2_runtime_surface_required_features(uint32_t profile) { return surface_required_features(profile); }

int32_t vorlet_v2_runtime_surface_check_features(uint32_t available, uint32_t profile, uint32_t* missing_out) {
  return surface_check_features(available, profile, missing_out);
}

}  // extern "C"
