#include "runtime/active_routes.h"

#include <thread>
#include <utility>

#include "platform/cpu.h"

namespace vorlet::v2 {

// The swap lock: test-and-set. A holder keeps it for a few instructions,
// so a waiter spins; should the holder have been preempted, the waiter
// yields its turn rather than burn it.
class ActiveRoutes::SwapGuard {
 public:
  explicit SwapGuard(std::atomic_flag& flag) noexcept : flag_(flag) {
    for (uint32_t spins = 0; flag_.test_and_set(std::memory_order_acquire); ++spins) {
      if (spins < 64) {
        platform::cpu_relax();
      } else {
        std::this_thread::yield();
      }
    }
  }
  ~SwapGuard() { flag_.clear(std::memory_order_release); }
  SwapGuard(const SwapGuard&) = delete;
  SwapGuard& operator=(const SwapGuard&) = delete;

 private:
  std::atomic_flag& flag_;
};

RouteTableRefPtr ActiveRoutes::acquire() const noexcept {
  const SwapGuard hold(swap_);
  return RouteTableRefPtr(route_table_ref_retain(active_));
}

RouteTableRefPtr ActiveRoutes::publish(RouteTableRefPtr next) noexcept {
  RouteTableRef* replaced;
  {
    const SwapGuard hold(swap_);
    replaced = active_;
    active_ = next.release();  // the runtime's reference now
    generation_.store(active_->generation, std::memory_order_release);
    present_.store(true, std::memory_order_release);
  }
  return RouteTableRefPtr(replaced);
}

const char* ActiveRoutes::keep_listen_host(ListenHostTexts::node_type* node) noexcept {
  if (node->empty()) return nullptr;
  auto kept = listen_host_texts_->insert(std::move(*node));
  *node = std::move(kept.node);  // the refused duplicate, if any
  return kept.position->c_str();
}

void ActiveRoutes::clear() noexcept {
  RouteTableRef* dropped;
  {
    const SwapGuard hold(swap_);
    dropped = active_;
    active_ = nullptr;
  }
  route_table_ref_release(dropped);
  listen_host_texts_.destroy();
}

}  // namespace vorlet::v2
