#!/usr/bin/python3
"""The mpv plugin in a real player: mpv under Xvfb (--vo=x11 --ao=null), the
test Prosody, slixmpp peers. One run of players for all the checks:

  options from --script-opts and from script-opts/parley.conf, a password
  file named "~/..." as the README does, the room derived from the title; a
  peer's message in mpv's log and on the screen (read back with tesseract);
  parley-say through the IPC socket reaching the peer; markup, control
  characters and 10 kB from another occupant kept literal and short; the
  room's notice a line of its own;
  parley-nick, parley-who and parley-mute as the peers see them; another
  viewer showing our identifier and a typed moderator's tag; garbage
  control messages ignored and logged; two
  players in step across pause, resume and seek, a late joiner brought to
  the place, nothing sent back; a kick shown and kept; quitting logs out at
  once; a wrong password, an unreachable server and a refused certificate
  each one clear line while mpv plays on.

    mpv_chat_test.py PLUGIN     (exit 77 outside the test network namespace)
    PARLEY_MPV_SCREENSHOT=FILE  also writes the screen with the chat box there
"""
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mpvlive  # noqa: E402
from mpvlive import Mpv, Peer, Xvfb, register, wait_until  # noqa: E402

DOMAIN = "example.test"
TITLE = "Night of the Test Pattern (1968).mkv"
SECRET = "secret"
checks = []


def check(name, ok, detail=""):
    checks.append((name, bool(ok)))
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + str(detail)), flush=True)


def settle(a, b, timeout=5.0):
    """Waits for b to follow a (same pause state, positions within 0.3 s); the last difference."""
    diff = [None]

    def close():
        pa, pb = a.get("pause"), b.get("pause")
        ta, tb = a.get("time-pos"), b.get("time-pos")
        diff[0] = abs(ta - tb)
        return pa == pb and diff[0] < 0.3

    ok = wait_until(close, timeout, step=0.05)
    return ok, diff[0]


def control_from(events, nick_prefix):
    return [e["body"] for e in events if e.get("event") == "groupchat" and e.get("body", "").startswith("ca:")
            and e["from"].split("/", 1)[-1].startswith(nick_prefix)]


