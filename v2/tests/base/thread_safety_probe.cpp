// Compiled, not run, by the clang build's thread-safety tests, with the
// core library's own compile options: with VORLET_MISUSE a guarded field
// is written without its lock, which the analysis must refuse; without it
// the same code holds the lock and compiles, every warning of the library
// on. So a library build that lost -Wthread-safety, or annotations that no
// longer bind, fails a test.
#include "base/mutex.h"

namespace {

struct Counted {
  vorlet::v2::Mutex mu;
  int value GUARDED_BY(mu) = 0;
};

}  // namespace

int bump(Counted* c) {
#if defined(VORLET_MISUSE)
  return ++c->value;
#else
  vorlet::v2::MutexLock hold(&c->mu);
  return ++c->value;
#endif
}

int main() {
  Counted c;
  return bump(&c) == 1 ? 0 : 1;
}
