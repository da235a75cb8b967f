#!/usr/bin/python3
"""A loopback proxy in front of a MongoDB server: it delays, counts, cuts, plays roles and holds requests.

    latency_proxy.py --listen ADDRESS... --target ADDRESS [--delay-ms MS]
                     [--stall-every N --stall-ms MS [--seed S]] [--idle-seconds S] [--max-seconds S]
                     [--grant DB=ACTIONS]... [--hold [--hold-one]]

Listens on ADDRESS:27017 (the first ADDRESS free) and forwards each connection to the
target, delaying every request (client to server) by MS milliseconds; replies pass at once.
With --stall-every, one in N requests after the handshake, drawn at random (seeded), is
held --stall-ms more, as a busy FerretDB holds requests behind one that waits for its
SQLite lock (counted as "(stalled)"); at random, so that no request of a repeated sequence
escapes it. All addresses must be loopback addresses. Prints "ready ADDRESS" once it
listens, or "cannot listen on ADDRESS:27017: REASON" (the last one tried) and ends.

--grant DB=ACTIONS (repeatable) plays a user whose roles grant ACTIONS on the database DB,
for a test server that has no roles. ACTIONS is a comma list of
  read          find, getMore, killCursors, count, distinct, aggregate (without $out or
                $merge), listCollections, listIndexes, collStats, dbStats
  readWrite     read, and insert, update, delete, findAndModify, create, createIndexes,
                drop, dropIndexes, renameCollection (within DB), aggregate with $out or
                $merge, commitTransaction and abortTransaction
  validate      validate
  dropDatabase  dropDatabase
(as on a real server, readWrite grants neither validate nor dropDatabase). With a grant,
every request is decoded and its command name and "$db" decide: the commands any logged-in
user may run (FREE below: the handshake, authentication, monitoring, ping, endSessions, ...)
pass on any database; any other passes only when "$db" is granted an action that holds it.
renameCollection (run on admin) is judged by the database of its namespaces, which must be
one; commitTransaction and abortTransaction (run on admin) pass where readWrite is granted on
some database. A refused request is not forwarded: the proxy answers it itself, as a real
server's privilege check does, with {ok: 0.0, errmsg: "not authorized on DB to execute
command { NAME: VALUE, ... }", code: 13, codeName: "Unauthorized"} (DB its "$db", VALUE the
command's first value), and counts it also as "(refused) NAME DB". A compressed request
cannot be read: with a grant it is refused, so clients behind it must not ask for compression.

--hold holds every request (the FREE commands excepted) in the proxy until a "step" lets it
go. Each time a request starts waiting it prints "held N NAME DB" (N counts from 1 over the
proxy's life), "stepped N" when it is let go, and "answered N" once the reply to it has
passed back to the client (the server has done it). Two writers, each behind its own
holding proxy, can so be driven one request at a time in any order. With --hold-one only
the requests of one connection are held: the first to send one after the start or the last
"hold"; another client of the same program (a writer's lock renewals) passes.

Standard input takes commands, one a line:
  counts    prints "counts JSON": the requests so far by command name (the handshake and
            the monitoring checks included: "hello", "isMaster", ...)
  reset     sets the counts to zero; prints "zeroed"
  cut N     at the N-th request from now (the handshake and monitoring checks not
            counted) drops every connection, that request unsent, and refuses new
            ones until "heal": a connection reset that lasts
  kill N PID  at the N-th request from now sends SIGKILL to PID (the program that
            writes, or the server), that request unsent
  heal      forwards again; prints "healed"
  step      lets the oldest held request go; when none is held yet, the next one to be
            held goes at once (it is still printed as held, then as stepped)
  until NAME DB  lets the held requests go, and those held later, up to and including
            the next one named NAME on DB; once its reply has passed back, prints
            "reached N" and holds again (a writer run to the end of a phase)
  drop      the held requests are never sent (their program was killed): their
            connections close; prints "dropped"
  release   stops holding: the held requests and all later ones go; prints "released"
  hold      holds again from the next request on (an "until" not reached is forgotten);
            prints "holding"
A held request meets a cut, a kill, a refusal or the delay once it is let go.
It stops by itself: when its standard input closes, after S seconds without a request
and none held (default 120), or after the longest run (default 3600 s). It prints the
counts at the end.
"""
import argparse
import asyncio
import ipaddress
import json
import os
import random
import signal
import struct
import sys
import time

import bson

