// Faults a started runtime meets from its host, its peers and the process
// around it, and survives: each costs at most the envelopes it touched, and
// the runtime goes on, stops and leaves nothing behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe.h"
#include "platform/socket.h"
#include "runtime/control_apply.h"
#include "runtime/host_pipes.h"
#include "runtime/ingress.h"
#include "runtime/lifecycle.h"
#include "runtime/runtime.h"
#include "support/child_process.h"
#include "support/delivery_ledger.h"
#include "support/envelopes.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "support/waiting.h"
#include "tcp/tcp_adapter.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {
namespace {

using test::eventually;
using test::FlatSnapshot;
using test::FrameBytes;
using test::kLocalTarget;
using test::TestRuntime;
using test::PeerStep;
using test::RequestSpec;
using test::operator+;
using test::str;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSingleOwner = VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER;

Status submit(Runtime* rt, const std::string& bytes) { return ingress_submit_envelope(rt, bytes.data(), bytes.size()); }

// Submits, waiting while the ingress queue is full; false when the runtime
// no longer accepts.
bool submit_patiently(Runtime* rt, const std::string& bytes) {
  for (;;) {
    const Status s = submit(rt, bytes);
    if (s == Status::ok) return true;
    if (s != Status::would_block) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

bool sigpipe_kills() {
  struct sigaction current {};
  return sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL;
}

// ---- the host ----

// The host reads its pipes for a while, then closes its read ends one by one
// while frames for them are still coming: what was meant for a closed pipe
// is dropped, the rest flows on, and stop returns.
TEST(HostFaults, AHostThatClosesItsReadEndsMidStreamLeavesTheRuntimeRunning) {
  ASSERT_TRUE(sigpipe_kills());  // so that one would end this test
  const size_t fds = test::open_descriptor_count();
  const size_t threads = test::baseline_thread_count();
  {
    TestRuntime fx(64);
    ASSERT_TRUE(fx.bring_up());
    std::atomic<bool> done{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; !done.load(); ++i) {
          const std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
          std::string bytes;
          switch (i % 3) {
            case 0:  // delivered to the host
              bytes = test::request_envelope(RequestSpec{id, kLocalTarget, false, 5000, 8192});
              break;
            case 1:  // a route miss: a deadletter
              bytes = test::request_envelope(RequestSpec{id, "svc.none"});
              break;
            default:  // a response nobody waits for: the response pipe
              bytes = test::response_for(test::request_envelope(RequestSpec{id, kLocalTarget}));
              break;
          }
          if (!submit_patiently(fx.rt, bytes)) return;
        }
      });
    }
    FrameBytes frame;
    for (HostPipe pipe : {HostPipe::delivered, HostPipe::response, HostPipe::deadletter}) {
      for (int i = 0; i < 20; ++i) ASSERT_EQ(fx.read_frame(pipe, &frame), Status::ok);
    }
    fx.close_host_end(&fx.handles.delivered_read_fd);
    fx.close_host_end(&fx.handles.response_read_fd);
    fx.close_host_end(&fx.handles.monitor_read_fd);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(fx.read_frame(HostPipe::deadletter, &frame), Status::ok);
    fx.close_host_end(&fx.handles.deadletter_read_fd);

    // Nobody reads any more: the runtime still routes, counts and applies.
    const uint64_t emitted = fx.counter(Counter::deadletters_emitted);
    EXPECT_TRUE(eventually([&] { return fx.counter(Counter::deadletters_emitted) >= emitted + 100; }));
    FlatSnapshot next(2);
    test::add_local_route(&next, fx.listen_port());
    EXPECT_EQ(fx.apply(next), Status::ok);

    const auto start = Clock::now();
    EXPECT_EQ(fx.stop(), Status::ok);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    done.store(true);
    for (auto& t : producers) t.join();
  }
  EXPECT_EQ(test::open_descriptor_count(), fds);
  EXPECT_EQ(test::thread_count(), threads);
}

