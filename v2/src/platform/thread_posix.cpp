#include <pthread.h>
#include <signal.h>

#include <system_error>

#include "base/library_thread.h"
#include "platform/thread.h"

namespace vorlet::v2::platform {

bool start_thread(std::thread* out, ThreadProc proc, void* arg) noexcept {
  // A new thread inherits the creator's signal mask: block SIGPIPE around
  // the creation, then give the creator its own mask back.
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &block, &saved) != 0) return false;
  bool ok = true;
  try {
    *out = std::thread([proc, arg] {
      mark_library_thread();
      proc(arg);
    });
  } catch (...) {
    ok = false;
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return ok;
}

void join_thread(std::thread* t) noexcept {
  if (t->joinable()) {
    try {
      t->join();
    } catch (const std::system_error&) {
    }
  }
}

}  // namespace vorlet::v2::platform
