// What every fuzz target shares: a check that turns a broken property into
// a crash libFuzzer keeps, and small readers of the bytes it is fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace google::protobuf {
class MessageLite;
}

namespace vorlet::v2::fuzz {

[[noreturn]] void check_failed(const char* condition, const char* file, int line);

// A property of the code under test; a failure aborts with the condition.
#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : ::vorlet::v2::fuzz::check_failed(#cond, __FILE__, __LINE__))

uint32_t le32(const uint8_t* p);
uint64_t le64(const uint8_t* p);

// true when the bytes are well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool utf8_valid(const char* text, size_t length);

// A NUL-terminated text of at most capacity - 1 bytes lies in buffer.
bool terminated_within(const char* buffer, size_t capacity);

// The message's encoding with map entries in key order, so that two equal
// messages give equal bytes.
std::string canonical_bytes(const google::protobuf::MessageLite& message);

// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none was.
uint16_t free_loopback_port();

}  // namespace vorlet::v2::fuzz
