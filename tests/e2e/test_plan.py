#!/usr/bin/python3
"""Plan Changes in the real editor: the plan of a drifted schema (the database picked in the
tree) opens in its own view, Apply
(Return) writes every change, and brolix-cli diff then finds none. BROLIX_PLAN_SHOT=FILE
keeps a picture of the view (docs/plan.png is one)."""
import os
import subprocess
import time

import e2e_lib as e2e


def cli(*args):
    return subprocess.run([os.environ["BROLIX_CLI"], *args, "--quiet", "-ds", e2e.SERVER, "-db", DATA,
                           "-ss", e2e.SERVER, "-sc", DATA + "_schema"], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=120)


DATA = e2e.unique_name("e2e_plan")


def main(display):
    db = e2e.client()[DATA]
    db["orders"].insert_one({"_id": 1, "no": 1, "old": "x", "who": "ann"})
    db["returns"].insert_one({"_id": 1, "order": 1})
    e2e.check(cli("create").returncode == 0, "create")
    # A rename by hand, as the editor saves it: the plan keeps it.
    e2e.client()[DATA + "_schema"]["columns"].update_one({"sql_table": "orders", "mongo_name": "no"},
                                                       {"$set": {"sql_name": "number"}})
    db["orders"].drop()
    db["returns"].drop()
    db["orders"].insert_one({"_id": 1, "no": "one", "who": "ann", "email": "ann@example.com", "paid": True})
    db["orders"].create_index("who", name="by_who")
    db["returns"].insert_one({"_id": 1, "order": 1, "reason": "late", "items": [1, 2]})
    e2e.check(cli("diff").returncode == 1, "drift before the plan")
    editor = e2e.Editor(display, ["-ds", e2e.SERVER, "-db", DATA, "-ss", e2e.SERVER, "-sc", DATA + "_schema"])
    try:
        window = editor.wait_window("^" + e2e.TITLE + r" \(Edit Mode\)$")
        # The database in the tree (the whole schema), then Plan Changes, left of About.
        g = dict(line.split("=") for line in display.xdotool("getwindowgeometry", "--shell", window).split())
        x, y, height = int(g["X"]), int(g["Y"]), int(g["HEIGHT"])
        display.click(x + 60, y + 48)
        time.sleep(1)
        display.click(x + 658, y + height - 55)
        plan = editor.wait_window("^Plan Changes$")
        time.sleep(0.5)
        shot = os.environ.get("BROLIX_PLAN_SHOT")
        if shot:
            subprocess.run(["import", "-display", display.env["DISPLAY"], "-window", plan, shot], check=True)
        display.xdotool("windowfocus", "--sync", plan)
        display.xdotool("key", "Return")
        gone = any(time.sleep(0.2) or plan not in display.windows(".") for _ in range(150))
        e2e.check(gone, "the plan stayed open after Apply")
        done = cli("diff")
        e2e.check(done.returncode == 0, f"diff after Apply: {done.returncode}\n{done.stdout}{done.stderr}")
        display.click_exit(window)
        editor.wait_exit(0)
    finally:
        editor.kill()
        e2e.client().drop_database(DATA)
        e2e.client().drop_database(DATA + "_schema")


if __name__ == "__main__":
    e2e.run(main)
