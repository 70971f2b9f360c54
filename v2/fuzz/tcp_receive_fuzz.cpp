// The framed receive of the TCP protocol, fed through a connected socket
// pair: the fuzzer plays the peer and writes its bytes into one end, the
// receive reads the other. Checked against the frame layout: the 8-byte
// length, the 64 MiB refusal before any body byte, a body of exactly the
// declared length. Each input is sent twice: once with the peer's end left
// open and a deadline already passed (an incomplete frame is would_block),
// once with the peer's end closed after the bytes (an incomplete frame is
// closed). A frame that arrives whole is then decoded as both bodies.
// Every input goes through each receive mode, which must agree on the
// outcome and the body; what is left in the socket afterwards shows how far
// each read: without the whole-connection mode nothing past the prefix of
// a refused length nor past the frame, with it at most the first read's
// worth.
//
// The socket pair is the peer's side of the test, made with the operating
// system's call directly, as a test that plays the host would.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "tcp/tcp_frame.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;

namespace {

Status expected(const uint8_t* data, size_t size, bool peer_closed) {
  const Status incomplete = peer_closed ? Status::closed : Status::would_block;
  if (size < 8) return incomplete;
  const uint64_t length = le64(data);
  if (length > kTcpMaxBody) return Status::io;
  if (size - 8 < length) return incomplete;
  return Status::ok;
}

// Bytes still unread on the socket (the peer's end may be closed).
size_t unread(int s) {
  size_t left = 0;
  uint8_t sink[4096];
  for (;;) {
    const ssize_t n = ::recv(s, sink, sizeof sink, MSG_DONTWAIT);
    if (n <= 0) return left;
    left += static_cast<size_t>(n);
  }
}

void receive(const uint8_t* data, size_t size, bool peer_closed, uint32_t mode) {
  int ends[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0);
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(ends[1], data + sent, size - sent, MSG_NOSIGNAL);
    FUZZ_CHECK(n > 0);  // inputs are far below the socket buffer
    sent += static_cast<size_t>(n);
  }
  if (peer_closed) ::close(ends[1]);

  TcpBody body{1, 2, 3};  // emptied first, whatever the outcome
  const uint64_t deadline = peer_closed ? tcp_now_ns() + 5000000000ull : tcp_now_ns();
  const Status s = tcp_frame_receive(ends[0], &body, deadline, -1, kTcpMaxBody, mode);
  FUZZ_CHECK(s == expected(data, size, peer_closed));
  const size_t left = unread(ends[0]);
  if (s == Status::ok || s == Status::io) {
    const uint64_t length = le64(data);
    const size_t taken = s == Status::io ? 8 : static_cast<size_t>(8 + length);
    if ((mode & kTcpReceiveWhole) == 0) {
      FUZZ_CHECK(left == size - taken);
    } else {
      const size_t first = size < kTcpReceiveHeadBytes ? size : kTcpReceiveHeadBytes;
      FUZZ_CHECK(left <= size - taken && size - left <= (taken > first ? taken : first));
    }
  }
  if (s == Status::ok) {
    const uint64_t length = le64(data);
    FUZZ_CHECK(body.size() == length);
    if (length > 0) FUZZ_CHECK(std::memcmp(body.data(), data + 8, length) == 0);
    TcpRequest request;
    TcpReply reply;
    (void)tcp_request_decode(body.data(), body.size(), &request);
    (void)tcp_reply_decode(body.data(), body.size(), &reply);
  } else {
    FUZZ_CHECK(body.empty());
  }
  ::close(ends[0]);
  if (!peer_closed) ::close(ends[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;  // stays within one socket buffer
  // Any declared length goes in as it is: the receive grows its buffer with
  // the bytes that arrive, so a large length with a short input costs what
  // the input holds.
  for (const uint32_t mode : {0u, kTcpReceiveWhole, kTcpReceiveAwait, kTcpReceiveWhole | kTcpReceiveAwait}) {
    receive(data, size, false, mode);
    receive(data, size, true, mode);
  }
  return 0;
}