// A host that stops reading holds the runtime back, pipe by pipe, up to its
// submit call; nothing is dropped meanwhile, and a stop waits for the host
// and returns once it reads again.
TEST(HostFaults, AHostThatStopsReadingHoldsTheRuntimeBackAndLosesNothing) {
  TestRuntime fx(32);  // rings of 32, pipe queues of 4
  ASSERT_TRUE(fx.bring_up());
  test::DeliveryLedger ledger;
  bool stalled = false;
  for (int i = 0; i < 5000 && !stalled; ++i) {
    const std::string id = "m-" + std::to_string(i);
    const bool miss = i % 4 == 3;
    const std::string bytes = test::request_envelope(RequestSpec{id, miss ? "svc.none" : kLocalTarget, false, 5000, 4096});
    const auto refused_since = Clock::now();
    Status s;
    while ((s = submit(fx.rt, bytes)) == Status::would_block) {
      if (Clock::now() - refused_since > std::chrono::milliseconds(300)) {
        stalled = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (s == Status::ok) ledger.accepted(id);
  }
  ASSERT_TRUE(stalled) << "the runtime never pushed back";

  std::atomic<bool> stopped{false};
  Status stop_status = Status::io;
  std::thread stopper([&] {
    stop_status = fx.stop();
    stopped.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(stopped.load()) << "stop returned while frames for the host were still queued";

  test::HostPipeDrain drain(&ledger, {fx.handles.delivered_read_fd, fx.handles.response_read_fd},
                            fx.handles.deadletter_read_fd);
  EXPECT_TRUE(eventually([&] { return stopped.load(); }, 20000));
  stopper.join();
  EXPECT_EQ(stop_status, Status::ok);
  ASSERT_TRUE(drain.wait());
  for (const std::string& problem : ledger.problems()) ADD_FAILURE() << problem;
  EXPECT_GT(ledger.delivered_count(), 0u);
  EXPECT_EQ(ledger.delivered_count() + ledger.deadlettered_count(), ledger.accepted_count());
  EXPECT_GE(fx.counter(Counter::delivered_pipe_blocked), 1u);
  EXPECT_GE(fx.counter(Counter::deadletter_pipe_blocked), 1u);
}

// ---- peers ----

// Peers that die half-way or answer what is no answer: each request costs
// its own deadletter, nothing unreadable reaches the host, and the runtime
// goes on delivering.
TEST(PeerFaults, APeerThatDiesMidExchangeOrAnswersGarbageCostsOneDeadletter) {
  const struct Row {
    const char* name;
    PeerStep step;
  } rows[] = {
      {"resets the connection after the request", PeerStep::reset()},
      {"closes half-way through its reply", PeerStep::raw(test::wire_u64(100) + test::wire_bytes("ten bytes."))},
      {"declares a reply larger than any frame", PeerStep::raw(test::wire_u64(1ull << 40))},
      {"sends a body that is no reply", PeerStep::reply_body(test::wire_bytes("not a reply body at all"))},
      {"answers with bytes that are no envelope", PeerStep::reply(1, 0, "", "\xff\xff\xff not an envelope")},
      {"answers with bytes that are no deadletter", PeerStep::reply(2, 13, "", "\xff\xff\xff not a deadletter")},
  };
  std::vector<std::unique_ptr<test::ScriptedServer>> peers;
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  FlatSnapshot routes(1);
  const uint16_t own_port = test::free_loopback_port();
  test::add_local_route(&routes, own_port);
  for (const Row& row : rows) {
    peers.push_back(std::make_unique<test::ScriptedServer>(std::vector<PeerStep>{row.step}));
    ASSERT_TRUE(peers.back()->listening());
    routes.route("peer." + std::to_string(peers.size()), kSingleOwner, {{"127.0.0.1", peers.back()->port()}});
  }
  ASSERT_EQ(fx.apply(routes), Status::ok);
  ASSERT_EQ(fx.start(), Status::ok);

  for (size_t i = 0; i < peers.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    const std::string id = "to-peer-" + std::to_string(i + 1);
    ASSERT_EQ(submit(fx.rt, test::request_envelope(RequestSpec{id, "peer." + std::to_string(i + 1), false, 3000})),
              Status::ok);
    FrameBytes got;
    ASSERT_EQ(fx.read_frame(HostPipe::deadletter, &got), Status::ok);
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(str(got)));
    EXPECT_EQ(dl.original_envelope().message_id(), id);
    EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_REMOTE_TRANSPORT_FAILED) << dl.detail();
    EXPECT_EQ(peers[i]->accepted(), 1);
  }

  // Still delivering.
  const std::string after = test::request_envelope(RequestSpec{"after", kLocalTarget});
  ASSERT_EQ(submit(fx.rt, after), Status::ok);
  FrameBytes got;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), after);
  ASSERT_EQ(fx.stop(), Status::ok);
  std::vector<FrameBytes> rest;
  ASSERT_EQ(fx.read_until_eof(HostPipe::response, &rest), Status::ok);
  EXPECT_TRUE(rest.empty()) << "something reached the host's response pipe";
}

