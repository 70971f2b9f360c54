// Exported frame entry points.
#include "codec/frame_io.h"
#include "codec/frame_reader.h"
#include "pool/frame_buffer.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

namespace {

FrameReader* from_handle(vorlet_v2_FrameReader* h) noexcept { return reinterpret_cast<FrameReader*>(h); }

}  // namespace

extern "C" {

vorlet_v2_FrameReader* vorlet_v2_frame_reader_create(int32_t fd, uint64_t max_frame_bytes) {
  return reinterpret_cast<vorlet_v2_FrameReader*>(frame_reader_create(fd, max_frame_bytes));
}

void vorlet_v2_frame_reader_destroy(vorlet_v2_FrameReader* reader) { frame_reader_destroy(from_handle(reader)); }

int32_t vorlet_v2_frame_read_try(vorlet_v2_FrameReader* reader, void** frame_out, uint64_t* length_out) {
  return to_c(frame_read_try(from_handle(reader), frame_out, length_out));
}

int32_t vorlet_v2_frame_write(int32_t fd, const void* bytes, uint64_t length) {
  return to_c(frame_write(fd, bytes, length));
}

void vorlet_v2_frame_release(void* frame) { frame_buffer_release(frame); }

}  // extern "C"
