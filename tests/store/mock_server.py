#!/usr/bin/python3
"""A scripted MongoDB server for behaviours the test servers do not show.

    mock_server.py CONFIG_JSON ADDRESS [ADDRESS ...]

Listens on the first free ADDRESS (port 27017), prints "ready ADDRESS", then one line
"command JSON" for every command it answers (the handshake excepted). It ends when its
standard input closes, so it never outlives the test that started it.

CONFIG_JSON (every key optional):
  "collections": {"db": ["name", ...]}      the answer to listCollections
  "legacy": true                            {"listCollections": 1} itself is answered
                                            "no such cmd: listCollections"; the client
                                            library's own listing still gets the names
  "documents": {"db.coll": [{...}, ...]}    what a find on db.coll returns (filter ignored,
                                            except "ns" on system.indexes)
  "indexes": {"db.coll": [{...}, ...]}      what listIndexes on db.coll returns
  "more": ["db.coll", ...]                  a find there leaves its cursor open, so the
                                            client asks for more (getMore)
  "refuse": {"coll": [n, ...]}              refuses the n-th document inserted into coll (and the rest of its batch)
  "errors": {"KEY": [code, "errmsg"]}       commands to refuse; KEY is the command name, or
                                            "create:NAME" / "createIndexes:INDEXNAME", or
                                            "listCollections:bare" (the editor's listing only)
"""
import json
import os
import sys
import threading

import bson
from bson import json_util
from mockupdb import MockupDB

HANDSHAKE = {"ismaster", "hello", "buildinfo", "getlasterror", "endsessions", "ping"}


def main():
    config = json.loads(sys.argv[1], object_hook=json_util.object_hook)
    addresses = sys.argv[2:]
    collections = config.get("collections", {})
    documents = config.get("documents", {})
    errors = config.get("errors", {})
    legacy = config.get("legacy", False)
    indexes = config.get("indexes", {})
    more = config.get("more", [])
    refusals = config.get("refuse", {})
    inserted = {}
    lock = threading.Lock()

    def log(request):
        with lock:
            print("command " + json_util.dumps(request.doc), flush=True)

    def refuse(request, key):
        if key in errors:
            code, errmsg = errors[key]
            return request.command_err(code=code, errmsg=errmsg)
        return None

    def handle(request):
        name = request.command_name or ""
        if name.lower() in HANDSHAKE:
            if name.lower() in ("ismaster", "hello"):
                return None  # auto_ismaster answers
            return request.ok()
        log(request)
        db = request.doc.get("$db", "")
        answer = refuse(request, name)
        if answer:
            return answer
        if name == "listCollections":
            # The library's own listing asks for names only and the connection probe
            # filters; the bare command is the editor's.
            bare = "nameOnly" not in request.doc and "filter" not in request.doc
            if bare and legacy:
                return request.command_err(code=59, errmsg="no such cmd: listCollections")
            if bare and refuse(request, "listCollections:bare"):
                return True
            batch = [{"name": n, "type": "collection"} for n in collections.get(db, [])]
            return request.ok(cursor={"id": 0, "ns": db + ".$cmd.listCollections", "firstBatch": batch})
        if name == "create":
            return refuse(request, "create:" + request.doc["create"]) or request.ok()
        if name == "createIndexes":
            for index in request.doc.get("indexes", []):
                answer = refuse(request, "createIndexes:" + index.get("name", ""))
                if answer:
                    return answer
            return request.ok()
        if name == "find":
            coll = request.doc["find"]
            docs = documents.get(db + "." + coll, [])
            flt = request.doc.get("filter", {})
            if coll == "system.indexes" and "ns" in flt:
                docs = [d for d in docs if d.get("ns") == flt["ns"]]
            cursor_id = bson.int64.Int64(42 if db + "." + coll in more else 0)
            return request.ok(cursor={"id": cursor_id, "ns": db + "." + coll, "firstBatch": docs})
        if name == "insert":
            coll, docs = request.doc["insert"], request.doc.get("documents", [])
            for i in range(len(docs)):
                inserted[coll] = inserted.get(coll, 0) + 1
                if inserted[coll] in refusals.get(coll, []):
                    return request.ok(n=i, writeErrors=[{"index": i, "code": 11000, "errmsg": "E11000 duplicate key"}])
            return request.ok(n=len(docs))
        if name == "delete":
            return request.ok(n=0)
        if name == "listIndexes":
            coll = request.doc["listIndexes"]
            return request.ok(cursor={"id": 0, "ns": db + "." + coll, "firstBatch": indexes.get(db + "." + coll, [])})
        if name == "getMore":
            return request.ok(cursor={"id": bson.int64.Int64(0), "ns": db + "." + request.doc["collection"],
                                      "nextBatch": []})
        return request.ok()

    server = None
    for address in addresses:
        candidate = MockupDB(port=27017, auto_ismaster={"maxWireVersion": 17})
        candidate._address = (address, 27017)
        try:
            candidate.run()
        except OSError:
            continue
        server = candidate
        break
    if server is None:
        print("no free address among " + " ".join(addresses), flush=True)
        return 1
    server.autoresponds(handle)
    print("ready " + server._address[0], flush=True)

    # Ends with the test: a closed standard input means the parent is gone.
    sys.stdin.read()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
