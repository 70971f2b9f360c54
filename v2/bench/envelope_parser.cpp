#include "envelope_parser.h"

#include <climits>

#include "vorlet_bench/transport.pb.h"

namespace bench {

struct EnvelopeParser::Message {
  vorlet_bench::transport::Envelope envelope;
};

EnvelopeParser::EnvelopeParser() : message_(std::make_unique<Message>()) {}

EnvelopeParser::~EnvelopeParser() = default;

bool EnvelopeParser::decodes_for(const uint8_t* bytes, uint64_t length, const std::string& target) {
  if (length > static_cast<uint64_t>(INT_MAX)) return false;
  return message_->envelope.ParseFromArray(bytes, static_cast<int>(length)) && message_->envelope.target() == target;
}

}  // namespace bench
