// The records that travel on the runtime's rings: the ingress item (toward
// the dispatcher) and the local and remote jobs (toward the two workers).
//
// Ownership: an item or job owns its frame buffer, one reference to the
// route table its host text lives in, one reference to its reply slot and
// (an item from a peer) the parse it carries. A successful push passes all
// of it to the ring and then to the consumer; a refused push leaves it with
// the caller. One place frees each part: the job free functions below, or
// whoever discards an item. One path fails a job: job_fail.
#pragma once

#include <cstdint>
#include <memory>

#include "base/mutex.h"
#include "base/status.h"
#include "codec/codes.h"
#include "codec/parsed_envelope.h"
#include "pool/frame_buffer.h"
#include "runtime/reply_registry.h"
#include "runtime/route_resolution.h"
#include "runtime/route_table_ref.h"

namespace vorlet::v2 {

struct Runtime;

enum class IngressOrigin : int32_t {
  host = 0,    // the submit call or the request pipe
  remote = 1,  // a request from a remote peer, answered through its reply slot
};

struct IngressItem {
  void* frame;      // a frame buffer with the serialized envelope; owned
  uint64_t length;  // never 0
  IngressOrigin origin;
  ReplySlot* reply_slot;  // one reference, only for a remote origin
  // The inbound handler's parse of the frame's bytes, already checked, so
  // that the dispatcher does not parse them again; owned (a record of
  // parsed_envelope_move_to_heap). NULL: the dispatcher parses the frame.
  ParsedEnvelope* parsed = nullptr;
};

// Gives back an item's frame buffer, slot reference and parse and clears
// it.
void ingress_item_discard(IngressItem* item) noexcept;

struct JobFreeList;

// What local and remote jobs have in common: the envelope, where it
// resolved to, and the requester's slot. job_fail reads a job through it.
struct JobHead {
  JobFreeList* home;  // where the job goes when freed; NULL: the allocator
  void* frame;  // owned frame buffer
  uint64_t length;
  uint64_t generation;  // the route generation the target resolved under
  // The endpoint (to try next, for a remote job): host points into
  // host_table, of which the job holds one reference. Both NULL until the
  // envelope resolves.
  const char* host;
  RouteTableRef* host_table;
  uint16_t port;
  int32_t timeout_ms;     // the envelope's, 1000 for 0 or less
  ReplySlot* reply_slot;  // the item's reference, or NULL
};

struct LocalJob : JobHead {
  // A one-way request: a remote requester waiting on reply_slot is answered
  // as soon as the envelope is handed to the host.
  uint32_t one_way;
};

// The endpoints a remote job has already tried. The first four live inline,
// so a job that fails over at most four times allocates no array. The set
// owns every host text; entries reads as an exclusion list for route
// resolution.
inline constexpr uint64_t kTriedInlineEntries = 4;

struct TriedEndpointSet {
  EndpointKey inline_entries[kTriedInlineEntries];
  EndpointKey* heap;  // once more than four are held; owned
  uint64_t count;
  uint64_t capacity;  // of heap; 0 while the entries are inline
};

// The entries, count of them, wherever they live.
inline const EndpointKey* tried_set_entries(const TriedEndpointSet* set) noexcept {
  return set->heap != nullptr ? set->heap : set->inline_entries;
}
// The number of entries; 0 for NULL.
inline uint64_t tried_set_count(const TriedEndpointSet* set) noexcept { return set != nullptr ? set->count : 0; }
// An empty set.
inline void tried_set_init(TriedEndpointSet* set) noexcept { *set = TriedEndpointSet{}; }
// Records host:port (a copy of host) unless the set already holds it (same
// port, same host by strcmp). invalid_arg for a NULL set or host, an empty
// host or port 0; nomem when the copy or a bigger array cannot be had (the
// set is then unchanged). Past the inline entries the array starts at 8 and
// doubles when full.
Status tried_set_add(TriedEndpointSet* set, const char* host, uint16_t port) noexcept;
// Frees every host text and the array and empties the set.
void tried_set_clear(TriedEndpointSet* set) noexcept;

struct RemoteJob : JobHead {
  // Monotonic; 0: none. Expired when 0 < deadline_ns <= now. For a relayed
  // request never later than its requester's wait.
  uint64_t deadline_ns;
  TriedEndpointSet tried;
  uint32_t expects_reply;  // 1 unless the envelope is one-way
  // Owned copy of the envelope's message_id ("" when it has none; NULL
  // reads as ""): what a peer's reply must name to be about this job.
  char* message_id;
  // The parse the dispatcher routed on (its own, or the one a peer's item
  // carried), moved in and owned, for failover to resolve again without
  // parsing the frame a second time; has_parsed 0: none (failover then
  // parses the frame). Begun by remote_job_new, ended by remote_job_free.
  ParsedEnvelope parsed;
  uint32_t has_parsed;
};

// Freed jobs of one kind, kept by a runtime for its next envelopes, so
// that a job taken from here costs no allocation. Bounded by cap (about
// as many jobs as can be alive at once: a ring full and one in each
// stage's hand); a job freed while the list is full goes back to the
// allocator. Under its own mutex, held for a pointer swap: the dispatcher
// takes jobs, the workers and the stop drains free them. One list holds
// jobs of one kind only.
struct JobFreeList {
  Mutex lock;
  void* head GUARDED_BY(lock) = nullptr;  // each idle job's first word links the next
  uint64_t count GUARDED_BY(lock) = 0;
  uint64_t cap = 0;  // fixed by init
};

// An empty list for at most cap jobs.
void job_free_list_init(JobFreeList* list, uint64_t cap) noexcept;
// Frees every idle job and ends the list; a list never initialised (zero-
// filled) is fine. Every job taken from it must have been freed before.
void job_free_list_clear(JobFreeList* list) noexcept;
// The number of idle jobs held.
uint64_t job_free_list_count(JobFreeList* list) noexcept;

// Zeroed jobs (but for home), from `list` when it holds one, else newly
// allocated; nullptr on exhaustion. With a list the job goes back to it
// when freed. The caller owns them until a push takes them.
LocalJob* local_job_new(JobFreeList* list = nullptr) noexcept;
RemoteJob* remote_job_new(JobFreeList* list = nullptr) noexcept;

// NULL-safe: release the frame buffer, drop the host's table, (remote) clear
// the tried set and free the message id and the parse, drop the reply slot reference,
// give the job back to its list or free it.
void local_job_free(LocalJob* job) noexcept;
void remote_job_free(RemoteJob* job) noexcept;

// The one failure path of a job: the reply slot's entry leaves the reply
// registry first, so that a late response can no longer find it; then the
// deadletter (attempt_count as given) answers the slot, or else goes to the
// host. The job and its slot reference stay the caller's. A stage that
// fails an envelope and slot it holds outside a job (the dispatcher's
// item) fills a head for the call; nothing here frees or keeps it.
void job_fail(Runtime* rt, const JobHead& job, DeadletterReason reason, const char* detail,
              uint32_t attempt_count = 0) noexcept;

struct LocalJobFree {
  void operator()(LocalJob* job) const noexcept { local_job_free(job); }
};
struct RemoteJobFree {
  void operator()(RemoteJob* job) const noexcept { remote_job_free(job); }
};

// Own one job until release() hands it to a ring.
using LocalJobPtr = std::unique_ptr<LocalJob, LocalJobFree>;
using RemoteJobPtr = std::unique_ptr<RemoteJob, RemoteJobFree>;

}  // namespace vorlet::v2
