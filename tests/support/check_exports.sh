#!/bin/sh
# Compares the dynamic symbols a shared library defines with the expected list.
set -eu
lib=$1
expected=$2
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
nm -D --defined-only -C "$lib" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' | sort -u > "$actual"
if ! diff -u "$expected" "$actual"; then
  echo "exported symbols of $lib differ from $expected" >&2
  exit 1
fi
echo "exports match ($(wc -l < "$actual") symbols)"
