#!/bin/sh
# Compares the shared library's dynamic symbols with the header's declarations:
# every defined dynamic symbol is a vorlet_v2_ function the header declares,
# every declared function is exported, and there are exactly `expected` of them.
set -eu
lib=$1
header=$2
expected=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u > "$tmp/exported"
grep -o 'vorlet_v2_[a-z0-9_]*(' "$header" | tr -d '(' | sort -u > "$tmp/declared"

if grep -v '^vorlet_v2_[a-z0-9_]*$' "$tmp/exported"; then
  echo "symbols other than vorlet_v2_ functions are exported" >&2
  exit 1
fi
if ! diff -u "$tmp/declared" "$tmp/exported"; then
  echo "exports differ from the header's declarations" >&2
  exit 1
fi
count=$(wc -l < "$tmp/exported")
if [ "$count" -ne "$expected" ]; then
  echo "$count exports, expected $expected" >&2
  exit 1
fi
echo "$count exports, all declared"
