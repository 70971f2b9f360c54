// A runtime made and destroyed through the public header alone, for the
// black-box tests (they link only the shared library).
#pragma once

#include "vorlet_v2.h"

namespace vorlet::v2::test {

// Created with these option texts (queue hint 0), destroyed at the end of
// scope; rt is NULL when create failed.
struct ApiRuntime {
  ApiRuntime(const char* text_a, const char* text_b) {
    const vorlet_v2_RuntimeOptions options{text_a, text_b, 0, 0};
    rt = vorlet_v2_runtime_create(&options);
  }
  ~ApiRuntime() { vorlet_v2_runtime_destroy(rt); }
  ApiRuntime(const ApiRuntime&) = delete;
  ApiRuntime& operator=(const ApiRuntime&) = delete;

  vorlet_v2_Runtime* rt = nullptr;
};

}  // namespace vorlet::v2::test