PORT = 27017
OP_REPLY, OP_MSG, OP_QUERY, OP_COMPRESSED = 1, 2013, 2004, 2012
HANDSHAKE = ("hello", "isMaster", "ismaster")
# What any logged-in user may run, whatever the database and the roles: never refused, never held.
FREE = frozenset(HANDSHAKE + ("ping", "buildInfo", "buildinfo", "saslStart", "saslContinue", "authenticate",
                              "logout", "endSessions", "getnonce", "connectionStatus", "getLastError",
                              "whatsmyuri", "startSession", "refreshSessions", "listCommands"))
READ = frozenset(("find", "getMore", "killCursors", "count", "distinct", "aggregate", "listCollections",
                  "listIndexes", "collStats", "dbStats"))
ACTIONS = {
    "read": READ,
    "readWrite": READ | {"insert", "update", "delete", "findAndModify", "create", "createIndexes", "drop",
                         "dropIndexes", "renameCollection", "aggregate $out", "commitTransaction",
                         "abortTransaction"},
    "validate": frozenset(("validate",)),
    "dropDatabase": frozenset(("dropDatabase",)),
}


def loopback(text):
    if not ipaddress.ip_address(text).is_loopback:
        raise argparse.ArgumentTypeError(text + " is not a loopback address")
    return text


def grant(text):
    database, _, actions = text.partition("=")
    if not database or not all(action in ACTIONS for action in actions.split(",")):
        raise argparse.ArgumentTypeError("%s: DB=ACTIONS, ACTIONS a comma list of %s" % (text, ", ".join(ACTIONS)))
    return database, actions.split(",")


def first_key(data, at):
    """The name of the first element of the BSON document at data[at:]."""
    at += 5  # document length, element type
    end = data.index(b"\0", at)
    return data[at:end].decode("utf-8", "replace")


def command_name(header, body):
    opcode = int.from_bytes(header[12:16], "little")
    try:
        if opcode == OP_MSG:
            # flag bits, then a section of kind 0 holds the command document
            at = 4
            while at < len(body):
                kind = body[at]
                at += 1
                if kind == 0:
                    return first_key(body, at)
                size = int.from_bytes(body[at:at + 4], "little")
                at += size
        elif opcode == OP_QUERY:
            at = body.index(b"\0", 4) + 1 + 8  # flags, collection name, skip and limit
            return first_key(body, at)
        elif opcode == OP_COMPRESSED:
            return "compressed"
    except (ValueError, IndexError):
        pass
    return "op%d" % opcode


def command_document(header, body):
    """The command document of a request and its database; ({}, "") when there is none."""
    opcode = int.from_bytes(header[12:16], "little")
    try:
        if opcode == OP_MSG:
            at = 4
            while at < len(body):
                size = int.from_bytes(body[at + 1:at + 5], "little")
                if body[at] == 0:
                    command = bson.decode(body[at + 1:at + 1 + size])
                    return command, str(command.get("$db", ""))
                at += 1 + size
        elif opcode == OP_QUERY:
            end = body.index(b"\0", 4)
            at = end + 1 + 8
            size = int.from_bytes(body[at:at + 4], "little")
            return bson.decode(body[at:at + size]), body[4:end].decode("utf-8", "replace").partition(".")[0]
    except (ValueError, IndexError, bson.errors.BSONError):
        pass
    return {}, ""


def unauthorized(name, command, database):
    """A server's refusal of a command the user's roles do not grant."""
    first = next(iter(command.values()), "")
    value = '"%s"' % first if isinstance(first, str) else str(first)
    return {"ok": 0.0, "errmsg": "not authorized on %s to execute command { %s: %s, ... }" % (database, name, value),
            "code": 13, "codeName": "Unauthorized"}


def answer(header, document):
    """The server's reply to the request with this header, holding the document."""
    body = bson.encode(document)
    if int.from_bytes(header[12:16], "little") == OP_MSG:
        opcode, body = OP_MSG, bytes(5) + body  # flag bits, a section of kind 0
    else:
        opcode, body = OP_REPLY, struct.pack("<iqii", 0, 0, 0, 1) + body
    return struct.pack("<iiii", 16 + len(body), 0, int.from_bytes(header[4:8], "little"), opcode) + body


