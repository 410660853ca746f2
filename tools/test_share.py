#!/usr/bin/env python3
"""The tests' share of the code: non-blank lines of the files under tests/ and of *_test*
files, against those of all other code, CMake and script files that git tracks.

Usage: tools/test_share.py [REV]   (default: the working tree as git tracks it)

The budget is a third of all such lines: at most half as many test lines as other lines.
"""
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CODE_SUFFIXES = {".c", ".cpp", ".h", ".py", ".sh", ".cmake"}


def is_code(path, text):
    name = pathlib.PurePosixPath(path).name
    return (pathlib.PurePosixPath(path).suffix in CODE_SUFFIXES or name == "CMakeLists.txt"
            or text.startswith("#!"))


def main():
    rev = sys.argv[1] if len(sys.argv) > 1 else None
    listing = ["git", "ls-tree", "-r", "--name-only", rev] if rev else ["git", "ls-files"]
    paths = subprocess.run(listing, cwd=ROOT, check=True, capture_output=True, text=True).stdout.split("\n")
    tests = other = 0
    for path in filter(None, paths):
        if rev:
            raw = subprocess.run(["git", "show", "%s:%s" % (rev, path)], cwd=ROOT, capture_output=True).stdout
        elif (ROOT / path).is_file():
            raw = (ROOT / path).read_bytes()
        else:
            continue
        text = raw.decode("utf-8", "replace")
        if b"\0" in raw or not is_code(path, text):
            continue
        lines = sum(1 for line in text.splitlines() if line.strip())
        if path.startswith("tests/") or "_test" in pathlib.PurePosixPath(path).name:
            tests += lines
        else:
            other += lines
    print("tests %d, other code %d: %.2f %% of all (budget %d test lines, %+d)"
          % (tests, other, 100.0 * tests / (tests + other), other // 2, tests - other // 2))


if __name__ == "__main__":
    main()
