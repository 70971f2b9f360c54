#include <pthread.h>
#include <signal.h>

#include <system_error>

#include "platform/thread.h"

namespace vorlet::v2::platform {
namespace {

thread_local bool t_library_thread = false;

}  // namespace

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
      t_library_thread = true;
      proc(arg);
    });
  } catch (...) {
    ok = false;
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return ok;
}

bool on_library_thread() noexcept { return t_library_thread; }

void join_thread(std::thread* t) noexcept {
  if (t->joinable()) {
    try {
      t->join();
    } catch (const std::system_error&) {
    }
  }
}

}  // namespace vorlet::v2::platform
