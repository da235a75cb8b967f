#!/usr/bin/env python3
"""Mutation check: how many small seeded faults in the code do the tests catch?

Draws a seeded sample of small faults from the C++ sources of app/ cli/ core/ startup/
store/ discovery/ sample/ ui/ (a comparison or logical operator swapped, a negation dropped, a boolean
return flipped, an integer constant off by one), spread over every folder. For each one
it edits the file, rebuilds the unit, store and ui test programs, runs those tests,
restores the file, and records the outcome: killed (a test failed or timed out),
survived (every test passed) or did not compile.

    tools/mutate.py [--seed 1] [--count 72] [--list] [--netns NAME] [--only N,M]

The file is edited in the tree the tool lives in, so run it on a checkout nobody else is
editing (a clone of main). With --netns it runs in a network namespace of its own,
with test servers of its own, so it can run beside another test run of the machine.
It is a tool to run by hand, not part of CI.
"""
import argparse
import glob
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["app", "cli", "core", "startup", "store", "discovery", "sample", "ui"]
# Not built on this platform.
SKIP = {"startup/platform/registry_win32.cpp"}
# The test programs, and the fuzz harnesses whose seeds replay with the unit tests.
TARGETS = ["unit_tests", "store_tests", "ui_tests"] + sorted(
    os.path.basename(f)[:-4] for f in glob.glob(os.path.join(TOP, "tests/fuzz/fuzz_*.cpp")))


def code_spans(text):
    """Yields (start, end) of the stretches of text that are code: no comments, string or
    character literals, or preprocessor lines."""
    i, n, start = 0, len(text), 0
    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c == "#":
            yield start, i
            while i < n and text[i] != "\n":
                i += 2 if text[i] == "\\" else 1
            start = i
            continue
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if not c.isspace():
            at_line_start = False
        if text.startswith("//", i):
            yield start, i
            while i < n and text[i] != "\n":
                i += 1
            start = i
        elif text.startswith("/*", i):
            yield start, i
            j = text.find("*/", i + 2)
            i = n if j < 0 else j + 2
            start = i
        elif c == '"' or (c == "'" and not (i > 0 and text[i - 1].isalnum())):
            yield start, i
            i += 1
            while i < n and text[i] != c:
                i += 2 if text[i] == "\\" else 1
            i += 1
            start = i
        else:
            i += 1
    yield start, n


SWAPS = {"==": "!=", "!=": "==", "<=": "<", ">=": ">", "&&": "||", "||": "&&"}
TOKEN = re.compile(
    r"(?P<op>==|!=|<=|>=|&&|\|\|)"
    r"|(?P<lt> < )|(?P<gt> > )"
    r"|(?P<not>!(?!=))"
    r"|(?P<ret>\breturn (?:true|false)\b)"
    r"|(?P<num>(?<![\w.])\d+(?![\w.]))"
)


DECLARED_SIZE = re.compile(r"\b(?!return\b)[A-Za-z_][\w:<>]*\s+\**[A-Za-z_]\w*\s*\[$")


def sites_of(path, text):
    out = []
    for start, end in code_spans(text):
        chunk = text[start:end]
        for m in TOKEN.finditer(chunk):
            kind = m.lastgroup
            s = start + m.start()
            token = m.group()
            if kind == "op":
                new, what = SWAPS[token], "%s -> %s" % (token, SWAPS[token])
            elif kind == "lt":
                new, what = " <= ", "< -> <="
            elif kind == "gt":
                new, what = " >= ", "> -> >="
            elif kind == "not":
                new, what = "", "! dropped"
            elif kind == "ret":
                flipped = "return false" if token.endswith("true") else "return true"
                new, what = flipped, "%s -> %s" % (token, flipped)
            else:
                # An array's size in its declaration: a larger buffer is no fault.
                before = text[text.rfind("\n", 0, s) + 1:s]
                if DECLARED_SIZE.search(before):
                    continue
                new, what = str(int(token) + 1), "%s -> %d" % (token, int(token) + 1)
            line = text.count("\n", 0, s) + 1
            out.append({"file": path, "offset": s, "old": token, "new": new, "what": what, "line": line})
    return out


def all_sites():
    sites = {}
    for folder in FOLDERS:
        for root, _, files in os.walk(os.path.join(TOP, folder)):
            for name in sorted(files):
                if not name.endswith(".cpp"):
                    continue
                rel = os.path.relpath(os.path.join(root, name), TOP)
                if rel in SKIP:
                    continue
                with open(os.path.join(TOP, rel), encoding="utf-8") as f:
                    sites.setdefault(folder, []).extend(sites_of(rel, f.read()))
    return sites


def draw(seed, count):
    """A sample spread over the folders: in proportion to their sites, at least a tenth
    of the count each."""
    sites = all_sites()
    total = sum(len(v) for v in sites.values())
    floor = max(1, count // 10)
    shares = {f: max(floor, round(count * len(v) / total)) for f, v in sites.items()}
    while sum(shares.values()) > count:
        biggest = max(shares, key=lambda f: shares[f])
        shares[biggest] -= 1
    while sum(shares.values()) < count:
        smallest = min(shares, key=lambda f: shares[f] / len(sites[f]))
        shares[smallest] += 1
    rng = random.Random(seed)
    chosen = []
    for folder in FOLDERS:
        if folder in sites:
            chosen.extend(rng.sample(sites[folder], min(shares[folder], len(sites[folder]))))
    chosen.sort(key=lambda s: (s["file"], s["offset"]))
    return chosen


def run(cmd, timeout=None, **kw):
    """Runs a command in a process group of its own; (exit code, output), code None on timeout."""
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True, **kw)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return None, out


