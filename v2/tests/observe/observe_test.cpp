// Configuration, statistics and health, and their gated twins.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "observe/runtime_config.h"
#include "observe/runtime_health.h"
#include "observe/runtime_stats.h"
#include "runtime/remote_admission.h"
#include "support/job_support.h"
#include "support/runtime_probe.h"
#include "support/test_runtime.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {
namespace {

using test::TestRuntime;

constexpr unsigned char kSentinel = 0xA5;

// A record filled with sentinel bytes, its declared size set.
template <class Rec>
struct Probe {
  explicit Probe(uint64_t declared) {
    std::memset(raw, kSentinel, sizeof raw);
    std::memcpy(raw, &declared, 8);
  }
  Rec* rec() { return reinterpret_cast<Rec*>(raw); }
  uint64_t size() const {
    uint64_t v;
    std::memcpy(&v, raw, 8);
    return v;
  }
  // true when no byte of [from, to) was written.
  bool untouched(size_t from, size_t to) const {
    for (size_t i = from; i < to; ++i) {
      if (raw[i] != kSentinel) return false;
    }
    return true;
  }
  alignas(8) unsigned char raw[sizeof(Rec) + 64];
};

TEST(RuntimeConfigRead, ReportsTheCreateOptionsAndTheDefaults) {
  TestRuntime r(vorlet_v2_RuntimeOptions{"alpha", nullptr, 7, 64});
  vorlet_v2_RuntimeConfig c{};
  ASSERT_EQ(vorlet_v2_runtime_get_config(r.handle(), &c), 0);
  EXPECT_EQ(c.struct_size, 128u);
  EXPECT_EQ(c.option_text_a, r.rt->option_text_a);  // the runtime's own copy
  EXPECT_STREQ(c.option_text_a, "alpha");
  EXPECT_STREQ(c.option_text_b, "");
  EXPECT_EQ(c.option_flag, 1u);
  EXPECT_EQ(c.queue_capacity, 64);
  EXPECT_EQ(c.max_frame_bytes, 1048576u);
  EXPECT_EQ(c.aux_batch, 8u);
  EXPECT_EQ(c.state, 0u);
  EXPECT_EQ(c.snapshot_present, 0u);
  EXPECT_EQ(c.active_generation, 0u);
  EXPECT_EQ(c.route_count, 0u);
  EXPECT_EQ(c.local_listen_host, nullptr);
  EXPECT_EQ(c.local_listen_port, 0u);
  EXPECT_EQ(c.configured_remote_outbound_mode, 0u);
  EXPECT_EQ(c.remote_outbound_mode, 0u);
  EXPECT_EQ(c.reply_reserve_slots, 0u);

  // The configured and the active policy are reported apart.
  r.rt->configured_remote_outbound_mode = 2;
  r.rt->configured_reply_reserve_slots = 5;
  r.rt->remote_outbound_mode.store(1);
  r.rt->reply_reserve_slots.store(3);
  ASSERT_EQ(vorlet_v2_runtime_get_config(r.handle(), &c), 0);
  EXPECT_EQ(c.configured_remote_outbound_mode, 2u);
  EXPECT_EQ(c.configured_reply_reserve_slots, 5u);
  EXPECT_EQ(c.remote_outbound_mode, 1u);
  EXPECT_EQ(c.reply_reserve_slots, 3u);

  EXPECT_EQ(vorlet_v2_runtime_get_config(nullptr, &c), -1);
  EXPECT_EQ(vorlet_v2_runtime_get_config(r.handle(), nullptr), -1);
}

// Every gauge and counter lands in the field of its name.
TEST(RuntimeStatsRead, EachCounterInItsField) {
  TestRuntime r(1);
  struct Map {
    Counter counter;
    size_t offset;
  };
#define M(name) \
  Map { Counter::name, offsetof(vorlet_v2_RuntimeStats, name) }
  const Map map[] = {
      M(ingress_depth), M(ingress_peak), M(local_delivery_depth), M(local_delivery_peak),
      M(delivered_pipe_depth), M(delivered_pipe_peak), M(delivered_pipe_blocked), M(delivered_pipe_direct_writes),
      M(response_pipe_depth), M(response_pipe_peak), M(response_pipe_blocked), M(response_pipe_direct_writes),
      M(deadletter_pipe_depth), M(deadletter_pipe_peak), M(deadletter_pipe_blocked), M(deadletter_pipe_direct_writes),
      M(remote_outbound_depth), M(remote_outbound_peak), M(queue_rejections), M(remote_outbound_rejections),
      M(remote_outbound_expired_dropped), M(one_way_evictions), M(route_misses), M(deadletters_emitted),
      M(delivery_failures), M(remote_transport_failures), M(remote_reply_timeouts), M(late_remote_replies_dropped),
      M(endpoint_unavailable_refusals), M(remote_responses_forwarded), M(remote_deadletters_forwarded),
      M(failover_retries), M(failover_recoveries), M(failover_exhausted), M(control_rejects),
      M(control_rejects_invalid), M(control_rejects_stale), M(control_rejects_bad_state), M(control_rejects_io),
      M(reply_reserve_rejections), M(monitor_signals_written), M(monitor_signals_skipped),
      M(monitor_signals_written_total), M(monitor_signals_skipped_total),
  };
#undef M
  static_assert(std::size(map) == kCounterCount - 2);  // all but monitor_seq and event_generation
  for (const Map& m : map) r.rt->counters.store(m.counter, 1000 + static_cast<uint64_t>(m.counter));
  r.rt->tcp_adapter->exchanges.store(11);
  r.rt->tcp_adapter->connections.store(12);
  r.rt->tcp_adapter->connect_failures.store(13);
  r.rt->remote_outbound_mode.store(2);
  r.rt->reply_reserve_slots.store(1);

  vorlet_v2_RuntimeStats s{};
  ASSERT_EQ(vorlet_v2_runtime_get_stats(r.handle(), &s), 0);
  const auto* raw = reinterpret_cast<const unsigned char*>(&s);
  for (const Map& m : map) {
    uint64_t v = 0;
    std::memcpy(&v, raw + m.offset, 8);
    EXPECT_EQ(v, 1000 + static_cast<uint64_t>(m.counter)) << "offset " << m.offset;
  }
  EXPECT_EQ(s.struct_size, 504u);
  EXPECT_EQ(s.transport_exchanges, 11u);
  EXPECT_EQ(s.transport_connections, 12u);
  EXPECT_EQ(s.transport_connect_failures, 13u);
  EXPECT_EQ(s.state, 0u);
  // Hint 1: capacity 1, rings of 2 slots, pipe queues of 4 frames.
  EXPECT_EQ(s.queue_capacity, 1u);
  EXPECT_EQ(s.remote_outbound_capacity, 2u);
  EXPECT_EQ(s.local_delivery_capacity, 2u);
  EXPECT_EQ(s.delivered_pipe_capacity, 4u);
  EXPECT_EQ(s.response_pipe_capacity, 4u);
  EXPECT_EQ(s.deadletter_pipe_capacity, 4u);
  EXPECT_EQ(s.max_frame_bytes, 1048576u);
  EXPECT_EQ(s.aux_batch, 8u);
  EXPECT_EQ(s.remote_outbound_mode, 2u);
  EXPECT_EQ(s.ingress_mode, 0u);
  EXPECT_EQ(s.reply_reserve_slots, 1u);
  EXPECT_EQ(s.drained_routes, 0u);

  EXPECT_EQ(vorlet_v2_runtime_get_stats(nullptr, &s), -1);
  EXPECT_EQ(vorlet_v2_runtime_get_stats(r.handle(), nullptr), -1);
}

TEST(RuntimeStatsRead, DefaultLimits) {
  TestRuntime r(0);
  vorlet_v2_RuntimeStats s{};
  ASSERT_EQ(vorlet_v2_runtime_get_stats(r.handle(), &s), 0);
  EXPECT_EQ(s.queue_capacity, 4096u);
  EXPECT_EQ(s.remote_outbound_capacity, 4096u);
  EXPECT_EQ(s.response_pipe_capacity, 16u);
  EXPECT_EQ(s.max_frame_bytes, 4194304u);
  EXPECT_EQ(s.aux_batch, 32u);
}

// Declared sizes against the full one: only fields wholly inside are
// written, never a byte between fields or past the declared size.
TEST(ObserveRecords, PartialWritesStopAtTheDeclaredSize) {
  TestRuntime r(64);
  struct Case {
    uint64_t declared;
    size_t written_to;  // bytes of fields expected written
  };
  {
    const Case cases[] = {{8, 8}, {30, 28}, {32, 32}, {84, 82}, {0, 128}, {128, 128}, {1000, 128}};
    for (const Case& c : cases) {
      Probe<vorlet_v2_RuntimeConfig> p(c.declared);
      ASSERT_EQ(vorlet_v2_runtime_get_config(r.handle(), p.rec()), 0);
      EXPECT_EQ(p.size(), 128u) << c.declared;
      EXPECT_TRUE(p.untouched(c.written_to, sizeof p.raw)) << c.declared;
      EXPECT_FALSE(p.untouched(c.written_to - 1, c.written_to)) << c.declared;
      if (c.written_to == 128) {
        EXPECT_TRUE(p.untouched(82, 84));
        EXPECT_TRUE(p.untouched(116, 120));
      }
    }
    // 30 bytes: the texts and the flag, not queue_capacity.
    Probe<vorlet_v2_RuntimeConfig> p(30);
    ASSERT_EQ(vorlet_v2_runtime_get_config(r.handle(), p.rec()), 0);
    EXPECT_EQ(p.rec()->option_text_a, r.rt->option_text_a);
    EXPECT_EQ(p.rec()->option_flag, 0u);
    EXPECT_TRUE(p.untouched(28, 32));
  }
  {
    const Case cases[] = {{8, 8}, {28, 28}, {31, 28}, {0, 504}, {504, 504}, {600, 504}};
    for (const Case& c : cases) {
      Probe<vorlet_v2_RuntimeStats> p(c.declared);
      ASSERT_EQ(vorlet_v2_runtime_get_stats(r.handle(), p.rec()), 0);
      EXPECT_EQ(p.size(), 504u) << c.declared;
      EXPECT_TRUE(p.untouched(c.written_to, sizeof p.raw)) << c.declared;
      EXPECT_FALSE(p.untouched(c.written_to - 1, c.written_to)) << c.declared;
      if (c.written_to == 504) {
        EXPECT_TRUE(p.untouched(28, 32));
        EXPECT_TRUE(p.untouched(388, 392));
      }
    }
  }
  {
    const Case cases[] = {{8, 8}, {12, 12}, {16, 16}, {23, 16}, {0, 24}, {24, 24}, {100, 24}};
    for (const Case& c : cases) {
      Probe<vorlet_v2_RuntimeHealth> p(c.declared);
      ASSERT_EQ(vorlet_v2_runtime_get_health(r.handle(), p.rec()), 0);
      EXPECT_EQ(p.size(), 24u) << c.declared;
      EXPECT_TRUE(p.untouched(c.written_to, sizeof p.raw)) << c.declared;
      EXPECT_FALSE(p.untouched(c.written_to - 1, c.written_to)) << c.declared;
    }
  }
}

// A record's layout as its public header declares it: fields of 8 bytes
// throughout, but for the narrower ones listed.
struct Field {
  size_t from, to;
  bool reserved;
};

#define NARROW(Type, member) Field{offsetof(Type, member), offsetof(Type, member) + sizeof(Type::member), false}
#define RESERVED(Type, member) Field{offsetof(Type, member), offsetof(Type, member) + sizeof(Type::member), true}

std::vector<Field> layout_of(size_t size, std::initializer_list<Field> narrow) {
  std::vector<Field> fields;
  for (size_t at = 0; at < size;) {
    Field f{at, at + 8, false};
    for (const Field& n : narrow) {
      if (n.from == at) f = n;
    }
    fields.push_back(f);
    at = f.to;
  }
  return fields;
}

// Every declared size against that layout: each field wholly inside the
// size is written, with what a full read gives; a field the size cuts in
// the middle is left as it was, as is every reserved byte and every byte
// past the size. A record is read twice per size, into bytes filled with
// 0x00 and with 0xFF: a byte was written exactly when the two reads agree.
TEST(ObserveRecords, EveryDeclaredSizeWritesTheWholeFieldsInsideIt) {
  TestRuntime r(64);
  for (size_t i = 0; i < kCounterCount; ++i) r.rt->counters.store(static_cast<Counter>(i), 0x0102030405060000u + i);
  r.rt->reply_reserve_slots.store(3);
  struct Case {
    const char* record;
    size_t size;
    std::vector<Field> layout;
    int32_t (*read)(vorlet_v2_Runtime*, void*);
  };
  using Config = vorlet_v2_RuntimeConfig;
  using Stats = vorlet_v2_RuntimeStats;
  using Health = vorlet_v2_RuntimeHealth;
  const Case cases[] = {
      {"config", sizeof(Config),
       layout_of(sizeof(Config),
                 {NARROW(Config, option_flag), NARROW(Config, queue_capacity), NARROW(Config, state),
                  NARROW(Config, snapshot_present), NARROW(Config, local_listen_port), RESERVED(Config, reserved0),
                  NARROW(Config, configured_ingress_mode), NARROW(Config, configured_local_delivery_mode),
                  NARROW(Config, configured_remote_outbound_mode), NARROW(Config, ingress_mode),
                  NARROW(Config, local_delivery_mode), NARROW(Config, remote_outbound_mode),
                  RESERVED(Config, reserved1)}),
       [](vorlet_v2_Runtime* rt, void* out) { return vorlet_v2_runtime_get_config(rt, static_cast<Config*>(out)); }},
      {"stats", sizeof(Stats),
       layout_of(sizeof(Stats), {NARROW(Stats, state), RESERVED(Stats, reserved0), NARROW(Stats, ingress_mode),
                                 NARROW(Stats, local_delivery_mode), NARROW(Stats, remote_outbound_mode),
                                 RESERVED(Stats, reserved1)}),
       [](vorlet_v2_Runtime* rt, void* out) { return vorlet_v2_runtime_get_stats(rt, static_cast<Stats*>(out)); }},
      {"health", sizeof(Health), layout_of(sizeof(Health), {NARROW(Health, state), NARROW(Health, flags)}),
       [](vorlet_v2_Runtime* rt, void* out) { return vorlet_v2_runtime_get_health(rt, static_cast<Health*>(out)); }},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.layout.back().to, c.size) << c.record;
    alignas(8) unsigned char full[sizeof(vorlet_v2_RuntimeStats) + 64] = {};
    ASSERT_LE(c.size + 16, sizeof full);
    ASSERT_EQ(c.read(r.handle(), full), 0);
    for (uint64_t declared = 0; declared <= c.size + 8; ++declared) {
      alignas(8) unsigned char zeros[sizeof full];
      alignas(8) unsigned char ones[sizeof full];
      std::memset(zeros, 0x00, sizeof zeros);
      std::memset(ones, 0xFF, sizeof ones);
      std::memcpy(zeros, &declared, 8);
      std::memcpy(ones, &declared, 8);
      ASSERT_EQ(c.read(r.handle(), zeros), 0);
      ASSERT_EQ(c.read(r.handle(), ones), 0);
      const uint64_t effective = declared >= 1 && declared <= c.size ? declared : c.size;
      for (size_t i = 0; i < sizeof full; ++i) {
        bool expect_written = i < 8;  // struct_size, always
        for (const Field& f : c.layout) {
          if (f.from >= 8 && i >= f.from && i < f.to) expect_written = !f.reserved && f.to <= effective;
        }
        const bool written = zeros[i] == ones[i];
        ASSERT_EQ(written, expect_written) << c.record << " declared " << declared << " byte " << i;
        if (written) {
          ASSERT_EQ(zeros[i], full[i]) << c.record << " declared " << declared << " byte " << i;
        }
      }
    }
  }
}

