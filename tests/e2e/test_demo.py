#!/usr/bin/python3
"""The demo command as a new user meets it: the schema is offered and created from the
demo data, the editor opens in Edit mode on the first table; then a column is renamed
and saved, and after a restart the dump shows the new name."""
import os
import shutil
import subprocess
import time

import e2e_lib as e2e

HOST = "127.0.0.50"  # the demo's own server for this test; 127.0.0.1 stays the user's
COLLECTIONS = ["customers", "orders", "products", "readings"]


def demo_env(root, dump):
    return {"BROLIX_DEMO_HOST": HOST, "BROLIX_SERVER_ROOT": root, "BROLIX_DEMO_DUMP": dump}


def demo(display, env, keep_data=False):
    env = dict(env)
    if keep_data:
        env["BROLIX_DEMO_KEEP_DATA"] = "1"
    return e2e.Editor(display, [], command=["bash", os.path.join(e2e.SOURCE_DIR, "tools", "demo.sh")],
                      env=env)


def main(display):
    root = os.path.join(e2e.BUILD_DIR, "e2e-demo-servers")
    shutil.rmtree(root, ignore_errors=True)
    dump = os.path.join(root, "dump.txt")
    env = demo_env(root, dump)
    client = e2e.client(HOST)
    try:
        editor = demo(display, env)
        try:
            # Building and starting the server may take a while on a fresh machine.
            e2e.answer_box(display, editor, "The schema 'brolix_demo_schema' does not exist", timeout=600)
            window = editor.wait_window(r"^Tarnwell MongoDB Schema Editor \(Edit Mode\)$", timeout=120)
            schema = client["brolix_demo_schema"]
            tables = sorted(t["sql_table"] for t in schema["tables"].find({}))
            e2e.check(tables == COLLECTIONS, f"schema tables {tables}")
            e2e.check(schema["columns"].count_documents({"sql_table": "customers"}) >= 10, "customers columns")
            e2e.check(schema["index"].count_documents({"index_name": "customers_email"}) == 1, "index metadata")
            time.sleep(0.5)
            shot = os.path.join(e2e.BUILD_DIR, "screenshots", "demo.png")
            display.screenshot(shot, window)
            if os.environ.get("BROLIX_UPDATE_DOCS") == "1":
                shutil.copy(shot, os.path.join(e2e.SOURCE_DIR, "docs", "demo.png"))

            # Rename the first column after "_id" (customers.active): double-click, type, Return.
            first = schema["columns"].find_one({"sql_table": "customers", "sql_name": "active"})
            e2e.check(first is not None, "customers.active in the schema")
            display.click(window, 300, 92, double=True)
            display.xdotool("key", "ctrl+a")
            display.type(window, "is_active")
            display.key(window, "Return")
            buttons = display.bottom_buttons(window)
            e2e.check(len(buttons) == 4, f"About, Dump Schema, Save, Exit expected: {buttons}")
            display.click(window, *buttons[2])  # Save
            e2e.answer_box(display, editor, "Save current schema?")
            names = {c["sql_name"] for c in schema["columns"].find({"sql_table": "customers"})}
            e2e.check("is_active" in names and "active" not in names, f"customers columns after save: {sorted(names)}")
            display.click(window, *buttons[3])  # Exit: saved, so no question
            code = editor.wait_exit()
            e2e.check(code == 0, f"exit code {code}")
        finally:
            editor.kill()

        # Restart on the same data: nothing to ask; the dump shows the new name.
        if os.path.exists(dump):
            os.remove(dump)
        editor = demo(display, env, keep_data=True)
        try:
            window = editor.wait_window(r"^Tarnwell MongoDB Schema Editor \(Edit Mode\)$", timeout=120)
            buttons = display.bottom_buttons(window)
            display.click(window, *buttons[1])  # Dump Schema
            e2e.answer_box(display, editor, "Dump Schema to")
            e2e.answer_box(display, editor, "Schema dumped to")
            with open(dump, "rb") as f:
                text = f.read()
            e2e.check(b"\nTable         : brolix_demo.customers\r\n" in text, "dump of customers")
            e2e.check(b"SQL Column    : is_active\r\n" in text, "new name in the dump")
            e2e.check(b"SQL Column    : active\r\n" not in text, "old name in the dump")
            display.click(window, *buttons[3])
            code = editor.wait_exit()
            e2e.check(code == 0, f"exit code {code}")
        finally:
            editor.kill()
    finally:
        subprocess.run([os.path.join(e2e.SOURCE_DIR, "tools", "servers.sh"), "stop-demo", HOST],
                       env=dict(os.environ, BROLIX_SERVER_ROOT=root), check=False)


if __name__ == "__main__":
    e2e.run(main)
