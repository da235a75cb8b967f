"""The real brolix binary under an Xvfb of the test's own, driven with xdotool. Every box
has the title TITLE and no text xdotool can read: the runs check what answering a box did
(exit code, window title, documents written); the box texts are the widget tests' business."""
import os
import subprocess
import sys
import time

import pymongo

# A shared-memory segment left by a killed process would make one whose pid is reused warn.
os.environ.setdefault("MONGOC_DISABLE_SHM", "1")
BIN = os.environ.get("BROLIX_BIN", "")
SERVER = os.environ.get("BROLIX_TEST_SERVER", "127.0.0.11")
TITLE = "Tarnwell MongoDB Schema Editor"
WAIT = 60  # s; past the editor's own 20 s bound on one request: a busy server is no failure


def check(condition, message):
    if not condition:
        sys.exit("FAIL: " + message)


def unique_name(prefix):
    return f"{prefix}_{os.getpid()}_{int(time.time() * 1000) % 100000000}"


def client():
    return pymongo.MongoClient(SERVER, 27017, serverSelectionTimeoutMS=3000)


class Display:
    def __init__(self):
        # -noreset: an X server resets when its last client leaves, and refuses the next
        # editor while it does (between two runs, or after an xdotool call).
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
                                         "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,),
                                        stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            self.env = dict(os.environ, DISPLAY=":" + pipe.readline().strip())
        self.env.pop("QT_QPA_PLATFORM", None)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True).stdout.strip()

    def windows(self, title_regex):
        return self.xdotool("search", "--onlyvisible", "--name", title_regex).split()

    def click_exit(self, window, timeout=WAIT):
        """Clicks Exit, the right-most button of the row under the sample (found in the pixels)."""
        g = dict(line.split("=") for line in self.xdotool("getwindowgeometry", "--shell", window).split())
        x, y, height = int(g["X"]), int(g["Y"]), int(g["HEIGHT"])
        # A window mapped is not yet painted: wait for the row to show its buttons.
        for _ in range(int(timeout / 0.2)):
            row = subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", window, "-crop",
                                  f"100000x1+0+{height - 54}", "-depth", "8", "rgb:-"], capture_output=True,
                                 check=True).stdout
            pixels = [row[i:i + 3] for i in range(0, len(row) - 2, 3)]
            painted = [i for i, p in enumerate(pixels) if p != pixels[2]]
            if painted:
                break
            time.sleep(0.2)
        check(painted, f"window {window} not painted within {timeout} s")
        self.click(x + max(painted) - 30, y + height - 47)

    def click(self, x, y):
        # --sync waits for the pointer to move: to where it already is, 15 s for nothing.
        self.xdotool("mousemove", "--sync", "0", "0")
        self.xdotool("mousemove", "--sync", str(x), str(y))
        self.xdotool("click", "1")


class Editor:
    def __init__(self, display, args, command=None, env=None):
        check((command or [BIN])[0], "BROLIX_BIN is not set")
        self.display = display  # the editor's output goes to the test's, where a failure shows it
        self.process = subprocess.Popen([*(command or [BIN]), *args], env=dict(display.env, **(env or {})))

    def wait_window(self, title_regex, timeout=WAIT):
        for _ in range(int(timeout / 0.2)):
            check(self.process.poll() is None, f"ended with {self.process.returncode} before /{title_regex}/")
            found = self.display.windows(title_regex)
            if found:
                time.sleep(0.3)  # its first paint
                return found[-1]
            time.sleep(0.2)
        check(False, f"no window /{title_regex}/ within {timeout} s")

    def answer_box(self, key="Return", timeout=WAIT):
        """Answers the one box shown (Return: its default; Escape: No), and checks it went."""
        box = self.wait_window("^" + TITLE + "$", timeout)
        self.display.xdotool("windowfocus", "--sync", box)
        self.display.xdotool("key", key)
        gone = any(time.sleep(0.2) or box not in self.display.windows(".") for _ in range(50))
        check(gone, "the box stayed")

    def wait_exit(self, expected=0):
        try:
            code = self.process.wait(WAIT)
        except subprocess.TimeoutExpired:
            code = f"none within {WAIT} s"
        check(code == expected and not self.display.windows("^" + TITLE + "$"),
              f"exit code {code}, expected {expected}, and no box left")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def run(main):
    display = Display()
    try:
        main(display)
    finally:
        display.process.terminate()
        display.process.wait(5)
    print("ok")
