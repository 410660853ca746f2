#!/usr/bin/env python3
"""Runs the shell blocks of a Markdown document that are marked for it.

A block is marked by its info string: ```sh docs-test [exit=N] [tree=native|windows]
[sanitizer=no]. sanitizer=no leaves the block out in the sanitizer tree (--sanitizer=1): an
instrumented program refuses a library preloaded before its runtime.
Each runs in bash (-e -o pipefail) in a scratch directory of its own in which build/ (or
build-win/ for tree=windows) is the build tree under test and the repository's top-level
folders (sim/, tools/, tests/, resources/, ...) are links to the sources, so the commands
read exactly as a reader types them at the top of a clone. The block must end with the
exit status given (0 when none is)."""

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

FENCE = re.compile(r"^```sh docs-test\b(.*)$", re.M)
CLOSE = re.compile(r"^```$", re.M)


def blocks(text):
    """(line of the fence, its attributes, the block's text) for each marked block."""
    at = 0
    while m := FENCE.search(text, at):
        line = text.count("\n", 0, m.start()) + 1
        close = CLOSE.search(text, m.end())
        if not close:
            raise SystemExit(f"line {line}: a docs-test block without its closing fence")
        yield line, dict(a.split("=", 1) for a in m.group(1).split()), text[m.end() + 1:close.start()]
        at = close.end()


def scratch(work, source, build, tree_name):
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    for entry in source.iterdir():
        if entry.name.startswith(".") or entry.name.startswith("build"):
            continue
        (work / entry.name).symlink_to(entry)
    (work / tree_name).symlink_to(build)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("document", type=Path)
    for option in ("--source", "--build", "--work"):
        parser.add_argument(option, type=Path, required=True)
    parser.add_argument("--tree", choices=["native", "windows"], required=True)
    parser.add_argument("--sanitizer", type=int, choices=(0, 1), default=0, help="1: the tree is instrumented")
    args = parser.parse_args()

    tree_name = "build-win" if args.tree == "windows" else "build"
    failures = ran = 0
    for line, attrs, script in blocks(args.document.read_text(encoding="utf-8")):
        if attrs.get("tree", "native") != args.tree or (args.sanitizer and attrs.get("sanitizer") == "no"):
            continue
        ran += 1
        work = args.work / f"line{line}"
        scratch(work, args.source.resolve(), args.build.resolve(), tree_name)
        expect = int(attrs.get("exit", "0"))
        result = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", script], cwd=work,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        where = f"{args.document.name}:{line}"
        if result.returncode != expect:
            failures += 1
            print(f"FAIL {where}: exit {result.returncode}, expected {expect}\n{script}"
                  f"--- output ---\n{result.stdout}--- end ---")
        else:
            print(f"ok   {where} (exit {expect})")
    print(f"{ran} blocks run, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
