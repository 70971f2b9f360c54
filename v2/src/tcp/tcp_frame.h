// The "tcp-frame" wire protocol: one connection carries one exchange, a
// request frame from the client and a reply frame from the server.
//
// Frame: u64 LE body length, then the body.
// Request body: "V2Q1", u32 timeout_ms, u64 payload_length, payload.
// Reply body:   "V2R1", u32 result_kind, u32 reason, u32 text_length, text
//               (no NUL), payload (the rest of the body). result_kind is a
//               ReplyKind (codec/codes.h), reason a DeadletterReason; both
//               travel as sent, unchecked.
// All integers are little-endian and unaligned.
//
// Deadlines are absolute nanoseconds on the steady clock (tcp_now_ns). The
// socket routines keep no state; each socket is used by one thread.
#pragma once

#include <cstdint>
#include <vector>

#include "base/status.h"
#include "platform/socket.h"

namespace vorlet::v2 {

inline constexpr uint64_t kTcpMaxBody = 67108864;  // 64 MiB, accepted
inline constexpr uint32_t kTcpMaxReplyText = 1024;
inline constexpr uint32_t kTcpDefaultTimeoutMs = 1000;
inline constexpr uint64_t kTcpHeaderBytes = 16;  // of both bodies
// The largest payload a request body of kTcpMaxBody can carry.
inline constexpr uint64_t kTcpMaxRequestPayload = kTcpMaxBody - kTcpHeaderBytes;

// A growing or received frame body; the vector owns the bytes.
using TcpBody = std::vector<uint8_t>;

// Now on the steady clock, in nanoseconds.
uint64_t tcp_now_ns() noexcept;
// now + ms milliseconds (ms 0 means the protocol's default of 1000).
uint64_t tcp_deadline_after_ms(uint32_t ms) noexcept;

// A deadline that never comes: the wait ends only on readiness, an error or
// its cancel descriptor.
inline constexpr uint64_t kTcpNoDeadline = UINT64_MAX;

// The three routines below also take the stops of platform::socket_poll
// (none by default): the cancel descriptor is an Event's that the adapter
// sets when it is interrupted, the expire descriptor one its caller sets
// when the exchange is no longer wanted. Every wait they make watches them
// beside the socket: the cancel ends it with bad_state as soon as it is
// readable, even while the socket is ready too; the expire ends it as the
// deadline would. They try the socket first, so bytes that can move without
// waiting still move.

// Waits until s is ready for one of the wanted directions (bit 1 readable,
// bit 2 writable): ok; would_block once the deadline is reached (without
// waiting when it already passed) or the expire descriptor is readable; io
// when the socket is not usable or the socket library did not start;
// bad_state when cancelled.
// troubled (may be NULL): on ok, as socket_poll reports it.
Status tcp_socket_wait(platform::SocketHandle s, uint32_t want, uint64_t deadline_ns, platform::PollStops stops = {},
                       bool* troubled = nullptr) noexcept;

// Writes the length prefix and the body, together in one send while the
// socket has room for them. ok when every byte is written;
// would_block at the deadline, or once no byte has moved for stall_ms
// (0: no such limit): no send call took one and the peer acknowledged none
// of those queued, so that a peer that reads, however slowly, keeps the
// send and one that does not read ends it; io on a socket error; bad_state
// when a wait for room was cancelled.
Status tcp_frame_send(platform::SocketHandle s, const uint8_t* body, uint64_t length, uint64_t deadline_ns,
                      platform::PollStops stops = {}, uint32_t stall_ms = 0) noexcept;

// Moves a gathered send on past `sent` more bytes, from pieces[first]: the
// pieces sent whole (and the empty ones) are passed over and the first one
// with bytes left starts where the send ended. Returns the index of that
// piece, or count when every byte is sent. `sent` is at most what is left.
uint32_t tcp_pieces_advance(platform::SendPiece* pieces, uint32_t count, uint32_t first, uint64_t sent) noexcept;

// Reads one frame into *body (emptied first). ok: *body holds exactly the
// body; closed: the peer closed before the frame was complete; io: a
// socket error, a declared length above max_length (at most 64 MiB is ever
// accepted; nothing more is read) or a body buffer that cannot be
// allocated; would_block at the deadline; bad_state when a wait for bytes
// was cancelled. The buffer grows with the bytes that arrive, not with the
// declared length: a peer that declares much and sends little makes it hold
// about twice what it sent.
// mode, a bit set of the two below (0: neither):
//  kTcpReceiveWhole: the caller drops the connection after this frame, so
//   the first receive may ask for up to kTcpReceiveHeadBytes at once and a
//   small frame's prefix and body come in one call. Bytes a peer sends past
//   its frame are then read with it and dropped, and a refused length has
//   read up to that many bytes past its prefix; without it nothing past
//   the prefix is read before the length is checked.
//  kTcpReceiveAwait: the bytes are not likely there yet (the answer to a
//   request just sent), so the first call waits for them instead of trying
//   the socket. The wait only saves the empty receive: whatever it reports,
//   the receive then goes on as without it, so the outcome is the same.
inline constexpr uint32_t kTcpReceiveWhole = 1;
inline constexpr uint32_t kTcpReceiveAwait = 2;
inline constexpr uint64_t kTcpReceiveHeadBytes = 4096;
Status tcp_frame_receive(platform::SocketHandle s, TcpBody* body, uint64_t deadline_ns, platform::PollStops stops = {},
                         uint64_t max_length = kTcpMaxBody, uint32_t mode = 0) noexcept;

// Appends the four little-endian bytes of value.
void tcp_body_append_u32(TcpBody* body, uint32_t value);

// Builds a request body in one reservation; timeout_ms goes on the wire as
// given. false when the body cannot be allocated.
bool tcp_request_body_build(uint32_t timeout_ms, const uint8_t* payload, uint64_t payload_length,
                            TcpBody* out) noexcept;

// Builds a reply body in one reservation. The text (NULL: none) is cut to
// 1024 bytes without splitting a UTF-8 sequence; a NULL payload or a length
// of 0 gives no payload. false when the body cannot be allocated.
bool tcp_reply_body_build(int32_t result_kind, int32_t reason, const char* text, const uint8_t* payload,
                          uint64_t payload_length, TcpBody* out) noexcept;

// A decoded request; payload points into the body it was decoded from.
struct TcpRequest {
  uint32_t timeout_ms;
  const uint8_t* payload;
  uint64_t payload_length;
};

// A decoded reply; text and payload point into the body. The text is not
// terminated and may hold any bytes.
struct TcpReply {
  int32_t result_kind;
  int32_t reason;
  const char* text;
  uint32_t text_length;
  const uint8_t* payload;
  uint64_t payload_length;
};

// false unless the body is a well-formed request (magic, header, and a
// payload_length that accounts for exactly the rest of the body).
bool tcp_request_decode(const uint8_t* body, uint64_t length, TcpRequest* out) noexcept;
// false unless the body is a well-formed reply (magic, header, and a text
// that fits the body; a text above 1024 bytes is accepted).
bool tcp_reply_decode(const uint8_t* body, uint64_t length, TcpReply* out) noexcept;

// Hands a received text to a caller's buffer: only the bytes before an
// inner NUL, cut to capacity - 1 with the UTF-8-safe cut, terminated. The
// received bytes are never read past `length`. Nothing for a NULL buffer or
// a capacity of 0.
void tcp_received_text_copy(char* buffer, uint64_t capacity, const char* text, uint64_t length) noexcept;

}  // namespace vorlet::v2