def main():
    if not os.environ.get("PARLEY_TESTENV"):
        print("needs scripts/testenv")
        return 77
    missing = mpvlive.missing_tools()
    if missing:
        print("missing tools: " + " ".join(missing))
        return 77
    plugin = sys.argv[1]
    work = tempfile.mkdtemp(prefix="parley-mpv.")
    film = os.path.join(work, TITLE)
    mpvlive.make_film(film)
    room = mpvlive.room_from_title(TITLE)
    tag = str(os.getpid())
    users = {n: "mpv%s%s" % (n, tag) for n in ("alice", "bob", "carol", "dave", "eve")}
    for u in users.values():
        register("%s@%s" % (u, DOMAIN), SECRET)
    password = os.path.join(work, "password")
    with open(password, "w") as f:
        f.write(SECRET + "\n")
    os.chmod(password, 0o600)
    # Bob's home, where the README's "~/.config/mpv/parley-password" is.
    bob_home = os.path.join(work, "bob-home")
    os.makedirs(os.path.join(bob_home, ".config", "mpv"))
    shutil.copy(password, os.path.join(bob_home, ".config", "mpv", "parley-password"))
    wrong = os.path.join(work, "wrong")
    with open(wrong, "w") as f:
        f.write("not the password\n")
    os.chmod(wrong, 0o600)

    started = []
    try:
        # The ways a login fails, side by side: each one line, mpv plays on.
        failing = {
            "wrongpw": ({"server": DOMAIN, "user": users["alice"], "password-file": wrong, "room": "1",
                         "plaintext": "yes"}, "cannot log in: wrong user name or password"),
            "unreachable": ({"server": "srv.test", "user": "x", "password-file": password, "room": "1"},
                            "cannot log in: cannot reach the server"),
            "badcert": ({"server": "untrusted.test", "user": "x", "password-file": password, "room": "1"},
                        "cannot log in: the server's certificate was refused"),
            "cmdline": ({"server": DOMAIN, "user": "x", "password": "leaked", "room": "1"},
                        "cannot log in: no password"),
        }
        bad = {}
        for name, (opts, _) in failing.items():
            bad[name] = Mpv(work, name, plugin, film, opts)
            started.append(bad[name])

        carol = Peer("%s@%s/peer" % (users["carol"], DOMAIN), SECRET)
        muc = "%s@conference.%s" % (room, DOMAIN)
        joined = carol.call("join", room=muc, nick="Carol")
        check("the peer creates the room and moderates it", joined["role"] == "moderator", joined)

        x = Xvfb()
        alice = Mpv(work, "alice", plugin, film, {
            "server": DOMAIN, "user": users["alice"], "password-file": password, "nick": "Alice",
            "plaintext": "yes", "sync": "yes", "font-size": "40", "duration": "4"}, display=x.display)
        started.append(alice)
        alice.wait_line("in room %s as Alice" % room)
        check("the room comes from the media title", True)
        alice_jid = carol.wait_event(lambda e: e.get("event") == "presence" and e["from"].startswith(muc + "/Alice"),
                                     10)["from"]

        for name, (_, line) in failing.items():
            m = bad[name]
            got = m.printed(line) or m.wait_line(line, 30)
            before = m.get("time-pos")
            time.sleep(0.3)
            check("%s: one clear line, and mpv plays on" % name,
                  got and m.count("cannot log in") == 1 and m.get("time-pos") > before, m.lines)
        check("a password on the command line is not used", bad["cmdline"].printed("parley-password in --script-opts"))

        # A message from the room: in the log and on the screen.
        carol.call("say", room=muc, body="Hello from Carol")
        alice.wait_line("Carol: Hello from Carol", 10)
        alice.command("script-message", "parley-say", "Hi Carol, ready?")
        heard = carol.wait_event(lambda e: e.get("event") == "groupchat" and e["body"] == "Hi Carol, ready?", 10)
        check("parley-say through the IPC socket reaches the peer", heard["from"] == alice_jid, heard)
        time.sleep(0.5)
        text = wait_until(lambda: (lambda t: t if "Hello from Carol" in t else None)(x.read(work)), 10, step=0.5)
        check("the message is on the screen", text, text)
        shot = os.environ.get("PARLEY_MPV_SCREENSHOT")
        if shot:
            x.grab(shot, "1280x720+0+0")

        # What others send cannot change the box: markup, controls (those XML
    # can carry: DEL, C1, line breaks, tabs), overrides, 10 kB.
        hostile = ["{\\an5\\fs300\\c&H0000FF&}HUGE\\Nnext", "del\x7fcsi\x9b31mred\u202eflipped\nsecond\tthird",
                   "x" * 10240, "after the noise"]
        for body in hostile:
            carol.call("say", room=muc, body=body)
        alice.wait_line("Carol: after the noise", 10)
        check("markup is shown as it was written", alice.printed("Carol: {\\an5\\fs300\\c&H0000FF&}HUGE\\Nnext"))
        check("control characters and overrides go", alice.printed("Carol: delcsi31mredflipped second third"))
        check("10 kB are cut to a line", alice.printed("Carol: " + "x" * 160 + "\u2026") and
              not alice.printed("x" * 161))
        # Applied, the override tags would vanish (and HUGE fill the middle);
        # read again until all is there, as tesseract misreads a letter now and then.
        shown = lambda t: "after the noise" in t and "HUGE" in t and ("fs300" in t or "fs3OO" in t)
        text = wait_until(lambda: (lambda t: t if shown(t) else None)(x.read(work)), 30, step=0.5)
        check("the markup is on the screen as text, not applied", text, text)

        # Commands: muting a peer as moderator, the occupants, a new nickname.
        dave = Peer("%s@%s/peer" % (users["dave"], DOMAIN), SECRET)
        dave.call("join", room=muc, nick="Dave")
        alice.wait_line("Dave joined", 10)
        alice_nick = alice_jid.split("/", 1)[1]
        admin = "<query xmlns='http://jabber.org/protocol/muc#admin'><item nick='%s' role='%s'/></query>"
        carol.call("raw_iq", type="set", to=muc, xml=admin % (alice_nick, "moderator"))
        alice.wait_line("you are now a moderator", 10)
        dave.drain()
        alice.command("script-message", "parley-mute", "Dave")
        muted = dave.wait_event(lambda e: e.get("event") == "presence" and e["from"] == muc + "/Dave", 10)
        check("parley-mute: the peer is muted", muted["role"] == "visitor", muted)
        alice.wait_line("Dave may no longer speak", 10)
        since = len(alice.lines)
        alice.command("script-message", "parley-who")
        alice.wait_line("3 in room %s:" % room, 10, since)
        # Its lines are read one by one: all of them, not only the first.
        listed = wait_until(lambda: alice.printed("  Alice (you, moderator)", since) and
                            alice.printed("  Carol", since) and alice.printed("  Dave (muted)", since), 10)
        check("parley-who lists the occupants", listed, alice.lines[since:])
        carol.call("raw_iq", type="set", to=muc, xml=admin % (alice_nick, "participant"))
        alice.wait_line("you are no longer a moderator", 10)
        dave.stop()
        alice.command("script-message", "parley-nick", "AliceW")
        renamed = carol.wait_event(lambda e: e.get("event") == "presence" and e["type"] == "available"
                                   and e["from"].startswith(muc + "/AliceW"), 10)
        alice_jid = renamed["from"]
        check("parley-nick: the peer sees the new nickname", alice.wait_line("you are now AliceW", 10))

        # Eve shows Alice's identifier and a moderator's tag she typed, then
        # renames herself: she never becomes Alice, nor a moderator.
        alice_id = alice_jid.split("/", 1)[1][-39:-3]
        eve = Peer("%s@%s/peer" % (users["eve"], DOMAIN), SECRET)
        eve.call("join", room=muc, nick="Eve" + alice_id + ":ad")
        alice.wait_line("2 viewers show your identifier", 10)
        eve.call("nick", room=muc, nick="Eve" + "0" * 36 + ":ad")
        alice.wait_line("Eve is now Eve", 10)
        since = len(alice.lines)
        alice.command("script-message", "parley-say", "still Alice")
        alice.command("script-message", "parley-who")
        alice.wait_line("3 in room %s:" % room, 10, since)
        listed = wait_until(lambda: alice.printed("AliceW: still Alice", since) and
                            alice.printed("  AliceW (you)", since) and alice.printed("  Carol (owner, moderator)", since)
                            and alice.printed("  Eve", since), 10)
        check("another showing our identifier is not us, a typed tag no right",
              listed and not alice.printed("  Eve (", since) and not alice.printed("you are now Eve"),
              alice.lines[since:])
        eve.stop()

        # The room's own word is a line of its own: Prosody's text for an
        # invitation that Carol asks it to pass on to Alice.
        since = len(alice.lines)
        carol.call("raw", xml=("<message to='%s'><x xmlns='http://jabber.org/protocol/muc#user'>"
                               "<invite to='%s@%s/mpv'/></x></message>") % (muc, users["alice"], DOMAIN))
        alice.wait_line("room: ", 10, since)
        check("a room notice is shown as the room's",
              any(l.startswith("room: ") and "invited you" in l for _, l in alice.lines[since:]), alice.lines[since:])

        # Watching together: Alice at 100 s, paused; Bob comes late and is brought there.
        alice.command("seek", 100, "absolute+exact")
        alice.set("pause", True)
        alice.wait_line("watch: sent ca:watch/1 pause", 10)
        bob = Mpv(work, "bob", plugin, film, {"password-file": "~/.config/mpv/parley-password"}, home=bob_home,
                  conf="# Bob's settings\nserver=%s\nuser=%s\nnick=Bob\nplaintext=yes\nparley-sync=yes\n"
                  % (DOMAIN, users["bob"]))
        started.append(bob)
        bob.wait_line("in room %s as Bob" % room, 20)
        bob.wait_line("watch: joined the others: pause at 100.", 10)
        ok, diff = settle(alice, bob)
        check("a late joiner is brought to the others' place", ok and bob.get("pause"),
              "%s\nalice: %s\nbob: %s" % (diff, alice.lines[-6:], bob.lines))

        rounds = [("Alice resumes", alice, bob, lambda m: m.set("pause", False)),
                  ("Alice seeks", alice, bob, lambda m: m.command("seek", 200, "absolute+exact")),
                  ("Bob pauses", bob, alice, lambda m: m.set("pause", True)),
                  ("Bob seeks while paused", bob, alice, lambda m: m.command("seek", 42.5, "absolute+exact")),
                  ("Bob resumes", bob, alice, lambda m: m.set("pause", False))]
        for name, leader, follower, act in rounds:
            carol.drain()
            act(leader)
            ok, diff = settle(leader, follower)
            time.sleep(1.0)
            seen = carol.drain()
            sent_by_leader = control_from(seen, leader.name.capitalize())
            sent_by_follower = control_from(seen, follower.name.capitalize())
            check("%s: the other follows, positions within 0.3 s" % name, ok, diff)
            check("%s: one message, none sent back" % name, len(sent_by_leader) == 1 and not sent_by_follower,
                  (sent_by_leader, sent_by_follower))

        # Control messages that must not move anyone.
        before = alice.get("time-pos")
        for body in ["ca:watch/1 pause 99999", "ca:watch/1 play -5", "ca:watch/1 pause nan", "ca:garbage",
                     "ca:watch/2 pause 1", "ca:watch/1 pause 1e3", "ca:watch/1 seek 10"]:
            carol.call("say", room=muc, body=body)
        alice.wait_line('ignored the control message "ca:watch/1 seek 10"', 10)
        for why in ['"ca:watch/1 pause 99999": beyond the end of the file', '"ca:watch/1 play -5": not a position',
                    '"ca:garbage": not one for watching together', '"ca:watch/2 pause 1": a version']:
            check("logged: " + why, alice.printed(why))
        check("garbage does not move the player", not alice.get("pause") and alice.get("time-pos") >= before)

        # A kick is shown and stays, while the chat lines fade.
        carol.call("raw_iq", type="set", to=muc, xml="<query xmlns='http://jabber.org/protocol/muc#admin'>"
                   "<item nick='%s' role='none'/></query>" % alice_jid.split("/", 1)[1])
        alice.wait_line("you were kicked from room " + room, 10)
        time.sleep(7)  # longer than the lines are shown (4 s) and fade (2 s)
        text = x.read(work)
        check("the kick stays on the screen, the chat has faded", "kicked" in text and "Carol" not in text, text)

        # Quitting logs out at once.
        carol.drain()
        took = bob.quit()
        gone = carol.wait_event(lambda e: e.get("event") == "presence" and e["type"] == "unavailable"
                                and e["from"].split("/", 1)[-1].startswith("Bob"), 5)
        check("quitting mpv logs out at once (%.2f s)" % took, took < 5 and gone)
        carol.stop()
        x_alive = alice.proc.poll() is None
        check("mpv with the plugin kept running throughout", x_alive)
        alice.quit()
        x.stop()
    finally:
        for m in started:
            m.stop()
    failed = [n for n, ok in checks if not ok]
    print("%d passed, %d failed" % (len(checks) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
