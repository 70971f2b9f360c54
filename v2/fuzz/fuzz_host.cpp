#include "fuzz_host.h"

#include <cstdlib>
#include <string>
#include <thread>

#include "pool/frame_buffer.h"
#include "codec/frame_reader.h"
#include "fuzz_support.h"
#include "platform/sleep.h"
#include "platform/pipe.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::fuzz {
namespace {

namespace pb = vorlet::v2::transport;

FuzzHost* g_host = nullptr;
std::thread g_server;

// The response the host gives to a two-way request, or "" for anything
// else (which needs no answer).
std::string answer(const void* frame, uint64_t length) {
  pb::Envelope request;
  if (!request.ParseFromArray(frame, static_cast<int>(length))) return {};
  if (request.kind() != pb::MESSAGE_KIND_REQUEST || request.one_way() || request.message_id().empty()) return {};
  pb::Envelope response;
  response.set_message_id(request.message_id() + ".r");
  response.set_correlation_id(request.message_id());
  response.set_source("fuzz.host");
  // Back to the requester when its name is a text the runtime can route
  // on (not empty, no NUL inside); else to some other name.
  const std::string& source = request.source();
  const bool routable = !source.empty() && source.find('\0') == std::string::npos;
  response.set_target(routable ? source : "fuzz.peer");
  response.set_kind(pb::MESSAGE_KIND_RESPONSE);
  response.set_payload("answer");
  return response.SerializeAsString();
}

}  // namespace

FuzzHost& FuzzHost::get(bool drain_replies) {
  if (g_host == nullptr) {
    g_host = new FuzzHost(drain_replies);
    g_server = std::thread([] { g_host->serve(); });
    std::atexit(teardown);
  }
  return *g_host;
}

FuzzHost::FuzzHost(bool drain_replies) : drain_replies_(drain_replies) {
  vorlet_v2_RuntimeOptions options{"fuzz", "host", 0, 64};
  runtime_ = vorlet_v2_runtime_create(&options);
  FUZZ_CHECK(runtime_ != nullptr);
  handles_.struct_size = sizeof handles_;
  handles_.flags = VORLET_V2_HOST_HANDLE_DELIVERED_PIPE;
  FUZZ_CHECK(vorlet_v2_runtime_get_host_handles(runtime_, &handles_) == 0);

  const uint16_t own = free_loopback_port();
  const uint16_t nobody = free_loopback_port();
  FUZZ_CHECK(own != 0 && nobody != 0 && own != nobody);
  const vorlet_v2_EndpointDesc local[] = {{"127.0.0.1", own, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}};
  const vorlet_v2_EndpointDesc remote[] = {{"127.0.0.1", nobody, 1, 0}};
  const vorlet_v2_EndpointDesc drained[] = {{"127.0.0.1", nobody, 1, VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE}};
  const vorlet_v2_EndpointDesc mixed[] = {{"127.0.0.1", own, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL},
                                          {"127.0.0.1", nobody, 1, 0}};
  const vorlet_v2_RouteDesc routes[] = {
      {"svc.local", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, local, 1},
      {"svc.remote", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, remote, 1},
      {"svc.drained", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, drained, 1},
      {"svc.mixed", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN, nullptr, VORLET_V2_ROUTE_FLAG_PREFER_LOCAL, mixed,
       2},
  };
  const vorlet_v2_RouteSnapshotDesc snapshot{1, routes, sizeof routes / sizeof routes[0]};
  FUZZ_CHECK(vorlet_v2_runtime_apply_control_snapshot(runtime_, &snapshot) == 0);
  FUZZ_CHECK(vorlet_v2_runtime_start(runtime_) == 0);
}

void FuzzHost::teardown() {
  // Stop closes the runtime's ends of the host-bound pipes: the host's
  // thread reads end of file and ends.
  vorlet_v2_runtime_stop(g_host->runtime_);
  g_server.join();
  vorlet_v2_runtime_destroy(g_host->runtime_);
  const int32_t fds[] = {g_host->handles_.request_write_fd, g_host->handles_.response_read_fd,
                         g_host->handles_.deadletter_read_fd, g_host->handles_.control_write_fd,
                         g_host->handles_.delivered_read_fd};
  for (int32_t fd : fds) platform::fd_close(fd);
  delete g_host;
  g_host = nullptr;
}

void FuzzHost::serve() {
  struct Lane {
    FrameReader* reader;
    bool answers;
    bool open;
  };
  Lane lanes[3] = {{frame_reader_create(handles_.delivered_read_fd, 0), true, true},
                   {frame_reader_create(handles_.response_read_fd, 0), false, drain_replies_},
                   {frame_reader_create(handles_.deadletter_read_fd, 0), false, drain_replies_}};
  uint32_t idle = 0;
  for (;;) {
    bool any_open = false;
    bool progress = false;
    for (Lane& lane : lanes) {
      if (!lane.open) continue;
      any_open = true;
      void* frame = nullptr;
      uint64_t length = 0;
      const Status s = frame_read_try(lane.reader, &frame, &length);
      if (s == Status::closed) {
        lane.open = false;
      } else if (s == Status::ok) {
        progress = true;
        if (lane.answers) {
          const std::string response = answer(frame, length);
          if (!response.empty()) {
            (void)vorlet_v2_runtime_submit_envelope(runtime_, response.data(), response.size());
          }
        }
        frame_buffer_release(frame);
      }
    }
    if (!any_open) break;
    // Stay quick while frames come; back off once it is quiet.
    idle = progress ? 0 : idle + 1;
    if (idle > 2000) {
      platform::sleep_ms(1);
    } else if (idle > 0) {
      std::this_thread::yield();
    }
  }
  for (Lane& lane : lanes) frame_reader_destroy(lane.reader);
}

}  // namespace vorlet::v2::fuzz
