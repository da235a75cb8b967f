#!/usr/bin/python3
"""A scripted MongoDB server for behaviours the test servers do not show.

    mock_server.py CONFIG_JSON ADDRESS [ADDRESS ...]

Listens on the first free ADDRESS (port 27017), prints "ready ADDRESS", then "command JSON"
for every command (the handshake excepted) before answering it; ends when its standard
input closes. CONFIG_JSON keys, each optional:
  "collections": {"db": [names]}   listCollections; with "legacy": true the bare
                                   {"listCollections": 1} is "no such cmd" (the library's
                                   own listing still gets the names)
  "documents": {"db.coll": [docs]} what a find returns (filter ignored but "ns" on
                                   system.indexes); "more": ["db.coll"] leaves its cursor open
  "raw": {"db.coll": [hex]}        documents given as BSON bytes, after "documents"
  "indexes": {"db.coll": [docs]}   what listIndexes returns
  "refuse": {"coll": [n]}         refuses the n-th document inserted into coll (and the
                                   rest of its batch)
  "errors": {"KEY": [code, msg]}   refusals; KEY is a command name, "create:NAME",
                                   "createIndexes:INDEXNAME" or "listCollections:bare"
"""
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
    docs, indexes, errors = (config.get(k, {}) for k in ("documents", "indexes", "errors"))
    for ns, raw in config.get("raw", {}).items():
        docs.setdefault(ns, []).extend(Raw(bytes.fromhex(h)) for h in raw)
    inserted = {}

    def refused(request, *keys):
        for key in keys:
            if key in errors:
                return request.command_err(code=errors[key][0], errmsg=errors[key][1])
        return None

    def cursor(request, ns, batch, cursor_id=0, key="firstBatch"):
        return request.ok(cursor={"id": Int64(cursor_id), "ns": ns, key: batch})

    def handle(request):
        name = request.command_name or ""
        if name.lower() in ("ismaster", "hello"):
            return None  # auto_ismaster answers
        if name.lower() in ("buildinfo", "getlasterror", "endsessions", "ping"):
            return request.ok()
        print("command " + json_util.dumps(request.doc), flush=True)
        db, arg = request.doc.get("$db", ""), request.doc.get(name)
        if name == "listCollections":
            # The library's own listing asks for names only, the connection probe filters.
            bare = "nameOnly" not in request.doc and "filter" not in request.doc
            if bare and config.get("legacy"):
                return request.command_err(code=59, errmsg="no such cmd: listCollections")
            batch = [{"name": n, "type": "collection"} for n in config.get("collections", {}).get(db, [])]
            return (refused(request, name, *(["listCollections:bare"] if bare else []))
                    or cursor(request, db + ".$cmd.listCollections", batch))
        if name == "create":
            return refused(request, name, "create:" + arg) or request.ok()
        if name == "createIndexes":
            keys = ["createIndexes:" + i.get("name", "") for i in request.doc.get("indexes", [])]
            return refused(request, name, *keys) or request.ok()
        answer = refused(request, name)
        if answer:
            return answer
        if name == "find":
            batch, flt = docs.get(db + "." + arg, []), request.doc.get("filter", {})
            if arg == "system.indexes" and "ns" in flt:
                batch = [d for d in batch if d.get("ns") == flt["ns"]]
            return cursor(request, db + "." + arg, batch, 42 if db + "." + arg in config.get("more", []) else 0)
        if name == "getMore":
            return cursor(request, db + "." + request.doc["collection"], [], key="nextBatch")
        if name == "listIndexes":
            return cursor(request, db + "." + arg, indexes.get(db + "." + arg, []))
        if name == "insert":
            coll, batch = arg, request.doc.get("documents", [])
            for i in range(len(batch)):
                inserted[coll] = inserted.get(coll, 0) + 1
                if inserted[coll] in config.get("refuse", {}).get(coll, []):
                    return request.ok(n=i, writeErrors=[{"index": i, "code": 11000, "errmsg": "E11000 duplicate key"}])
            return request.ok(n=len(batch))
        return request.ok(n=0)

    for address in sys.argv[2:]:
        server = MockupDB(port=27017, auto_ismaster={"maxWireVersion": 17})
        server._address = (address, 27017)
        try:
            server.run()
        except OSError:
            continue
        server.autoresponds(handle)
        print("ready " + address, flush=True)
        sys.stdin.read()  # a closed standard input: the test is over
        os._exit(0)
    print("no free address among " + " ".join(sys.argv[2:]), flush=True)
    return 1


if __name__ == "__main__":
    sys.exit(main())
