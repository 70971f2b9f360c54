#!/bin/sh
# Compares the shared library's dynamic symbols with the header's declarations.
set -eu
lib=$1
header=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | grep -v '^VORLET_V2_1$' | sort -u > "$tmp/exported"
grep -o 'vorlet_v2_[a-z0-9_]*(' "$header" | tr -d '(' | sort -u > "$tmp/declared"

if grep -v '^vorlet_v2_' "$tmp/exported"; then
  echo "symbols without the vorlet_v2_ prefix are exported" >&2
  exit 1
fi
if ! diff -u "$tmp/declared" "$tmp/exported"; then
  echo "exports differ from the header's declarations" >&2
  exit 1
fi
echo "$(wc -l < "$tmp/exported") exports, all declared"
