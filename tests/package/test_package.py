#!/usr/bin/python3
"""The Debian package unpacked into a scratch root: its fields, files and programs."""
import gzip
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import e2e_lib as e2e  # noqa: E402

DEB, VERSION = os.environ.get("BROLIX_DEB", ""), os.environ.get("BROLIX_VERSION", "")


def main(display):
    e2e.check(os.path.isfile(DEB), f"no package {DEB}: run tools/package.sh")
    version, depends = subprocess.check_output(["dpkg-deb", "-f", DEB, "Version", "Depends"], text=True).splitlines()
    e2e.check(version == "Version: " + VERSION, f"package {version}")
    for library in ("libqt5widgets5", "libmongoc-1.0-0", "libbson-1.0-0"):
        e2e.check(library in depends, f"{library} not in Depends: {depends}")
    root = tempfile.TemporaryDirectory(prefix="brolix-deb-")
    subprocess.run(["dpkg", "-x", DEB, root.name], check=True)
    usr = os.path.join(root.name, "usr")
    entry = os.path.join(usr, "share", "applications", "brolix.desktop")
    result = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    e2e.check(result.returncode == 0 and not result.stdout.strip(), f"desktop entry: {result.stdout}")
    icons = os.path.join(usr, "share", "icons", "hicolor")
    found = sorted(os.path.join(size, f) for size in os.listdir(icons) for f in os.listdir(os.path.join(icons, size, "apps")))
    e2e.check("scalable/brolix.svg" in found and len(found) >= 5, f"icons {found}")
    programs = sorted(os.listdir(os.path.join(usr, "bin")))
    e2e.check(programs == ["brolix", "brolix-cli"], f"programs {programs}")
    for program in programs:
        with gzip.open(os.path.join(usr, "share", "man", "man1", program + ".1.gz"), "rt") as f:
            e2e.check(f".TH {program.upper()} 1" in f.read().replace("\\-", "-"), f"manual page of {program}")
    # Bash completion: commands, a command's flags, data sources after -dsn.
    completion = os.path.join(usr, "share", "bash-completion", "completions", "brolix-cli")
    with tempfile.NamedTemporaryFile("w", suffix=".ini") as ini:
        ini.write("[sales]\nDriver = /usr/lib/libbrol.so\n")
        ini.flush()
        for words, expected in (("sy", "sync"), ("revert 3 --d", "--dry-run"), ("check -dsn sa", "sales")):
            said = subprocess.run(["bash", "-c", f'source {completion}; COMP_WORDS=(brolix-cli {words}); '
                                   'COMP_CWORD=$((${#COMP_WORDS[@]}-1)); _brolix_cli; echo "${COMPREPLY[@]}"'],
                                  capture_output=True, text=True, env=dict(os.environ, ODBCINI=ini.name)).stdout
            e2e.check(said.split() == [expected], f"completing 'brolix-cli {words}' gives {said!r}")
    version = subprocess.check_output([os.path.join(usr, "bin", "brolix-cli"), "--version"], text=True).strip()
    e2e.check(version == "brolix-cli " + VERSION, f"brolix-cli --version says {version!r}")

    # Without arguments the editor shows its usage box; OK ends it with exit code 0.
    editor = e2e.Editor(display, [], command=[os.path.join(usr, "bin", "brolix")])
    editor.answer_box()
    editor.wait_exit(0)


if __name__ == "__main__":
    e2e.run(main)
