// The size-prefix rule shared by every record that starts with struct_size.
//
// A caller declares how many bytes of a record it has. 0, or anything above
// the full size, means the whole record. Only fields lying wholly inside the
// effective size are read or written; an output record always gets the full
// size written back into struct_size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace vorlet::v2 {

// 1 when a field of `width` bytes at `offset` lies inside `size` bytes;
// a size of 0 covers everything.
constexpr int struct_field_fits(uint64_t size, uint64_t offset, uint64_t width) noexcept {
  if (size == 0) return 1;
  return (size >= offset && size - offset >= width) ? 1 : 0;
}

// Declared size -> effective size against a record's full size.
constexpr uint64_t record_effective_size(uint64_t declared, uint64_t full) noexcept {
  return (declared >= 1 && declared <= full) ? declared : full;
}

struct FieldSpan {
  uint64_t offset;
  uint64_t width;
};

#define VORLET_FIELD(Type, member) \
  ::vorlet::v2::FieldSpan { offsetof(Type, member), sizeof(static_cast<Type*>(nullptr)->member) }

// Reads the caller's declared size of an input record.
template <class Rec>
uint64_t record_read_declared(const Rec* rec) noexcept {
  uint64_t declared = 0;
  std::memcpy(&declared, rec, sizeof declared);
  return declared;
}

// Input: copies into `out` (which already holds the defaults) every listed
// field that fits the effective size of `in`. Returns the effective size so
// the caller can test fields it requires.
template <class Rec>
uint64_t record_read(const Rec* in, Rec& out, std::initializer_list<FieldSpan> fields) noexcept {
  const uint64_t eff = record_effective_size(record_read_declared(in), sizeof(Rec));
  const auto* src = reinterpret_cast<const unsigned char*>(in);
  auto* dst = reinterpret_cast<unsigned char*>(&out);
  for (const FieldSpan& f : fields) {
    if (struct_field_fits(eff, f.offset, f.width)) std::memcpy(dst + f.offset, src + f.offset, f.width);
  }
  return eff;
}

// Output: writes the full size into struct_size, then every listed field of
// `full` that fits the size the caller declared. No byte past the declared
// size is touched (other than struct_size itself).
template <class Rec>
void record_write(Rec* out, const Rec& full, std::initializer_list<FieldSpan> fields) noexcept {
  const uint64_t eff = record_effective_size(record_read_declared(out), sizeof(Rec));
  const uint64_t size = sizeof(Rec);
  auto* dst = reinterpret_cast<unsigned char*>(out);
  const auto* src = reinterpret_cast<const unsigned char*>(&full);
  std::memcpy(dst, &size, sizeof size);
  for (const FieldSpan& f : fields) {
    if (f.offset == 0) continue;  // struct_size was written above
    if (struct_field_fits(eff, f.offset, f.width)) std::memcpy(dst + f.offset, src + f.offset, f.width);
  }
}

}  // namespace vorlet::v2
