#!/usr/bin/python3
"""Live attack probes (each shows a fault of today's code) through libparley.so by ctypes,
with slixmpp peers (peer.py). Run inside the test namespace."""
import ctypes, threading, time, json, subprocess, sys, os
HERE = os.path.dirname(os.path.abspath(__file__))
LIB = os.environ.get("PARLEY_LIB", os.path.join(HERE, "../../build/src/libparley.so"))
lib = ctypes.CDLL(LIB)
class TextBuffer(ctypes.Structure):
    _fields_ = [("length", ctypes.c_int32), ("text", ctypes.c_void_p)]
CB = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(TextBuffer))
LOGCB = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(TextBuffer))
def u16(s):
    b = s.encode("utf-16-le", "surrogatepass") + b"\0\0"
    return ctypes.create_string_buffer(b, len(b))
for name in ("SetLogin",):
    getattr(lib, name).restype = ctypes.c_void_p
lib.SetLogin.argtypes = [ctypes.c_void_p]*6 + [ctypes.c_void_p, CB]
for n in ("SetChatMessage","SetNickName","SetSubject","SetKick","SetBan","SetModerator","SetCancel","SetWriteBlock"):
    getattr(lib, n).argtypes = [ctypes.c_void_p, ctypes.c_void_p]; getattr(lib, n).restype = ctypes.c_int32
for n in ("IsOwner","IsModerator","IsWriteBlock","IsConflictNickName"):
    getattr(lib, n).argtypes = [ctypes.c_void_p, ctypes.c_void_p]; getattr(lib, n).restype = ctypes.c_uint8
lib.GetUserTotalCount.argtypes=[ctypes.c_void_p]
lib.GetLogOut.argtypes=[ctypes.c_void_p]
lib.GetRoominfo.argtypes=[ctypes.c_void_p]
lib.SetEncryptionPolicy(0)
lib.SetInsecureAcceptAnyCertificate(1)
class Host:
    def __init__(self, user, pw, room, nick, server, resource="r"):
        self.events = []; self.lock = threading.Lock()
        def cb(ctx, code, a3, a4, tb):
            t = None
            if tb:
                n = tb.contents.length
                t = ctypes.string_at(tb.contents.text, 2*n).decode("utf-16-le", "replace")
            with self.lock: self.events.append((code, a3, a4, t))
            if os.environ.get("V"): print("EV", code, a3, a4, repr(t), flush=True)
            return 0
        self._cb = CB(cb)
        self._keep = [u16(x) for x in (user, pw, room, nick, server, resource)]
        self.s = lib.SetLogin(*[ctypes.cast(k, ctypes.c_void_p) for k in self._keep], None, self._cb)
    def call(self, name, text):
        b = u16(text); return getattr(lib, name)(self.s, ctypes.cast(b, ctypes.c_void_p))
    def wait(self, pred, timeout=20):
        end = time.time()+timeout
        while time.time() < end:
            with self.lock:
                for e in self.events:
                    if pred(e): return e
            time.sleep(0.05)
        return None
    def codes(self):
        with self.lock: return [e[0] for e in self.events]
    def logout(self): lib.GetLogOut(self.s)

