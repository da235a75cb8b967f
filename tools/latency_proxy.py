#!/usr/bin/python3
"""A loopback proxy that holds every MongoDB request for a given time and counts them.

    latency_proxy.py --listen ADDRESS --target ADDRESS [--delay-ms MS]
                     [--stall-every N --stall-ms MS [--seed S]] [--idle-seconds S] [--max-seconds S]

Listens on ADDRESS:27017 and forwards each connection to the target, delaying every
request (client to server) by MS milliseconds; replies pass at once. With --stall-every,
one in N requests after the handshake, drawn at random (seeded), is held --stall-ms more,
as a busy FerretDB holds requests behind one that waits for its SQLite lock (counted as
"(stalled)"); at random, so that no request of a repeated sequence escapes it. Both
addresses must be loopback addresses. Prints "ready ADDRESS" once it listens.

Standard input takes commands, one a line:
  counts    prints "counts JSON": the requests so far by command name (the handshake and
            the monitoring checks included: "hello", "isMaster", ...)
  reset     sets the counts to zero
  cut N     at the N-th request from now (the handshake and monitoring checks not
            counted) drops every connection, that request unsent, and refuses new
            ones until "heal": a connection reset that lasts
  kill N PID  at the N-th request from now sends SIGKILL to PID (the program that
            writes, or the server), that request unsent
  heal      forwards again
It stops by itself: when its standard input closes, after S seconds without a request
(default 120), or after the longest run (default 3600 s). It prints the counts at the end.
"""
import argparse
import asyncio
import ipaddress
import json
import os
import random
import signal
import sys
import time

PORT = 27017
OP_MSG, OP_QUERY, OP_COMPRESSED = 2013, 2004, 2012
HANDSHAKE = ("hello", "isMaster", "ismaster")


def loopback(text):
    if not ipaddress.ip_address(text).is_loopback:
        raise argparse.ArgumentTypeError(text + " is not a loopback address")
    return text


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

    def count(self, name):
        self.counts[name] = self.counts.get(name, 0) + 1
        self.last = time.monotonic()

    def print_counts(self):
        print("counts " + json.dumps(self.counts, sort_keys=True), flush=True)

    async def requests(self, reader, writer):
        while True:
            header = await reader.readexactly(16)
            length = int.from_bytes(header[:4], "little")
            body = await reader.readexactly(max(length - 16, 0))
            name = command_name(header, body)
            self.count(name)
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
            writer.write(header + body)
            await writer.drain()

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

    async def replies(self, reader, writer):
        while True:
            data = await reader.read(1 << 16)
            if not data:
                return
            writer.write(data)
            await writer.drain()

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
        tasks = [asyncio.ensure_future(self.requests(client_reader, server_writer)),
                 asyncio.ensure_future(self.replies(server_reader, client_writer))]
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
            elif line.startswith("cut ") or line.startswith("kill "):
                words = line.split()
                self.cut_at = int(words[1])
                self.victim = int(words[2]) if words[0] == "kill" else 0
                print("armed", flush=True)
            elif line.strip() == "heal":
                self.cut, self.cut_at, self.victim = False, 0, 0
                print("healed", flush=True)

    async def watch(self):
        started = time.monotonic()
        while True:
            await asyncio.sleep(0.5)
            now = time.monotonic()
            if now - self.last > self.args.idle_seconds:
                return "idle"
            if now - started > self.args.max_seconds:
                return "longest run reached"

    async def run(self):
        self.done = asyncio.get_running_loop().create_future()
        server = await asyncio.start_server(self.connection, self.args.listen, PORT)
        print("ready " + self.args.listen, flush=True)
        watcher = asyncio.ensure_future(self.watch())
        reader = asyncio.ensure_future(self.commands())
        finished, _ = await asyncio.wait([watcher, self.done], return_when=asyncio.FIRST_COMPLETED)
        server.close()
        self.print_counts()
        print("stopped: " + finished.pop().result(), flush=True)
        reader.cancel()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", type=loopback, required=True)
    parser.add_argument("--target", type=loopback, required=True)
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--stall-every", type=int, default=0)
    parser.add_argument("--stall-ms", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--idle-seconds", type=float, default=120.0)
    parser.add_argument("--max-seconds", type=float, default=3600.0)
    args = parser.parse_args()
    try:
        asyncio.run(Proxy(args).run())
    except OSError as error:
        print("cannot listen on %s:%d: %s" % (args.listen, PORT, error), flush=True)
        return 1
    # The thread blocked on standard input must not keep the process alive.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
