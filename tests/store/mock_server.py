#!/usr/bin/python3
"""A scripted MongoDB server for behaviours the test servers do not show.

    mock_server.py CONFIG_JSON ADDRESS [ADDRESS ...]

Listens on the first free ADDRESS (port 27017), prints "ready ADDRESS", then "command JSON"
for every command (the handshake excepted) before answering it; ends when its standard
input closes. CONFIG_JSON keys, each optional:
  "collections": {"db": [names]}   what listCollections returns; with "legacy": true the
                                   bare {"listCollections": 1} is "no such cmd" (an old server)
  "documents": {"db.coll": [docs]} what a find or aggregate returns (filter ignored); with
                                   "more": ["db.coll"] its cursor stays open
  "raw": {"db.coll": [hex]}        documents given as BSON bytes, after "documents"
  "refuse": {"coll": [n]}          refuses the n-th document inserted into coll and the rest of its batch
  "errors": {"KEY": [code, msg]}   refusals; KEY is a command name, "create:NAME",
                                   "createIndexes:INDEXNAME" or "listCollections:bare"
  "hello": {fields}                added to the handshake's answer (a replica set member)
"""
import datetime
import json
import os
import sys

from bson import Int64, json_util
from bson.raw_bson import RawBSONDocument
from mockupdb import MockupDB


class Raw(RawBSONDocument):
    """Sent as its bytes; logged as their hex (they need not be valid UTF-8)."""

    def items(self):
        return [("raw", self.raw.hex())]


def main():
    config = json.loads(sys.argv[1], object_hook=json_util.object_hook)
    docs, errors, inserted = config.get("documents", {}), config.get("errors", {}), {}
    for ns, raw in config.get("raw", {}).items():
        docs.setdefault(ns, []).extend(Raw(bytes.fromhex(h)) for h in raw)

    def answer(request, keys, otherwise):
        for key in keys:
            if key in errors:
                return request.command_err(code=errors[key][0], errmsg=errors[key][1])
        return otherwise()

    def cursor(request, ns, batch, cursor_id=0, key="firstBatch"):
        return request.ok(cursor={"id": Int64(cursor_id), "ns": ns, key: batch})

    def insert(request, coll, batch):
        for i in range(len(batch)):
            inserted[coll] = inserted.get(coll, 0) + 1
            if inserted[coll] in config.get("refuse", {}).get(coll, []):
                error = {"index": i, "code": 11000, "errmsg": "E11000 duplicate key"}
                return request.ok(n=i, writeErrors=[error])
        return request.ok(n=len(batch))

    def handle(request):
        name = request.command_name or ""
        if name.lower() in ("ismaster", "hello"):
            return None  # auto_ismaster answers
        if name.lower() in ("buildinfo", "getlasterror", "endsessions", "ping"):
            return request.ok()
        print("command " + json_util.dumps(request.doc), flush=True)
        db, arg, keys = request.doc.get("$db", ""), request.doc.get(name), [name]
        ns = db + "." + str(request.doc.get("collection", arg))  # getMore names its collection
        if name == "listCollections":
            # The library's own listing asks for names only, the connection probe filters.
            bare = "nameOnly" not in request.doc and "filter" not in request.doc
            batch = [{"name": n, "type": "collection"} for n in config.get("collections", {}).get(db, [])]
            if bare and config.get("legacy"):
                return request.command_err(code=59, errmsg="no such cmd: listCollections")
            keys += ["listCollections:bare"] if bare else []
            return answer(request, keys, lambda: cursor(request, db + ".$cmd.listCollections", batch))
        keys += ["create:" + arg] if name == "create" else []
        keys += ["createIndexes:" + i.get("name", "") for i in request.doc.get("indexes", [])]
        return answer(request, keys, {
            "find": lambda: cursor(request, ns, docs.get(ns, []), 42 if ns in config.get("more", []) else 0),
            "aggregate": lambda: cursor(request, ns, docs.get(ns, [])),
            "getMore": lambda: cursor(request, ns, [], key="nextBatch"),
            "listIndexes": lambda: cursor(request, ns, []),
            "insert": lambda: insert(request, arg, request.doc.get("documents", [])),
            # The writers' lock: free, and taken by whoever asks.
            "findAndModify": lambda: request.ok(value={"_id": "lock", "seen": datetime.datetime.now()}),
            "update": lambda: request.ok(n=len(request.doc.get("updates", [])),
                                         nModified=len(request.doc.get("updates", []))),
        }.get(name, lambda: request.ok(n=0)))

    for address in sys.argv[2:]:
        server = MockupDB(port=27017, auto_ismaster=dict({"maxWireVersion": 17}, **config.get("hello", {})))
        server._address = (address, 27017)
        try:
            server.run()
        except OSError:
            continue
        server.autoresponds(handle)
        print("ready " + address, flush=True)
        sys.stdin.read()  # a closed standard input: the test is over
        os._exit(0)
    print("cannot listen on any of " + " ".join(sys.argv[2:]), flush=True)
    return 1


if __name__ == "__main__":
    sys.exit(main())
