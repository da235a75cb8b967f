#!/usr/bin/python3
"""The README's demo command as a new user meets it: the schema is offered, Yes creates
it from the demo data and the editor opens in Edit mode; Exit ends it."""
import os
import shutil
import subprocess

import pymongo

import e2e_lib as e2e

# The demo's own server for this test: 127.0.0.1 stays the user's, and the addresses below
# .60 belong to the other tests' servers, which may run at the same time.
HOST = "127.0.0.60"


def main(display):
    root = os.path.join(os.environ["BROLIX_BUILD_DIR"], "e2e-demo-servers")
    tools = os.environ["BROLIX_SOURCE_DIR"]
    shutil.rmtree(root, ignore_errors=True)
    editor = e2e.Editor(display, [], command=["bash", os.path.join(tools, "tools", "demo.sh")],
                        env={"BROLIX_DEMO_HOST": HOST, "BROLIX_SERVER_ROOT": root})
    try:
        editor.answer_box("Return", timeout=600)  # building and starting may take a while
        window = editor.wait_window("^" + e2e.TITLE + r" \(Edit Mode\)$", timeout=120)
        schema = pymongo.MongoClient(HOST, 27017, serverSelectionTimeoutMS=3000)["brolix_demo_schema"]
        tables = sorted(t["sql_table"] for t in schema["tables"].find({}))
        e2e.check(tables == ["customers", "orders", "products", "readings"], f"schema tables {tables}")
        e2e.check(schema["index"].count_documents({"index_name": "customers_email"}) == 1, "index metadata")
        display.click_exit(window)
        editor.wait_exit(0)
    finally:
        editor.kill()
        subprocess.run(["bash", os.path.join(tools, "tools", "servers.sh"), "stop-demo", HOST],
                       env=dict(os.environ, BROLIX_SERVER_ROOT=root), check=False)


if __name__ == "__main__":
    e2e.run(main)