// A host that asks through an ask client, whose lanes stop at the first
// frame that is no answer: a peer answering garbage costs that ask a
// deadletter, and the client goes on.
TEST(PeerFaults, AnAskClientOutlivesAPeerThatAnswersWithWhatIsNoResponse) {
  test::ScriptedServer peer({PeerStep::reply(1, 0, "", "\xff\xff\xff not an envelope"),
                             PeerStep::reply(1, 0, "", test::request_envelope(RequestSpec{"a request", "svc"}))});
  ASSERT_TRUE(peer.listening());
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  FlatSnapshot routes(1);
  test::add_local_route(&routes, test::free_loopback_port());
  routes.route("svc.peer", kSingleOwner, {{"127.0.0.1", peer.port()}});
  ASSERT_EQ(fx.apply(routes), Status::ok);
  ASSERT_EQ(fx.start(), Status::ok);
  vorlet_v2_AskClientHandle* client = vorlet_v2_ask_client_create(to_handle(fx.rt), &fx.handles);
  ASSERT_NE(client, nullptr);
  auto ask = [&](const std::string& bytes, int32_t* kind, std::string* answer) {
    vorlet_v2_AskTicket* ticket = nullptr;
    int32_t s = vorlet_v2_ask_client_begin(client, bytes.data(), bytes.size(), &ticket);
    if (s != VORLET_V2_OK) return s;
    void* out = nullptr;
    uint64_t length = 0;
    s = vorlet_v2_ask_ticket_await(ticket, 10000, kind, &out, &length);
    if (out != nullptr) answer->assign(static_cast<const char*>(out), length);
    vorlet_v2_client_bytes_release(out);
    vorlet_v2_ask_ticket_destroy(ticket);
    return s;
  };
  for (const char* id : {"to-garbage", "to-a-request"}) {
    SCOPED_TRACE(id);
    int32_t kind = 0;
    std::string answer;
    ASSERT_EQ(ask(test::request_envelope(RequestSpec{id, "svc.peer"}), &kind, &answer), VORLET_V2_OK);
    ASSERT_EQ(kind, VORLET_V2_REPLY_KIND_DEADLETTER);
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(answer));
    EXPECT_EQ(dl.original_envelope().message_id(), id);
    EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_REMOTE_TRANSPORT_FAILED);
  }
  // Still asking: a local request the host answers.
  const std::string question = test::request_envelope(RequestSpec{"local", kLocalTarget});
  std::thread host([&] {
    FrameBytes got;
    if (fx.read_frame(HostPipe::delivered, &got) == Status::ok) (void)submit(fx.rt, test::response_for(str(got)));
  });
  int32_t kind = 0;
  std::string answer;
  EXPECT_EQ(ask(question, &kind, &answer), VORLET_V2_OK);
  EXPECT_EQ(kind, VORLET_V2_REPLY_KIND_RESPONSE);
  host.join();
  vorlet_v2_ask_client_destroy(client);
  ASSERT_EQ(fx.stop(), Status::ok);
}

// Connections that send nothing, or reset at once, or stop half-way into a
// length, are each turned away at once; a real request after the burst is
// served without delay.
TEST(PeerFaults, AListenerServesOnThroughABurstOfConnectionsThatSendNothingOrResetAtOnce) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  for (int round = 0; round < 3; ++round) {
    std::vector<std::unique_ptr<test::PeerClient>> burst;
    for (int i = 0; i < 16; ++i) {
      auto c = std::make_unique<test::PeerClient>();
      ASSERT_TRUE(c->connect(fx.listen_port())) << round << "/" << i;
      burst.push_back(std::move(c));
    }
    for (size_t i = 0; i < burst.size(); ++i) {
      switch (i % 3) {
        case 0:
          burst[i]->close();
          break;
        case 1:
          burst[i]->reset();
          break;
        default:
          ASSERT_TRUE(burst[i]->send(test::wire_bytes("\x10\x00\x00\x00")));
          burst[i]->reset();
          break;
      }
    }
    // Each is turned away at once: the listener soon has none queued.
    EXPECT_TRUE(eventually([&] { return test::listen_backlog(fx.listen_port()) == 0; }, 2000)) << round;
  }

  const std::string question = test::request_envelope(RequestSpec{"after-burst", kLocalTarget, false, 5000});
  const auto start = Clock::now();
  test::ClientOutcome served;
  std::thread client([&] {
    served = test::client_exchange(fx.listen_port(),
                                   test::wire_frame(test::wire_request_body(5000, question)), 8000);
  });
  FrameBytes got;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), question);
  const std::string answer = test::response_for(question);
  ASSERT_EQ(submit(fx.rt, answer), Status::ok);
  client.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  ASSERT_EQ(served.status, Status::ok);
  const test::WireReply reply = test::wire_parse_reply(served.body);
  EXPECT_TRUE(reply.valid);
  EXPECT_EQ(reply.kind, 1u);
  EXPECT_EQ(reply.payload, answer);
  ASSERT_EQ(fx.stop(), Status::ok);
  EXPECT_EQ(fx.counter(Counter::deadletters_emitted), 0u);
}

