#!/usr/bin/python3
"""A real XMPP peer for the live tests, built on slixmpp.

    peer.py register --jid JID --password PW [--host H --port P]
        registers the account in band and exits (0: created, 3: exists, 1: failed)

    peer.py serve --jid JID --password PW [--host H --port P]
        logs in, prints {"event": "ready", "jid": FULL} and then takes one JSON
        command per line on stdin; every answer and event is one JSON line on
        stdout. Commands carry an "id" that the answer repeats as "reply".

Runs inside the test network namespace only (scripts/testenv exec).
"""
import argparse
import asyncio
import json
import logging
import sys
import xml.etree.ElementTree as ET

import slixmpp
from slixmpp.exceptions import IqError, IqTimeout


def emit(obj):
    sys.stdout.write(json.dumps(obj, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def connect(client, args):
    # jabberd2 offers only PLAIN and DIGEST-MD5, which slixmpp refuses on a
    # plain stream unless told; where SCRAM is offered it still takes SCRAM.
    client["feature_mechanisms"].unencrypted_plain = True
    client.connect(address=(args.host, args.port), force_starttls=False, disable_starttls=True)


class Registrar(slixmpp.ClientXMPP):
    def __init__(self, jid, password):
        super().__init__(jid, password)
        self.result = 1
        # Without this slixmpp 1.8 holds every stanza until a session exists.
        self._always_send_everything = True
        self.register_plugin("xep_0030")
        self.register_plugin("xep_0004")
        self.register_plugin("xep_0077")
        self["xep_0077"].force_registration = True
        self.add_event_handler("register", self.on_register)
        self.add_event_handler("session_start", self.on_session)
        self.add_event_handler("failed_auth", lambda e: None)

    async def on_register(self, _):
        iq = self.Iq()
        iq["type"] = "set"
        iq["register"]["username"] = self.boundjid.user
        iq["register"]["password"] = self.password
        try:
            await iq.send(timeout=10)
            self.result = 0
        except IqError as e:
            self.result = 3 if e.iq["error"]["condition"] == "conflict" else 1
        except IqTimeout:
            self.result = 1
        self.disconnect()

    async def on_session(self, _):
        self.disconnect()


class Peer(slixmpp.ClientXMPP):
    def __init__(self, jid, password):
        super().__init__(jid, password)
        for plugin in ("xep_0030", "xep_0092", "xep_0045", "xep_0199"):
            self.register_plugin(plugin)
        self.add_event_handler("session_start", self.on_session)
        self.add_event_handler("failed_auth", lambda e: emit({"event": "failed_auth"}))
        self.add_event_handler("disconnected", lambda e: emit({"event": "disconnected"}))
        self.add_event_handler("roster_update", self.on_roster)
        self.add_event_handler("message", self.on_message)
        self.add_event_handler("message_error", lambda m: emit(
            {"event": "message_error", "from": str(m["from"]), "condition": m["error"]["condition"]}))
        self.add_event_handler("groupchat_message", self.on_groupchat)
        self.add_event_handler("groupchat_subject", self.on_subject)
        self.add_event_handler("presence", self.on_presence)
        self.waiters = {}  # room/nick -> future resolved by the room's answer

    async def on_session(self, _):
        self.send_presence()
        await self.get_roster()
        emit({"event": "ready", "jid": self.boundjid.full})
        asyncio.ensure_future(self.read_commands())

    def on_roster(self, iq):
        emit({"event": "roster", "items": sorted(iq["roster"]["items"].keys(), key=str)})

    def on_message(self, msg):
        if msg["type"] in ("chat", "normal") and msg["body"]:
            emit({"event": "message", "from": str(msg["from"]), "type": msg["type"], "body": msg["body"],
                  "thread": msg["thread"]})

    def on_groupchat(self, msg):
        emit({"event": "groupchat", "from": str(msg["from"]), "body": msg["body"]})

    def on_subject(self, msg):
        emit({"event": "subject", "from": str(msg["from"]), "subject": msg["subject"]})

    def on_presence(self, p):
        item = p.xml.find("{http://jabber.org/protocol/muc#user}x/{http://jabber.org/protocol/muc#user}item")
        codes = [s.get("code") for s in p.xml.findall(
            "{http://jabber.org/protocol/muc#user}x/{http://jabber.org/protocol/muc#user}status")]
        error = p["error"]["condition"] if p["type"] == "error" else ""
        emit({"event": "presence", "from": str(p["from"]), "type": p["type"],
              "role": item.get("role", "") if item is not None else "",
              "affiliation": item.get("affiliation", "") if item is not None else "",
              "nick": item.get("nick", "") if item is not None else "",
              "jid": item.get("jid", "") if item is not None else "",
              "codes": " ".join(c for c in codes if c), "error": error})
        key = str(p["from"])
        waiter = self.waiters.get(key)
        if waiter and not waiter.done() and (p["type"] == "error" or "110" in codes):
            waiter.set_result({"codes": " ".join(codes), "role": item.get("role", "") if item is not None else "",
                               "affiliation": item.get("affiliation", "") if item is not None else "",
                               "error": error})

    async def read_commands(self):
        loop = asyncio.get_event_loop()
        while True:
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line:
                self.disconnect()
                return
            try:
                cmd = json.loads(line)
            except ValueError:
                emit({"event": "bad_command", "line": line.strip()})
                continue
            if cmd.get("cmd") == "quit":
                emit({"reply": cmd.get("id"), "ok": True})
                self.disconnect()
                return
            asyncio.ensure_future(self.run(cmd))

    async def run(self, cmd):
        answer = {"reply": cmd.get("id"), "ok": True}
        try:
            answer.update(await getattr(self, "cmd_" + cmd["cmd"])(cmd) or {})
        except IqError as e:
            answer.update(ok=False, error=e.iq["error"]["condition"], error_type=e.iq["error"]["type"])
        except IqTimeout:
            answer.update(ok=False, error="timeout")
        except Exception as e:  # report, do not die
            answer.update(ok=False, error=repr(e))
        emit(answer)

    # ---- commands ----------------------------------------------------------

    async def cmd_disco_info(self, cmd):
        iq = await self["xep_0030"].get_info(jid=cmd["to"], node=cmd.get("node"), timeout=10)
        info = iq["disco_info"]
        return {"features": " ".join(info["features"]),
                "identities": " ".join("%s/%s/%s" % (c, t, n or "") for c, t, _, n in info["identities"])}

    async def cmd_disco_items(self, cmd):
        iq = await self["xep_0030"].get_items(jid=cmd["to"], node=cmd.get("node"), timeout=10)
        return {"items": " ".join(str(i[0]) for i in iq["disco_items"]["items"]), "xml": str(iq)}

    async def cmd_version(self, cmd):
        iq = await self["xep_0092"].get_version(cmd["to"], timeout=10)
        v = iq["software_version"]
        return {"name": v["name"], "version": v["version"], "os": v["os"]}

    async def cmd_raw_iq(self, cmd):
        """Sends an iq whose payload is the given XML; answers with the reply."""
        iq = self.Iq()
        iq["type"] = cmd.get("type", "get")
        if cmd.get("to"):
            iq["to"] = cmd["to"]
        if cmd.get("xml"):
            iq.xml.append(ET.fromstring(cmd["xml"]))
        reply = await iq.send(timeout=10)
        return {"xml": str(reply)}

    async def cmd_raw(self, cmd):
        """Sends the given stanza as it is (the server stamps its from)."""
        self.send_raw(cmd["xml"])
        return {}

    async def cmd_private_store(self, cmd):
        query = ET.Element("{jabber:iq:private}query")
        query.append(ET.fromstring(cmd["xml"]))
        iq = self.Iq()
        iq["type"] = "set"
        iq.xml.append(query)
        await iq.send(timeout=10)

    async def cmd_roster_add(self, cmd):
        await self.update_roster(cmd["jid"], name=cmd.get("name", ""), subscription="none")

    async def cmd_message(self, cmd):
        msg = self.make_message(mto=cmd["to"], mbody=cmd["body"], mtype=cmd.get("type", "chat"))
        if cmd.get("thread"):
            msg["thread"] = cmd["thread"]
        msg.send()

    async def presence_and_wait(self, to, xml=None, ptype=None, wait_for=None):
        p = self.Presence()
        p["to"] = to
        if ptype:
            p["type"] = ptype
        if xml is not None:
            p.xml.append(xml)
        future = asyncio.get_event_loop().create_future()
        self.waiters[wait_for or to] = future
        p.send()
        try:
            return await asyncio.wait_for(future, 10)
        finally:
            self.waiters.pop(wait_for or to, None)

    async def cmd_join(self, cmd):
        """Joins room as nick; answers with the own presence's codes, role and affiliation."""
        x = ET.Element("{http://jabber.org/protocol/muc}x")
        ET.SubElement(x, "{http://jabber.org/protocol/muc}history", maxstanzas="0")
        result = await self.presence_and_wait(cmd["room"] + "/" + cmd["nick"], x)
        return dict(result, ok=not result["error"])

    async def cmd_nick(self, cmd):
        """Changes the nickname; answers once the room confirms (or refuses)."""
        result = await self.presence_and_wait(cmd["room"] + "/" + cmd["nick"])
        return dict(result, ok=not result["error"])

    async def cmd_leave(self, cmd):
        p = self.Presence()
        p["to"] = cmd["room"] + "/" + cmd["nick"]
        p["type"] = "unavailable"
        p.send()

    async def cmd_say(self, cmd):
        self.make_message(mto=cmd["room"], mbody=cmd["body"], mtype="groupchat").send()

    async def cmd_flood(self, cmd):
        """Sends count group-chat messages as fast as slixmpp takes them."""
        for i in range(int(cmd["count"])):
            self.make_message(mto=cmd["room"], mbody="%s %d" % (cmd.get("body", "flood"), i), mtype="groupchat").send()
            if i % 200 == 0:
                await asyncio.sleep(0)

    async def cmd_subject(self, cmd):
        self.make_message(mto=cmd["room"], msubject=cmd["subject"], mtype="groupchat").send()

    async def cmd_ping(self, cmd):
        await self["xep_0199"].ping(cmd["to"], timeout=10)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["register", "serve"])
    ap.add_argument("--jid", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=5222)
    ap.add_argument("--debug", action="store_true")
    args = ap.parse_args()
    logging.basicConfig(level=logging.DEBUG if args.debug else logging.CRITICAL, stream=sys.stderr)

    if args.mode == "register":
        r = Registrar(args.jid, args.password)
        connect(r, args)
        r.loop.run_until_complete(r.disconnected)
        sys.exit(r.result)

    peer = Peer(args.jid, args.password)
    connect(peer, args)
    peer.loop.run_until_complete(peer.disconnected)


if __name__ == "__main__":
    main()
