"""Live helpers for the mpv plugin's tests and benchmark: Xvfb, mpv players
driven through their IPC sockets, slixmpp peers (peer.py), screen reading.

Everything runs inside the test network namespace (scripts/testenv exec);
every wait is bounded in time.
"""
import json
import os
import queue
import shutil
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = os.path.join(HERE, "peer.py")
PYTHON = "/usr/bin/python3"  # Debian's, with python3-slixmpp
TOOLS = ("mpv", "Xvfb", "xwd", "convert", "tesseract")
MEDIA_EXTENSIONS = {"mkv", "mp4", "m4v", "avi", "mov", "webm", "wmv", "flv", "mpg", "mpeg", "ts", "m2ts", "ogv",
                    "ogm", "3gp", "vob", "mka", "mp3", "m4a", "flac", "ogg", "opus", "wav", "aac", "wma"}


def missing_tools():
    return [t for t in TOOLS if not shutil.which(t)]


def room_from_title(title):
    """The room the plugin derives from a media title (see docs/mpv.md)."""
    dot = title.rfind(".")
    if 0 < dot and title[dot + 1:].lower() in MEDIA_EXTENSIONS:
        title = title[:dot]
    key, gap = bytearray(), False
    for b in title.encode("utf-8"):
        keep = b >= 0x80 or chr(b).isalnum()
        if not keep:
            gap = True
            continue
        if gap and key:
            key += b" "
        gap = False
        key.append(ord(chr(b).lower()) if b < 0x80 else b)
    if not key:
        return ""
    h = 2166136261
    for b in key:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return str(h % 999999999 + 1)


