#!/bin/sh
# What a host developer does with an installed tree: find the library through
# pkg-config alone, and through CMake's find_package alone, compile a C
# program against the header, link it, run it. The tree is what the builds
# given install into one prefix, one after the other: the shared library,
# the static one, or both side by side as a packager installs them. Then:
# - the shared library is what a host links by default, vorlet_v2::vorlet_v2
#   and plain pkg-config alike; the static one is vorlet_v2::vorlet_v2_static,
#   or vorlet_v2::vorlet_v2 where only it is installed;
# - a static library links with no flags beyond what pkg-config --static and
#   the CMake target give, and the example host links fully static (-static)
#   from the pkg-config --static answer and runs;
# - every file two builds both install is the same, so neither order of
#   install loses anything;
# - the documents are installed;
# - for the shared build, the same .pc file under a multiarch library
#   directory still points at the right places.
# Usage: check_install.sh SOURCE_DIR C_COMPILER BUILD_DIR [BUILD_DIR...]
set -eu
source=$1
cc=$2
shift 2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "$*" >&2; exit 1; }

for build in "$@"; do
  cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
done
if [ "$#" -gt 1 ]; then
  # Each build alone, then the files they share compared.
  i=0
  for build in "$@"; do
    i=$((i + 1))
    cmake --install "$build" --prefix "$tmp/alone$i" >/dev/null
  done
  (cd "$tmp/alone1" && find . -type f) | sort >"$tmp/files1"
  (cd "$tmp/alone2" && find . -type f) | sort >"$tmp/files2"
  shared_files=$(comm -12 "$tmp/files1" "$tmp/files2")
  [ -n "$shared_files" ] || fail "the two builds install no file in common"
  for f in $shared_files; do
    cmp -s "$tmp/alone1/$f" "$tmp/alone2/$f" || fail "the two builds install different $f: the later install replaces the other's"
  done
fi

pc=$(find "$tmp/prefix" -name vorlet_v2.pc)
[ -n "$pc" ] || fail "no vorlet_v2.pc installed"
[ "$(echo "$pc" | wc -l)" = 1 ] || fail "more than one vorlet_v2.pc installed (builds with different library directories?): $pc"
# Ours first, then the system's own.
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
# The documents, as they stand in the source tree.
for doc in docs/runtime/runtime-connector-contract.md LICENSE CHANGELOG.md; do
  cmp -s "$source/$doc" "$tmp/prefix/share/doc/vorlet_v2/$(basename "$doc")" ||
    fail "share/doc/vorlet_v2 holds no copy of $doc"
done
has_shared=0
has_static=0
[ -e "$libdir/libvorlet_v2.so.1" ] && has_shared=1
[ -f "$libdir/libvorlet_v2.a" ] && has_static=1
case "$has_shared$has_static" in
  10) kind=shared ;;
  01) kind=static
      [ -z "$(find "$tmp/prefix" -name 'libvorlet_v2.so*')" ] || fail "a static install holds a shared library too" ;;
  11) kind="shared and static" ;;
  *) fail "libdir $libdir holds neither libvorlet_v2.so.1 nor libvorlet_v2.a" ;;
esac
[ "$(pkg-config --modversion vorlet_v2)" = "$(sed -n 's/^#define VORLET_V2_VERSION "\(.*\)"$/\1/p' "$includedir/vorlet_v2_version.h")" ] ||
  fail "the .pc version differs from the header's"

# Whether a program needs the shared library at run time.
links_shared() { readelf -d "$1" | grep -q 'NEEDED.*libvorlet_v2\.so'; }

# The host checks that the header it was compiled with and the library it
# runs with are the same release.
cat > "$tmp/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <vorlet_v2.h>
#if VORLET_V2_VERSION_NUMBER != VORLET_V2_VERSION_MAJOR * 10000 + VORLET_V2_VERSION_MINOR * 100 + VORLET_V2_VERSION_PATCH
#error "VORLET_V2_VERSION_NUMBER is not the number of its parts"
#endif
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

