#include "base/library_thread.h"

namespace vorlet::v2 {
namespace {

thread_local bool t_library_thread = false;

}  // namespace

void mark_library_thread() noexcept { t_library_thread = true; }

bool on_library_thread() noexcept { return t_library_thread; }

}  // namespace vorlet::v2
