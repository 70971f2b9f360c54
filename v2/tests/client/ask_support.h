// Shared by the ask client's tests: the envelopes and deadletters they
// send and answer with, one await's outcome, and the client over pipes of
// the test's own, where the test plays the runtime's side.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "client/ask_client.h"
#include "client/ask_ticket.h"
#include "codec/frame_io.h"
#include "codec/message_buffer.h"
#include "platform/pipe.h"
#include "support/envelopes.h"
#include "support/pipe_support.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

namespace vorlet::v2::test::ask {

using Clock = std::chrono::steady_clock;

inline int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline std::string request(const std::string& id, const std::string& correlation = "",
                           transport::MessageKind kind = transport::MESSAGE_KIND_REQUEST, bool one_way = false) {
  return test::envelope({.message_id = id,
                         .correlation_id = correlation,
                         .source = "asker",
                         .target = kLocalTarget,
                         .reply_to = "asker.inbox",
                         .kind = kind,
                         .one_way = one_way,
                         .payload = "question"})
      .SerializeAsString();
}

inline std::string response(const std::string& correlation, const std::string& payload = "answer") {
  return test::envelope({.message_id = correlation + ".reply",
                         .correlation_id = correlation,
                         .kind = transport::MESSAGE_KIND_RESPONSE,
                         .payload = payload})
      .SerializeAsString();
}

inline std::string deadletter(const std::string& original_id, bool with_original = true) {
  transport::Deadletter d;
  if (with_original) d.mutable_original_envelope()->set_message_id(original_id);
  d.set_reason(transport::DEADLETTER_REASON_ROUTE_MISS);
  d.set_detail("no route");
  return d.SerializeAsString();
}

// What one await gave.
struct Outcome {
  int32_t status = 99;
  int32_t kind = 99;
  std::string bytes;
  bool had_bytes = false;
};

inline Outcome await(vorlet_v2_AskTicket* t, uint32_t timeout_ms = 5000) {
  Outcome o;
  void* bytes = reinterpret_cast<void*>(1);
  uint64_t length = 99;
  o.status = vorlet_v2_ask_ticket_await(t, timeout_ms, &o.kind, &bytes, &length);
  if (o.status == 99) return o;
  o.had_bytes = bytes != nullptr && bytes != reinterpret_cast<void*>(1);
  if (o.had_bytes) o.bytes.assign(static_cast<const char*>(bytes), length);
  if (o.had_bytes) vorlet_v2_client_bytes_release(bytes);
  return o;
}

// A client over a started runtime (so that begins are submitted) whose
// response and deadletter pipes are pipes of the test: the test plays the
// runtime's side and writes the answers itself.
class AskOverOwnPipes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fx.bring_up());
    handles = hand_made();
    client = vorlet_v2_ask_client_create(to_handle(fx.rt), &handles);
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override {
    for (vorlet_v2_AskTicket* t : tickets) vorlet_v2_ask_ticket_destroy(t);
    vorlet_v2_ask_client_destroy(client);
  }

  vorlet_v2_HostHandles hand_made() {
    vorlet_v2_HostHandles h{};
    h.struct_size = sizeof h;
    h.request_write_fd = -1;
    h.control_write_fd = -1;
    h.monitor_read_fd = -1;
    h.response_read_fd = response_pipe.read_fd;
    h.deadletter_read_fd = deadletter_pipe.read_fd;
    h.delivered_read_fd = fx.handles.delivered_read_fd;
    return h;
  }

  AskClientImpl& impl() { return *from_handle(client)->client; }

  int32_t begin(const std::string& bytes, vorlet_v2_AskTicket** out) {
    const int32_t s = vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), out);
    if (s == 0) tickets.push_back(*out);
    return s;
  }
  vorlet_v2_AskTicket* begin_ok(const std::string& id) {
    vorlet_v2_AskTicket* t = nullptr;
    EXPECT_EQ(begin(request(id), &t), 0) << id;
    return t;
  }
  // Tickets destroyed by the test itself leave the list.
  void destroy_ticket(vorlet_v2_AskTicket* t) {
    std::erase(tickets, t);
    vorlet_v2_ask_ticket_destroy(t);
  }

  static void write(int32_t fd, const std::string& body) {
    ASSERT_EQ(frame_write(fd, body.data(), body.size()), Status::ok);
  }
  void answer(const std::string& body) { write(response_pipe.write_fd, body); }
  void deadletter_frame(const std::string& body) { write(deadletter_pipe.write_fd, body); }

  // Until both lanes have read everything written so far: an answer to a
  // probe ask, written after it on each pipe, comes back.
  void settle() {
    vorlet_v2_AskTicket* by_response = begin_ok("probe." + std::to_string(probe_seq++));
    vorlet_v2_AskTicket* by_deadletter = begin_ok("probe." + std::to_string(probe_seq++));
    answer(response(vorlet_v2_ask_ticket_message_id(by_response)));
    deadletter_frame(deadletter(vorlet_v2_ask_ticket_message_id(by_deadletter)));
    EXPECT_EQ(await(by_response).kind, VORLET_V2_REPLY_KIND_RESPONSE);
    EXPECT_EQ(await(by_deadletter).kind, VORLET_V2_REPLY_KIND_DEADLETTER);
  }

  TestRuntime fx;
  TestPipe response_pipe;
  TestPipe deadletter_pipe;
  vorlet_v2_HostHandles handles{};
  vorlet_v2_AskClientHandle* client = nullptr;
  std::vector<vorlet_v2_AskTicket*> tickets;
  int probe_seq = 0;
};

}  // namespace vorlet::v2::test::ask
