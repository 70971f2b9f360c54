// The host's view parsers, fed any bytes: an envelope view and a deadletter
// view, each parsed into a view that already holds an earlier result (which
// a refused parse must keep), and a parsed envelope built again from its
// view, which must parse back to the same fields.
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "fuzz_support.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;

namespace {

// The earlier result every parse starts from.
const char kEarlierId[] = "earlier-result";
void* g_earlier = nullptr;
uint64_t g_earlier_len = 0;

void fill_with_earlier(vorlet_v2_EnvelopeView* view) {
  vorlet_v2_transport_envelope_view_init(view);
  FUZZ_CHECK(vorlet_v2_transport_parse_envelope(g_earlier, g_earlier_len, view) == 0);
}

bool same_text(const char* a, const char* b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }

void check_envelope_view(const vorlet_v2_EnvelopeView& v) {
  FUZZ_CHECK(v.struct_size == sizeof(vorlet_v2_EnvelopeView));
  const char* texts[] = {v.message_id, v.correlation_id, v.source,     v.target,
                         v.reply_to,   v.message_type,   v.error_code, v.error_message};
  for (const char* t : texts) FUZZ_CHECK(t != nullptr);
  FUZZ_CHECK((v.payload == nullptr) == (v.payload_len == 0));
  FUZZ_CHECK((v.headers == nullptr) == (v.header_count == 0));
  for (uint64_t i = 0; i < v.header_count; ++i) FUZZ_CHECK(v.headers[i].key && v.headers[i].value);
  FUZZ_CHECK(v.one_way <= 1);
}

using HeaderSet = std::set<std::pair<std::string, std::string>>;

// The headers as C texts; false when two keys read the same (an inner NUL
// cuts them), which a rebuild would rightly merge.
bool header_set(const vorlet_v2_EnvelopeView& v, HeaderSet* out) {
  std::set<std::string> keys;
  for (uint64_t i = 0; i < v.header_count; ++i) {
    if (!keys.insert(v.headers[i].key).second) return false;
    out->emplace(v.headers[i].key, v.headers[i].value);
  }
  return true;
}

// Build the view back into an envelope and parse it again: the texts (as
// far as their first NUL), the payload, the headers and every scalar come
// back unchanged.
void round_trip(const vorlet_v2_EnvelopeView& v) {
  vorlet_v2_EnvelopeSpec spec{};
  spec.struct_size = sizeof spec;
  spec.message_id = v.message_id;
  spec.correlation_id = v.correlation_id;
  spec.source = v.source;
  spec.target = v.target;
  spec.reply_to = v.reply_to;
  spec.kind = v.kind;
  spec.one_way = v.one_way;
  spec.timeout_ms = v.timeout_ms;
  spec.payload = v.payload;
  spec.payload_len = v.payload_len;
  spec.headers = v.headers;
  spec.header_count = v.header_count;
  spec.status = v.status;
  spec.error_code = v.error_code;
  spec.error_message = v.error_message;
  spec.delivery_hint = v.delivery_hint;
  spec.message_type = v.message_type;
  spec.payload_schema_version = v.payload_schema_version;
  spec.payload_format = v.payload_format;
  void* bytes = nullptr;
  uint64_t len = 0;
  FUZZ_CHECK(vorlet_v2_transport_build_envelope(&spec, &bytes, &len) == 0);
  vorlet_v2_EnvelopeView again;
  vorlet_v2_transport_envelope_view_init(&again);
  FUZZ_CHECK(vorlet_v2_transport_parse_envelope(bytes, len, &again) == 0);
  vorlet_v2_transport_buffer_release(bytes);

  FUZZ_CHECK(same_text(v.message_id, again.message_id) && same_text(v.correlation_id, again.correlation_id) &&
             same_text(v.source, again.source) && same_text(v.target, again.target) &&
             same_text(v.reply_to, again.reply_to) && same_text(v.message_type, again.message_type) &&
             same_text(v.error_code, again.error_code) && same_text(v.error_message, again.error_message));
  FUZZ_CHECK(v.payload_len == again.payload_len);
  if (v.payload_len > 0) FUZZ_CHECK(std::memcmp(v.payload, again.payload, v.payload_len) == 0);
  FUZZ_CHECK(v.kind == again.kind && v.one_way == again.one_way && v.timeout_ms == again.timeout_ms &&
             v.payload_schema_version == again.payload_schema_version &&
             v.payload_format == again.payload_format && v.delivery_hint == again.delivery_hint &&
             v.status == again.status);
  HeaderSet before, after;
  if (header_set(v, &before)) {
    FUZZ_CHECK(header_set(again, &after));
    FUZZ_CHECK(before == after);
  }
  vorlet_v2_transport_envelope_view_cleanup(&again);
}

void fuzz_envelope_view(const uint8_t* data, size_t size) {
  vorlet_v2_EnvelopeView view;
  fill_with_earlier(&view);
  const int32_t s = vorlet_v2_transport_parse_envelope(data, size, &view);
  if (s != 0) {
    FUZZ_CHECK(s == -5);
    FUZZ_CHECK(same_text(view.message_id, kEarlierId));  // the earlier result stays
  } else {
    check_envelope_view(view);
    round_trip(view);
  }
  vorlet_v2_transport_envelope_view_cleanup(&view);
  FUZZ_CHECK(view.message_id == nullptr && view.headers == nullptr && view.payload == nullptr);
}

void fuzz_deadletter_view(const uint8_t* data, size_t size) {
  vorlet_v2_DeadletterView view;
  vorlet_v2_transport_deadletter_view_init(&view);
  // Twice into the same view: the second parse releases what the first left.
  for (int pass = 0; pass < 2; ++pass) {
    const int32_t s = vorlet_v2_transport_parse_deadletter(data, size, &view);
    if (s != 0) {
      FUZZ_CHECK(s == -5);
      break;
    }
    FUZZ_CHECK(view.struct_size == sizeof view);
    FUZZ_CHECK(view.detail != nullptr && view.resolved_host != nullptr);
    const vorlet_v2_EnvelopeView& o = view.original_envelope;
    FUZZ_CHECK(o.struct_size == sizeof o);
    if (o.message_id != nullptr) {
      check_envelope_view(o);
    } else {  // no original envelope: the embedded view stays zeroed
      FUZZ_CHECK(o.target == nullptr && o.headers == nullptr && o.header_count == 0 && o.payload == nullptr);
    }
  }
  vorlet_v2_transport_deadletter_view_cleanup(&view);
  FUZZ_CHECK(view.detail == nullptr && view.original_envelope.message_id == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vorlet_v2_EnvelopeSpec spec{};
  spec.struct_size = sizeof spec;
  spec.message_id = kEarlierId;
  spec.target = "svc";
  spec.kind = 1;
  FUZZ_CHECK(vorlet_v2_transport_build_envelope(&spec, &g_earlier, &g_earlier_len) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_envelope_view(data, size);
  fuzz_deadletter_view(data, size);
  return 0;
}
