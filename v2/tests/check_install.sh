#!/bin/sh
# What a host developer does with an installed tree: find the library through
# pkg-config alone, and through CMake's find_package alone, compile a C
# program against the header, link it, run it. The tree holds the shared or
# the static library, as the build made it; a static one must link with no
# flags beyond what pkg-config --static and the CMake target give. Then, for
# the shared build, the same .pc file under a multiarch library directory
# must still point at the right places.
set -eu
build=$1
source=$2
cc=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "$*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
pc=$(find "$tmp/prefix" -name vorlet_v2.pc)
[ -n "$pc" ] || fail "no vorlet_v2.pc installed"
# Ours first, then the system's own (a static library requires protobuf's).
system_pc_path=$(pkg-config --variable pc_path pkg-config)
export PKG_CONFIG_LIBDIR="$(dirname "$pc"):$system_pc_path"
unset PKG_CONFIG_PATH

libdir=$(realpath -m "$(pkg-config --variable=libdir vorlet_v2)")
includedir=$(realpath -m "$(pkg-config --variable=includedir vorlet_v2)")
protodir=$(realpath -m "$(pkg-config --variable=protodir vorlet_v2)")
for h in vorlet_v2.h vorlet_v2_version.h; do
  [ -f "$includedir/$h" ] || fail "includedir $includedir holds no $h"
done
for p in transport control; do
  [ -f "$protodir/vorlet/v2/$p.proto" ] || fail "protodir $protodir holds no vorlet/v2/$p.proto"
done
if [ -e "$libdir/libvorlet_v2.so.1" ]; then
  kind=shared
  static=""
elif [ -f "$libdir/libvorlet_v2.a" ]; then
  kind=static
  static="--static"
  [ -z "$(find "$tmp/prefix" -name 'libvorlet_v2.so*')" ] || fail "a static install holds a shared library too"
else
  fail "libdir $libdir holds neither libvorlet_v2.so.1 nor libvorlet_v2.a"
fi
[ "$(pkg-config --modversion vorlet_v2)" = "$(sed -n 's/^#define VORLET_V2_VERSION "\(.*\)"$/\1/p' "$includedir/vorlet_v2_version.h")" ] ||
  fail "the .pc version differs from the header's"

# The host checks that the header it was compiled with and the library it
# runs with are the same release.
cat > "$tmp/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <vorlet_v2.h>
int main(void) {
  char version[32];
  vorlet_v2_RuntimeInfo info = {0};
  vorlet_v2_RuntimeOptions options = {0};
  vorlet_v2_Runtime* rt = vorlet_v2_runtime_create(&options);
  if (rt == NULL) return 1;
  vorlet_v2_runtime_destroy(rt);
  snprintf(version, sizeof version, "%d.%d.%d", VORLET_V2_VERSION_MAJOR, VORLET_V2_VERSION_MINOR,
           VORLET_V2_VERSION_PATCH);
  if (vorlet_v2_runtime_get_info(&info) != VORLET_V2_OK || strcmp(info.version, version) != 0 ||
      strcmp(VORLET_V2_VERSION, version) != 0) {
    fprintf(stderr, "header %s, library %s\n", VORLET_V2_VERSION, info.version);
    return 1;
  }
  return strcmp(vorlet_v2_status_name(-5), "io") != 0;
}
C

# pkg-config alone.
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -o "$tmp/host" "$tmp/host.c" $(pkg-config $static --cflags --libs vorlet_v2)
LD_LIBRARY_PATH="$libdir" "$tmp/host" || fail "$kind: the pkg-config host failed"

# CMake alone: a C project that finds the package in the prefix.
mkdir "$tmp/cmake-host"
cp "$tmp/host.c" "$tmp/cmake-host/"
cat > "$tmp/cmake-host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.24)
project(vorlet_cmake_host LANGUAGES C)
find_package(vorlet_v2 ${WANT} REQUIRED)
foreach(p transport control)
  if(NOT EXISTS "${vorlet_v2_PROTO_DIR}/vorlet/v2/${p}.proto")
    message(FATAL_ERROR "vorlet_v2_PROTO_DIR ${vorlet_v2_PROTO_DIR} holds no vorlet/v2/${p}.proto")
  endif()
endforeach()
add_executable(host host.c)
target_link_libraries(host PRIVATE vorlet_v2::vorlet_v2)
CMAKE
configure() {
  cmake -S "$tmp/cmake-host" -B "$tmp/cmake-host/build" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$tmp/prefix" -DWANT="$1" >"$tmp/cmake.log" 2>&1
}
configure "" || { cat "$tmp/cmake.log" >&2; fail "$kind: find_package(vorlet_v2) failed"; }
cmake --build "$tmp/cmake-host/build" >"$tmp/cmake.log" 2>&1 || {
  cat "$tmp/cmake.log" >&2; fail "$kind: the find_package host did not build"; }
"$tmp/cmake-host/build/host" || fail "$kind: the find_package host failed"

# The package takes requests within its major version only.
version=$(pkg-config --modversion vorlet_v2)
major=${version%%.*}
minor=${version#*.}
minor=${minor%%.*}
for want in "$major" "$major.0" "$version"; do
  configure "$want" || fail "find_package(vorlet_v2 $want) refused version $version"
done
for want in "$major.$((minor + 1))" "$((major + 1))" "$((major + 1)).0"; do
  ! configure "$want" || fail "find_package(vorlet_v2 $want) took version $version"
done

[ "$kind" = shared ] || { echo "installed $kind tree usable through pkg-config and find_package"; exit 0; }

# A configuration with a multiarch library directory: its .pc file, put where
# that install would put it, resolves to that directory.
cmake -S "$source" -B "$tmp/multiarch" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR=lib/x86_64-linux-gnu -DVORLET_BUILD_TESTS=OFF -DVORLET_BUILD_EXAMPLES=OFF \
  -DVORLET_BUILD_BENCH=OFF >/dev/null
mkdir -p "$tmp/usr/lib/x86_64-linux-gnu/pkgconfig"
cp "$tmp/multiarch/v2/vorlet_v2.pc" "$tmp/usr/lib/x86_64-linux-gnu/pkgconfig/"
export PKG_CONFIG_LIBDIR="$tmp/usr/lib/x86_64-linux-gnu/pkgconfig"
[ "$(realpath -m "$(pkg-config --variable=libdir vorlet_v2)")" = "$tmp/usr/lib/x86_64-linux-gnu" ] ||
  fail "multiarch libdir: $(pkg-config --variable=libdir vorlet_v2)"
[ "$(realpath -m "$(pkg-config --variable=includedir vorlet_v2)")" = "$tmp/usr/include" ] ||
  fail "multiarch includedir: $(pkg-config --variable=includedir vorlet_v2)"
[ "$(realpath -m "$(pkg-config --variable=protodir vorlet_v2)")" = "$tmp/usr/share/vorlet_v2/proto" ] ||
  fail "multiarch protodir: $(pkg-config --variable=protodir vorlet_v2)"
echo "installed $kind tree usable through pkg-config and find_package"
