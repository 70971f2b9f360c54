// The frame splitter on a pipe, driven as the runtime's request and control
// readers and the ask client's lanes drive it: every whole frame is taken
// until it would block, and one read follows only when the pipe polls
// readable. The first byte picks the frame limit; the rest is a small
// program that builds the stream and cuts it into writes:
//
//   0x00-0x7F  t + 1 bytes of the input, as they are
//   0x80-0xBF  a frame: its length is (t & 3) << 16 | the next 2 bytes
//              (little-endian), its body a pattern of the stream position
//   0xC0-0xDF  every byte not yet written, in writes of (next 2 bytes) + 1
//   0xE0-0xEF  one write of (next 2 bytes) + 1 bytes, or what is left
//   0xF0-0xFF  the next read fails (once), with the bytes waiting on it
//
// Whatever is left is written at the end in writes of 64 KiB, then the
// write end closed. Each write is read and split before the next, so the
// writes are the reads (or are cut by the splitter's room): frames straddle
// reads, fill its buffer to the last byte, outgrow it, come a byte at a
// time. What the splitter reports (frames, refusals at the length, the close
// inside a frame, the close) must be what an independent reading of the
// stream gives, each outcome as soon as the bytes it needs were written; a
// failed read loses nothing.
//
// The failed read is made as the reader tests make one: for that read the
// descriptor's number stands for a write-only file, with the operating
// system's call directly, as a test that plays the host would.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "pool/frame_buffer.h"
#include "codec/frame_splitter.h"
#include "fuzz_support.h"
#include "platform/pipe.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;

