#!/usr/bin/python3
"""The schema server goes away in the middle of a session: the user edits, the server
stops, the user saves. The editor must neither crash nor hang, must say on standard
output which table's column documents were not written, and the schema must be intact
when the server is back."""
import os
import shutil
import subprocess
import time

import e2e_lib as e2e

HOST = "127.0.0.51"  # a server of this test's own, stopped and started again
SERVERS = os.path.join(e2e.SOURCE_DIR, "tools", "servers.sh")


def server(command, root):
    subprocess.run([SERVERS, command, HOST], env=dict(os.environ, BROLIX_SERVER_ROOT=root),
                   check=True, stdout=subprocess.DEVNULL)


def main(display):
    root = os.path.join(e2e.BUILD_DIR, "e2e-gone-servers")
    shutil.rmtree(root, ignore_errors=True)
    server("start-demo", root)
    client = e2e.client(HOST)
    client["gone"]["parts"].insert_one({"alpha": 1, "beta": "b", "gamma": [1, 2]})
    editor = e2e.Editor(display, ["-ds", HOST, "-db", "gone", "-ss", HOST, "-sc", "gone_schema"])
    try:
        e2e.answer_box(display, editor, "does not exist")
        window = editor.wait_window(r"\(Edit Mode\)")
        before = sorted(c["sql_name"] for c in client["gone_schema"]["columns"].find({}))
        e2e.check("alpha" in before, f"columns {before}")
        display.click(window, 300, 92, double=True)  # row 1: alpha
        display.xdotool("key", "ctrl+a")
        display.type(window, "renamed")
        display.key(window, "Return")
        buttons = display.bottom_buttons(window)

        server("stop-demo", root)
        started = time.time()
        display.click(window, *buttons[-2])  # Save
        e2e.answer_box(display, editor, "Save current schema?")
        # Each failing request of the save shows its box; answer them all.
        boxes = 0
        while True:
            found = display.windows("^" + e2e.TITLE + "$")
            if not found:
                time.sleep(1.5)
                if not display.windows("^" + e2e.TITLE + "$"):
                    break
                continue
            display.key(found[-1], "Return")
            display.wait_gone(found[-1], 10)
            boxes += 1
            e2e.check(boxes < 50, "endless boxes")
        elapsed = time.time() - started
        e2e.check(editor.process.poll() is None, f"the editor ended: {editor.process.returncode}\n{editor.output()}")
        e2e.check(elapsed < 60, f"the save took {elapsed:.1f} s with the server gone")
        output = editor.output()
        e2e.check("- - - - - Columns of parts not saved: 6 of 6 column documents not written\n" in output,
                  f"no diagnostic line; output:\n{output}")
        e2e.check(boxes >= 1, "no error box for the failed writes")

        server("start-demo", root)
        after = sorted(c["sql_name"] for c in e2e.client(HOST)["gone_schema"]["columns"].find({}))
        e2e.check(after == before, f"schema after the server came back: {after}, before: {before}")

        display.click(window, *buttons[-1])  # Exit: the save cleared the edits
        code = editor.wait_exit()
        e2e.check(code == 0, f"exit code {code}")
    finally:
        editor.kill()
        server("stop-demo", root)


if __name__ == "__main__":
    e2e.run(main)
