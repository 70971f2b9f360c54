// The parse a relay makes when it validates every envelope it passes on:
// protobuf's generated code for the transport schema, compiled into the
// bench on its own (see CMakeLists.txt). Only the parsing relay's floor
// uses it; everything else in the bench sees the public header alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace bench {

class EnvelopeParser {
 public:
  EnvelopeParser();
  ~EnvelopeParser();
  EnvelopeParser(const EnvelopeParser&) = delete;
  EnvelopeParser& operator=(const EnvelopeParser&) = delete;

  // Decodes one serialized envelope into the one message the parser
  // keeps (its buffers are reused from one envelope to the next); true
  // when the bytes decode and the envelope names `target`.
  bool decodes_for(const uint8_t* bytes, uint64_t length, const std::string& target);

 private:
  struct Message;
  std::unique_ptr<Message> message_;
};

}  // namespace bench