class Proxy:
    def __init__(self, args):
        self.args = args
        self.delay = args.delay_ms / 1000.0
        self.counts = {}
        self.random = random.Random(args.seed)
        self.last = time.monotonic()
        self.done = None
        self.cut_at = 0   # requests left until the cut; 0: none pending
        self.victim = 0   # PID to kill at the cut, or 0 to drop the connections
        self.cut = False
        self.writers = set()
        self.grants = {}  # database: the commands granted there
        for database, actions in args.grant:
            for action in actions:
                self.grants.setdefault(database, set()).update(ACTIONS[action])
        self.holding = args.hold
        self.held = 0     # requests held so far
        self.waiting = []  # (N, future, name, database) of the held requests, oldest first
        self.until = None  # (name, database) that ends an "until", or None
        self.reaching = 0  # N of the request that ends it, once held
        self.holder = None  # with --hold-one: the connection whose requests are held
        self.steps = 0    # steps that came while none was held: as many later ones go at once

    def count(self, name):
        self.counts[name] = self.counts.get(name, 0) + 1
        self.last = time.monotonic()

    def print_counts(self):
        print("counts " + json.dumps(self.counts, sort_keys=True), flush=True)

    def refused(self, name, command, database):
        """Whether a user with the granted roles may not run the command."""
        if name in FREE:
            return False
        if name == "aggregate" and any("$out" in stage or "$merge" in stage for stage in command.get("pipeline", [])
                                       if isinstance(stage, dict)):
            name = "aggregate $out"
        elif name == "renameCollection":
            source, target = (str(command.get(key, "")).partition(".")[0] for key in (name, "to"))
            database = source if source == target else ""
        elif name in ("commitTransaction", "abortTransaction"):
            return not any(name in granted for granted in self.grants.values())
        return name not in self.grants.get(database, ())

    async def hold(self, name, database):
        """Waits until a step lets the request go; its number."""
        self.held += 1
        n = self.held
        print("held %d %s %s" % (n, name, database), flush=True)
        if self.until:
            if self.until == (name, database):
                self.until, self.reaching = None, n
        elif self.steps:
            self.steps -= 1
        else:
            entry = (n, asyncio.get_running_loop().create_future(), name, database)
            self.waiting.append(entry)
            try:
                await entry[1]
            finally:
                if entry in self.waiting:
                    self.waiting.remove(entry)
        print("stepped %d" % n, flush=True)
        return n

    def step(self):
        while self.waiting:
            n, gate, _, _ = self.waiting.pop(0)
            if not gate.done():  # not a connection that closed meanwhile
                gate.set_result(None)
                return
        self.steps += 1

    def run_until(self, name, database):
        while self.waiting:
            n, gate, held_name, held_database = self.waiting.pop(0)
            if not gate.done():
                gate.set_result(None)
                if (held_name, held_database) == (name, database):
                    self.reaching = n
                    return
        self.until = (name, database)

    def holds(self, client):
        if self.args.hold_one and self.holder is None:
            self.holder = client
        return not self.args.hold_one or self.holder is client

    async def requests(self, reader, writer, client, held):
        while True:
            header = await reader.readexactly(16)
            length = int.from_bytes(header[:4], "little")
            body = await reader.readexactly(max(length - 16, 0))
            name = command_name(header, body)
            self.count(name)
            command, database = command_document(header, body) if self.grants or self.holding else ({}, "")
            if self.holding and name not in FREE and self.holds(client):
                held[int.from_bytes(header[4:8], "little")] = await self.hold(name, database)
            if self.cut:
                raise ConnectionResetError("cut")
            if self.cut_at and name not in HANDSHAKE:
                self.cut_at -= 1
                if not self.cut_at:
                    self.cut_here()
                    raise ConnectionResetError("cut")
            if self.delay:
                await asyncio.sleep(self.delay)
            if name not in HANDSHAKE and self.args.stall_every and not self.random.randrange(self.args.stall_every):
                self.count("(stalled)")
                await asyncio.sleep(self.args.stall_ms / 1000.0)
            if self.grants and self.refused(name, command, database):
                self.count("(refused) %s %s" % (name, database))
                more_to_come = int.from_bytes(header[12:16], "little") == OP_MSG and body[0] & 2
                if not more_to_come:  # a write whose sender waits for no answer gets none
                    await self.reply(client, answer(header, unauthorized(name, command, database)), held)
                continue
            writer.write(header + body)
            await writer.drain()

    async def reply(self, writer, message, held):
        writer.write(message)
        await writer.drain()
        n = held.pop(int.from_bytes(message[8:12], "little"), 0)
        if n:
            print("answered %d" % n, flush=True)
        if n and n == self.reaching:
            self.reaching = 0
            print("reached %d" % n, flush=True)

    def cut_here(self):
        if self.victim:
            try:
                os.kill(self.victim, signal.SIGKILL)
            except OSError:
                pass
            self.victim = 0
            return
        self.cut = True
        for writer in list(self.writers):
            writer.transport.abort()

    async def replies(self, reader, writer, held):
        while True:
            header = await reader.readexactly(16)
            body = await reader.readexactly(max(int.from_bytes(header[:4], "little") - 16, 0))
            await self.reply(writer, header + body, held)

    async def connection(self, client_reader, client_writer):
        if self.cut:
            client_writer.transport.abort()
            return
        try:
            server_reader, server_writer = await asyncio.open_connection(self.args.target, PORT)
        except OSError:
            client_writer.close()
            return
        self.writers.update((client_writer, server_writer))
        held = {}  # request id: N of the held requests still to be answered on this connection
        tasks = [asyncio.ensure_future(self.requests(client_reader, server_writer, client_writer, held)),
                 asyncio.ensure_future(self.replies(server_reader, client_writer, held))]
        try:
            await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        finally:
            for task in tasks:
                task.cancel()
            for w in (server_writer, client_writer):
                self.writers.discard(w)
                w.close()

    async def commands(self):
        loop = asyncio.get_running_loop()
        while True:
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line:
                self.done.set_result("standard input closed")
                return
            if line.strip() == "counts":
                self.print_counts()
            elif line.strip() == "reset":
                self.counts = {}
                print("zeroed", flush=True)
            elif line.startswith("cut ") or line.startswith("kill "):
                words = line.split()
                self.cut_at = int(words[1])
                self.victim = int(words[2]) if words[0] == "kill" else 0
                print("armed", flush=True)
            elif line.strip() == "heal":
                self.cut, self.cut_at, self.victim = False, 0, 0
                print("healed", flush=True)
            elif line.strip() == "step":
                self.step()
            elif line.strip() == "release":
                for _, gate, _, _ in self.waiting:
                    if not gate.done():
                        gate.set_result(None)
                self.holding, self.steps, self.waiting, self.until = False, 0, [], None
                print("released", flush=True)
            elif line.startswith("until "):
                words = line.split()
                self.run_until(words[1], words[2] if len(words) > 2 else "")
            elif line.strip() == "drop":
                for _, gate, _, _ in self.waiting:
                    if not gate.done():
                        gate.set_exception(ConnectionResetError("dropped"))
                self.waiting = []
                print("dropped", flush=True)
            elif line.strip() == "hold":
                self.holding, self.holder, self.until, self.reaching = True, None, None, 0
                print("holding", flush=True)

    async def watch(self):
        started = time.monotonic()
        while True:
            await asyncio.sleep(0.5)
            now = time.monotonic()
            if now - self.last > self.args.idle_seconds and not self.waiting:
                return "idle"
            if now - started > self.args.max_seconds:
                return "longest run reached"

    async def run(self):
        self.done = asyncio.get_running_loop().create_future()
        for address in self.args.listen:
            try:
                server = await asyncio.start_server(self.connection, address, PORT)
                break
            except OSError as error:
                failed = error
        else:
            raise failed
        print("ready " + address, flush=True)
        watcher = asyncio.ensure_future(self.watch())
        reader = asyncio.ensure_future(self.commands())
        finished, _ = await asyncio.wait([watcher, self.done], return_when=asyncio.FIRST_COMPLETED)
        server.close()
        self.print_counts()
        print("stopped: " + finished.pop().result(), flush=True)
        reader.cancel()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", type=loopback, required=True, nargs="+")
    parser.add_argument("--target", type=loopback, required=True)
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--stall-every", type=int, default=0)
    parser.add_argument("--stall-ms", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--idle-seconds", type=float, default=120.0)
    parser.add_argument("--max-seconds", type=float, default=3600.0)
    parser.add_argument("--grant", type=grant, action="append", default=[], metavar="DB=ACTIONS")
    parser.add_argument("--hold", action="store_true")
    parser.add_argument("--hold-one", action="store_true")
    args = parser.parse_args()
    try:
        asyncio.run(Proxy(args).run())
    except OSError as error:
        print("cannot listen on %s:%d: %s" % (args.listen[-1], PORT, error), flush=True)
        return 1
    # The thread blocked on standard input must not keep the process alive.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
