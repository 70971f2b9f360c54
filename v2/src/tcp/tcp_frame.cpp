#include "tcp/tcp_frame.h"

#include <chrono>
#include <cstring>
#include <new>

#include "base/text.h"

namespace vorlet::v2 {
namespace {

using platform::SocketError;

constexpr uint8_t kRequestMagic[4] = {'V', '2', 'Q', '1'};
constexpr uint8_t kReplyMagic[4] = {'V', '2', 'R', '1'};
// What a received body's buffer starts with before it doubles.
constexpr uint64_t kReceiveFirstBytes = 65536;
// How often a send without room looks at what the peer has taken.
constexpr uint64_t kStallCheckNs = 100000000ull;

uint32_t read_u32(const uint8_t* p) noexcept {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint64_t read_u64(const uint8_t* p) noexcept {
  return static_cast<uint64_t>(read_u32(p)) | static_cast<uint64_t>(read_u32(p + 4)) << 32;
}

void write_u64(uint8_t* p, uint64_t v) noexcept {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// g++ 12 at -O3 warns that the memmove which vector::insert inlines here
// writes "into a region of size 0": a false positive of its
// -Wstringop-overflow on the reallocation path, whose new buffer always has
// room for the bytes inserted.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
void append_bytes(TcpBody* body, const void* data, uint64_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  body->insert(body->end(), p, p + n);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// tcp_socket_wait, telling an expiry (*expired) from the deadline's passing.
Status wait_ready(platform::SocketHandle s, uint32_t want, uint64_t deadline_ns, platform::PollStops stops,
                  bool* troubled, bool* expired) noexcept {
  *expired = false;
  for (;;) {
    const uint64_t now = tcp_now_ns();
    if (now >= deadline_ns) return Status::would_block;
    if (!platform::socket_startup()) return Status::io;
    // Slices of 1 to 1000 ms, the deadline measured again before each; no
    // deadline, no slices, so that an idle listener never wakes.
    const uint64_t remaining = deadline_ns - now;
    uint32_t slice_ms;
    if (deadline_ns == kTcpNoDeadline) {
      slice_ms = platform::kPollForever;
    } else if (remaining < 1000000ull) {
      slice_ms = 1;
    } else if (remaining > 1000999999ull) {
      slice_ms = 1000;
    } else {
      slice_ms = static_cast<uint32_t>(remaining / 1000000ull);
    }
    SocketError err;
    switch (platform::socket_poll(s, want, slice_ms, &err, stops, troubled)) {
      case platform::PollResult::ready:
        return Status::ok;
      case platform::PollResult::cancelled:
        return Status::bad_state;
      case platform::PollResult::expired:
        *expired = true;
        return Status::would_block;
      case platform::PollResult::timed_out:
        break;
      case platform::PollResult::failed:
        if (err != SocketError::interrupted) return Status::io;
        break;
    }
  }
}

// Waits for room to send, as tcp_socket_wait does, and also ends with
// would_block once stall_at has passed without the peer acknowledging a
// queued byte; each byte it acknowledges moves stall_at on by stall_ns.
Status wait_for_room(platform::SocketHandle s, uint64_t deadline_ns, platform::PollStops stops, uint64_t stall_ns,
                     uint64_t* stall_at) noexcept {
  int64_t queued = platform::socket_unacknowledged_bytes(s);
  for (;;) {
    const uint64_t now = tcp_now_ns();
    if (now >= deadline_ns || now >= *stall_at) return Status::would_block;
    uint64_t until = now + kStallCheckNs;
    if (until > *stall_at) until = *stall_at;
    if (until > deadline_ns) until = deadline_ns;
    bool expired = false;
    const Status w = wait_ready(s, platform::kWantWrite, until, stops, nullptr, &expired);
    if (w != Status::would_block || expired) return w;
    const int64_t left = platform::socket_unacknowledged_bytes(s);
    if (left >= 0 && queued >= 0 && left < queued) *stall_at = tcp_now_ns() + stall_ns;
    queued = left;
  }
}

// Sends every byte of the pieces, in order, within the deadline: all of
// them in one call while the socket takes them, and after a partial send
// the rest from where it ended. The pieces are advanced as bytes go.
// stall_ms 0: no stall limit.
Status send_all(platform::SocketHandle s, platform::SendPiece* pieces, uint32_t count, uint64_t deadline_ns,
                platform::PollStops stops, uint32_t stall_ms) noexcept {
  const uint64_t stall_ns = static_cast<uint64_t>(stall_ms) * 1000000ull;
  uint64_t stall_at = kTcpNoDeadline;
  uint32_t first = tcp_pieces_advance(pieces, count, 0, 0);
  while (first < count) {
    SocketError err;
    const int64_t sent = platform::socket_send_pieces(s, pieces + first, count - first, &err);
    if (sent > 0) {
      first = tcp_pieces_advance(pieces, count, first, static_cast<uint64_t>(sent));
      stall_at = kTcpNoDeadline;
      continue;
    }
    if (sent == 0 || err == SocketError::interrupted) continue;
    if (err != SocketError::would_block) return Status::io;
    Status w;
    if (stall_ns == 0) {
      w = tcp_socket_wait(s, platform::kWantWrite, deadline_ns, stops);
    } else {
      // The stall is measured from the last byte that moved.
      if (stall_at == kTcpNoDeadline) stall_at = tcp_now_ns() + stall_ns;
      w = wait_for_room(s, deadline_ns, stops, stall_ns, &stall_at);
    }
    if (w != Status::ok) return w;
  }
  return Status::ok;
}

// Reads at least `least` and at most `most` bytes into data within the
// deadline; *got says how many.
Status recv_at_least(platform::SocketHandle s, uint8_t* data, uint64_t least, uint64_t most, uint64_t* got_out,
                     uint64_t deadline_ns, platform::PollStops stops) noexcept {
  uint64_t have = 0;
  while (have < least) {
    SocketError err;
    const int64_t got = platform::socket_recv(s, data + have, most - have, &err);
    if (got > 0) {
      have += static_cast<uint64_t>(got);
      continue;
    }
    if (got == 0) return Status::closed;
    if (err == SocketError::interrupted) continue;
    if (err != SocketError::would_block) return Status::io;
    const Status w = tcp_socket_wait(s, platform::kWantRead, deadline_ns, stops);
    if (w != Status::ok) return w;
  }
  *got_out = have;
  return Status::ok;
}

// Reads exactly n bytes into data within the deadline.
Status recv_all(platform::SocketHandle s, uint8_t* data, uint64_t n, uint64_t deadline_ns,
                platform::PollStops stops) noexcept {
  uint64_t got = 0;
  return recv_at_least(s, data, n, n, &got, deadline_ns, stops);
}

}  // namespace

uint64_t tcp_now_ns() noexcept {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

uint64_t tcp_deadline_after_ms(uint32_t ms) noexcept {
  return tcp_now_ns() + static_cast<uint64_t>(ms == 0 ? kTcpDefaultTimeoutMs : ms) * 1000000ull;
}

Status tcp_socket_wait(platform::SocketHandle s, uint32_t want, uint64_t deadline_ns, platform::PollStops stops,
                       bool* troubled) noexcept {
  bool expired = false;
  return wait_ready(s, want, deadline_ns, stops, troubled, &expired);
}

uint32_t tcp_pieces_advance(platform::SendPiece* pieces, uint32_t count, uint32_t first, uint64_t sent) noexcept {
  while (first < count && sent >= pieces[first].length) {
    sent -= pieces[first].length;
    ++first;
  }
  if (first < count) {
    pieces[first].data = static_cast<const uint8_t*>(pieces[first].data) + sent;
    pieces[first].length -= sent;
  }
  return first;
}

Status tcp_frame_send(platform::SocketHandle s, const uint8_t* body, uint64_t length, uint64_t deadline_ns,
                      platform::PollStops stops, uint32_t stall_ms) noexcept {
  uint8_t prefix[8];
  write_u64(prefix, length);
  // One write for prefix and body, so that a small frame leaves in one
  // segment.
  platform::SendPiece pieces[2] = {{prefix, sizeof prefix}, {body, length}};
  return send_all(s, pieces, 2, deadline_ns, stops, stall_ms);
}

Status tcp_frame_receive(platform::SocketHandle s, TcpBody* body, uint64_t deadline_ns, platform::PollStops stops,
                         uint64_t max_length, uint32_t mode) noexcept {
  static_assert(kTcpReceiveHeadBytes > 8 && kTcpReceiveHeadBytes <= kReceiveFirstBytes,
                "the head fits the body's first buffer");
  body->clear();
  if ((mode & kTcpReceiveAwait) != 0) (void)tcp_socket_wait(s, platform::kWantRead, deadline_ns, stops);
  uint8_t head[kTcpReceiveHeadBytes];
  uint64_t have = 0;
  const uint64_t most = (mode & kTcpReceiveWhole) != 0 ? sizeof head : 8;
  Status st = recv_at_least(s, head, 8, most, &have, deadline_ns, stops);
  if (st != Status::ok) return st;
  const uint64_t length = read_u64(head);
  if (length > kTcpMaxBody || length > max_length) return Status::io;
  // What of the body came with the prefix; anything past the frame is
  // dropped.
  const uint64_t ahead = have - 8 < length ? have - 8 : length;
  // The declared length is the peer's word only: the buffer doubles as the
  // bytes arrive (reading into the part just added), up to that length.
  uint64_t got = 0;
  while (got < length) {
    uint64_t size = got < kReceiveFirstBytes ? kReceiveFirstBytes : got * 2;
    if (size > length) size = length;
    try {
      body->reserve(static_cast<size_t>(size));  // exactly size: no overshoot past the length
      body->resize(static_cast<size_t>(size));
    } catch (...) {
      st = Status::io;
      break;
    }
    if (got == 0 && ahead > 0) {
      std::memcpy(body->data(), head + 8, static_cast<size_t>(ahead));  // ahead <= size: the first size holds the head
      got = ahead;
    }
    st = recv_all(s, body->data() + got, size - got, deadline_ns, stops);
    if (st != Status::ok) break;
    got = size;
  }
  if (st != Status::ok) TcpBody().swap(*body);
  return st;
}

void tcp_body_append_u32(TcpBody* body, uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  append_bytes(body, b, 4);
}

bool tcp_request_body_build(uint32_t timeout_ms, const uint8_t* payload, uint64_t payload_length,
                            TcpBody* out) noexcept {
  if (payload == nullptr) payload_length = 0;
  try {
    out->clear();
    out->reserve(static_cast<size_t>(kTcpHeaderBytes + payload_length));
    append_bytes(out, kRequestMagic, 4);
    tcp_body_append_u32(out, timeout_ms);
    uint8_t len[8];
    write_u64(len, payload_length);
    append_bytes(out, len, 8);
    append_bytes(out, payload, payload_length);
  } catch (...) {
    out->clear();
    return false;
  }
  return true;
}

bool tcp_reply_body_build(int32_t result_kind, int32_t reason, const char* text, const uint8_t* payload,
                          uint64_t payload_length, TcpBody* out) noexcept {
  const uint32_t text_length =
      text == nullptr ? 0 : static_cast<uint32_t>(utf8_cut_length(text, std::strlen(text), kTcpMaxReplyText));
  if (payload == nullptr) payload_length = 0;
  try {
    out->clear();
    out->reserve(static_cast<size_t>(kTcpHeaderBytes + text_length + payload_length));
    append_bytes(out, kReplyMagic, 4);
    tcp_body_append_u32(out, static_cast<uint32_t>(result_kind));
    tcp_body_append_u32(out, static_cast<uint32_t>(reason));
    tcp_body_append_u32(out, text_length);
    append_bytes(out, text, text_length);
    append_bytes(out, payload, payload_length);
  } catch (...) {
    out->clear();
    return false;
  }
  return true;
}

bool tcp_request_decode(const uint8_t* body, uint64_t length, TcpRequest* out) noexcept {
  if (body == nullptr || length < 4 || std::memcmp(body, kRequestMagic, 4) != 0) return false;
  if (length < kTcpHeaderBytes) return false;
  const uint64_t payload_length = read_u64(body + 8);
  if (payload_length != length - kTcpHeaderBytes) return false;
  out->timeout_ms = read_u32(body + 4);
  out->payload = body + kTcpHeaderBytes;
  out->payload_length = payload_length;
  return true;
}

bool tcp_reply_decode(const uint8_t* body, uint64_t length, TcpReply* out) noexcept {
  if (body == nullptr || length < 4 || std::memcmp(body, kReplyMagic, 4) != 0) return false;
  if (length < kTcpHeaderBytes) return false;
  const uint32_t text_length = read_u32(body + 12);
  if (text_length > length - kTcpHeaderBytes) return false;
  out->result_kind = static_cast<int32_t>(read_u32(body + 4));
  out->reason = static_cast<int32_t>(read_u32(body + 8));
  out->text = reinterpret_cast<const char*>(body + kTcpHeaderBytes);
  out->text_length = text_length;
  out->payload = body + kTcpHeaderBytes + text_length;
  out->payload_length = length - kTcpHeaderBytes - text_length;
  return true;
}

void tcp_received_text_copy(char* buffer, uint64_t capacity, const char* text, uint64_t length) noexcept {
  if (buffer == nullptr || capacity == 0) return;
  if (text == nullptr) length = 0;
  // The received text has no terminator: stop at an inner NUL or at its end.
  const void* nul = length > 0 ? std::memchr(text, '\0', static_cast<size_t>(length)) : nullptr;
  if (nul != nullptr) length = static_cast<uint64_t>(static_cast<const char*>(nul) - text);
  const uint64_t n = utf8_cut_length(text, length, capacity - 1);
  if (n > 0) std::memcpy(buffer, text, static_cast<size_t>(n));
  buffer[n] = '\0';
}

}  // namespace vorlet::v2