def build(build_dir):
    code, out = run(["ninja", "-C", build_dir] + TARGETS)
    return code == 0, out


def test(build_dir, timeout):
    # The server-fault table's hung rows wait out hung servers (minutes a run); its stopped rows
    # take seconds and check the failure paths.
    code, out = run(["ctest", "--test-dir", build_dir, "-j", str(os.cpu_count() or 2), "-L", "unit|server|window",
                     "-E", "^Matrix/.*_hung_", "--stop-on-failure", "--timeout", "120"], timeout=timeout)
    return code, out


def in_namespace(name, argv):
    """Re-runs this tool inside a fresh network namespace with its loopback up."""
    subprocess.run(["ip", "netns", "del", name], stderr=subprocess.DEVNULL)
    subprocess.check_call(["ip", "netns", "add", name])
    try:
        subprocess.check_call(["ip", "netns", "exec", name, "ip", "link", "set", "lo", "up"])
        return subprocess.call(["ip", "netns", "exec", name, sys.executable, os.path.abspath(__file__)] + argv)
    finally:
        subprocess.run(["ip", "netns", "del", name])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=72)
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--only", help="comma-separated numbers of the sample to run")
    ap.add_argument("--build", default=os.path.join(TOP, "build-mutate"))
    ap.add_argument("--netns", help="run inside a network namespace of this name")
    args = ap.parse_args()

    if args.netns:
        argv, skip = [], False
        for a in sys.argv[1:]:
            if skip or a.startswith("--netns"):
                skip = a == "--netns"
                continue
            argv.append(a)
        return in_namespace(args.netns, argv)

    sample = draw(args.seed, args.count)
    by_folder = {}
    for s in sample:
        by_folder[s["file"].split("/")[0]] = by_folder.get(s["file"].split("/")[0], 0) + 1
    print("sample: seed %d, %d faults (%s)" % (args.seed, len(sample),
          ", ".join("%s %d" % (f, by_folder.get(f, 0)) for f in FOLDERS)))
    if args.list:
        for i, s in enumerate(sample, 1):
            print("%3d %s:%d %s" % (i, s["file"], s["line"], s["what"]))
        return 0
    picked = set(int(x) for x in args.only.split(",")) if args.only else None

    if not os.path.exists(os.path.join(args.build, "build.ninja")):
        subprocess.check_call(["cmake", "-S", TOP, "-B", args.build, "-G", "Ninja",
                               "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DBROLIX_BENCH=OFF"],
                              stdout=subprocess.DEVNULL)
    env_root = os.path.join(args.build, "servers")
    os.environ["BROLIX_SERVER_ROOT"] = env_root
    os.environ["BROLIX_TLS_DIR"] = os.path.join(env_root, "tls")
    started = subprocess.call([sys.executable, os.path.join(TOP, "tools", "ping.py"), "127.0.0.11"],
                              stderr=subprocess.DEVNULL) != 0
    if started:
        subprocess.check_call([os.path.join(TOP, "tools", "servers.sh"), "start"])
    try:
        ok, out = build(args.build)
        if not ok:
            print(out)
            print("the unchanged tree does not build")
            return 2
        t0 = time.time()
        code, out = test(args.build, None)
        clean_seconds = time.time() - t0
        if code != 0:
            print(out[-4000:])
            print("the unchanged tree does not pass its tests")
            return 2
        print("unchanged tree: tests pass in %.0f s" % clean_seconds)
        limit = max(300, 4 * clean_seconds)

        results = {"killed": [], "survived": [], "did not compile": []}
        for i, s in enumerate(sample, 1):
            if picked and i not in picked:
                continue
            path = os.path.join(TOP, s["file"])
            with open(path, encoding="utf-8") as f:
                original = f.read()
            assert original[s["offset"]:s["offset"] + len(s["old"])] == s["old"]
            mutated = original[:s["offset"]] + s["new"] + original[s["offset"] + len(s["old"]):]
            t0 = time.time()
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(mutated)
                ok, _ = build(args.build)
                if not ok:
                    outcome = "did not compile"
                else:
                    code, out = test(args.build, limit)
                    outcome = "survived" if code == 0 else "killed"
                    if code is None:
                        outcome = "killed"
                        s["what"] += " (timed out)"
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
            results[outcome].append((i, s))
            print("%3d %-16s %s:%d %s (%.0f s)" % (i, outcome, s["file"], s["line"], s["what"], time.time() - t0),
                  flush=True)
        build(args.build)

        killed, survived = len(results["killed"]), len(results["survived"])
        print()
        print("killed %d / survived %d / did not compile %d" % (killed, survived, len(results["did not compile"])))
        if killed + survived:
            print("share killed: %.1f%% of the faults that compiled" % (100.0 * killed / (killed + survived)))
        for i, s in results["survived"]:
            print("survivor %3d %s:%d %s" % (i, s["file"], s["line"], s["what"]))
        return 0
    finally:
        if started:
            subprocess.call([os.path.join(TOP, "tools", "servers.sh"), "stop"])


if __name__ == "__main__":
    sys.exit(main())
