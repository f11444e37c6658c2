#!/bin/sh
# The demo program, as scripts/demo runs it (over STARTTLS), checked for its
# main events.
# Skipped (77) outside the test network namespace.
set -eu
[ -n "${PARLEY_TESTENV:-}" ] || exit 77
out=$(timeout 60 "$1" tls.test "$PARLEY_TEST_CA")
echo "$out"
for expected in "11056 REGISTERED" "11025 CONNECTED" "11054 OCCUPANT_LISTED" "11029 CHAT_MESSAGE" \
                "31027 TAGGED_MESSAGE" "31025 CONTROL_MESSAGE" "11047 SUBJECT" "11037 ROLE_VISITOR" \
                "11053 ROOM_ERROR" "11041 VOICE_GRANTED" "11039 ROLE_MODERATOR" "11042 NICK_CHANGED" \
                "11028 OCCUPANT_LEFT" "21041 DISCONNECTED" "log: connection encryption active" "-- done"; do
  echo "$out" | grep -q -- "$expected" || { echo "missing: $expected" >&2; exit 1; }
done
