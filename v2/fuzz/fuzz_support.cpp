#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message_lite.h>

#include "platform/socket.h"

namespace vorlet::v2::fuzz {
namespace {

// protobuf reports every string that is not UTF-8 on standard error; the
// fuzzers feed it such strings all the time.
const bool g_protobuf_quiet = [] {
  google::protobuf::SetLogHandler(nullptr);
  return true;
}();

}  // namespace

void check_failed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", condition, file, line);
  std::abort();
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint64_t le64(const uint8_t* p) { return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32; }

bool utf8_valid(const char* text, size_t length) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    const unsigned char c = s[i];
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (length - i <= n) return false;
    for (size_t k = 1; k <= n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

bool terminated_within(const char* buffer, size_t capacity) {
  return capacity > 0 && std::memchr(buffer, '\0', capacity) != nullptr;
}

std::string canonical_bytes(const google::protobuf::MessageLite& message) {
  std::string out;
  {
    google::protobuf::io::StringOutputStream stream(&out);
    google::protobuf::io::CodedOutputStream coded(&stream);
    coded.SetSerializationDeterministic(true);
    message.SerializeToCodedStream(&coded);
  }
  return out;
}

uint16_t free_loopback_port() {
  platform::SocketError err = platform::SocketError::none;
  platform::SocketHandle s = platform::socket_open_ipv4(&err);
  if (s == platform::kNoSocket) return 0;
  platform::Ipv4Address loopback{};
  uint16_t port = 0;
  if (platform::ipv4_parse("127.0.0.1", &loopback) &&
      platform::socket_bind_ipv4(s, &loopback, 0) == platform::SocketError::none) {
    port = platform::socket_local_port(s);
  }
  platform::socket_close(s);
  return port;
}

}  // namespace vorlet::v2::fuzz
