/* The shared library is the internal static target linked whole; this unit
 * only gives the link a source of its own. */
#include "vorlet_v2.h"
