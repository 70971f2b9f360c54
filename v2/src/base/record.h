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
#include <type_traits>

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
  // A reserved field is never read or written; a field table lists it only
  // so that the table covers its record byte for byte.
  bool reserved = false;
  // Padding between fields or at the end, not a field: reserved too.
  bool padding = false;
};

#define VORLET_FIELD(Type, member) \
  ::vorlet::v2::FieldSpan { offsetof(Type, member), sizeof(static_cast<Type*>(nullptr)->member) }

// A record's field table lists every field of the public struct, in order,
// each row with the offset the public header documents for it:
//
//   constexpr FieldSpan kHealthFields[] = {
//       VORLET_FIELD_AT(RuntimeHealth, struct_size, 0),
//       VORLET_FIELD_AT(RuntimeHealth, state, 8),
//       ...
//   };
//   static_assert(record_table_covers<RuntimeHealth>(kHealthFields, 24));
//
// A row whose field has moved does not compile; record_table_covers holds
// when the rows tile the record from struct_size to its documented size,
// so a field added to the struct and not to its table fails it too. A gap
// the compiler pads is a VORLET_PADDING_AT row; a table with one requires
// that the record really has padding, so a field added into a record's
// one gap fails as well (into one of several gaps, it would go unseen).
#define VORLET_FIELD_AT(Type, member, documented) ::vorlet::v2::field_at(VORLET_FIELD(Type, member), documented)
#define VORLET_RESERVED_AT(Type, member, documented) \
  ::vorlet::v2::field_at(VORLET_FIELD(Type, member), documented, true)

#define VORLET_PADDING_AT(offset, width) \
  ::vorlet::v2::FieldSpan { offset, width, true, true }

consteval FieldSpan field_at(FieldSpan field, uint64_t documented, bool reserved = false) {
  // Reached only when the layout has moved: a throw stops the compilation here.
  if (field.offset != documented) throw "a field is not at the offset its record documents";
  field.reserved = reserved;
  return field;
}

template <class Rec, size_t N>
constexpr bool record_table_covers(const FieldSpan (&fields)[N], uint64_t documented_size) noexcept {
  if (sizeof(Rec) != documented_size) return false;
  uint64_t next = 0;
  bool padded = false;
  for (const FieldSpan& f : fields) {
    if (f.offset != next) return false;
    next += f.width;
    padded = padded || f.padding;
  }
  if (padded && std::has_unique_object_representations_v<Rec>) return false;
  return next == documented_size;
}

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
uint64_t record_read(const Rec* in, Rec& out, const FieldSpan* fields, size_t count) noexcept {
  const uint64_t eff = record_effective_size(record_read_declared(in), sizeof(Rec));
  const auto* src = reinterpret_cast<const unsigned char*>(in);
  auto* dst = reinterpret_cast<unsigned char*>(&out);
  for (size_t i = 0; i < count; ++i) {
    const FieldSpan& f = fields[i];
    if (f.reserved || f.offset == 0) continue;  // struct_size is the caller's
    if (struct_field_fits(eff, f.offset, f.width)) std::memcpy(dst + f.offset, src + f.offset, f.width);
  }
  return eff;
}

template <class Rec>
uint64_t record_read(const Rec* in, Rec& out, std::initializer_list<FieldSpan> fields) noexcept {
  return record_read(in, out, fields.begin(), fields.size());
}

// The same for a record's field table.
template <class Rec, size_t N>
uint64_t record_read(const Rec* in, Rec& out, const FieldSpan (&fields)[N]) noexcept {
  return record_read(in, out, fields, N);
}

// Output: writes the full size into struct_size, then every listed field of
// `full` that fits the size the caller declared. No byte past the declared
// size is touched (other than struct_size itself).
template <class Rec>
void record_write(Rec* out, const Rec& full, const FieldSpan* fields, size_t count) noexcept {
  const uint64_t eff = record_effective_size(record_read_declared(out), sizeof(Rec));
  const uint64_t size = sizeof(Rec);
  auto* dst = reinterpret_cast<unsigned char*>(out);
  const auto* src = reinterpret_cast<const unsigned char*>(&full);
  std::memcpy(dst, &size, sizeof size);
  for (size_t i = 0; i < count; ++i) {
    const FieldSpan& f = fields[i];
    if (f.reserved || f.offset == 0) continue;  // struct_size was written above
    if (struct_field_fits(eff, f.offset, f.width)) std::memcpy(dst + f.offset, src + f.offset, f.width);
  }
}

template <class Rec>
void record_write(Rec* out, const Rec& full, std::initializer_list<FieldSpan> fields) noexcept {
  record_write(out, full, fields.begin(), fields.size());
}

// The same for a record's field table.
template <class Rec, size_t N>
void record_write(Rec* out, const Rec& full, const FieldSpan (&fields)[N]) noexcept {
  record_write(out, full, fields, N);
}

}  // namespace vorlet::v2
