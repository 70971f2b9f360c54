// Checks a generated message's fields against the wire table it must keep:
// names in declaration order, numbers, types, repetition, no explicit
// presence on scalars, and JSON names left to the camel-case default.
#pragma once

#include <google/protobuf/descriptor.h>
#include <gtest/gtest.h>

#include <initializer_list>

namespace vorlet::v2::test {

struct FieldCase {
  const char* name;
  int number;
  google::protobuf::FieldDescriptor::Type type;
  bool repeated = false;
};

inline void expect_fields(const google::protobuf::Descriptor* d, std::initializer_list<FieldCase> fields) {
  using google::protobuf::FieldDescriptor;
  ASSERT_EQ(d->field_count(), static_cast<int>(fields.size())) << d->full_name();
  int index = 0;
  for (const FieldCase& f : fields) {
    const FieldDescriptor* fd = d->field(index++);
    EXPECT_EQ(fd->name(), f.name) << d->full_name();
    EXPECT_EQ(fd->number(), f.number) << f.name;
    EXPECT_EQ(fd->type(), f.type) << f.name;
    EXPECT_EQ(fd->is_repeated(), f.repeated) << f.name;
    EXPECT_FALSE(fd->has_presence() && fd->type() != FieldDescriptor::TYPE_MESSAGE) << f.name << " is optional";
    EXPECT_EQ(fd->json_name(), fd->camelcase_name()) << f.name;  // no json_name option
  }
}

}  // namespace vorlet::v2::test
