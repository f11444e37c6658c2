#!/bin/sh
# CTest's emulator for the Windows test programs: runs one under Wine.
#   wine-run.sh WINE PROGRAM [ARGS...]
# Very rarely Wine's loader exits before the program runs, silently. The
# test programs write their output unbuffered, so a run that printed nothing
# at all never started: say so and start it once more. A program that
# started and failed is never run again.
set -u
wine=$1
shift
out=$(mktemp "${TMPDIR:-/tmp}/parley-wine-run.XXXXXX")
trap 'rm -f "$out"' EXIT
"$wine" "$@" >"$out" 2>&1
rc=$?
if [ "$rc" -ne 0 ] && [ ! -s "$out" ]; then
  echo "wine-run: Wine exited with $rc before $1 printed anything; starting it once more" >&2
  "$wine" "$@" >"$out" 2>&1
  rc=$?
fi
cat "$out"
exit "$rc"