#undef NARROW
#undef RESERVED

TEST(RuntimeHealthFlags, FromTheirSources) {
  struct Case {
    HealthSource source;
    uint32_t flags;
  };
  // state, generation, snapshot, handles, probe only, capacity, depth, drained
  const Case cases[] = {
      {{0, 0, 0, 0, 1, 4096, 0, 0}, 0x11},
      {{0, 5, 1, 1, 1, 4096, 0, 0}, 0x15},
      {{1, 5, 1, 1, 0, 4096, 0, 0}, 0x0F},
      {{1, 5, 1, 0, 0, 4096, 0, 0}, 0x07},  // handles not taken: no data plane
      {{2, 5, 1, 1, 1, 4096, 0, 0}, 0x15},
      {{1, 5, 1, 1, 0, 4096, 4096, 0}, 0x2F},
      {{1, 5, 1, 1, 0, 4096, 4095, 1}, 0x4F},
      {{0, 0, 0, 0, 0, 0, 0, 0}, 0x01},  // no capacity: never saturated
  };
  for (const Case& c : cases) EXPECT_EQ(health_flags_from_source(&c.source), c.flags) << std::hex << c.flags;
  EXPECT_EQ(health_flags_from_source(nullptr), 0u);
}

TEST(RuntimeHealthRead, AFreshRuntimeAndAFullRemoteQueue) {
  TestRuntime r(64);
  vorlet_v2_RuntimeHealth h{};
  ASSERT_EQ(vorlet_v2_runtime_get_health(r.handle(), &h), 0);
  EXPECT_EQ(h.struct_size, 24u);
  EXPECT_EQ(h.state, 0u);
  EXPECT_EQ(h.flags, 0x11u);
  EXPECT_EQ(h.generation, 0u);

  r.rt->counters.store(Counter::remote_outbound_depth, 64);
  ASSERT_EQ(vorlet_v2_runtime_get_health(r.handle(), &h), 0);
  EXPECT_EQ(h.flags, 0x31u);
  vorlet_v2_RuntimeStats s{};
  ASSERT_EQ(vorlet_v2_runtime_get_stats(r.handle(), &s), 0);
  EXPECT_EQ(s.remote_outbound_depth, s.remote_outbound_capacity);

  EXPECT_EQ(vorlet_v2_runtime_get_health(nullptr, &h), -1);
  EXPECT_EQ(vorlet_v2_runtime_get_health(r.handle(), nullptr), -1);
}

