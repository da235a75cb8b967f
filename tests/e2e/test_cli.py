#!/usr/bin/python3
"""brolix-cli as a pipeline runs it (nothing on standard input): each exit code of check and diff."""
import os
import subprocess

import e2e_lib as e2e

client, data = e2e.client(), e2e.unique_name("e2e_cli")
client[data]["items"].insert_one({"sku": "A1"})
try:  # a bad option, no schema yet, created, agreeing, then a collection the schema lacks
    for args, expected in [("check -ssl maybe", 2), ("check", 2), ("create --quiet", 0), ("check", 0),
                           ("diff", 0), ("check", 1), ("diff --quiet", 1)]:
        if expected == 1:
            client[data]["extra"].insert_one({"e": 1})
        done = subprocess.run([os.environ["BROLIX_CLI"], *args.split(), "-ds", e2e.SERVER, "-db", data,
                               "-ss", e2e.SERVER, "-sc", data + "_schema"], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=120)
        e2e.check(done.returncode == expected, f"{args}: exit {done.returncode}\n{done.stdout}{done.stderr}")
finally:
    client.drop_database(data)
    client.drop_database(data + "_schema")
