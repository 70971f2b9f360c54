/* Compiled, never run: the public header as plain C of any standard from C99. */
#include "vorlet_v2.h"

/* The version macros are there, and are integers a host can test in #if. */
#if !defined(VORLET_V2_VERSION) || !defined(VORLET_V2_VERSION_MAJOR) || !defined(VORLET_V2_VERSION_MINOR) || \
    !defined(VORLET_V2_VERSION_PATCH) ||                                                                    \
    VORLET_V2_VERSION_MAJOR * 10000 + VORLET_V2_VERSION_MINOR * 100 + VORLET_V2_VERSION_PATCH < 1
#error "the header has no usable version macros"
#endif
/* The single number is its parts', as the header says, and orders them. */
#if !defined(VORLET_V2_VERSION_NUMBER) || VORLET_V2_VERSION_MINOR > 99 || VORLET_V2_VERSION_PATCH > 99 || \
    VORLET_V2_VERSION_NUMBER != VORLET_V2_VERSION_MAJOR * 10000 + VORLET_V2_VERSION_MINOR * 100 + VORLET_V2_VERSION_PATCH
#error "VORLET_V2_VERSION_NUMBER is not major * 10000 + minor * 100 + patch"
#endif

int vorlet_header_c11_probe(void);
int vorlet_header_c11_probe(void) {
  vorlet_v2_RuntimeOptions options = {0};
  return (int)sizeof options;
}