namespace {

// The whole stream and the number of writes stay bounded, so that no input
// takes long: past kWriteCap writes the rest goes 64 KiB at a time. A byte
// at a time thus covers 1 KiB, and a large write before it reaches any edge.
constexpr size_t kStreamCap = 4 * kFrameSplitterBufferBytes + 4096;
constexpr size_t kWriteCap = 1024;
constexpr size_t kEndWrite = 65536;  // what the pipe holds

// The bodies of frames: a byte of each stream position, so that a body
// taken from the wrong place differs. Made once, not per input.
const std::string& pattern() {
  static const std::string bytes = [] {
    std::string b(kStreamCap, '\0');
    for (size_t i = 0; i < kStreamCap; ++i) b[i] = static_cast<char>((i * 2654435761u) >> 24);
    return b;
  }();
  return bytes;
}

struct Outcome {
  Status status;
  std::string body;
  bool operator==(const Outcome& o) const { return status == o.status && body == o.body; }
};

// An outcome the stream must give, and the bytes the splitter needs to
// have read to tell it (SIZE_MAX: the close too).
struct Expected {
  Outcome outcome;
  size_t known_at;
};

// The framing read independently: 8 bytes of little-endian length, then
// that many body bytes. A length over the limit is refused and only its 8
// bytes go; the stream's end inside a frame loses that frame.
std::vector<Expected> expected(const std::string& s, uint64_t limit) {
  std::vector<Expected> out;
  size_t pos = 0;
  for (;;) {
    const size_t rest = s.size() - pos;
    if (rest == 0) break;
    if (rest < 8) {
      out.push_back({{Status::io, {}}, SIZE_MAX});
      break;
    }
    const uint64_t length = le64(reinterpret_cast<const uint8_t*>(s.data() + pos));
    pos += 8;
    if (length > limit) {
      out.push_back({{Status::io, {}}, pos});
      continue;
    }
    if (s.size() - pos < length) {
      out.push_back({{Status::io, {}}, SIZE_MAX});
      break;
    }
    out.push_back({{Status::ok, s.substr(pos, length)}, pos + length});
    pos += length;
  }
  out.push_back({{Status::closed, {}}, SIZE_MAX});
  return out;
}

// A descriptor every read fails on.
int write_only_file() {
  static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  return fd;
}

struct Harness {
  int32_t read_fd = -1;
  int32_t write_fd = -1;
  FrameSplitter* splitter = nullptr;
  std::vector<Outcome> got;
  size_t failures = 0;    // reads still to fail
  bool eof_read = false;  // a read was made with the close waiting
  bool closed = false;    // the splitter reported the close
};

// Takes frames until the splitter would block (or reports the close).
void take_all(Harness* h) {
  for (;;) {
    void* frame = nullptr;
    uint64_t length = 7;
    const Status s = frame_splitter_next(h->splitter, &frame, &length);
    if (s == Status::would_block) {
      FUZZ_CHECK(frame == nullptr && length == 0);
      FUZZ_CHECK(!h->eof_read);  // after the close there is nothing to wait for
      return;
    }
    Outcome o{s, {}};
    if (s == Status::ok) {
      FUZZ_CHECK((frame == nullptr) == (length == 0));
      o.body.assign(static_cast<const char*>(frame), length);
      frame_buffer_release(frame);
    } else {
      FUZZ_CHECK(frame == nullptr && length == 0);
    }
    h->got.push_back(o);
    if (s == Status::closed) {
      h->closed = true;
      return;
    }
  }
}

// One read on a descriptor that fails it: io, and the splitter holds what
// it held.
void failed_read(Harness* h) {
  const int saved = ::dup(h->read_fd);
  FUZZ_CHECK(saved >= 0);
  FUZZ_CHECK(::dup2(write_only_file(), h->read_fd) == h->read_fd);
  const Status s = frame_splitter_fill(h->splitter);
  FUZZ_CHECK(::dup2(saved, h->read_fd) == h->read_fd);
  ::close(saved);
  FUZZ_CHECK(s == Status::io);
  void* frame = nullptr;
  uint64_t length = 0;
  FUZZ_CHECK(frame_splitter_next(h->splitter, &frame, &length) == Status::would_block);
}

// Splits what was read, then reads while the pipe polls readable, as the
// readers do; returns when the pipe is empty (or the close was reported).
void drain(Harness* h) {
  for (;;) {
    take_all(h);
    if (h->closed) return;
    const Status w = platform::pipe_wait_readable(h->read_fd, 0);
    if (w == Status::would_block) return;
    FUZZ_CHECK(w == Status::ok);
    for (; h->failures > 0; --h->failures) failed_read(h);
    uint64_t before = 0;
    const Status a = platform::pipe_available(h->read_fd, &before);
    FUZZ_CHECK(frame_splitter_fill(h->splitter) == Status::ok);
    uint64_t after = 0;
    const Status b = platform::pipe_available(h->read_fd, &after);
    if (a == Status::closed) {
      h->eof_read = true;
    } else {
      // Every read takes something: a splitter with no room for what it
      // misses would be read forever.
      FUZZ_CHECK(a == Status::ok && before > 0);
      FUZZ_CHECK(b == Status::closed || (b == Status::ok && after < before));
    }
  }
}

// Writes the bytes, split as they come; the write end does not block, so a
// full pipe is read before the rest goes.
void write_piece(Harness* h, const std::string& stream, size_t from, size_t n) {
  size_t done = 0;
  while (done < n) {
    uint64_t wrote = 0;
    const Status s = platform::pipe_write(h->write_fd, stream.data() + from + done, n - done, nullptr, 0, &wrote);
    if (s == Status::would_block) {
      drain(h);
      continue;
    }
    FUZZ_CHECK(s == Status::ok);
    done += wrote;
  }
  drain(h);
}

uint16_t le16_at(const uint8_t* data, size_t size, size_t at) {
  const uint16_t lo = at < size ? data[at] : 0;
  const uint16_t hi = at + 1 < size ? data[at + 1] : 0;
  return static_cast<uint16_t>(lo | hi << 8);
}

// What the input asks for: the stream, and in order the writes it is cut
// into (a length) and the failed reads between them (0).
struct Program {
  std::string stream;
  std::vector<size_t> steps;
};

Program program(const uint8_t* data, size_t size) {
  Program p;
  size_t cut = 0;  // bytes of the stream already in a write
  const auto write_out = [&](size_t n, size_t piece) {
    while (n > 0 && cut < p.stream.size()) {
      size_t len = p.steps.size() >= kWriteCap ? kEndWrite : piece;
      len = std::min({len, n, p.stream.size() - cut});
      p.steps.push_back(len);
      cut += len;
      n -= len;
    }
  };
  size_t at = 0;
  while (at < size) {
    const uint8_t t = data[at++];
    if (t < 0x80) {
      const size_t n = std::min<size_t>(t + 1u, size - at);
      p.stream.append(reinterpret_cast<const char*>(data + at), std::min(n, kStreamCap - p.stream.size()));
      at += n;
    } else if (t < 0xC0) {
      const uint64_t length = static_cast<uint64_t>(t & 3) << 16 | le16_at(data, size, at);
      at += 2;
      for (int i = 0; i < 8 && p.stream.size() < kStreamCap; ++i) {
        p.stream.push_back(static_cast<char>(length >> (8 * i)));
      }
      const size_t from = p.stream.size();
      p.stream.append(pattern(), from, std::min<uint64_t>(length, kStreamCap - from));
    } else if (t < 0xF0) {
      const size_t piece = static_cast<size_t>(le16_at(data, size, at)) + 1;
      at += 2;
      write_out(t < 0xE0 ? SIZE_MAX : piece, piece);
    } else {
      p.steps.push_back(0);
    }
  }
  write_out(SIZE_MAX, kEndWrite);
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The readers' limits lie about the buffer's size and above; there is
  // always one (a declared length is taken as a buffer of that size).
  static const uint64_t kLimits[] = {1, 16, 4096, 65527, 65528, 65529, 262144, 1048576};
  const uint64_t limit = kLimits[data[0] % 8];
  const Program p = program(data + 1, size - 1);
  const std::vector<Expected> want = expected(p.stream, limit);

  Harness h;
  FUZZ_CHECK(platform::pipe_create(&h.read_fd, &h.write_fd) == Status::ok);
  FUZZ_CHECK(platform::fd_set_nonblocking(h.write_fd) == Status::ok);
  h.splitter = frame_splitter_create(h.read_fd, limit);
  FUZZ_CHECK(h.splitter != nullptr);

  // What was reported is what the stream gives, and with the pipe read
  // empty every outcome its bytes tell has been reported.
  size_t written = 0;
  size_t checked = 0;
  size_t told = 0;
  const auto check = [&](size_t known_bytes) {
    for (; checked < h.got.size(); ++checked) {
      FUZZ_CHECK(checked < want.size());
      if (!(h.got[checked] == want[checked].outcome)) {
        std::fprintf(stderr, "outcome %zu: status %d with %zu bytes, wanted status %d with %zu bytes\n", checked,
                     static_cast<int>(h.got[checked].status), h.got[checked].body.size(),
                     static_cast<int>(want[checked].outcome.status), want[checked].outcome.body.size());
      }
      FUZZ_CHECK(h.got[checked] == want[checked].outcome);
    }
    while (told < want.size() && want[told].known_at <= known_bytes) ++told;
    if (h.got.size() != told) {
      std::fprintf(stderr, "after %zu bytes: %zu outcomes reported, %zu told\n", written, h.got.size(), told);
    }
    FUZZ_CHECK(h.got.size() == told);
  };
  for (const size_t step : p.steps) {
    if (step == 0) {
      ++h.failures;
      continue;
    }
    write_piece(&h, p.stream, written, step);
    written += step;
    check(written);
  }
  FUZZ_CHECK(written == p.stream.size());

  platform::fd_close(h.write_fd);
  drain(&h);
  FUZZ_CHECK(h.closed);
  check(SIZE_MAX);
  // The close stays.
  void* frame = nullptr;
  uint64_t length = 0;
  FUZZ_CHECK(frame_splitter_next(h.splitter, &frame, &length) == Status::closed);
  FUZZ_CHECK(frame_splitter_fill(h.splitter) == Status::ok);
  FUZZ_CHECK(frame_splitter_next(h.splitter, &frame, &length) == Status::closed);
  frame_splitter_destroy(h.splitter);
  platform::fd_close(h.read_fd);
  return 0;
}
