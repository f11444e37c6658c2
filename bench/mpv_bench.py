#!/usr/bin/python3
"""The mpv plugin's figures, in real players (mpv --vo=null --ao=null)
against the test Prosody:

  - a peer's message to the chat box: from the peer's send to the plugin's
    log line, which it prints right after drawing the box; the baseline is
    a second slixmpp peer receiving the same message (ratio printed);
  - watching together over 20 rounds: how long the other player takes to
    follow a pause and a seek, and how far apart the two then are (on a
    50 frames a second film, so to within 20 ms).

    mpv_bench.py PLUGIN      (inside the test network namespace)
"""
import os
import random
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "live"))
import mpvlive  # noqa: E402
from mpvlive import Mpv, Peer, register, wait_until  # noqa: E402

DOMAIN = "example.test"
ROUNDS = 20


def summary(name, values, unit="ms", scale=1000.0):
    v = sorted(x * scale for x in values)
    print("%-34s median %7.1f %s   max %7.1f %s   (n=%d)" % (name, statistics.median(v), unit, v[-1], unit, len(v)))
    return statistics.median(v)


def follow(leader, follower, act, done, timeout=5):
    """Runs act on the leader; the seconds until done(follower) holds."""
    start = time.monotonic()
    act(leader)
    if not wait_until(lambda: done(follower), timeout, step=0.005):
        raise SystemExit("the follower did not follow within %d s" % timeout)
    return time.monotonic() - start


def main():
    if not os.environ.get("PARLEY_TESTENV"):
        raise SystemExit("run inside scripts/testenv exec")
    plugin = sys.argv[1]
    work = tempfile.mkdtemp(prefix="parley-mpv-bench.")
    film = os.path.join(work, "bench.mkv")
    # 50 frames a second: a paused player's position moves in steps of a frame.
    mpvlive.make_film(film, 600, rate=50, size="320x180")
    tag = str(os.getpid())
    users = {n: "mpvb%s%s" % (n, tag) for n in ("alice", "bob", "carol", "dave")}
    for u in users.values():
        register("%s@%s" % (u, DOMAIN), "secret")
    password = os.path.join(work, "password")
    with open(password, "w") as f:
        f.write("secret\n")
    os.chmod(password, 0o600)
    room = "77" + tag
    muc = "%s@conference.%s" % (room, DOMAIN)
    players = []
    try:
        carol = Peer("%s@%s/b" % (users["carol"], DOMAIN), "secret")
        dave = Peer("%s@%s/b" % (users["dave"], DOMAIN), "secret")
        carol.call("join", room=muc, nick="Carol")
        dave.call("join", room=muc, nick="Dave")

        def player(name):
            m = Mpv(work, name, plugin, film, {"server": DOMAIN, "user": users[name], "password-file": password,
                                                "nick": name.capitalize(), "room": room, "plaintext": "yes",
                                                "sync": "yes"})
            players.append(m)
            m.wait_line("in room %s as %s" % (room, name.capitalize()))
            return m

        alice, bob = player("alice"), player("bob")
        time.sleep(1)

        # A peer's message to the box, against a peer's message to a peer.
        to_box, to_peer = [], []
        for i in range(30):
            body = "round %d %d" % (i, random.randrange(10 ** 9))
            seen = len(alice.lines)
            dave.drain()
            _, sent = carol.send("say", room=muc, body=body)
            shown = alice.wait_line("Carol: " + body, 10, since=seen)
            got = dave.wait_event(lambda e: e.get("event") == "groupchat" and e["body"] == body, 10)["at"]
            to_box.append(shown - sent)
            to_peer.append(got - sent)
            time.sleep(0.05)
        print("== a peer's message to the chat box (30 messages)")
        box = summary("mpv plugin: peer -> chat box", to_box)
        peer = summary("baseline: peer -> slixmpp peer", to_peer)
        print("ratio (plugin / baseline, medians): %.2f" % (box / peer))

        # Watching together.
        paused_lag, paused_err, seek_lag, seek_err, play_err = [], [], [], [], []
        for r in range(ROUNDS):
            leader, other = (alice, bob) if r % 2 == 0 else (bob, alice)
            paused_lag.append(follow(leader, other, lambda m: m.set("pause", True), lambda m: m.get("pause")))
            time.sleep(0.3)
            paused_err.append(abs(leader.get("time-pos") - other.get("time-pos")))
            target = random.uniform(10, 590)
            seek_lag.append(follow(leader, other, lambda m: m.command("seek", target, "absolute+exact"),
                                   lambda m: abs(m.get("time-pos") - target) < 0.3))
            time.sleep(0.3)
            seek_err.append(abs(leader.get("time-pos") - other.get("time-pos")))
            follow(leader, other, lambda m: m.set("pause", False), lambda m: not m.get("pause"))
            time.sleep(0.5)
            a, b = leader.get("time-pos"), other.get("time-pos")
            play_err.append(abs(a - b))
        print("== watching together (%d rounds, leaders alternating)" % ROUNDS)
        summary("pause: the other paused after", paused_lag)
        summary("pause: positions apart", paused_err)
        summary("seek (paused): the other there after", seek_lag)
        summary("seek (paused): positions apart", seek_err)
        summary("resume: positions apart, playing", play_err)
        carol.stop()
        dave.stop()
    finally:
        for m in players:
            m.stop()


if __name__ == "__main__":
    main()