// ---- the descriptor limit, in a process of its own ----

// Six pipes take twelve descriptors; with room for fewer, every attempt
// fails cleanly, wherever it runs out, and the next one with room works.
TEST(DescriptorLimit, HostHandlesFailCleanlyWhereverDescriptorsRunOutAndWorkOnceTheyAreFree) {
  const std::string report = test::run_in_child([] {
    test::ChildChecks checks;
    uint64_t saved = 0;
    if (!CHILD_CHECK(checks, platform::descriptor_soft_limit(&saved))) return checks.report();
    const vorlet_v2_RuntimeOptions options{"test", "limits", 0, 0};
    Runtime* rt = runtime_create(&options);
    if (!CHILD_CHECK(checks, rt != nullptr)) return checks.report();
    const size_t baseline = test::open_descriptor_count();
    vorlet_v2_HostHandles h{};
    for (size_t free = 0; free < 12; ++free) {
      checks.context = std::to_string(free) + " free";
      CHILD_CHECK(checks, platform::set_descriptor_soft_limit(test::descriptor_limit_leaving(free)));
      h = vorlet_v2_HostHandles{};
      h.flags = TestRuntime::kAllPipes;
      const Status s = host_pipes_get_handles(rt, &h);
      CHILD_CHECK(checks, platform::set_descriptor_soft_limit(saved));
      CHILD_CHECK(checks, s == Status::io);
      CHILD_CHECK(checks, test::open_descriptor_count() == baseline);
      CHILD_CHECK(checks, !host_handles_is_open(&rt->host_handles));
    }
    checks.context.clear();
    CHILD_CHECK(checks, platform::set_descriptor_soft_limit(test::descriptor_limit_leaving(12)));
    h = vorlet_v2_HostHandles{};
    h.flags = TestRuntime::kAllPipes;
    CHILD_CHECK(checks, host_pipes_get_handles(rt, &h) == Status::ok);
    CHILD_CHECK(checks, platform::set_descriptor_soft_limit(saved));
    CHILD_CHECK(checks, test::open_descriptor_count() == baseline + 12);
    runtime_destroy(rt);
    for (int32_t fd : {h.request_write_fd, h.response_read_fd, h.deadletter_read_fd, h.control_write_fd,
                       h.monitor_read_fd, h.delivered_read_fd}) {
      platform::fd_close(fd);
    }
    CHILD_CHECK(checks, test::open_descriptor_count() == baseline);
    return checks.report();
  });
  EXPECT_EQ(report, "");
}

