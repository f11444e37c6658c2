#!/bin/sh
# The C++ example of docs/cpp-interface.md logs in to the test environment's Prosody and lists
# the roster. Skipped (77) outside the test network namespace.
set -eu
[ -n "${PARLEY_TESTENV:-}" ] || exit 77
example=$1
peer=$(dirname "$0")/peer.py
user=example$$
/usr/bin/python3 "$peer" register --jid "$user@example.test" --password secret
out=$(timeout 30 "$example" "$user@example.test/example" secret)
echo "$out"
echo "$out" | grep -q "^connected as $user@example.test/example$"
echo "$out" | grep -q "^roster: 0 contacts$"
echo "$out" | grep -q "^disconnected (17)$"
