#!/usr/bin/python3
"""A pick while the server is hung (SIGSTOP: it accepts and never answers): the window keeps
painting and shows Cancel after 2 s; Cancel ends the pick at once; a pick left alone fails
when its time runs out, in plain words in the -debug file; Exit during a pick closes the
editor."""
import os
import signal
import subprocess
import time

import pymongo

import e2e_lib as e2e

HOST = "127.0.0.63"  # a server of this test's own, beside the demo's .60 and the soak's proxy


def shot(display, window, rows=None):
    """The window's pixels, or only its last rows (the status bar)."""
    crop = ["-crop", f"100000x{rows}+0+0", "-gravity", "South"] if rows else []
    return subprocess.run(["import", "-display", display.env["DISPLAY"], "-window", window, *crop, "-depth", "8",
                           "rgb:-"], capture_output=True, check=True).stdout


def geometry(display, window):
    return {k: int(v) for k, v in (line.split("=") for line in display.xdotool(
        "getwindowgeometry", "--shell", window).split()) if k != "SCREEN"}


def tree_row(display, window, step):
    """Where to click a tree row: step rows under the selected one (above when negative)."""
    g = geometry(display, window)
    column = subprocess.run(["import", "-display", display.env["DISPLAY"], "-window", window, "-crop",
                             f"1x{g['HEIGHT']}+30+0", "-depth", "8", "rgb:-"], capture_output=True,
                            check=True).stdout
    pixels = [column[i:i + 3] for i in range(0, len(column) - 2, 3)]
    selected = [y for y, p in enumerate(pixels) if p[2] > 150 and p[0] < 100]  # the selection's blue
    e2e.check(selected, "no selected row in the tree")
    height = selected[-1] - selected[0] + 1
    return g["X"] + 60, g["Y"] + selected[0] + height // 2 + step * height


def wait_debug(path, text, timeout):
    for _ in range(int(timeout / 0.2)):
        if os.path.exists(path) and text in open(path, encoding="utf-8", errors="replace").read():
            return True
        time.sleep(0.2)
    return False


def main(display):
    root = os.path.join(os.environ["BROLIX_BUILD_DIR"], "e2e-hung-servers")
    servers = ["bash", os.path.join(os.environ["BROLIX_SOURCE_DIR"], "tools", "servers.sh")]
    env = dict(os.environ, BROLIX_SERVER_ROOT=root)
    subprocess.run([*servers, "start-demo", HOST], env=env, check=True, stdout=subprocess.DEVNULL)
    pid = int(open(os.path.join(root, HOST, "pid")).read())
    debug = os.path.join(root, "debug.txt")
    if os.path.exists(debug):
        os.remove(debug)
    data = pymongo.MongoClient(HOST, 27017, serverSelectionTimeoutMS=3000)
    data.drop_database("hung"), data.drop_database("hung_schema")
    data.hung.alpha.insert_many([{"a": i} for i in range(5)])
    data.hung.beta.insert_many([{"b": i} for i in range(5)])
    sides = ["-ds", HOST, "-db", "hung", "-ss", HOST, "-sc", "hung_schema"]
    subprocess.run([os.environ["BROLIX_CLI"], "create", *sides, "--quiet"], check=True)
    editor = e2e.Editor(display, [*sides, "-debug", debug])
    try:
        window = editor.wait_window(r"\(Edit Mode\)$")
        idle_bar = shot(display, window, 24)
        os.kill(pid, signal.SIGSTOP)
        time.sleep(5.5)  # idle so long, the library checks the connection first: Cancel cuts that check

        # Cancel: shown after 2 s, painted while the pick waits; it ends the pick at once.
        display.click(*tree_row(display, window, 1))
        time.sleep(1.0)
        early = shot(display, window)
        time.sleep(2.0)
        later, bar = shot(display, window), shot(display, window, 24)
        e2e.check(early != later and bar != idle_bar, "the window did not paint Cancel while the pick waited")
        g = geometry(display, window)
        row = bar[(12 * g["WIDTH"]) * 3:(13 * g["WIDTH"]) * 3]
        # Cancel is the right-most button of the status bar, left of the size grip.
        pixels = [row[i:i + 3] for i in range(0, len(row) - 2, 3)]
        x, background = len(pixels) - 1, pixels[len(pixels) // 2]
        for within in (False, True, False):  # the grip, the gap, the button's right edge
            while x > 0 and (pixels[x] == background) == within:
                x -= 1
        display.click(g["X"] + x - 30, g["Y"] + g["HEIGHT"] - 12)
        e2e.check(wait_debug(debug, "The columns of 'beta' could not be read: cancelled.", 1.5),
                  "Cancel did not end the pick at once")
        e2e.check(any(time.sleep(0.2) or shot(display, window, 24) == idle_bar for _ in range(10)),
                  "Cancel stayed")

        # Left alone, the pick fails when its time runs out, and says so.
        display.click(*tree_row(display, window, -1))
        e2e.check(wait_debug(debug, "The columns of 'alpha' could not be read: the schema server " + HOST +
                             " did not answer within", 40), "no plain words for the time that ran out")

        # Exit while a pick waits: the pick ends as cancelled, and the editor closes. (For 5 s
        # after a failed look for a server the library fails requests at once.)
        time.sleep(6)
        display.click(*tree_row(display, window, 1))
        time.sleep(1.0)
        display.click_exit(window)
        editor.wait_exit(0)
        e2e.check(open(debug, encoding="utf-8").read().count("'beta' could not be read: cancelled.") == 2,
                  "Exit did not end the pick as cancelled")
    finally:
        editor.kill()
        os.kill(pid, signal.SIGCONT)
        subprocess.run([*servers, "stop-demo", HOST], env=env, check=False, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    e2e.run(main)