def wait_until(predicate, timeout, step=0.02):
    """Polls predicate until it returns something true, at most timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def make_film(path, seconds=300, rate=10, size="640x360"):
    """A test picture with a known length (lavfi sources have none)."""
    subprocess.run(["mpv", "--no-config", "--really-quiet", "--no-audio",
                    "av://lavfi:testsrc=size=%s:rate=%d:duration=%d" % (size, rate, seconds),
                    "--o=" + path, "--ovc=mpeg4", "--ovcopts=qscale=8"], check=True, timeout=120)


class Xvfb:
    def __init__(self, width=1280, height=720):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % (width, height),
                                      "-nolisten", "tcp"], pass_fds=(w,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def grab(self, png, crop=None):
        """The screen as PNG (xwd, then convert), cropped to WxH+X+Y when asked."""
        xwd = subprocess.run(["xwd", "-root", "-display", self.display, "-silent"], check=True,
                             stdout=subprocess.PIPE, timeout=20).stdout
        args = ["convert", "xwd:-"] + (["-crop", crop, "+repage"] if crop else []) + [png]
        subprocess.run(args, input=xwd, check=True, timeout=30)

    def read(self, work, crop="1280x720+0+0"):
        """The screen's text as tesseract reads it."""
        png = os.path.join(work, "screen-%d.png" % time.monotonic_ns())
        self.grab(png, crop)
        out = subprocess.run(["tesseract", png, "stdout"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=60, check=True).stdout.decode("utf-8", "replace")
        os.unlink(png)
        return out

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


class Mpv:
    """One player with the plugin, its IPC socket and its printed lines."""

    def __init__(self, work, name, plugin, media, opts, display=None, conf=None, home=None):
        self.name = name
        self.sock_path = os.path.join(work, name + ".sock")
        config = os.path.join(work, name + "-config")
        os.makedirs(os.path.join(config, "script-opts"), exist_ok=True)
        if conf:
            with open(os.path.join(config, "script-opts", "parley.conf"), "w") as f:
                f.write(conf)
        self.log_path = os.path.join(work, name + ".log")
        args = ["mpv", "--config-dir=" + config, "--ao=null", "--osc=no", "--keep-open=yes",
                "--input-ipc-server=" + self.sock_path, "--script=" + plugin, "--log-file=" + self.log_path,
                "--script-opts=" + ",".join("parley-%s=%s" % kv for kv in opts.items())]
        env = dict(os.environ)
        if home:
            env["HOME"] = home
        if display:
            args += ["--vo=x11", "--geometry=1280x720+0+0", "--no-border"]
            env["DISPLAY"] = display
        else:
            args += ["--vo=null"]
            env.pop("DISPLAY", None)
        self.lines = []  # (monotonic time, text) of every "[parley] " line printed
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(args + [media], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env)
        threading.Thread(target=self._read, daemon=True).start()
        self.sock = None
        self.request = 0
        wait_until(lambda: os.path.exists(self.sock_path), 20)
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(10)
        self.sock.connect(self.sock_path)
        self.buffer = b""

    def _read(self):
        for raw in self.proc.stdout:
            text = raw.decode("utf-8", "replace").rstrip("\n")
            if text.startswith("[parley] "):
                with self.cond:
                    self.lines.append((time.monotonic(), text[9:]))
                    self.cond.notify_all()

    def printed(self, text, since=0):
        """The time of the first line from index since holding text, or None."""
        with self.cond:
            for t, line in self.lines[since:]:
                if text in line:
                    return t
        return None

    def wait_line(self, text, timeout=20, since=0):
        t = wait_until(lambda: self.printed(text, since), timeout)
        if not t:
            raise AssertionError("%s never printed %r; it printed:\n  %s" % (
                self.name, text, "\n  ".join(l for _, l in self.lines)))
        return t

    def count(self, text):
        with self.cond:
            return sum(1 for _, l in self.lines if text in l)

    def command(self, *args):
        self.request += 1
        rid = self.request
        self.sock.sendall((json.dumps({"command": list(args), "request_id": rid}) + "\n").encode())
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                msg = json.loads(line)
                if msg.get("request_id") == rid:
                    if msg.get("error") != "success":
                        raise RuntimeError("%s: %s failed: %s" % (self.name, args, msg.get("error")))
                    return msg.get("data")
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError(self.name + ": IPC closed")
            self.buffer += chunk
        raise RuntimeError(self.name + ": no answer to %s" % (args,))

    def get(self, prop):
        return self.command("get_property", prop)

    def set(self, prop, value):
        self.command("set_property", prop, value)

    def quit(self, timeout=10):
        """Asks mpv to quit; the seconds it took to exit."""
        start = time.monotonic()
        try:
            self.command("quit")
        except (RuntimeError, OSError):
            pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError(self.name + " did not quit within %d s" % timeout)
        return time.monotonic() - start

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


class Peer:
    """A slixmpp peer (peer.py serve) driven by JSON lines."""

    def __init__(self, jid, password):
        self.proc = subprocess.Popen([PYTHON, PEER, "serve", "--jid", jid, "--password", password],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.events = queue.Queue()
        self.replies = {}
        self.cond = threading.Condition()
        self.next_id = 0
        threading.Thread(target=self._read, daemon=True).start()
        self.wait_event(lambda e: e.get("event") == "ready", 30)

    def _read(self):
        for line in self.proc.stdout:
            msg = json.loads(line)
            msg["at"] = time.monotonic()
            if "reply" in msg:
                with self.cond:
                    self.replies[msg["reply"]] = msg
                    self.cond.notify_all()
            else:
                self.events.put(msg)

    def send(self, cmd, **kw):
        """Sends a command without waiting; the time it went out."""
        self.next_id += 1
        kw.update(cmd=cmd, id=self.next_id)
        at = time.monotonic()
        self.proc.stdin.write(json.dumps(kw) + "\n")
        self.proc.stdin.flush()
        return self.next_id, at

    def call(self, cmd, timeout=20, **kw):
        rid, _ = self.send(cmd, **kw)
        with self.cond:
            if not self.cond.wait_for(lambda: rid in self.replies, timeout):
                raise AssertionError("peer: no answer to " + cmd)
            reply = self.replies.pop(rid)
        if not reply.get("ok"):
            raise AssertionError("peer: %s failed: %s" % (cmd, reply))
        return reply

    def wait_event(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("peer: the awaited event did not come")
            try:
                event = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if predicate(event):
                return event

    def drain(self):
        """The events so far."""
        out = []
        while True:
            try:
                out.append(self.events.get_nowait())
            except queue.Empty:
                return out

    def stop(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def register(jid, password):
    code = subprocess.run([PYTHON, PEER, "register", "--jid", jid, "--password", password],
                          timeout=60).returncode
    if code not in (0, 3):
        raise AssertionError("could not register " + jid)
