#include "support/job_support.h"

#include <chrono>
#include <thread>

#include "codec/alloc.h"
#include "codec/frame_reader.h"
#include "codec/text.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::test {
namespace {

void* frame_copy(const std::string& bytes) {
  FrameBuffer frame;
  if (frame_copy_from_bytes(bytes.data(), bytes.size(), &frame) != Status::ok) return nullptr;
  return frame.release();
}

}  // namespace

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
  job->host = text_dup(host);
  job->port = port;
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
  job->host = text_dup(host);
  job->port = port;
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
