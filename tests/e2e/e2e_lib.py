"""Driving the real brolix binary under Xvfb as a person would, with xdotool.

Each test starts its own X server (Xvfb picks a free display), starts the editor,
finds its windows by title, presses keys and clicks, and checks the exit code, the
documents in the database and the files written.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import pymongo

BIN = os.environ.get("BROLIX_BIN", "")
SOURCE_DIR = os.environ.get("BROLIX_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
BUILD_DIR = os.environ.get("BROLIX_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
SERVER = os.environ.get("BROLIX_TEST_SERVER", "127.0.0.11")
TITLE = "Tarnwell MongoDB Schema Editor"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def unique_name(prefix):
    return f"{prefix}_{os.getpid()}_{int(time.time() * 1000) % 100000000}"


def client(host=None):
    return pymongo.MongoClient(host or SERVER, 27017, serverSelectionTimeoutMS=3000)


class Display:
    """An Xvfb server of the test's own, stopped on exit."""

    def __init__(self, width=1280, height=800):
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            number = pipe.readline().strip()
        check(number, "Xvfb did not start")
        self.name = ":" + number
        self.env = dict(os.environ, DISPLAY=self.name)
        self.env.pop("QT_QPA_PLATFORM", None)

    def xdotool(self, *args, check_result=True):
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True)
        if check_result and result.returncode != 0:
            fail(f"xdotool {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout.strip()

    def windows(self, title_regex):
        """Visible windows whose title matches, newest last."""
        out = self.xdotool("search", "--onlyvisible", "--name", title_regex, check_result=False)
        return [w for w in out.split() if w]

    def title(self, window):
        return self.xdotool("getwindowname", window, check_result=False)

    def wait_window(self, title_regex, timeout=30, process=None):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.windows(title_regex)
            if found:
                time.sleep(0.3)  # let it finish its first paint
                return found[-1]
            if process is not None and process.poll() is not None:
                fail(f"the editor ended (exit code {process.returncode}) before a window "
                     f"titled /{title_regex}/ showed")
            time.sleep(0.2)
        fail(f"no window titled /{title_regex}/ within {timeout} s")

    def wait_gone(self, window, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if window not in self.windows("."):
                return
            time.sleep(0.2)
        fail(f"window {window} still there after {timeout} s")

    def focus(self, window):
        # No window manager runs: give the window the keyboard directly.
        self.xdotool("windowfocus", "--sync", window, check_result=False)
        time.sleep(0.2)

    def key(self, window, *keys):
        self.focus(window)
        for k in keys:
            self.xdotool("key", "--clearmodifiers", k)
            time.sleep(0.15)

    def type(self, window, text):
        self.focus(window)
        self.xdotool("type", "--delay", "40", text)
        time.sleep(0.2)

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click(self, window, x, y, button=1, double=False):
        """Clicks at x, y relative to the window's top left corner."""
        wx, wy, _, _ = self.geometry(window)
        self.xdotool("mousemove", "--sync", str(wx + x), str(wy + y))
        time.sleep(0.1)
        self.xdotool("click", *(["--repeat", "2", "--delay", "80"] if double else []), str(button))
        time.sleep(0.3)

    def pixels_row(self, window, y):
        """The RGB pixels of one row of a window, read off the screen."""
        out = subprocess.run(["import", "-display", self.name, "-window", window, "-crop",
                              f"100000x1+0+{y}", "-depth", "8", "rgb:-"], env=self.env, capture_output=True,
                             check=True).stdout
        return [tuple(out[i:i + 3]) for i in range(0, len(out) - 2, 3)]

    def buttons_in_row(self, window, y):
        """Centres (x) of the push buttons crossing row y, left to right: a button is a run
        of pixels unlike the window's background, at least 40 pixels long."""
        row = self.pixels_row(window, y)
        background = row[2]
        buttons, start = [], None
        for x, pixel in enumerate(row + [background]):
            if pixel != background and start is None:
                start = x
            elif pixel == background and start is not None:
                if x - start >= 40:
                    buttons.append((start + x) // 2)
                start = None
        return buttons

    def bottom_buttons(self, window):
        """About, Dump Schema (when shown), Save, Exit: the row of buttons under the sample."""
        _, _, _, height = self.geometry(window)
        y = height - 47
        return [(x, y) for x in self.buttons_in_row(window, y - 7)]

    def screenshot(self, path, window=None):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        subprocess.run(["import", "-display", self.name, "-window", window or "root", path],
                       check=True, env=self.env)

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()


class Editor:
    """The brolix process on a display."""

    def __init__(self, display, args, command=None, env=None):
        check(command or BIN, "BROLIX_BIN is not set")
        self.display = display
        self.log = tempfile.NamedTemporaryFile(prefix="brolix-e2e-", suffix=".log", delete=False)
        environment = dict(display.env)
        environment.update(env or {})
        self.process = subprocess.Popen((command or [BIN]) + list(args), env=environment,
                                        stdout=self.log, stderr=subprocess.STDOUT)

    def wait_window(self, title_regex, timeout=30):
        return self.display.wait_window(title_regex, timeout, self.process)

    def wait_exit(self, timeout=30):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            fail(f"the editor did not end within {timeout} s; output:\n{self.output()}")

    def output(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def answer_box(display, editor, text_hint="", key="Return", timeout=30):
    """Waits for a message box (titled like every box), presses a key in it."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        for w in display.windows("^" + TITLE + "$"):
            display.key(w, key)
            display.wait_gone(w, 10)
            return
        if editor.process.poll() is not None:
            fail(f"the editor ended (exit code {editor.process.returncode}) before a box "
                 f"{text_hint!r} showed; output:\n{editor.output()}")
        time.sleep(0.2)
    fail(f"no message box {text_hint!r} within {timeout} s")


def run(main):
    """Runs a test body with a display of its own."""
    display = Display()
    try:
        main(display)
    finally:
        display.close()
    print("ok")
