#!/bin/sh
# The static library, as a packager or a project that vendors the sources
# gets it: a plain C project takes the sources in with add_subdirectory and
# BUILD_SHARED_LIBS=OFF, links vorlet_v2::vorlet_v2 into a host and runs it;
# then its installed tree must serve C hosts through pkg-config --static and
# find_package with no flags of their own (check_install.sh).
set -eu
source=$1
cc=$2
cxx=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir "$tmp/host"
cat > "$tmp/host/host.c" <<'C'
#include <vorlet_v2.h>
int main(void) {
  vorlet_v2_RuntimeOptions options = {0};
  vorlet_v2_Runtime* rt = vorlet_v2_runtime_create(&options);
  if (rt == NULL) return 1;
  vorlet_v2_runtime_destroy(rt);
  return 0;
}
C
cat > "$tmp/host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.24)
project(vorlet_vendoring_host LANGUAGES C)
add_subdirectory("$source" vorlet_v2)
add_executable(host host.c)
target_link_libraries(host PRIVATE vorlet_v2::vorlet_v2)
CMAKE
cmake -S "$tmp/host" -B "$tmp/build" -G Ninja -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
cmake --build "$tmp/build" -j 4 >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
[ -f "$tmp/build/vorlet_v2/v2/libvorlet_v2.a" ] || { echo "no libvorlet_v2.a built" >&2; exit 1; }
# The vendored sources build the library alone: no tests, examples or benchmark.
if [ -n "$(find "$tmp/build/vorlet_v2" -name 'vorlet_unit_tests' -o -name 'vorlet_demo_host')" ]; then
  echo "add_subdirectory built the project's tests or examples" >&2; exit 1
fi
"$tmp/build/host"
"$(dirname "$0")/check_install.sh" "$tmp/build" "$source" "$cc"
