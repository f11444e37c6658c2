#!/bin/sh
# A DLL exports exactly the expected names and imports only Windows system
# DLLs (the runtime is linked in).
set -eu
dll=$1
expected=$2
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
# The name table: "[   n] +base[   n] 0001 Name" lines after its heading.
"$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^[ \t]*\[/ { print $NF } on && /^$/ { on = 0 }' \
  | sort -u > "$actual"
if ! diff -u "$expected" "$actual"; then
  echo "exported names of $dll differ from $expected" >&2
  exit 1
fi
imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ { print tolower($3) }' | sort -u)
for i in $imports; do
  case "$i" in
    kernel32.dll|user32.dll|advapi32.dll|ws2_32.dll|dnsapi.dll|bcrypt.dll|secur32.dll|crypt32.dll|normaliz.dll|msvcrt.dll) ;;
    api-ms-win-*) ;;
    *) echo "$dll imports $i, which is not a Windows system DLL" >&2; exit 1 ;;
  esac
done
echo "exports match ($(wc -l < "$actual") names); imports: $(echo $imports)"
