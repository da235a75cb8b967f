#!/usr/bin/python3
"""The README's demo command as a new user meets it: the schema is offered, Yes creates
it from the demo data and the editor opens in Edit mode; Exit ends it."""
import fcntl
import os
import shutil
import subprocess

import pymongo

import e2e_lib as e2e


def main(display):
    build = os.environ["BROLIX_BUILD_DIR"]
    os.makedirs(os.path.join(build, "servers"), exist_ok=True)
    for last in range(59, 49, -1):  # an address of the fault tests' range that no test holds
        lock = open(os.path.join(build, "servers", f"fault-{last}.lock"), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            break
        except OSError:
            lock.close()
    host, root, tools = f"127.0.0.{last}", os.path.join(build, "e2e-demo-servers"), os.environ["BROLIX_SOURCE_DIR"]
    shutil.rmtree(root, ignore_errors=True)
    editor = e2e.Editor(display, [], command=["bash", os.path.join(tools, "tools", "demo.sh")],
                        env={"BROLIX_DEMO_HOST": host, "BROLIX_SERVER_ROOT": root})
    try:
        editor.answer_box("Return", timeout=600)  # building and starting may take a while
        window = editor.wait_window("^" + e2e.TITLE + r" \(Edit Mode\)$", timeout=120)
        schema = pymongo.MongoClient(host, 27017, serverSelectionTimeoutMS=3000)["brolix_demo_schema"]
        tables = sorted(t["sql_table"] for t in schema["tables"].find({}))
        e2e.check(tables == ["customers", "orders", "products", "readings"], f"schema tables {tables}")
        e2e.check(schema["index"].count_documents({"index_name": "customers_email"}) == 1, "index metadata")
        display.click_exit(window)
        editor.wait_exit(0)
    finally:
        editor.kill()
        subprocess.run(["bash", os.path.join(tools, "tools", "servers.sh"), "stop-demo", host],
                       env=dict(os.environ, BROLIX_SERVER_ROOT=root), check=False)


if __name__ == "__main__":
    e2e.run(main)
