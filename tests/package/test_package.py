#!/usr/bin/python3
"""The Debian package that tools/package.sh makes, unpacked into a scratch root: it holds
the menu entry, the icon and a manual page per program, and its editor starts."""
import gzip
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import e2e_lib as e2e  # noqa: E402

DEB = os.environ.get("BROLIX_DEB", "")
VERSION = os.environ.get("BROLIX_VERSION", "")


def field(name):
    return subprocess.run(["dpkg-deb", "-f", DEB, name], capture_output=True, text=True).stdout.strip()


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    e2e.check(head[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is no PNG")
    return struct.unpack(">II", head[16:24])


def main(display):
    e2e.check(os.path.isfile(DEB), f"no package {DEB}: run tools/package.sh")
    e2e.check(field("Version") == VERSION, f"package version {field('Version')!r}, project {VERSION!r}")
    depends = field("Depends")
    for library in ("libqt5widgets5", "libmongoc-1.0-0", "libbson-1.0-0"):
        e2e.check(library in depends, f"{library} not in Depends: {depends}")
    root = tempfile.mkdtemp(prefix="brolix-deb-")
    subprocess.run(["dpkg", "-x", DEB, root], check=True)
    share = os.path.join(root, "usr", "share")
    entry = os.path.join(share, "applications", "brolix.desktop")
    result = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    e2e.check(result.returncode == 0 and not result.stdout.strip(), f"desktop entry: {result.stdout}")
    with open(entry) as f:
        lines = dict(line.strip().split("=", 1) for line in f if "=" in line)
    e2e.check(os.access(os.path.join(root, "usr", "bin", lines["Exec"].split()[0]), os.X_OK),
              f"Exec={lines['Exec']} is not a packaged program")
    icons = os.path.join(share, "icons", "hicolor")
    e2e.check(os.path.isfile(os.path.join(icons, "scalable", "apps", lines["Icon"] + ".svg")), "no SVG icon")
    sizes = [d for d in os.listdir(icons) if d != "scalable"]
    e2e.check(len(sizes) >= 4, f"PNG icon sizes {sizes}")
    for size in sizes:
        width = int(size.split("x")[0])
        got = png_size(os.path.join(icons, size, "apps", lines["Icon"] + ".png"))
        e2e.check(got == (width, width), f"icon in {size} is {got}")
    for program in os.listdir(os.path.join(root, "usr", "bin")):
        page = os.path.join(share, "man", "man1", program + ".1.gz")
        e2e.check(os.path.isfile(page), f"no manual page for {program}")
        with gzip.open(page, "rt") as f:
            e2e.check(f".TH {program.upper()} 1" in f.read().replace("\\-", "-"), f"{page} is not {program}(1)")

    # Without arguments the editor shows its usage box; OK ends it with exit code 0.
    editor = e2e.Editor(display, [], command=[os.path.join(root, "usr", "bin", "brolix")])
    try:
        e2e.answer_box(display, editor, "Invalid command line arguments")
        code = editor.wait_exit()
        e2e.check(code == 0, f"exit code {code}; output:\n{editor.output()}")
    finally:
        editor.kill()
    subprocess.run(["rm", "-rf", root], check=False)


if __name__ == "__main__":
    e2e.run(main)
