#include "runtime/route_table_ref.h"

#include <new>

#include "base/alloc.h"

namespace vorlet::v2 {

RouteTableRef* route_table_ref_adopt(RouteRecord* table, uint64_t count, uint64_t generation) noexcept {
  if (table == nullptr && count != 0) return nullptr;
  void* block = rt_malloc(sizeof(RouteTableRef));
  if (block == nullptr) return nullptr;
  auto* ref = ::new (block) RouteTableRef;
  ref->refs.store(1, std::memory_order_relaxed);
  ref->table = table;
  ref->count = count;
  ref->generation = generation;
  ref->listen_host = nullptr;
  ref->listen_port = 0;
  ref->drained = route_table_count_drained(table, count);
  return ref;
}

RouteTableRef* route_table_ref_retain(RouteTableRef* ref) noexcept {
  // Relaxed: the caller already holds a reference that keeps it alive.
  if (ref != nullptr) ref->refs.fetch_add(1, std::memory_order_relaxed);
  return ref;
}

void route_table_ref_release(RouteTableRef* ref) noexcept {
  if (ref == nullptr) return;
  // Release on every drop, acquire on the last: whatever a holder did with
  // the table happens before it is freed.
  if (ref->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  route_table_free(ref->table, ref->count);
  ref->~RouteTableRef();
  rt_free(ref);
}

}  // namespace vorlet::v2
