/* Compiled, never run: the public header is plain C11. */
#include "vorlet_v2.h"

int vorlet_header_c11_probe(void);
int vorlet_header_c11_probe(void) {
  vorlet_v2_RuntimeOptions options = {0};
  return (int)sizeof options;
}
