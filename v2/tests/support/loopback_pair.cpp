#include "support/loopback_pair.h"

#include "support/scripted_peer.h"

namespace vorlet::v2::test {

bool LoopbackPair::bring_up() {
  if (a.rt == nullptr || b.rt == nullptr) return false;
  a_port = free_loopback_port();
  b_port = free_loopback_port();
  while (b_port == a_port && b_port != 0) b_port = free_loopback_port();
  if (a_port == 0 || b_port == 0) return false;

  FlatSnapshot b_routes(1);
  b_routes.route(kRemoteTarget, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER,
                 {{"127.0.0.1", b_port, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}});
  if (b.take_handles() != Status::ok || b.apply(b_routes) != Status::ok || b.start() != Status::ok) return false;

  FlatSnapshot a_routes(1);
  add_local_route(&a_routes, a_port);
  a_routes.route(kRemoteTarget, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", b_port, 1, 0}});
  return a.take_handles() == Status::ok && a.apply(a_routes) == Status::ok && a.start() == Status::ok;
}

Status LoopbackPair::stop_both() {
  const Status sa = a.stop();
  const Status sb = b.stop();
  return sa != Status::ok ? sa : sb;
}

}  // namespace vorlet::v2::test
