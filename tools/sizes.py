#!/usr/bin/env python3
"""The largest source files and the longest functions of the product code.

    tools/sizes.py [--top N]

Counts the lines of every .cpp and .h of the code folders, and the lines of each function
body (from the line of its opening brace at the left margin to its closing one), and prints
the N largest of each (default 5). A function is found by its braces, not parsed: a body is
what stands between a "{" and the "}" that closes it at the start of a line.
"""
import argparse
import os
import re

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["app", "cli", "core", "startup", "store", "discovery", "sample", "ui"]
SIGNATURE = re.compile(r"^[A-Za-z_][\w:<>,*& ]*[\s*&]([\w:~]+)\s*\(")


def sources():
    for folder in FOLDERS:
        for root, _, files in os.walk(os.path.join(TOP, folder)):
            for name in sorted(files):
                if name.endswith((".cpp", ".h")):
                    yield os.path.relpath(os.path.join(root, name), TOP)


def functions(path):
    lines = open(os.path.join(TOP, path), encoding="utf-8", errors="replace").read().split("\n")
    name = None
    for i, line in enumerate(lines):
        m = SIGNATURE.match(line)
        if m and not line.rstrip().endswith(";"):
            name = m.group(1)
        if line == "{" and name:
            for j in range(i + 1, len(lines)):
                if lines[j] == "}":
                    yield name, i + 1, j - i - 1
                    break
            name = None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--top", type=int, default=5)
    args = parser.parse_args()
    sizes = [(sum(1 for _ in open(os.path.join(TOP, p), encoding="utf-8", errors="replace")), p) for p in sources()]
    print("largest files (lines):")
    for n, p in sorted(sizes, reverse=True)[: args.top]:
        print(f"  {n:5d}  {p}")
    found = [(n, f"{p}:{line} {name}") for p in sources() for name, line, n in functions(p)]
    print("longest functions (lines of body):")
    for n, where in sorted(found, reverse=True)[: args.top]:
        print(f"  {n:5d}  {where}")


if __name__ == "__main__":
    main()