class Peer:
    def __init__(self, jid, pw, host="127.0.0.1", port=5222, register=True):
        peer = os.path.join(HERE, "peer.py")
        if register:
            subprocess.run(["/usr/bin/python3", peer, "register", "--jid", jid, "--password", pw, "--host", host, "--port", str(port)])
        self.p = subprocess.Popen(["/usr/bin/python3", peer, "serve", "--jid", jid, "--password", pw, "--host", host, "--port", str(port)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lines = []; self.n = 0
        threading.Thread(target=self._read, daemon=True).start()
        assert self.wait(lambda m: m.get("event") == "ready"), "peer not ready"
    def _read(self):
        for line in self.p.stdout:
            try: m = json.loads(line)
            except ValueError: continue
            if os.environ.get("V"): print("PEER", m, flush=True)
            self.lines.append(m)
    def wait(self, pred, timeout=20):
        end = time.time()+timeout
        while time.time() < end:
            for m in list(self.lines):
                if pred(m): return m
            time.sleep(0.05)
        return None
    def cmd(self, **c):
        self.n += 1; c["id"] = self.n
        self.p.stdin.write(json.dumps(c) + "\n"); self.p.stdin.flush()
        return self.wait(lambda m: m.get("reply") == c["id"])
    def quit(self):
        try: self.cmd(cmd="quit")
        except Exception: pass
        self.p.wait(5)

ID = "00000000-1111-2222-3333-444444444444"; EVE = "eeeeeeee-1111-2222-3333-444444444444"
BOB = "bbbbbbbb-1111-2222-3333-444444444444"
ME, EVE_NICK, BOB_NICK = "Me" + ID + ":us", "Eve" + EVE + ":us", "Bob" + BOB + ":us"
MUC_OWNER = "<query xmlns='http://jabber.org/protocol/muc#owner'><x xmlns='jabber:x:data' type='submit'/></query>"

def login(dom, port, room, nick=ME):
    Peer("atkh@" + dom, "pw", port=port).quit()
    return Host("atkh", "pw", room, nick, dom)

def passed_on_x(dom, port, room):
    """jabberd2: an occupant's own muc#user element with 110 and 210, then its departure, ends us for the host."""
    h = login(dom, port, room); h.wait(lambda e: e[0] == 11027)
    p = Peer("atke@" + dom, "pw", port=port); rj = "%s@conference.%s" % (room, dom)
    p.cmd(cmd="raw", xml="<presence xmlns='jabber:client' to='%s/%s'><x xmlns='http://jabber.org/protocol/muc'/><x "
          "xmlns='http://jabber.org/protocol/muc#user'><status code='110'/><status code='210'/></x></presence>" % (rj, EVE_NICK))
    time.sleep(2); p.cmd(cmd="leave", room=rj, nick=EVE_NICK); time.sleep(2)
    ok = h.call("SetChatMessage", "still in")
    p.quit(); h.logout()
    return [e for e in h.events if e[0] in (11027, 11028)], "SetChatMessage=%d (1 expected)" % ok

def no_subject(dom, port, room):
    """jabberd2: a live message after a join with history reaches the host only ~30 s later."""
    rj = "%s@conference.%s" % (room, dom)
    Peer("atkh@" + dom, "pw", port=port).quit()
    p = Peer("atkb@" + dom, "pw", port=port)
    p.cmd(cmd="join", room=rj, nick=BOB_NICK); p.cmd(cmd="raw_iq", type="set", to=rj, xml=MUC_OWNER)
    p.cmd(cmd="say", room=rj, body="before the join"); time.sleep(1)
    h = Host("atkh", "pw", room, ME, dom); h.wait(lambda e: e[0] == 11027 and ID in (e[3] or ""))
    time.sleep(1); t0 = time.time(); p.cmd(cmd="say", room=rj, body="live now")
    h.wait(lambda e: "live now" in (e[3] or ""), 60)
    p.quit(); h.logout()
    return "live message after %.1f s (at once expected)" % (time.time() - t0)

def prepared_nick(dom, port, room, how="kick"):
    """Prosody (kick) / ejabberd (destroy): a nickname the server prepares (fullwidth letters)."""
    rj = "%s@conference.%s" % (room, dom)
    Peer("atkh@" + dom, "pw", port=port).quit()
    p = Peer("atkb@" + dom, "pw", port=port); p.cmd(cmd="join", room=rj, nick=BOB_NICK)
    h = Host("atkh", "pw", room, "\uff34\uff41\uff52\uff4f" + ID + ":us", dom)
    h.wait(lambda e: e[0] == 11027 and ID in (e[3] or "")); time.sleep(1)
    if how == "kick":
        p.cmd(cmd="raw_iq", type="set", to=rj, xml="<query xmlns='http://jabber.org/protocol/muc#admin'><item nick='Taro%s:us' "
              "role='none'/></query>" % ID)
    else:
        p.cmd(cmd="raw_iq", type="set", to=rj, xml="<query xmlns='http://jabber.org/protocol/muc#owner'><destroy/></query>")
    time.sleep(2); ok = h.call("SetChatMessage", "am I in?"); time.sleep(1.5)
    p.quit(); h.logout()
    return h.events[-3:], "SetChatMessage=%d (0 expected)" % ok

def forged_subject_and_threads(dom, port, room):
    """Prosody: a subject beside an empty body is taken for the room's; messages with a thread never arrive."""
    rj = "%s@conference.%s" % (room, dom)
    h = login(dom, port, room); h.wait(lambda e: e[0] == 11047)
    p = Peer("atke@" + dom, "pw", port=port); p.cmd(cmd="join", room=rj, nick=EVE_NICK)
    p.cmd(cmd="raw", xml="<message xmlns='jabber:client' to='%s' type='groupchat'><subject>forged</subject><body/></message>" % rj)
    p.cmd(cmd="raw", xml="<message xmlns='jabber:client' to='%s' type='groupchat'><body>threaded</body><thread>t1</thread></message>" % rj)
    p.cmd(cmd="message", to=rj + "/" + ME, body="threaded, private", thread="t2")
    time.sleep(2); p.quit(); h.logout()
    return [e for e in h.events if e[0] in (11047, 11029)]

if __name__ == "__main__":
    # Inside the test namespace: scripts/testenv exec /usr/bin/python3 tests/live/attack_probes.py NAME DOMAIN PORT ROOM [kick|destroy]
    name, dom, port, room = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    print(globals()[name](dom, port, room, *sys.argv[5:]))