# pkg-config alone: the plain answer links the shared library where there
# is one, --static the static one.
if [ "$has_shared" = 1 ]; then
  # shellcheck disable=SC2046
  "$cc" -std=c11 -o "$tmp/host" "$tmp/host.c" $(pkg-config --cflags --libs vorlet_v2)
  links_shared "$tmp/host" || fail "$kind: the pkg-config host does not link the shared library"
  LD_LIBRARY_PATH="$libdir" "$tmp/host" || fail "$kind: the pkg-config host failed"
fi
if [ "$has_static" = 1 ]; then
  static_libs=$(pkg-config --static --libs vorlet_v2)
  # Each library before what it needs: ours, protobuf's, the C++ runtime's.
  # shellcheck disable=SC2086
  order=$(printf '%s\n' $static_libs | grep -x -e -lvorlet_v2 -e -lprotobuf -e -lstdc++ | tr '\n' ' ')
  [ "$order" = "-lvorlet_v2 -lprotobuf -lstdc++ " ] || fail "$kind: pkg-config --static gives $static_libs"
  # shellcheck disable=SC2086
  "$cc" -std=c11 -o "$tmp/host" "$tmp/host.c" $(pkg-config --cflags vorlet_v2) $static_libs
  if [ "$has_shared" = 0 ]; then
    ! links_shared "$tmp/host" || fail "$kind: the pkg-config --static host needs a shared library"
  fi
  LD_LIBRARY_PATH="$libdir" "$tmp/host" || fail "$kind: the pkg-config --static host failed"
  # The example host, fully static: every library from the answer.
  # shellcheck disable=SC2086
  "$cc" -std=c11 -static -o "$tmp/demo" "$source/v2/examples/demo_host.c" $(pkg-config --cflags vorlet_v2) \
    $static_libs >"$tmp/static.log" 2>&1 || { cat "$tmp/static.log" >&2; fail "$kind: the demo does not link with -static"; }
  "$tmp/demo" >"$tmp/demo.log" 2>&1 || { cat "$tmp/demo.log" >&2; fail "$kind: the fully static demo failed"; }
fi

# CMake alone: a C project that finds the package in the prefix and links
# the target it is given.
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
target_link_libraries(host PRIVATE ${TARGET})
CMAKE
configure() {
  rm -rf "$tmp/cmake-host/build"
  cmake -S "$tmp/cmake-host" -B "$tmp/cmake-host/build" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$tmp/prefix" -DWANT="$1" -DTARGET="${2:-vorlet_v2::vorlet_v2}" >"$tmp/cmake.log" 2>&1
}
# target, and whether the host must need the shared library at run time
cmake_host() {
  configure "" "$1" || { cat "$tmp/cmake.log" >&2; fail "$kind: find_package(vorlet_v2) for $1 failed"; }
  cmake --build "$tmp/cmake-host/build" >"$tmp/cmake.log" 2>&1 || {
    cat "$tmp/cmake.log" >&2; fail "$kind: the find_package host of $1 did not build"; }
  if [ "$2" = shared ]; then
    links_shared "$tmp/cmake-host/build/host" || fail "$kind: $1 is not the shared library"
  else
    ! links_shared "$tmp/cmake-host/build/host" || fail "$kind: $1 is not the static library"
  fi
  "$tmp/cmake-host/build/host" || fail "$kind: the find_package host of $1 failed"
}
if [ "$has_shared" = 1 ]; then
  cmake_host vorlet_v2::vorlet_v2 shared
else
  cmake_host vorlet_v2::vorlet_v2 static
fi
if [ "$has_static" = 1 ]; then
  cmake_host vorlet_v2::vorlet_v2_static static
else
  ! configure "" vorlet_v2::vorlet_v2_static || fail "$kind: vorlet_v2::vorlet_v2_static without a static library"
fi

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
