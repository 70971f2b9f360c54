#include "support/job_support.h"

#include <chrono>
#include <thread>

#include "base/alloc.h"
#include "codec/frame_reader.h"
#include "base/text.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::test {
namespace {

void* frame_copy(const std::string& bytes) {
  FrameBuffer frame;
  if (frame_copy_from_bytes(bytes.data(), bytes.size(), &frame) != Status::ok) return nullptr;
  return frame.release();
}

// Points the job at host:port in a table of its own.
void name_host(JobHead* job, const char* host, uint16_t port) {
  job->host_table = host_table_for(host, port);
  job->host = job->host_table != nullptr ? job->host_table->table[0].endpoints[0].host : nullptr;
  job->port = port;
}

}  // namespace

RouteTableRef* host_table_for(const char* host, uint16_t port) {
  EndpointDesc endpoint{host, port, 1, 0};
  RouteDesc route{"svc", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &endpoint, 1};
  const RouteSnapshotDesc snapshot{1, &route, 1};
  RouteRecord* table = nullptr;
  uint64_t count = 0;
  if (route_table_build(&snapshot, &table, &count) != Status::ok) return nullptr;
  RouteTableRef* ref = route_table_ref_adopt(table, count, snapshot.generation);
  if (ref == nullptr) route_table_free(table, count);
  return ref;
}

std::string envelope_bytes(const std::string& message_id, uint64_t payload_bytes) {
  transport::Envelope env;
  env.set_message_id(message_id);
  env.set_correlation_id("corr-" + message_id);
  env.set_kind(transport::MESSAGE_KIND_REQUEST);
  env.set_target("svc");
  env.set_payload(std::string(payload_bytes, 'p'));
  return env.SerializeAsString();
}

LocalJobPtr make_local_job(const std::string& bytes, uint64_t generation, const char* host, uint16_t port,
                           ReplySlot* slot) {
  LocalJobPtr job(local_job_new());
  job->frame = frame_copy(bytes);
  job->length = bytes.size();
  job->generation = generation;
  name_host(job.get(), host, port);
  job->timeout_ms = 1000;
  reply_slot_retain(slot);
  job->reply_slot = slot;
  return job;
}

RemoteJobPtr make_remote_job(const std::string& bytes, uint64_t generation, const char* host, uint16_t port,
                             ReplySlot* slot) {
  RemoteJobPtr job(remote_job_new());
  job->frame = frame_copy(bytes);
  job->length = bytes.size();
  job->generation = generation;
  name_host(job.get(), host, port);
  job->expects_reply = 1;
  job->timeout_ms = 1000;
  reply_slot_retain(slot);
  job->reply_slot = slot;
  // As the dispatcher keeps it from its parse.
  transport::Envelope env;
  job->message_id = text_dup(env.ParseFromString(bytes) ? env.message_id().c_str() : "");
  return job;
}

IngressItem make_item(const std::string& bytes, ReplySlot* slot) {
  reply_slot_retain(slot);
  return IngressItem{frame_copy(bytes), bytes.size(), slot != nullptr ? IngressOrigin::remote : IngressOrigin::host,
                     slot};
}

Status read_all_frames(int32_t fd, std::vector<std::string>* frames, uint32_t timeout_ms) {
  FrameReader* reader = frame_reader_create(fd, 0);
  if (reader == nullptr) return Status::invalid_arg;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  Status s;
  for (;;) {
    void* frame = nullptr;
    uint64_t length = 0;
    s = frame_read_try(reader, &frame, &length);
    if (s == Status::ok) {
      frames->emplace_back(static_cast<const char*>(frame), length);
      frame_buffer_release(frame);
      continue;
    }
    if (s != Status::would_block || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  frame_reader_destroy(reader);
  return s;
}

}  // namespace vorlet::v2::test
