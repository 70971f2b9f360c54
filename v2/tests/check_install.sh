#!/bin/sh
# What a host developer does with an installed tree: find the library through
# pkg-config alone, compile a C program against the header, link it, run it.
# Then the same .pc file under a multiarch library directory must still point
# at the right places.
set -eu
build=$1
source=$2
cc=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
pc=$(find "$tmp/prefix" -name vorlet_v2.pc)
[ -n "$pc" ] || { echo "no vorlet_v2.pc installed" >&2; exit 1; }
export PKG_CONFIG_LIBDIR="$(dirname "$pc")"
unset PKG_CONFIG_PATH

libdir=$(realpath -m "$(pkg-config --variable=libdir vorlet_v2)")
includedir=$(realpath -m "$(pkg-config --variable=includedir vorlet_v2)")
[ -f "$includedir/vorlet_v2.h" ] || { echo "includedir $includedir holds no header" >&2; exit 1; }
[ -e "$libdir/libvorlet_v2.so.1" ] || { echo "libdir $libdir holds no libvorlet_v2.so.1" >&2; exit 1; }

cat > "$tmp/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <vorlet_v2.h>
int main(void) {
  vorlet_v2_RuntimeOptions options = {0};
  vorlet_v2_Runtime* rt = vorlet_v2_runtime_create(&options);
  if (rt == NULL) return 1;
  vorlet_v2_runtime_destroy(rt);
  return strcmp(vorlet_v2_status_name(-5), "io") != 0;
}
C
# shellcheck disable=SC2046
"$cc" -std=c11 -o "$tmp/host" "$tmp/host.c" $(pkg-config --cflags --libs vorlet_v2)
LD_LIBRARY_PATH="$libdir" "$tmp/host"

# A configuration with a multiarch library directory: its .pc file, put where
# that install would put it, resolves to that directory.
cmake -S "$source" -B "$tmp/multiarch" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR=lib/x86_64-linux-gnu -DVORLET_BUILD_TESTS=OFF -DVORLET_BUILD_EXAMPLES=OFF \
  -DVORLET_BUILD_BENCH=OFF >/dev/null
mkdir -p "$tmp/usr/lib/x86_64-linux-gnu/pkgconfig"
cp "$tmp/multiarch/v2/vorlet_v2.pc" "$tmp/usr/lib/x86_64-linux-gnu/pkgconfig/"
export PKG_CONFIG_LIBDIR="$tmp/usr/lib/x86_64-linux-gnu/pkgconfig"
[ "$(realpath -m "$(pkg-config --variable=libdir vorlet_v2)")" = "$tmp/usr/lib/x86_64-linux-gnu" ] || {
  echo "multiarch libdir: $(pkg-config --variable=libdir vorlet_v2)" >&2; exit 1; }
[ "$(realpath -m "$(pkg-config --variable=includedir vorlet_v2)")" = "$tmp/usr/include" ] || {
  echo "multiarch includedir: $(pkg-config --variable=includedir vorlet_v2)" >&2; exit 1; }
echo "installed tree usable through pkg-config"
