// The routes of a runtime: the active route table, published.
//
// A snapshot commit builds a RouteTableRef (route_table_ref.h) and
// publishes it here at once; the dispatcher, failover and every getter
// retain the one they find and read it for as long as they like, without
// runtime_lock. The one lock here guards the pointer swap and the one
// reference count of a retain: it is held for a few instructions, never
// over a call, so no reader can hold up a commit, the dispatcher or
// another reader, whatever it does with the table it took.
//
// Commits are serialized by runtime_lock (control_apply.cpp); the locks
// here come after it and after every other lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "base/mutex.h"
#include "runtime/in_place.h"
#include "runtime/route_table_ref.h"

namespace vorlet::v2 {

// Every listen-host text a commit installed. Kept until destroy, so that a
// pointer to the active listen host that was handed out never dangles when
// a later commit replaces it; a text is kept once however often it comes
// back. A node-based set: a text never moves once in it, a commit finds its
// text without scanning them all, and the node it links in was allocated
// before the commit took runtime_lock.
using ListenHostTexts = std::set<std::string, std::less<>>;

class ActiveRoutes {
 public:
  ActiveRoutes() noexcept;
  ActiveRoutes(const ActiveRoutes&) = delete;
  ActiveRoutes& operator=(const ActiveRoutes&) = delete;
  ~ActiveRoutes() { clear(); }

  // The active table, retained; NULL before the first commit.
  RouteTableRefPtr acquire() const noexcept;

  // Makes `next` (not NULL, its listen port set) the active table, its
  // listen host the kept text equal to the one in `host` (none for an
  // empty node; a node whose text is kept already is left in `host`, to be
  // freed with it), and hands back the reference to the table it replaces
  // (NULL the first time): the caller releases it once it holds no lock,
  // for the last release frees a whole table. Allocates nothing.
  RouteTableRefPtr publish(RouteTableRefPtr next, ListenHostTexts::node_type* host) noexcept;

  // Whether a commit has published a table, and the active generation (0
  // before the first commit); each is one atomic load.
  bool present() const noexcept { return present_.load(std::memory_order_acquire); }
  uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

  // How many listen-host texts are kept.
  size_t kept_listen_hosts() const noexcept;

  // Drops the active table and the kept texts (destroy).
  void clear() noexcept;

 private:
  // Held for the swap or one retain; a spinning waiter never waits long.
  mutable SpinLock swap_;
  RouteTableRef* active_ GUARDED_BY(swap_) = nullptr;  // holds one reference
  std::atomic<bool> present_{false};
  std::atomic<uint64_t> generation_{0};
  // Taken by commits and destroy only, never with swap_ held: the readers
  // read the texts through their table, not the set.
  // In a slot of its own, so that the runtime object keeps a standard
  // layout.
  mutable Mutex texts_mutex_;
  InPlace<ListenHostTexts> listen_host_texts_ GUARDED_BY(texts_mutex_);
};

}  // namespace vorlet::v2