// The saturation flag compares the real gauge with the ring's slots, not
// with the queue capacity hint: hint 1 makes rings of 2 slots.
TEST(RuntimeHealthRead, ARemoteQueueFilledByAdmissionIsSaturated) {
  test::TestRuntime host(1, test::TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  vorlet_v2_RuntimeHealth h{};
  vorlet_v2_RuntimeStats s{};
  for (int queued = 1; queued <= 2; ++queued) {
    RemoteJobPtr job = test::make_remote_job(test::envelope_bytes("m" + std::to_string(queued), 0));
    ASSERT_EQ(remote_admission_enqueue(host.rt, job.get(), nullptr), Status::ok);
    (void)job.release();
    ASSERT_EQ(vorlet_v2_runtime_get_health(to_handle(host.rt), &h), 0);
    ASSERT_EQ(vorlet_v2_runtime_get_stats(to_handle(host.rt), &s), 0);
    EXPECT_EQ(s.remote_outbound_depth, static_cast<uint64_t>(queued));
    EXPECT_EQ(h.flags, queued == 2 ? 0x31u : 0x11u) << queued;
  }
  EXPECT_EQ(s.remote_outbound_depth, s.remote_outbound_capacity);
}

TEST(ObserveGated, AllowedDeniedMalformedAndStopped) {
  TestRuntime r(64);
  const vorlet_v2_AuthContext viewer{16, 1, 1};
  const vorlet_v2_AuthContext anonymous{16, 0, 0};
  const vorlet_v2_AuthContext malformed{16, 1, 7};

  // Allowed: the plain read, and an authorization event.
  vorlet_v2_RuntimeConfig c{};
  vorlet_v2_AuthResult result{};
  ASSERT_EQ(vorlet_v2_runtime_get_config_with_auth_context(r.handle(), &viewer, &c, &result), 0);
  EXPECT_EQ(result.result_code, 0u);
  EXPECT_EQ(result.role, 1u);
  EXPECT_EQ(c.queue_capacity, 64);
  EXPECT_STREQ(c.option_text_a, "test");
  MonitorEvent ev = test::recorded_events(r.rt).back();
  EXPECT_EQ(ev.kind, 15u);
  EXPECT_EQ(ev.value1, 1u);
  EXPECT_EQ(ev.value2, 1u);
  vorlet_v2_RuntimeStats s{};
  ASSERT_EQ(vorlet_v2_runtime_get_stats_with_auth_context(r.handle(), &viewer, &s, &result), 0);
  EXPECT_EQ(s.queue_capacity, 64u);
  vorlet_v2_RuntimeHealth h{};
  ASSERT_EQ(vorlet_v2_runtime_get_health_with_auth_context(r.handle(), &viewer, &h, &result), 0);
  EXPECT_EQ(h.flags, 0x11u);

  // Denied: full size and zeros, as far as the declared size reaches.
  const uint64_t events = test::event_count(r.rt);
  {
    Probe<vorlet_v2_RuntimeConfig> p(0);
    ASSERT_EQ(vorlet_v2_runtime_get_config_with_auth_context(r.handle(), &anonymous, p.rec(), &result), 0);
    EXPECT_EQ(result.result_code, 1u);
    EXPECT_EQ(result.role, 0u);
    EXPECT_EQ(p.size(), 128u);
    EXPECT_EQ(p.rec()->option_text_a, nullptr);
    EXPECT_EQ(p.rec()->queue_capacity, 0);
    EXPECT_EQ(p.rec()->reply_reserve_slots, 0u);
    EXPECT_TRUE(p.untouched(82, 84));
  }
  {
    Probe<vorlet_v2_RuntimeStats> p(40);
    ASSERT_EQ(vorlet_v2_runtime_get_stats_with_auth_context(r.handle(), &anonymous, p.rec(), &result), 0);
    EXPECT_EQ(p.size(), 504u);
    EXPECT_EQ(p.rec()->queue_capacity, 0u);
    EXPECT_EQ(p.rec()->state, 0u);
    EXPECT_TRUE(p.untouched(28, 32));
    EXPECT_TRUE(p.untouched(40, sizeof p.raw));
  }
  {
    Probe<vorlet_v2_RuntimeHealth> p(0);
    ASSERT_EQ(vorlet_v2_runtime_get_health_with_auth_context(r.handle(), &anonymous, p.rec(), &result), 0);
    EXPECT_EQ(p.size(), 24u);
    EXPECT_EQ(p.rec()->flags, 0u);  // not even process_alive
    EXPECT_EQ(p.rec()->state, 0u);
    EXPECT_EQ(p.rec()->generation, 0u);
  }
  EXPECT_EQ(test::event_count(r.rt), events);

  // Malformed: -1, nothing written anywhere.
  {
    Probe<vorlet_v2_RuntimeHealth> p(0);
    vorlet_v2_AuthResult untouched{16, 9, 9};
    EXPECT_EQ(vorlet_v2_runtime_get_health_with_auth_context(r.handle(), &malformed, p.rec(), &untouched), -1);
    EXPECT_TRUE(p.untouched(8, sizeof p.raw));
    EXPECT_EQ(p.size(), 0u);
    EXPECT_EQ(untouched.result_code, 9u);
    EXPECT_EQ(vorlet_v2_runtime_get_stats_with_auth_context(r.handle(), &viewer, nullptr, &untouched), -1);
    EXPECT_EQ(vorlet_v2_runtime_get_config_with_auth_context(r.handle(), &viewer, &c, nullptr), -1);
    EXPECT_EQ(vorlet_v2_runtime_get_health_with_auth_context(nullptr, &viewer, p.rec(), &untouched), -1);
  }

  // Stopped: bad_state, an empty record, no event.
  test::set_state(r.rt, RuntimeState::stopped);
  const uint64_t before = test::event_count(r.rt);
  const vorlet_v2_AuthContext admin{16, 1, 3};
  h = vorlet_v2_RuntimeHealth{0, 9, 9, 9};
  ASSERT_EQ(vorlet_v2_runtime_get_health_with_auth_context(r.handle(), &admin, &h, &result), 0);
  EXPECT_EQ(result.result_code, 4u);
  EXPECT_EQ(result.role, 0u);
  EXPECT_EQ(h.flags, 0u);
  EXPECT_EQ(h.state, 0u);
  s.queue_capacity = 9;
  ASSERT_EQ(vorlet_v2_runtime_get_stats_with_auth_context(r.handle(), &admin, &s, &result), 0);
  EXPECT_EQ(s.queue_capacity, 0u);
  EXPECT_EQ(test::event_count(r.rt), before);
  // The plain reads still work on a stopped runtime.
  ASSERT_EQ(vorlet_v2_runtime_get_health(r.handle(), &h), 0);
  EXPECT_EQ(h.state, 2u);
  EXPECT_EQ(h.flags, 0x11u);
}

}  // namespace
}  // namespace vorlet::v2
