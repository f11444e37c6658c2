#!/bin/sh
# parley-chat as a new user tries it, through its output: registers and
# joins over STARTTLS; a second instance on the same account stays up beside
# the first; joins, renames, roles, subject, refusals, kicks and the room's
# history in words; moderation by the name shown, and by an identifier two
# occupants show; a form feed typed into a
# message; a registration the encryption policy forbids and a refused login
# end with their reason. Skipped (77) outside the test network namespace.
set -eu
[ -n "${PARLEY_TESTENV:-}" ] || exit 77
chat=$1
work=$(mktemp -d /tmp/parley-chat.XXXXXX)
trap 'exec 3>&- 4>&- 5>&- 2>/dev/null; rm -rf "$work"' EXIT INT TERM
export SSL_CERT_FILE="$PARLEY_TEST_CA"
account=chat$$
room=chat$$
ida=0123456789abcdef0123456789abcdef0123
idb=fedcba9876543210fedcba9876543210fedc
printf 'secret\n' > "$work/pw"

# start NAME ARGS...: parley-chat with its input on a fifo (kept open on the
# next free descriptor by the caller) and its output in $work/NAME.
start() {
  name=$1
  shift
  mkfifo "$work/$name.in"
  timeout 120 "$chat" "$@" < "$work/$name.in" > "$work/$name" 2>&1 &
  echo $! > "$work/$name.pid"
}
wait_for() {  # name text: at most 30 s
  i=0
  until grep -q -- "$2" "$work/$1"; do
    i=$((i + 1))
    [ "$i" -le 150 ] || { cat "$work/$1"; echo "missing in $1: $2" >&2; exit 1; }
    sleep 0.2
  done
}
ended() {  # name status: the program exited with that status
  s=0
  wait "$(cat "$work/$1.pid")" || s=$?
  [ "$s" -eq "$2" ] || { cat "$work/$1"; echo "$1 exited with $s, not $2" >&2; exit 1; }
}
replacement=$(printf '\357\277\275')

# Alice registers and creates the room; the password from a file.
start alice --register --password-file="$work/pw" tls.test "$account" "$room" "Alice$ida:us"
exec 3> "$work/alice.in"
wait_for alice "^\* you joined $room@conference.tls.test as Alice$"
printf '/help\nhello room\n/who\n' >&3
wait_for alice "moderate the occupant shown as NAME"
wait_for alice "^<Alice> hello room$"
wait_for alice "^  Alice  *moderator  *owner  *$ida$"

# Bob on the same account (a resource of its own), the password as the first
# line of its input: both stay in. The room's history is marked so.
start bob tls.test "$account" "$room" "Bob$idb:us"
exec 4> "$work/bob.in"
printf 'secret\n' >&4
wait_for bob "^\* Alice is in the room$"
wait_for bob "^\[history\] <Alice> hello room$"
wait_for alice "^\* Bob joined$"
printf '/who\n' >&4
wait_for bob "^  Alice  *moderator  *owner  *$ida$"

# Moderation by the name shown, and a word when it matches no one.
printf '/kick Nobody\n/mute Bob\n' >&3
wait_for alice "^\* no one called Nobody in the room"
wait_for alice "^\* Bob may no longer speak$"
wait_for bob "^\* you may no longer speak$"
printf '/voice Bob\n' >&3
wait_for alice "^\* Bob may speak again$"

# Bob showing Alice's identifier: said, moderation by it not sent, and
# Alice still tells herself from him.
printf '/nick Mallory%s:us\n' "$ida" >&4
wait_for alice "^\* your identifier $ida is shared by 2 occupants: moderation by it does nothing$"
printf '/kick Mallory\n' >&3
wait_for alice "^\* not sent: 2 occupants show the identifier of Mallory$"
printf '/nick Bob%s:us\n' "$idb" >&4
wait_for alice "^\* Mallory is now known as Bob$"
wait_for alice "^\* your identifier $ida is no longer shared$"

# A rename, and the line after it under the new name; a subject refused
# (only moderators may set it here) and one set.
printf '/nick Robert%s:us\n' "$idb" >&4
wait_for alice "^\* Bob is now known as Robert$"
wait_for bob "^\* you are now known as Robert$"
printf 'hi\n/subject nope\n' >&4
wait_for alice "^<Robert> hi$"
wait_for bob "^<Robert> hi$"
wait_for bob "^\* the room refused: .*(forbidden) (11053)$"
printf '/subject tonight\n' >&3
wait_for bob "^\* Alice changed the subject to: tonight$"
wait_for alice "^\* you changed the subject to: tonight$"

# A form feed typed into a message goes as U+FFFD; the session stays up.
printf 'form\014feed\nafter\n' >&3
wait_for bob "^<Alice> form${replacement}feed$"
wait_for bob "^<Alice> after$"

# Kicked: told so, and what is typed afterwards is not sent.
printf '/kick Robert\n' >&3
wait_for alice "^\* Robert was kicked$"
wait_for bob "^\* you were kicked from the room$"
printf 'still here?\n' >&4
wait_for bob "^\* not sent: you are not in the room$"
printf '/quit\n' >&3
printf '/quit\n' >&4
ended alice 0
ended bob 0
grep -q "^\* logged out$" "$work/alice"
! grep -q "disconnected" "$work/alice" "$work/bob" || { cat "$work/alice" "$work/bob"; exit 1; }
! grep -q "31028" "$work/alice" "$work/bob" || { echo "presence noise" >&2; exit 1; }

# Registering where the server offers no TLS, under the default policy:
# the reason, and an exit instead of waiting.
start plain --register --password-file="$work/pw" example.test "plain$$" "$room" "Carol$ida:us"
exec 5> "$work/plain.in"
wait_for plain "^\* registration failed: the server offers no TLS.*--encryption.*(21038)$"
ended plain 1
exec 5>&-

# The old form, with the password on the command line (a wrong one): a
# warning, the refusal in words, and an exit.
start wrong tls.test "$account" wrong "$room" "Eve$ida:us"
exec 5> "$work/wrong.in"
wait_for wrong "warning: a password on the command line"
wait_for wrong "^\* disconnected: the login was refused.*(21040)$"
ended wrong 1
cat "$work/alice" "$work/bob"
