#!/usr/bin/env python3
"""The layers of the code and the includes between them.

    tools/layers.py            lists every include that goes up a layer, and every circle of
                               includes among the files of one layer (exit 1 if any)
    tools/layers.py --graph    also prints which layer includes which, and the CMake
                               link graph of the layer libraries (from build/, or --build DIR)

A layer may include its own folder and the folders below it; store/ is in floors, each a
layer of its own. The build enforces the same (each layer's library sees only its own
folder and the libraries it links); this check reads the sources, so it also covers headers
no build compiles and says where. It also lists every source path that a comment, the README
or a page of docs/ names and that does not exist (exit 1 if any): the map must name files
that are there.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Bottom first. A folder may include any folder of a lower rank, and its own.
LAYERS = ["core", "discovery", "store/write", "store/read", "store/change", "store/analysis", "store/files",
          "sample", "startup", "ui", "cli", "app"]
# The two programs sit side by side at the top: neither includes the other; so do the
# store's analyses and its file formats.
SIDE_BY_SIDE = {("cli", "app"), ("app", "cli"), ("cli", "ui"), ("store/analysis", "store/files"),
                ("store/files", "store/analysis")}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    parts = path.split("/")
    if parts[0] == "store" and len(parts) > 2:
        return "store/" + parts[1]
    return parts[0] if parts[0] in LAYERS else None


def includes():
    """(file, line, layer, included header, its layer) for every quoted include."""
    for layer in LAYERS:
        for root, dirs, files in os.walk(os.path.join(TOP, layer)):
            if layer == "store":
                dirs.clear()
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(root, name)
                rel = os.path.relpath(path, TOP)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for m in INCLUDE.finditer(text):
                    header = m.group(1)
                    target = layer_of(header)
                    if target:
                        line = text.count("\n", 0, m.start()) + 1
                        yield rel, line, layer, header, target


def circles():
    """Circles of includes among the files of one layer, each as the files around it."""
    edges = {}
    for rel, _, layer, header, target in includes():
        if target == layer:
            a, b = os.path.splitext(rel)[0], os.path.splitext(header)[0]
            if a != b:
                edges.setdefault(a, set()).add(b)
    found, seen = [], set()

    def visit(node, path):
        if node in path:
            circle = path[path.index(node):]
            key = frozenset(circle)
            if key not in seen:
                seen.add(key)
                found.append(circle + [node])
            return
        for nxt in sorted(edges.get(node, ())):
            visit(nxt, path + [node])

    for start in sorted(edges):
        visit(start, [])
    return found


PATH = re.compile(r"\b((?:core|discovery|store(?:/[a-z]+)?|sample|startup(?:/platform)?|ui|cli|app|tools|bench"
                  r"|tests/[a-z]+)/[a-z_0-9]+\.(?:h|cpp|py|sh|ui))\b")


def stale_paths():
    """(file, line, path) for every named source path that is not there."""
    texts = [os.path.join(TOP, "README.md")]
    for folder in LAYERS + ["docs", "tools", "tests", "bench"]:
        for root, _, files in os.walk(os.path.join(TOP, folder)):
            texts += [os.path.join(root, n) for n in files if n.endswith((".cpp", ".h", ".md", ".py", ".sh", ".txt"))]
    for path in sorted(set(texts)):
        if not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        for m in PATH.finditer(text):
            if not os.path.exists(os.path.join(TOP, m.group(1))):
                yield os.path.relpath(path, TOP), text.count("\n", 0, m.start()) + 1, m.group(1)


def goes_up(layer, target):
    if (layer, target) in SIDE_BY_SIDE:
        return True
    return LAYERS.index(target) > LAYERS.index(layer)


def link_graph(build):
    """Edges between the brolix_ libraries and programs, from CMake's graphviz output."""
    with tempfile.TemporaryDirectory() as tmp:
        dot = os.path.join(tmp, "graph.dot")
        subprocess.run(["cmake", f"--graphviz={dot}", build], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(dot) as f:
            text = f.read()
    names = dict(re.findall(r'"(node\d+)" \[ label = "([^"]+)"', text))
    keep = lambda n: n.startswith("brolix") or n.startswith("Qt") or n.startswith("PkgConfig")
    edges = set()
    for a, b in re.findall(r'"(node\d+)" -> "(node\d+)"', text):
        if a in names and b in names and names[a].startswith("brolix") and keep(names[b]):
            edges.add((names[a], names[b]))
    return sorted(edges)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--graph", action="store_true")
    parser.add_argument("--build", default=os.path.join(TOP, "build"))
    args = parser.parse_args()

    up = []
    pairs = {}
    for rel, line, layer, header, target in includes():
        if target != layer:
            pairs[(layer, target)] = pairs.get((layer, target), 0) + 1
        if target != layer and goes_up(layer, target):
            up.append(f"{rel}:{line}: {layer}/ includes {header} ({target}/ is not below it)")
    print(f"includes that go up: {len(up)}")
    for u in up:
        print("  " + u)
    rounds = circles()
    print(f"circles of includes inside a layer: {len(rounds)}")
    for c in rounds:
        print("  " + " -> ".join(c))
    stale = list(stale_paths())
    print(f"paths named that are not there: {len(stale)}")
    for rel, line, path in stale:
        print(f"  {rel}:{line}: {path}")
    if args.graph:
        print("includes between layers (count):")
        for (a, b), n in sorted(pairs.items(), key=lambda p: (LAYERS.index(p[0][0]), LAYERS.index(p[0][1]))):
            print(f"  {a} -> {b}: {n}")
        if os.path.isdir(args.build):
            print(f"link graph of the layer libraries ({os.path.relpath(args.build, TOP)}):")
            for a, b in link_graph(args.build):
                print(f"  {a} -> {b}")
    return 1 if up or rounds or stale else 0


if __name__ == "__main__":
    sys.exit(main())
