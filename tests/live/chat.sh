#!/bin/sh
# parley-chat as a new user tries it: registers, joins over STARTTLS, lists
# its commands, shows its own message as sent and the occupants with display
# name and role. Skipped (77) outside the test network namespace.
set -eu
[ -n "${PARLEY_TESTENV:-}" ] || exit 77
chat=$1
work=$(mktemp -d /tmp/parley-chat.XXXXXX)
trap 'exec 3>&-; rm -rf "$work"' EXIT INT TERM
mkfifo "$work/in"
id=0123456789abcdef0123456789abcdef0123
SSL_CERT_FILE=$PARLEY_TEST_CA timeout 60 "$chat" tls.test "chat$$" secret "chat$$" "Alice$id:us" --register \
  < "$work/in" > "$work/out" 2>&1 &
pid=$!
exec 3> "$work/in"
wait_for() {  # text: at most 30 s
  i=0
  until grep -q -- "$1" "$work/out"; do
    i=$((i + 1))
    [ "$i" -le 150 ] || { cat "$work/out"; echo "missing: $1" >&2; exit 1; }
    sleep 0.2
  done
}
wait_for "11027 OCCUPANT_PRESENT"
printf '/help\nhello room\n/who\n' >&3
wait_for "by display name and role"
wait_for "^<Alice> hello room$"
# The room's creator is its moderator.
wait_for "^  Alice  *moderator  *$id$"
printf '/quit\n' >&3
wait "$pid"
cat "$work/out"
grep -q "21041 DISCONNECTED" "$work/out"
