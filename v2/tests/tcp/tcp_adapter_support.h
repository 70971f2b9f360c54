// Shared by the TCP adapter's tests: an owned adapter and its counters, one
// client exchange and all it gave back, and a listening adapter whose
// handler a test scripts (what it answers, whether it blocks, what it saw).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/alloc.h"
#include "runtime/runtime.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"
#include "support/waiting.h"
#include "tcp/tcp_adapter.h"
#include "tcp/tcp_frame.h"

namespace vorlet::v2::test::adapter {

using test::Bytes;
using test::eventually;
using test::ms_since;
using test::operator+;
using test::PeerClient;
using test::PeerStep;
using test::ScriptedServer;
using test::wire_bytes;
using test::wire_frame;
using test::wire_request_body;
using test::wire_u32;
using test::wire_u64;

struct AdapterDeleter {
  void operator()(TcpAdapter* a) const { tcp_adapter_destroy(a); }
};
using AdapterPtr = std::unique_ptr<TcpAdapter, AdapterDeleter>;

inline AdapterPtr make_adapter() { return AdapterPtr(tcp_adapter_create()); }

inline TcpAdapterStats stats_of(const TcpAdapter* a) {
  TcpAdapterStats s{99, 99, 99};
  tcp_adapter_stats(a, &s);
  return s;
}

struct Exchanged {
  Status status = Status::ok;
  int32_t kind = -1;
  bool reply_null = false;
  std::string reply;
  int32_t reason = -1;
  std::string text;
};

inline Exchanged exchange(TcpAdapter* a, const std::string& payload, uint16_t port, uint32_t timeout_ms,
                          const char* host = "127.0.0.1", uint64_t text_capacity = 160, int32_t expire_fd = -1) {
  Exchanged out;
  uint8_t* reply = reinterpret_cast<uint8_t*>(&out);  // must be overwritten
  uint64_t reply_length = 77;
  char text[160];
  std::memset(text, '#', sizeof text);
  out.status = tcp_adapter_exchange(a, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), host, port,
                                    timeout_ms, &out.kind, &reply, &reply_length, &out.reason, text, text_capacity,
                                    expire_fd);
  out.reply_null = reply == nullptr;
  if (reply != nullptr) out.reply.assign(reinterpret_cast<const char*>(reply), reply_length);
  EXPECT_TRUE(reply != nullptr || reply_length == 0);
  rt_free(reply);
  out.text = text;
  return out;
}

inline AdapterPtr started_outbound() {
  AdapterPtr a = make_adapter();
  EXPECT_EQ(tcp_adapter_start(a.get(), nullptr, 0, nullptr, nullptr), Status::ok);
  return a;
}

// What a test handler does, and what it saw. The listener thread and the
// test meet only through the mutex and the atomics.
struct HandlerScript {
  struct Result {
    Status status = Status::ok;
    int32_t kind = 1;
    int32_t reason = 0;
    std::string text;
    bool fill_text = false;  // leave the whole buffer without a terminator
    std::string reply;
    bool block = false;  // wait until `release` is set (at most 10 s)
  };
  struct Seen {
    std::string payload;
    uint32_t timeout_ms = 0;
    bool presets_ok = false;
  };

  void set(Result r) {
    std::lock_guard<std::mutex> hold(mutex);
    result = std::move(r);
  }
  Seen seen() {
    std::lock_guard<std::mutex> hold(mutex);
    return last;
  }

  std::mutex mutex;  // guards result and last
  Result result;
  Seen last;
  std::atomic<int> calls{0};
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
};

// A response carrying `reply`.
inline HandlerScript::Result replying(const std::string& reply, bool block = false) {
  HandlerScript::Result r;
  r.reply = reply;
  r.block = block;
  return r;
}

inline Status scripted_handler(void* context, const uint8_t* payload, uint64_t length, uint32_t timeout_ms,
                               int32_t* result_kind, uint8_t** reply, uint64_t* reply_length, int32_t* reason,
                               char* text, uint64_t text_capacity, InboundWatch* /*watch*/) {
  auto* h = static_cast<HandlerScript*>(context);
  HandlerScript::Result r;
  {
    std::lock_guard<std::mutex> hold(h->mutex);
    h->last.payload.assign(reinterpret_cast<const char*>(payload), length);
    h->last.timeout_ms = timeout_ms;
    h->last.presets_ok = *result_kind == 0 && *reply == nullptr && *reply_length == 0 && *reason == 6 &&
                         text[0] == '\0' && text_capacity == 160;
    r = h->result;
  }
  h->entered.store(true);
  for (int i = 0; r.block && i < 2000 && !h->release.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *result_kind = r.kind;
  *reason = r.reason;
  if (r.fill_text) {
    std::memset(text, 'z', text_capacity);
  } else {
    std::snprintf(text, text_capacity, "%s", r.text.c_str());
  }
  if (!r.reply.empty()) {
    *reply = static_cast<uint8_t*>(rt_malloc(r.reply.size()));
    std::memcpy(*reply, r.reply.data(), r.reply.size());
    *reply_length = r.reply.size();
  }
  h->calls.fetch_add(1);
  return r.status;
}

// An adapter listening on a free loopback port with the scripted handler.
struct Listening {
  HandlerScript handler;
  AdapterPtr adapter = make_adapter();
  uint16_t port = 0;

  explicit Listening(const char* bind_host = "127.0.0.1", uint64_t max_request_payload = kTcpMaxRequestPayload) {
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
      const uint16_t p = test::free_loopback_port();
      if (tcp_adapter_start(adapter.get(), bind_host, p, scripted_handler, &handler, max_request_payload) ==
          Status::ok) {
        port = p;
      }
    }
  }
};

inline test::WireReply ask(uint16_t port, const Bytes& bytes, uint32_t wait_ms = 3000) {
  const test::ClientOutcome out = test::client_exchange(port, bytes, wait_ms);
  EXPECT_EQ(out.status, Status::ok);
  return test::wire_parse_reply(out.body);
}

inline bool accepts_connections(uint16_t port) {
  PeerClient c;
  return c.connect(port);
}

}  // namespace vorlet::v2::test::adapter
