#!/usr/bin/python3
"""brolix-cli as a pipeline runs it (nothing on standard input): each exit code, the JSON
for machines, and a schema round trip through a file."""
import json
import os
import subprocess
import tempfile

import e2e_lib as e2e

CLI = os.environ.get("BROLIX_CLI", "")


def cli(*args, expect):
    result = subprocess.run([CLI, *args], capture_output=True, stdin=subprocess.DEVNULL, timeout=120, text=True)
    e2e.check(result.returncode == expect, f"brolix-cli {' '.join(args)}: exit {result.returncode}, "
              f"expected {expect}\n{result.stderr}")
    return result.stdout


def main():
    client = e2e.client()
    database = e2e.unique_name("e2e_cli")
    schema, copy = database + "_schema", database + "_copy"
    line = ["-ds", e2e.SERVER, "-db", database, "-ss", e2e.SERVER, "-sc", schema]
    try:
        cli("check", "-ssl", "maybe", *line, expect=2)
        cli("check", *line[:-2], expect=2)  # no schema name
        cli("check", *line, expect=2)  # no schema yet
        client[database]["items"].insert_one({"sku": "A1", "qty": 3})
        cli("create", "--quiet", *line, expect=0)
        cli("create", *line, expect=2)  # an existing schema needs --replace
        cli("check", *line, expect=0)
        client[database]["extra"].insert_one({"e": 1})
        facts = json.loads(cli("check", "--json", *line, expect=1))
        e2e.check(facts["missing_from_schema"] == ["extra"], f"check {facts}")
        cli("sync", "--dry-run", "--quiet", *line, expect=0)
        cli("check", *line, expect=1)  # the preview wrote nothing
        cli("sync", "--quiet", *line, expect=0)
        cli("check", *line, expect=0)
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "schema.json")
            cli("export", "--out", path, *line, expect=0)
            cli("import", path, *line[:-1], copy, expect=0)
            with open(path) as f:
                e2e.check(cli("export", *line[:-1], copy, expect=0) == f.read(), "export, import, export differs")
    finally:
        for name in (database, schema, copy):
            client.drop_database(name)
    print("ok")


if __name__ == "__main__":
    main()
