// Control envelope parsing: the bytes of a control envelope (from the
// control pipe or a call) into a header, a flat route snapshot and an
// overload policy. Only an apply-snapshot envelope carrying a route snapshot
// payload, in protobuf or JSON, is accepted. The routes themselves are
// judged later, by the route table build.
//
// The parse keeps nothing and takes no lock; the decoded messages live only
// for the call.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "runtime/route_table.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

using OverloadPolicyDesc = vorlet_v2_OverloadPolicyDesc;

// The scalar fields of a control envelope. The runtime acts on none of seq
// and schema_version.
struct ControlEnvelopeHeader {
  uint64_t seq;
  uint64_t generation;
  int32_t kind;
  int32_t payload_format;
  int32_t payload_type;
  uint32_t schema_version;
};

void control_envelope_header_clear(ControlEnvelopeHeader* header) noexcept;

// Parses `len` bytes of a control envelope. On ok: `snapshot` holds a new
// flat snapshot owned by the caller (release it with route_snapshot_desc_free
// whatever becomes of it), `policy` the payload's overload policy and
// *has_policy 1 when the payload carried one. The header is filled as soon as
// the envelope decodes, also when a later step fails. On failure: the
// snapshot is empty, the policy holds struct_size 32 and zeros, and `text`
// (when not NULL and text_cap > 0) the reason, cut to text_cap - 1.
// invalid_arg for a wrong kind, payload type, format or generation, or an
// endpoint port above 65535; io for bytes that do not decode; nomem.
Status control_envelope_apply_parse(const void* bytes, uint64_t len, ControlEnvelopeHeader* header, char* text,
                                    uint64_t text_cap, RouteSnapshotDesc* snapshot, OverloadPolicyDesc* policy,
                                    int32_t* has_policy) noexcept;

// Frees every text and array of a snapshot built by the parse and zeroes its
// fields. NULL is ignored. Not for snapshots a host built.
void route_snapshot_desc_free(RouteSnapshotDesc* snapshot) noexcept;

}  // namespace vorlet::v2
