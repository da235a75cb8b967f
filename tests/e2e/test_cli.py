#!/usr/bin/python3
"""brolix-cli, the real binary, as a pipeline runs it (no terminal, nothing on standard
input): each exit code, the JSON for machines, the window's dump text, and a schema
round trip through a file (the dump's bytes are checked in the store tests)."""
import json
import os
import re
import subprocess
import tempfile

import e2e_lib as e2e

CLI = os.environ.get("BROLIX_CLI", os.path.join(e2e.BUILD_DIR, "brolix-cli"))


def cli(*args, expect):
    result = subprocess.run([CLI, *args], capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
    e2e.check(result.returncode == expect, f"brolix-cli {' '.join(args)}: exit {result.returncode}, "
              f"expected {expect}\n{result.stderr.decode()}")
    return result.stdout.decode(), result.stderr.decode()


def main():
    client = e2e.client()
    database = e2e.unique_name("e2e_cli")
    schema, copy = database + "_schema", database + "_copy"
    line = ["-ds", e2e.SERVER, "-db", database, "-ss", e2e.SERVER, "-sc", schema]
    to_copy = line[:-1] + [copy]
    try:
        out, _ = cli("--version", expect=0)
        e2e.check(re.fullmatch(r"brolix-cli \d+\.\d+\.\d+\n", out), f"version {out!r}")
        cli("--help", expect=0)
        cli("check", "-ssl", "maybe", *line, expect=2)
        cli("check", *line[:-2], expect=2)  # no schema name: the question is answered No
        _, err = cli("check", "-ds", "127.0.0.99", *line[2:], expect=2)
        e2e.check("Could not connect to Database" in err, f"connection failure told as {err!r}")
        cli("check", *line, expect=2)  # no schema yet

        client[database]["items"].insert_one({"sku": "A1", "qty": 3})
        _, err = cli("create", *line, expect=0)
        e2e.check("sampled 1 of 1: items" in err, f"progress without a terminal: {err!r}")
        cli("check", *line, expect=0)
        cli("create", *line, expect=2)  # an existing schema needs --replace
        cli("create", "--replace", "--quiet", *line, expect=0)
        cli("dump", "nothing", *line, expect=2)

        client[database]["extra"].insert_one({"e": 1})
        facts = json.loads(cli("check", "--json", *line, expect=1)[0])
        e2e.check(facts["outcome"] == "mismatch" and facts["missing_from_schema"] == ["extra"], f"check {facts}")
        plan = json.loads(cli("sync", "--dry-run", "--json", "--quiet", *line, expect=0)[0])
        e2e.check(plan["add"] == [{"table": "extra", "columns": 2}] and plan["remove"] == [], f"plan {plan}")
        cli("check", *line, expect=1)  # the preview wrote nothing
        cli("sync", "--quiet", *line, expect=0)
        cli("check", *line, expect=0)

        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "schema.json")
            cli("export", "--out", path, *line, expect=0)
            cli("import", path, *to_copy, expect=0)
            again, _ = cli("export", *to_copy, expect=0)
            with open(path) as f:
                e2e.check(again == f.read(), "export, import, export differs")
    finally:
        for name in (database, schema, copy):
            client.drop_database(name)
    print("ok")


if __name__ == "__main__":
    main()
