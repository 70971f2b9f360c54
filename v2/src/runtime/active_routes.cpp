#include "runtime/active_routes.h"

#include <utility>

namespace vorlet::v2 {

ActiveRoutes::ActiveRoutes() noexcept {
  const MutexLock hold(&texts_mutex_);
  listen_host_texts_.construct();
}

RouteTableRefPtr ActiveRoutes::acquire() const noexcept {
  const SpinLockHold hold(&swap_);
  return RouteTableRefPtr(route_table_ref_retain(active_));
}

RouteTableRefPtr ActiveRoutes::publish(RouteTableRefPtr next, ListenHostTexts::node_type* host) noexcept {
  if (!host->empty()) {
    const MutexLock hold(&texts_mutex_);
    auto kept = listen_host_texts_->insert(std::move(*host));
    *host = std::move(kept.node);  // the refused duplicate, if any
    next->listen_host = kept.position->c_str();
  }
  RouteTableRef* replaced;
  {
    const SpinLockHold hold(&swap_);
    replaced = active_;
    active_ = next.release();  // the runtime's reference now
    generation_.store(active_->generation, std::memory_order_release);
    present_.store(true, std::memory_order_release);
  }
  return RouteTableRefPtr(replaced);
}

size_t ActiveRoutes::kept_listen_hosts() const noexcept {
  const MutexLock hold(&texts_mutex_);
  return listen_host_texts_.live() ? listen_host_texts_->size() : 0;
}

void ActiveRoutes::clear() noexcept {
  RouteTableRef* dropped;
  {
    const SpinLockHold hold(&swap_);
    dropped = active_;
    active_ = nullptr;
  }
  route_table_ref_release(dropped);
  const MutexLock hold(&texts_mutex_);
  listen_host_texts_.destroy();
}

}  // namespace vorlet::v2
