// Compiled, never run: the public header as C++ of any standard from C++11.
#include "vorlet_v2.h"

int vorlet_header_cxx_probe();
int vorlet_header_cxx_probe() {
  vorlet_v2_RuntimeOptions options = {};
  return static_cast<int>(sizeof options);
}
