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
// Commits are serialized by runtime_lock (control_apply.cpp), which also
// guards the kept listen-host texts; the lock here comes after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

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
  ActiveRoutes() noexcept { listen_host_texts_.construct(); }
  ActiveRoutes(const ActiveRoutes&) = delete;
  ActiveRoutes& operator=(const ActiveRoutes&) = delete;
  ~ActiveRoutes() { clear(); }

  // The active table, retained; NULL before the first commit.
  RouteTableRefPtr acquire() const noexcept;

  // Makes `next` (not NULL, its listen address set) the active table and
  // hands back the reference to the one it replaces (NULL the first time):
  // the caller releases it once it holds no lock, for the last release
  // frees a whole table.
  RouteTableRefPtr publish(RouteTableRefPtr next) noexcept;

  // Whether a commit has published a table, and the active generation (0
  // before the first commit); each is one atomic load.
  bool present() const noexcept { return present_.load(std::memory_order_acquire); }
  uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

  // Installs a commit's listen host among the kept texts: a text kept
  // already is used again (the prepared node is then left in `node`, to
  // be freed with it), a new one joins them. Allocates nothing. The caller
  // holds runtime_lock.
  const char* keep_listen_host(ListenHostTexts::node_type* node) noexcept;
  // How many texts are kept. The caller holds runtime_lock.
  size_t kept_listen_hosts() const noexcept { return listen_host_texts_.live() ? listen_host_texts_->size() : 0; }

  // Drops the active table and the kept texts (destroy).
  void clear() noexcept;

 private:
  // Held for the swap or one retain; a spinning waiter never waits long.
  class SwapGuard;
  mutable std::atomic_flag swap_ = ATOMIC_FLAG_INIT;
  RouteTableRef* active_ = nullptr;  // under swap_; holds one reference
  std::atomic<bool> present_{false};
  std::atomic<uint64_t> generation_{0};
  // Under runtime_lock. In a slot of its own, so that the runtime object
  // keeps a plain layout.
  InPlace<ListenHostTexts> listen_host_texts_;
};

}  // namespace vorlet::v2
