// The library's status codes, for the layers above the platform: they are
// defined in base/status.h, which the platform layer shares.
#pragma once

#include "base/status.h"