// Start needs one descriptor beyond the pipes: its listening socket. Without
// it start unwinds to created with nothing left open or running; once a
// descriptor is free, start serves.
TEST(DescriptorLimit, AStartWithoutADescriptorForItsListenerUnwindsAndALaterStartServes) {
  const std::string report = test::run_in_child([] {
    test::ChildChecks checks;
    uint64_t saved = 0;
    if (!CHILD_CHECK(checks, platform::descriptor_soft_limit(&saved))) return checks.report();
    const size_t fds = test::open_descriptor_count();
    const size_t threads = test::baseline_thread_count();
    {
      TestRuntime fx;
      CHILD_CHECK(checks, fx.take_handles() == Status::ok);
      FlatSnapshot routes(1);
      const uint16_t port = test::free_loopback_port();
      test::add_local_route(&routes, port);
      CHILD_CHECK(checks, fx.apply(routes) == Status::ok);
      const size_t with_handles = test::open_descriptor_count();

      CHILD_CHECK(checks, platform::set_descriptor_soft_limit(test::descriptor_limit_leaving(0)));
      const Status refused = fx.start();
      CHILD_CHECK(checks, platform::set_descriptor_soft_limit(saved));
      CHILD_CHECK(checks, refused == Status::io);
      CHILD_CHECK(checks, fx.rt->state == RuntimeState::created);
      CHILD_CHECK(checks, tcp_adapter_is_stopped(fx.rt->tcp_adapter));
      CHILD_CHECK(checks, test::open_descriptor_count() == with_handles);
      CHILD_CHECK(checks, test::thread_count() == threads);

      if (!CHILD_CHECK(checks, fx.start() == Status::ok)) return checks.report();
      const std::string question = test::request_envelope(RequestSpec{"late", kLocalTarget});
      test::ClientOutcome served;
      std::thread client([&] {
        served = test::client_exchange(port, test::wire_frame(test::wire_request_body(5000, question)), 8000);
      });
      FrameBytes got;
      CHILD_CHECK(checks, fx.read_frame(HostPipe::delivered, &got) == Status::ok && str(got) == question);
      CHILD_CHECK(checks, submit(fx.rt, test::response_for(question)) == Status::ok);
      client.join();
      CHILD_CHECK(checks, served.status == Status::ok && test::wire_parse_reply(served.body).kind == 1);
      CHILD_CHECK(checks, fx.stop() == Status::ok);
    }
    CHILD_CHECK(checks, test::open_descriptor_count() == fds);
    CHILD_CHECK(checks, test::thread_count() == threads);
    return checks.report();
  });
  EXPECT_EQ(report, "");
}

// Out of descriptors while started: a remote delivery cannot get a socket
// and ends as a transport failure; once descriptors are free again the next
// one goes through.
TEST(DescriptorLimit, RemoteDeliveryWithoutDescriptorsIsATransportFailureAndRecovers) {
  const std::string report = test::run_in_child([] {
    test::ChildChecks checks;
    uint64_t saved = 0;
    if (!CHILD_CHECK(checks, platform::descriptor_soft_limit(&saved))) return checks.report();
    TestRuntime fx;
    if (!CHILD_CHECK(checks, fx.bring_up())) return checks.report();
    // To its own endpoint, but over TCP through its own listener.
    auto over_tcp = [](const std::string& id) {
      return test::request_envelope(
          RequestSpec{id, kLocalTarget, false, 3000, 16, transport::DELIVERY_HINT_REQUIRE_REMOTE});
    };
    // Once the long way and once as a deadletter before the descriptors run
    // out: the sanitizers' type checks need a pipe of their own the first
    // time they meet a type.
    auto round_trip = [&](const std::string& id) {
      const std::string question = over_tcp(id);
      FrameBytes got;
      CHILD_CHECK(checks, submit(fx.rt, question) == Status::ok);
      CHILD_CHECK(checks, fx.read_frame(HostPipe::delivered, &got) == Status::ok && str(got) == question);
      const std::string answer = test::response_for(question);
      CHILD_CHECK(checks, submit(fx.rt, answer) == Status::ok);
      CHILD_CHECK(checks, fx.read_frame(HostPipe::response, &got) == Status::ok && str(got) == answer);
    };
    round_trip("warm");
    FrameBytes got;
    CHILD_CHECK(checks, submit(fx.rt, test::request_envelope(RequestSpec{"missed", "svc.none"})) == Status::ok);
    CHILD_CHECK(checks, fx.read_frame(HostPipe::deadletter, &got) == Status::ok);

    const std::string starved = over_tcp("starved");
    CHILD_CHECK(checks, platform::set_descriptor_soft_limit(test::descriptor_limit_leaving(0)));
    const Status submitted = submit(fx.rt, starved);
    const Status read = fx.read_frame(HostPipe::deadletter, &got);
    CHILD_CHECK(checks, platform::set_descriptor_soft_limit(saved));
    CHILD_CHECK(checks, submitted == Status::ok);
    transport::Deadletter dl;
    CHILD_CHECK(checks, read == Status::ok && dl.ParseFromString(str(got)));
    CHILD_CHECK(checks, dl.original_envelope().message_id() == "starved");
    CHILD_CHECK(checks, dl.reason() == transport::DEADLETTER_REASON_REMOTE_TRANSPORT_FAILED);

    round_trip("fed");
    CHILD_CHECK(checks, fx.stop() == Status::ok);
    return checks.report();
  });
  EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace vorlet::v2
