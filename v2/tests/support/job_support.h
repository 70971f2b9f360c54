// Envelopes, jobs and items for tests that drive the rings and workers
// directly, and a reader of the host's side of one pipe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "runtime/jobs.h"

namespace vorlet::v2::test {

// A serialized REQUEST envelope with this message id, target "svc" and a
// payload of payload_bytes bytes.
std::string envelope_bytes(const std::string& message_id, uint64_t payload_bytes = 0);

// A one-route table ("svc") whose one endpoint is host:port, with one
// reference for the caller: what a job's host points into.
RouteTableRef* host_table_for(const char* host, uint16_t port);

// A local job carrying a copy of bytes and naming host:port (in a table of
// its own, host_table_for); slot gets a reference of its own. A remote job
// also carries the envelope's message id.
LocalJobPtr make_local_job(const std::string& bytes, uint64_t generation = 7, const char* host = "local-a",
                           uint16_t port = 7001, ReplySlot* slot = nullptr);
RemoteJobPtr make_remote_job(const std::string& bytes, uint64_t generation = 7, const char* host = "remote-b",
                             uint16_t port = 7002, ReplySlot* slot = nullptr);
// An ingress item owning a frame copy of bytes (and a slot reference when
// slot is given); release with ingress_item_discard unless a push took it.
IngressItem make_item(const std::string& bytes, ReplySlot* slot = nullptr);

// Reads frames from the host's end fd until end of file (or until about
// timeout_ms pass); closed is the normal end.
Status read_all_frames(int32_t fd, std::vector<std::string>* frames, uint32_t timeout_ms = 10000);

}  // namespace vorlet::v2::test
