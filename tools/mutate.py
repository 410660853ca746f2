#!/usr/bin/env python3
"""Mutation testing of the portable core: how many small faults do the native tests catch?

Each mutant is one small change to one line of the core (app/ package/ chip/ gfx/ log/
platform/, the OS-specific folders left out). One at a time it is written into the source,
the native build tree build-mutate/ is rebuilt and the tests run; then the file is put back.
  killed    a test failed, or the tests ran longer than --timeout
  survived  every test passed: a fault no test sees, or a change no input can tell apart
  invalid   the mutant does not compile (warnings are errors); not scored
  gone      (only with --survivors-of) the earlier run's mutant is no longer in the code: its
            line was changed or moved since; not scored

Mutants are drawn from the .cpp files; --headers adds the headers, whose constants and
inline functions are code too, but each header mutant rebuilds nearly every file of the
tree (minutes instead of seconds), so they are left to a run that can afford them.

The sample is seeded: each possible mutant gets a rank from a hash of the seed and the
mutant's own text (file, line text, operator, place on the line), so the same seed picks the
same mutants again, also after unrelated lines moved. The first --count valid mutants by rank
are scored.

The tree is never left changed: every mutated file's original bytes are restored after its
run, on Ctrl-C or SIGTERM too, and a copy in build-mutate/mutate-backup/ puts it back on the
next start should the tool itself be killed. The tool refuses to start when a core file has
uncommitted changes.

With --sanitize the tree is build-mutate-asan/, built with the sanitizer switch of the
asan suite (KDX_SANITIZE: AddressSanitizer and UndefinedBehaviorSanitizer, no recovery), so
that a mutant which only reads past a buffer or overflows an integer, changing no output, is
killed when the sanitizer stops a test; its JSON line says "mode": "sanitize".

Survivors judged equivalent are listed in tools/mutate-equivalents.md by their id; the score
then also shows the share of killed among the mutants that can change behaviour.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORE_DIRS = ("app", "package", "chip", "gfx", "log", "platform")
OS_DIRS = ("win32", "posix")
EQUIVALENTS = ROOT / "tools" / "mutate-equivalents.md"
# What ASan or UBSan prints when it stops a program: the kind of fault, or UBSan's message.
SANITIZER_REPORT = re.compile(r"ERROR: ((?:Address|Leak)Sanitizer: \S+)|runtime error: (.*)$", re.M)
KEYWORDS = {"return", "if", "while", "for", "switch", "case", "delete", "throw", "static_assert",
            "sizeof", "else", "do", "co_return", "new", "using", "typedef", "goto"}


def core_files(headers=False):
    files = []
    suffixes = (".cpp", ".h") if headers else (".cpp",)
    for top in CORE_DIRS:
        for path in sorted((ROOT / top).rglob("*")):
            rel = path.relative_to(ROOT)
            if path.suffix in suffixes and not set(rel.parts) & set(OS_DIRS):
                files.append(rel.as_posix())
    return files


def mask_code(lines):
    """Each line with comments and the contents of string and character literals blanked,
    so that operators are only ever found in code. Columns stay where they were."""
    masked = []
    in_block = False
    for line in lines:
        out = list(line)
        i = 0
        while i < len(line):
            if in_block:
                end = line.find("*/", i)
                stop = len(line) if end < 0 else end + 2
                out[i:stop] = " " * (stop - i)
                in_block = end < 0
                i = stop
                continue
            c = line[i]
            if line.startswith("//", i):
                out[i:] = " " * (len(line) - i)
                break
            if line.startswith("/*", i):
                in_block = True
                continue
            if c in "\"'":
                j = i + 1
                while j < len(line) and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                out[i + 1:min(j, len(line))] = " " * (min(j, len(line)) - i - 1)
                i = j + 1
                continue
            i += 1
        masked.append("".join(out))
    return masked


def bump_literal(text):
    """The integer literal plus one, written the same way (hex stays hex, width and suffix kept)."""
    m = re.fullmatch(r"(0[xX])([0-9A-Fa-f']+)([uUlL]*)", text)
    if m:
        digits = m.group(2).replace("'", "")
        value = int(digits, 16) + 1
        new = format(value, "0%d%s" % (len(digits), "X" if digits.upper() == digits and
                                          any(ch.isalpha() for ch in digits) else "x"))
        return m.group(1) + new + m.group(3)
    m = re.fullmatch(r"(\d[\d']*)([uUlL]*)", text)
    if m and not (len(m.group(1)) > 1 and m.group(1).startswith("0")):
        return str(int(m.group(1).replace("'", "")) + 1) + m.group(2)
    return None


SWAPS = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">", "&&": "||",
         "||": "&&"}
CALL = re.compile(r"^(\s*)(?:\(void\)\s*)?((?:[A-Za-z_]\w*(?:::|\.|->))*[A-Za-z_]\w*)\s*\(.*\)\s*;\s*$")


def line_mutants(code):
    """(column, before, after, operator) for every mutation of one masked line."""
    found = []
    for m in re.finditer(r"(?<=\s)(==|!=|<=|>=|<|>|&&|\|\|)(?=\s)", code):
        op = m.group(1)
        kind = "logical" if op in ("&&", "||") else "relational"
        found.append((m.start(), op, SWAPS[op], kind))
    for m in re.finditer(r"(?<=\s)([+-]) (1[uUlL]*)(?![\w.'])", code):
        found.append((m.start(), m.group(0), ("-" if m.group(1) == "+" else "+") + " " + m.group(2),
                      "plus-minus-one"))
    pure = re.search(r"\)\s*(const\s*)?=\s*0\s*;", code)  # "= 0" of a pure virtual function
    for m in re.finditer(r"(?<![\w.'])(0[xX][0-9A-Fa-f']+|\d[\d']*)([uUlL]*)(?![\w.'])", code):
        bumped = None if pure and m.start() >= pure.start() else bump_literal(m.group(0))
        if bumped:
            found.append((m.start(), m.group(0), bumped, "literal+1"))
    for m in re.finditer(r"\breturn (true|false);", code):
        found.append((m.start(), m.group(0), "return %s;" % ("false" if m.group(1) == "true" else "true"),
                      "return-bool"))
    for m in re.finditer(r"(?<![!=<>])!(?!=)", code):
        found.append((m.start(), "!", "", "remove-not"))
    call = CALL.match(code)
    if call and call.group(2).split("::")[0].split(".")[0].split("->")[0] not in KEYWORDS:
        text = code.rstrip()
        balance = 0
        for ch in text:
            balance += (ch == "(") - (ch == ")")
            if balance < 0:
                break
        if balance == 0:
            start = len(call.group(1))
            found.append((start, text[start:], "{}", "delete-call"))
    return found


def skip_line(code):
    stripped = code.strip()
    return (not stripped or stripped.startswith("#") or "static_assert" in code
            or stripped.startswith("namespace") or stripped.startswith("template"))


def all_mutants(seed, headers=False, only=None):
    mutants = []
    for rel in core_files(headers):
        if only and not re.search(only, rel):
            continue
        lines = (ROOT / rel).read_text(encoding="utf-8").split("\n")
        masked = mask_code(lines)
        seen = {}
        for number, (line, code) in enumerate(zip(lines, masked), start=1):
            if skip_line(code):
                continue
            copy = seen.get(line.strip(), 0)
            seen[line.strip()] = copy + 1
            for place, (column, before, after, operator) in enumerate(line_mutants(code)):
                key = "\0".join((rel, line.strip(), str(copy), str(place), operator, after))
                ident = hashlib.sha1(key.encode()).hexdigest()[:8]
                rank = hashlib.sha256(("%s:%s" % (seed, ident)).encode()).hexdigest()
                original = line[column:column + len(before)]
                mutated = line[:column] + after + line[column + len(before):]
                mutants.append({"id": ident, "rank": rank, "file": rel, "line": number,
                                "column": column + 1, "operator": operator, "before": line.strip(),
                                "after": mutated.strip(), "original": original, "new": after})
    mutants.sort(key=lambda m: m["rank"])
    return mutants


class Runner:
    def __init__(self, args):
        self.args = args
        self.build = (ROOT / (args.build_dir or ("build-mutate-asan" if args.sanitize else "build-mutate"))).resolve()
        self.backup = self.build / "mutate-backup"
        self.current = None  # (path, original bytes) while a mutant is in the tree
        self.child = None
        self.unit_tests = None
        self.other_tests = []
        self.sanitizer = None  # the first line of the report of a sanitizer that stopped the tests

    def run(self, command, timeout, env=None):
        """Runs a command in a process group of its own; (exit status or None on timeout, output)."""
        self.child = subprocess.Popen(command, cwd=self.build, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, start_new_session=True, env=env)
        try:
            out, _ = self.child.communicate(timeout=timeout)
            return self.child.returncode, out.decode(errors="replace")
        except subprocess.TimeoutExpired:
            os.killpg(self.child.pid, signal.SIGKILL)
            self.child.communicate()
            return None, ""
        finally:
            self.child = None

    def stop_child(self):
        if self.child is not None and self.child.poll() is None:
            os.killpg(self.child.pid, signal.SIGKILL)

    def recover(self):
        """Puts back a file left mutated by a run of this tool that was killed outright."""
        if not self.backup.is_dir():
            return
        for saved in self.backup.rglob("*"):
            if saved.is_file():
                target = ROOT / saved.relative_to(self.backup)
                target.write_bytes(saved.read_bytes())
                print("mutate: restored %s from an interrupted run" % target.relative_to(ROOT),
                      file=sys.stderr)
                saved.unlink()

    def configure(self):
        if not (self.build / "build.ninja").exists():
            command = ["cmake", "-S", str(ROOT), "-B", str(self.build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE="]
            if self.args.sanitize:
                # The asan suite's tree as it is (its switch, its flags, no optimisation), so
                # that what the suite would stop at is what kills a mutant here.
                command.append("-DKDX_SANITIZE=ON")
            else:
                flags = "-O1 -g0"
                command += ["-DCMAKE_CXX_FLAGS=" + flags, "-DCMAKE_C_FLAGS=" + flags]
            if shutil.which("ld.lld"):
                command.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld")
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        cache = (self.build / "CMakeCache.txt").read_text(encoding="utf-8", errors="replace")
        if bool(re.search(r"^KDX_SANITIZE:BOOL=ON$", cache, re.M)) != self.args.sanitize:
            sys.exit("mutate: %s was configured %s the sanitizers; give another --build-dir"
                     % (self.build, "without" if self.args.sanitize else "with"))
        status, out = self.run(["cmake", "--build", "."], None)
        if status != 0:
            sys.exit("mutate: the unchanged tree does not build:\n" + out[-3000:])
        listing = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=self.build,
                                            capture_output=True, check=True, text=True).stdout)
        for test in listing["tests"]:
            command = test.get("command") or [""]
            labels = next((p.get("value") for p in test.get("properties", []) if p.get("name") == "LABELS"), [])
            # The shipped Linux program's runs take about 20 s each on the real clock; the
            # same core over the same kernel model is run in-process by kdx4610-sim's tests.
            if "linux_update" in labels:
                continue
            if Path(command[0]).name == "kdx_tests":
                self.unit_tests = command[0]
            else:
                self.other_tests.append(test["name"])

    def run_tests(self, timeout):
        """'passed', 'failed: <what>' or 'timeout'. The unit tests run first, split in --jobs
        shards that stop at their first failure; then the other CTest entries (the programs)."""
        deadline = time.monotonic() + timeout
        shards = []
        for index in range(self.args.jobs):
            # Files the tests put in the temporary directory stay private to this shard: other
            # test runs on the machine must not read or replace them. TEST_TMPDIR is the one
            # CTest gives each case; run directly, a test without it falls back on /tmp.
            private = self.build / "mutate-tmp" / str(index)
            private.mkdir(parents=True, exist_ok=True)
            env = dict(os.environ, GTEST_TOTAL_SHARDS=str(self.args.jobs), GTEST_SHARD_INDEX=str(index),
                       TMPDIR=str(private), TEST_TMPDIR=str(private))
            # A sanitizer ends the process without GoogleTest's failure line: the test that
            # ran is the last one started, so the sanitizer tree lists them all.
            brief = [] if self.args.sanitize else ["--gtest_brief=1"]
            command = [self.unit_tests] + brief + ([] if self.args.all_failures else ["--gtest_fail_fast"])
            shards.append(subprocess.Popen(command,
                                           cwd=self.build, stdout=subprocess.PIPE,
                                           stderr=subprocess.STDOUT, start_new_session=True, env=env))
        failed = []
        try:
            for shard in shards:
                try:
                    out, _ = shard.communicate(timeout=max(0.1, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    return "timeout"
                if shard.returncode != 0:
                    text = out.decode(errors="replace")
                    names = re.findall(r"^\[  FAILED  \] (\S+\.[^\s,]+)", text, re.M)
                    report = SANITIZER_REPORT.search(text)
                    if report and not names:
                        self.sanitizer = report.group(1) or "UndefinedBehaviorSanitizer: " + report.group(2).strip()
                        names = re.findall(r"^\[ RUN      \] (\S+)", text, re.M)[-1:]
                    failed += names or ["kdx_tests exit %d" % shard.returncode]
        finally:
            for shard in shards:
                if shard.poll() is None:
                    os.killpg(shard.pid, signal.SIGKILL)
                    shard.communicate()
        if failed and not self.args.all_failures:
            return "failed: " + failed[0]
        if self.other_tests:
            pattern = "^(%s)$" % "|".join(re.escape(name) for name in self.other_tests)
            stop = [] if self.args.all_failures else ["--stop-on-failure"]
            status, out = self.run(["ctest", "-j", str(self.args.jobs)] + stop + ["-R", pattern],
                                   max(0.1, deadline - time.monotonic()),
                                   env=dict(os.environ, TMPDIR=str(self.build / "mutate-tmp")))
            if status is None:
                return "timeout"
            if status != 0:
                failed += re.findall(r"^\s*\d+ - (\S+) \(", out, re.M) or ["ctest"]
        return "failed: " + " ".join(failed) if failed else "passed"

    def apply(self, mutant):
        path = ROOT / mutant["file"]
        original = path.read_bytes()
        lines = original.decode("utf-8").split("\n")
        line = lines[mutant["line"] - 1]
        column = mutant["column"] - 1
        assert line[column:column + len(mutant["original"])] == mutant["original"], mutant
        lines[mutant["line"] - 1] = line[:column] + mutant["new"] + line[column + len(mutant["original"]):]
        saved = self.backup / mutant["file"]
        saved.parent.mkdir(parents=True, exist_ok=True)
        saved.write_bytes(original)
        self.current = (path, original)
        path.write_bytes("\n".join(lines).encode("utf-8"))

    def restore(self):
        if self.current is None:
            return
        path, original = self.current
        path.write_bytes(original)
        if path.read_bytes() != original:
            sys.exit("mutate: could not restore %s" % path)
        (self.backup / path.relative_to(ROOT)).unlink(missing_ok=True)
        self.current = None

    def try_mutant(self, mutant):
        started = time.monotonic()
        self.sanitizer = None
        self.apply(mutant)
        try:
            status, out = self.run(["cmake", "--build", "."], self.args.build_timeout)
            if status != 0:
                result = "invalid"
            else:
                result = self.run_tests(self.args.timeout)
        finally:
            self.restore()
        mutant["seconds"] = round(time.monotonic() - started, 1)
        if result == "invalid":
            mutant["status"] = "invalid"
        elif result == "passed":
            mutant["status"] = "survived"
        elif result == "timeout":
            mutant["status"] = "killed"
            mutant["by"] = "timeout"
        else:
            mutant["status"] = "killed"
            mutant["by"] = result[len("failed: "):].split(" ")[0]
            if self.args.all_failures:
                mutant["failing"] = result[len("failed: "):].split(" ")
            if self.sanitizer:
                mutant["sanitizer"] = self.sanitizer
        if self.args.sanitize:
            mutant["mode"] = "sanitize"
        return mutant


def read_equivalents():
    judged = {}
    if EQUIVALENTS.exists():
        for line in EQUIVALENTS.read_text(encoding="utf-8").splitlines():
            m = re.match(r"^- \[([0-9a-f]{8})\] .*?: (.*)$", line)
            if m:
                judged[m.group(1)] = m.group(2)
    return judged


def git_clean(files):
    return subprocess.run(["git", "diff", "--quiet", "HEAD", "--"] + files, cwd=ROOT).returncode == 0


def report(results, args, seconds, ran, judged):
    scored = [m for m in results if m["status"] not in ("invalid", "gone")]
    invalid = sum(m["status"] == "invalid" for m in results)
    gone = [m for m in results if m["status"] == "gone"]
    sanitized = sum(m.get("mode") == "sanitize" for m in scored)
    print("mutate: seed %s, %d valid mutants scored (%d invalid skipped%s); %d run in %d s, %.1f s each%s"
          % (args.seed, len(scored), invalid, ", %d gone" % len(gone) if gone else "", ran, seconds,
             seconds / max(1, ran), "; the others' verdicts from " + args.survivors_of if args.survivors_of else "")
          + ("; %d scored under the sanitizers" % sanitized if sanitized else ""))
    print("%-10s %6s %7s %9s %11s %7s %15s" % ("directory", "valid", "killed", "survived", "equivalent",
                                               "score", "non-equivalent"))
    dirs = sorted({m["file"].split("/")[0] for m in scored}) + ["all"]
    for top in dirs:
        group = [m for m in scored if top == "all" or m["file"].split("/")[0] == top]
        killed = sum(m["status"] == "killed" for m in group)
        equivalent = sum(m["status"] == "survived" and m["id"] in judged for m in group)
        live = len(group) - equivalent
        print("%-10s %6d %7d %9d %11d %6.1f%% %14.1f%%" % (
            top, len(group), killed, len(group) - killed, equivalent,
            100.0 * killed / max(1, len(group)), 100.0 * killed / max(1, live)))
    survivors = [m for m in scored if m["status"] == "survived"]
    print("survivors: %d" % len(survivors))
    for m in sorted(survivors, key=lambda m: (m["file"], m["line"])):
        note = judged.get(m["id"])
        if args.brief:
            print("  %s:%d [%s] %s%s" % (m["file"], m["line"], m["id"], m["operator"], " (equivalent)" if note else ""))
            continue
        print("  %s:%d [%s] %s%s" % (m["file"], m["line"], m["id"], m["operator"],
                                      " (equivalent: %s)" % note if note else ""))
        print("      before: %s" % m["before"])
        print("      after:  %s" % m["after"])
    if gone:
        print("gone (their lines changed or moved since the earlier run; not scored): %d" % len(gone))
        for m in sorted(gone, key=lambda m: (m["file"], m["line"])):
            print("  %s:%d [%s] %s" % (m["file"], m["line"], m["id"], m["operator"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", default="1", help="sample seed (default 1)")
    parser.add_argument("--count", type=int, default=300, help="valid mutants to score (default 300)")
    parser.add_argument("--timeout", type=float,
                        help="seconds the tests of one mutant may take (default 60, with --sanitize 180)")
    parser.add_argument("--build-timeout", type=float, default=600, help="seconds one rebuild may take")
    parser.add_argument("--jobs", type=int, default=2, help="test processes run at once (default 2)")
    parser.add_argument("--build-dir", help="native build tree of the tool's own (default build-mutate, "
                                             "with --sanitize build-mutate-asan)")
    parser.add_argument("--sanitize", action="store_true",
                        help="build and test under AddressSanitizer and UBSan (the asan suite's switch): "
                             "a mutant that only a sanitizer sees is killed; with --survivors-of, an "
                             "earlier plain run's survivors are scored under the sanitizers")
    parser.add_argument("--json", help="write one JSON line per mutant to this file")
    parser.add_argument("--all-failures", action="store_true",
                        help="run every test of each mutant (no stop at the first failure) and record all "
                             "that fail: which tests kill which mutants")
    parser.add_argument("--survivors-of", metavar="JSON",
                        help="run again only the survivors of an earlier run's --json file, keeping its "
                             "other verdicts, and report the whole")
    parser.add_argument("--again-if-killed-by", metavar="REGEX",
                        help="with --survivors-of: also run again the mutants whose first failing test "
                             "matches (tests deleted or changed since)")
    parser.add_argument("--report", metavar="JSON",
                        help="only print the report of an earlier run's --json file, with today's judgements")
    parser.add_argument("--brief", action="store_true",
                        help="list each survivor on one line, without its source lines or the reason it is "
                             "judged equivalent (those are in tools/mutate-equivalents.md)")
    parser.add_argument("--headers", action="store_true",
                        help="sample the core's headers too (each such mutant rebuilds nearly every "
                             "file: minutes instead of seconds)")
    parser.add_argument("--files", metavar="REGEX",
                        help="draw mutants only from the core files whose path matches, e.g. chip/mailbox")
    parser.add_argument("--list", action="store_true", help="only list the sampled mutants, build nothing")
    args = parser.parse_args()
    if args.timeout is None:
        # Every test under the sanitizers takes some 40 s on two busy cores.
        args.timeout = 180 if args.sanitize else 60

    files = core_files(headers=True)  # none of them may be changed when the run starts
    mutants = all_mutants(args.seed, args.headers, args.files)
    if args.list:
        for m in mutants[:args.count]:
            print("%s:%d [%s] %s: %s  ->  %s" % (m["file"], m["line"], m["id"], m["operator"],
                                               m["before"], m["after"]))
        print("%d possible mutants in %d files" % (len(mutants), len({m["file"] for m in mutants})), file=sys.stderr)
        return 0

    if args.report:
        results = [json.loads(line) for line in open(args.report, encoding="utf-8")]
        report(results, args, sum(m.get("seconds", 0) for m in results), len(results), read_equivalents())
        return 0

    runner = Runner(args)
    runner.recover()
    if not git_clean(files):
        print("mutate: core files have uncommitted changes; commit or stash them first", file=sys.stderr)
        return 3

    def interrupted(signum, frame):
        runner.stop_child()
        raise KeyboardInterrupt
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, interrupted)

    started = time.monotonic()
    results = []
    ran = []
    journal = open(args.json, "w", encoding="utf-8") if args.json else None
    try:
        runner.configure()
        baseline = runner.run_tests(args.timeout)
        if baseline != "passed":
            sys.exit("mutate: the unchanged tree's tests do not pass (%s)" % baseline)
        def run_one(m):
            ran.append(m["id"])
            runner.try_mutant(m)
            results.append(m)
            record = {k: m[k] for k in ("id", "file", "line", "column", "operator", "before", "after",
                                        "status", "seconds", "by", "failing", "sanitizer", "mode") if k in m}
            if journal:
                journal.write(json.dumps(record) + "\n")
                journal.flush()
            print("[%d] %-8s %s:%d %s%s%s" % (len(results), m["status"], m["file"], m["line"], m["operator"],
                                              " (%s)" % m["by"] if "by" in m else "",
                                              " %s" % m["sanitizer"] if "sanitizer" in m else ""),
                  file=sys.stderr, flush=True)

        if args.survivors_of:
            # The earlier run's verdicts stand, but its survivors run again against today's
            # tests (tests added since can only kill more).
            by_id = {m["id"]: m for m in mutants}
            again = re.compile(args.again_if_killed_by) if args.again_if_killed_by else None
            for old in (json.loads(line) for line in open(args.survivors_of, encoding="utf-8")):
                if args.files and not re.search(args.files, old["file"]):
                    continue  # another file's verdict: not part of this run
                if again and old["status"] == "killed" and again.search(old.get("by", "")):
                    old = dict(old, status="survived")  # its killer is gone or changed: run it again
                if old["status"] == "survived" and old["id"] not in by_id:
                    print("mutate: %s [%s] is no longer in the code" % (old["file"], old["id"]), file=sys.stderr)
                    old = dict(old, status="gone")
                if old["status"] != "survived":
                    results.append(old)
                    if journal:
                        journal.write(json.dumps(old) + "\n")
                    continue
                run_one(by_id[old["id"]])
        position = 0
        while position < len(mutants) and not args.survivors_of:
            valid = sum(m["status"] != "invalid" for m in results)
            if valid >= args.count:
                break
            # The next batch by rank, run file by file so that each file is compiled once per
            # mutant (its restore and the next mutant of the same file share one compile).
            batch = mutants[position:position + args.count - valid]
            position += len(batch)
            for m in sorted(batch, key=lambda m: (m["file"], m["line"], m["column"])):
                run_one(m)
    except KeyboardInterrupt:
        print("mutate: interrupted", file=sys.stderr)
    finally:
        runner.restore()
        if journal:
            journal.close()
    if not git_clean(files):
        sys.exit("mutate: the tree differs from HEAD after the run")
    report(results, args, time.monotonic() - started, len(ran), read_equivalents())
    return 0


if __name__ == "__main__":
    sys.exit(main())
