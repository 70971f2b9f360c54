// The flat views through which hosts without protobuf build and parse
// envelopes and deadletters. Every pointer a view holds is owned by the view;
// a built buffer is an rt_malloc block owned by the caller.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

inline constexpr uint64_t kEnvelopeSpecSize = 144;
inline constexpr uint64_t kEnvelopeViewSize = 136;
inline constexpr uint64_t kDeadletterViewSize = 184;

// Serializes the envelope a checked spec describes (payload and header
// pointers present where their counts need them). invalid_arg for a header
// with a NULL key or value, io when the envelope would be too large, nomem on
// exhaustion; out and out_len stay NULL and 0 on every failure.
Status envelope_build(const vorlet_v2_EnvelopeSpec& spec, void** out, uint64_t* out_len) noexcept;

void envelope_view_init(vorlet_v2_EnvelopeView* view) noexcept;
void envelope_view_cleanup(vorlet_v2_EnvelopeView* view) noexcept;
void deadletter_view_init(vorlet_v2_DeadletterView* view) noexcept;
void deadletter_view_cleanup(vorlet_v2_DeadletterView* view) noexcept;

// io (bytes too long or not the message; the view keeps what it held) or
// nomem (the view is left cleaned); on ok the view holds copies of every
// field.
Status envelope_view_parse(const void* bytes, uint64_t len, vorlet_v2_EnvelopeView* view) noexcept;
Status deadletter_view_parse(const void* bytes, uint64_t len, vorlet_v2_DeadletterView* view) noexcept;

}  // namespace vorlet::v2
