#!/bin/sh
# The library as a project that takes its sources in gets it, and the static
# library as a packager gets it:
# - a plain C project takes the sources in with FetchContent and
#   BUILD_SHARED_LIBS=OFF, finds the schemas in vorlet_v2_PROTO_DIR, links
#   vorlet_v2::vorlet_v2 into a host and runs it; its own install installs
#   none of this library's files, until it turns VORLET_INSTALL on;
# - a project that takes them in with add_subdirectory sees the same
#   variable and installs nothing of the library's either;
# - the static tree that project installs serves C hosts through pkg-config
#   --static and find_package with no flags of their own, and so does the
#   shared build's tree with the static one installed beside it
#   (check_install.sh).
# Usage: check_static.sh SOURCE_DIR C_COMPILER CXX_COMPILER SHARED_BUILD_DIR
set -eu
source=$1
cc=$2
cxx=$3
shared_build=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "$*" >&2; exit 1; }

# What an install put under a prefix that is this library's.
library_files() {
  find "$1" \( -name 'vorlet_v2*' -o -name 'libvorlet_v2*' -o -name '*.proto' -o -name 'runtime-connector-contract.md' \
    -o -name LICENSE -o -name CHANGELOG.md \) -print
}

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
# The schemas' path as a host's own code generation would use it.
cat > "$tmp/host/proto_dir.cmake" <<'CMAKE'
foreach(p transport control)
  if(NOT EXISTS "${vorlet_v2_PROTO_DIR}/vorlet/v2/${p}.proto")
    message(FATAL_ERROR "vorlet_v2_PROTO_DIR '${vorlet_v2_PROTO_DIR}' holds no vorlet/v2/${p}.proto")
  endif()
endforeach()
CMAKE
cat > "$tmp/host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.24)
project(vorlet_vendoring_host LANGUAGES C)
include(FetchContent)
FetchContent_Declare(vorlet_v2 SOURCE_DIR "$source")
FetchContent_MakeAvailable(vorlet_v2)
include(proto_dir.cmake)
add_executable(host host.c)
target_link_libraries(host PRIVATE vorlet_v2::vorlet_v2)
install(TARGETS host)
CMAKE
# Configured for the install prefix and library directory of the shared
# build, whose tree this one joins below, as a packager configures both (a
# build for /usr has a multiarch library directory, and the package files
# name the prefix).
cached() { sed -n "s/^$1:[A-Z]*=//p" "$shared_build/CMakeCache.txt"; }
cmake -S "$tmp/host" -B "$tmp/build" -G Ninja -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_INSTALL_PREFIX="$(cached CMAKE_INSTALL_PREFIX)" -DCMAKE_INSTALL_LIBDIR="$(cached CMAKE_INSTALL_LIBDIR)" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
cmake --build "$tmp/build" -j 4 >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
vendored=$tmp/build/_deps/vorlet_v2-build
[ -f "$vendored/v2/libvorlet_v2.a" ] || fail "no libvorlet_v2.a built"
# The vendored sources build the library alone: no tests, examples or benchmark.
if [ -n "$(find "$vendored" -name 'vorlet_unit_tests' -o -name 'vorlet_demo_host' -o -name 'vorlet_bench')" ]; then
  fail "FetchContent built the project's tests, examples or benchmark"
fi
"$tmp/build/host"

# The host's install is its own: the switch is off for a sub-project.
cmake --install "$tmp/build" --prefix "$tmp/host-prefix" >/dev/null
[ -x "$tmp/host-prefix/bin/host" ] || fail "the host's own install did not run"
[ -z "$(library_files "$tmp/host-prefix")" ] || fail "a sub-project installed: $(library_files "$tmp/host-prefix")"

# add_subdirectory: the same variable, no install rules. Only configured:
# an install of a project whose only rule is its own file needs no build.
mkdir "$tmp/subdir-host"
cp "$tmp/host/proto_dir.cmake" "$tmp/subdir-host/"
echo "a file of the host's own" >"$tmp/subdir-host/notes.txt"
cat > "$tmp/subdir-host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.24)
project(vorlet_subdir_host LANGUAGES C)
add_subdirectory("$source" vorlet_v2)
include(proto_dir.cmake)
install(FILES notes.txt DESTINATION share/notes)
CMAKE
cmake -S "$tmp/subdir-host" -B "$tmp/subdir-build" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; fail "add_subdirectory: configure failed"; }
cmake --install "$tmp/subdir-build" --prefix "$tmp/subdir-prefix" >"$tmp/log" 2>&1 || {
  cat "$tmp/log" >&2; fail "add_subdirectory: the host's install failed"; }
[ -f "$tmp/subdir-prefix/share/notes/notes.txt" ] || fail "add_subdirectory: the host's own install did not run"
[ -z "$(library_files "$tmp/subdir-prefix")" ] || fail "add_subdirectory installed: $(library_files "$tmp/subdir-prefix")"

# Asked for, the install rules are there: the static tree alone, then beside
# the shared build's.
cmake "$tmp/build" -DVORLET_INSTALL=ON >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
"$(dirname "$0")/check_install.sh" "$source" "$cc" "$tmp/build"
"$(dirname "$0")/check_install.sh" "$source" "$cc" "$shared_build" "$tmp/build"
"$(dirname "$0")/check_install.sh" "$source" "$cc" "$tmp/build" "$shared_build"
