/* Compiled, never run: the public header as plain C of any standard from C99. */
#include "vorlet_v2.h"

/* The version macros are there, and are integers a host can test in #if. */
#if !defined(VORLET_V2_VERSION) || !defined(VORLET_V2_VERSION_MAJOR) || !defined(VORLET_V2_VERSION_MINOR) || \
    !defined(VORLET_V2_VERSION_PATCH) ||                                                                    \
    VORLET_V2_VERSION_MAJOR * 10000 + VORLET_V2_VERSION_MINOR * 100 + VORLET_V2_VERSION_PATCH < 1
#error "the header has no usable version macros"
#endif

int vorlet_header_c11_probe(void);
int vorlet_header_c11_probe(void) {
  vorlet_v2_RuntimeOptions options = {0};
  return (int)sizeof options;
}
