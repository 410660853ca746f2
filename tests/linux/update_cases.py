#!/usr/bin/python3
"""The shipped kdx4610-update, unmodified, against the chip simulator: each case runs the
real program in a private mount namespace (ns_run.sh) over the simulator's sysfs tree, its
device nodes answered by kdx_sim_preload.so from the simulator's kernel model.

Usage: update_cases.py --program P --preload L --sysfs-tool T --sim S --image F
                       --payload-tool C --ns-run R --work DIR CASE

Each case leaves a transcript (commands, exit codes, what the program wrote) in
DIR/CASE/transcript.txt. The program runs on the real clock: an update takes about 20 s.
"""
import argparse
import difflib
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pexpect
import pexpect.fdpexpect

ISP_ENTRY_WRITE = "i2c-write 55 5185c200000309"  # the first ISP entry command to 0x37
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
SKIPPED = 77
CANNOT_INTERRUPT = "The firmware update cannot be interrupted"
CASES = {}


def case(*sim_options, name=None, **kwargs):
    """Registers a case (under the function's name unless `name` is given): it runs on a bench
    of its own, whose simulator has `sim_options`, with `kwargs` as its parameters."""
    def register(function):
        CASES[name or function.__name__] = (function, sim_options, kwargs)
        return function
    return register


class Failure(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failure(what)


def expect_exit(code, expected, what=""):
    expect(code == expected, "%sexit %d" % (what, code))


class Bench:
    """One case's directory, sysfs tree, lock directory and simulator options."""

    def __init__(self, args, name, sim_options=()):
        self.args = args
        self.dir = os.path.join(args.work, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.sim_options = list(sim_options)
        self.sysfs = os.path.join(self.dir, "sys")
        self.lock = os.path.join(self.dir, "lock")
        os.makedirs(self.lock)  # and the case's directory with it
        subprocess.run([args.sysfs_tool, self.sysfs, *self.sim_options], check=True)
        self.transcript = open(os.path.join(self.dir, "transcript.txt"), "w")
        # No logind unless a case brings its own bus: the runs must not depend on the machine's.
        self.bus = "unix:path=" + os.path.join(self.dir, "no-system-bus")

    def path(self, name):
        return os.path.join(self.dir, name)

    def log(self, text):
        self.transcript.write(text + "\n")
        self.transcript.flush()

    def command(self, program_args, tag="run", extra_options=(), user=()):
        options = self.sim_options + list(extra_options) + [
            "--trace", self.path(tag + ".trace"), "--flash-out", self.path(tag + ".flash")]
        return [self.args.ns_run, self.sysfs, self.lock, *user, "env",
                "LD_PRELOAD=" + self.args.preload,
                "KDX4610_SIM_OPTIONS=" + " ".join(options),
                "KDX4610_SIM_CALL_LOG=" + self.path(tag + ".calls"),
                self.args.program, *program_args]

    def environment(self, language="C.UTF-8"):
        kept = {k: v for k, v in os.environ.items() if not k.startswith(("LC_", "LANG"))}
        return dict(kept, LANG=language, DBUS_SYSTEM_BUS_ADDRESS=self.bus)

    def run(self, program_args, tag="run", extra_options=(), stdin_text=None, user=()):
        started = time.monotonic()
        done = subprocess.run(self.command(program_args, tag, extra_options, user), input=stdin_text,
                              capture_output=True, text=True, env=self.environment(), timeout=300)
        self.log("$ %skdx4610-update %s   [%s%s]  (%.1f s)" % (
            " ".join(user) + " " if user else "", " ".join(program_args), " ".join(self.sim_options + list(extra_options)) or "defaults",
            "" if stdin_text is None else ", stdin " + repr(stdin_text), time.monotonic() - started))
        self.log("exit %d\n--- stdout\n%s--- stderr\n%s---" % (done.returncode, done.stdout, done.stderr))
        return done

    def start(self, program_args, answers=None):
        """The program in the background, its stdout read through `process.out` (pexpect on the pipe),
        its stdin line-buffered: each line of `answers` reaches it as written."""
        process = subprocess.Popen(self.command(program_args), env=self.environment(), text=True, bufsize=1,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.out = pexpect.fdpexpect.fdspawn(process.stdout, encoding="utf-8", codec_errors="replace")
        process.out.logfile_read = io.StringIO()
        if answers is not None:
            process.stdin.write(answers)
        return process

    def flash_is_image(self, tag="run"):
        with open(self.path(tag + ".flash"), "rb") as f, open(self.args.image, "rb") as g:
            return f.read() == g.read()

    def calls(self, tag="run"):
        path = self.path(tag + ".calls")
        return open(path).read().splitlines() if os.path.exists(path) else []


def read_until(process, pattern, timeout):
    """Reads stdout until `pattern` (^ at each line's start) matches; false at its end or after `timeout` s."""
    return process.out.expect([re.compile(pattern, re.M), pexpect.EOF, pexpect.TIMEOUT], timeout=timeout) == 0


def finish(bench, process, what):
    process.out.expect(pexpect.EOF, timeout=300)
    err = process.stderr.read()  # a few lines: the pipe never fills while stdout is read to its end
    process.wait(timeout=300)
    out = process.out.logfile_read.getvalue()
    bench.log("%s: exit %d\n--- stdout\n%s--- stderr\n%s---" % (what, process.returncode, out, err))
    return process.returncode, out, err


def render(raw):
    """The screen a terminal shows for the bytes: carriage returns go back to column 0."""
    rows = raw.split("\n")
    if not rows[-1].strip("\r"):
        rows.pop()
    screen = []
    for row in rows:
        line = ""
        for part in row.split("\r"):
            line = part + line[len(part):]
        screen.append(line.rstrip())
    return "\n".join(screen) + "\n"


def pty_dialog(bench, language):
    """The dialog on a pseudo-terminal: each [y/n] answered y, the screen captured."""
    program, *words = bench.command([])
    child = pexpect.spawn(program, words, env=bench.environment(language), timeout=300, encoding="utf-8",
                          codec_errors="replace")
    child.logfile_read = io.StringIO()
    while child.expect_exact(["[y/n] ", pexpect.EOF]) == 0:
        child.send("y\n")
    child.close()  # the program closed its terminal: it has ended, or close ends it
    code = child.exitstatus if child.signalstatus is None else -child.signalstatus
    text = child.logfile_read.getvalue()
    screen = render(text)
    redraws = text.count("\r") - text.count("\r\n")
    bench.log("$ kdx4610-update   [pty, LANG=%s, answers y y]\nexit %d\n--- screen\n%s---\n%d redraws" % (
        language, code, screen, redraws))
    with open(bench.path("screen.txt"), "w") as f:
        f.write(screen)
    return code, screen, text


@case()
def usage(bench):
    for words, code in ((["--bogus"], 2), (["-s", "--check"], 2), (["/x"], 2), (["--help"], 0), (["--version"], 0)):
        done = bench.run(words)
        expect_exit(done.returncode, code, "%s: " % words)
        if code == 2:
            expect(done.stdout == "" and done.stderr.count("\n") == 1 and "try --help" in done.stderr,
                   "%s: one line with 'try --help' on stderr" % words)
    expect("installs KDX4610 firmware version 1.58" in bench.run(["--version"]).stdout, "--version names 1.58")


def without_release_race(bench, ours_path, ref_path):
    """Once EndIsp's reply is released the ISP driver resets the chip a millisecond later. On
    the real clock, with other runs beside this one, the updater's read-back of that release
    can come after the reset and be NACKed (24: each read the kernel's probe of DPCD 0 and its
    retries) where on virtual time it read the 0. What follows the release is left out of both
    traces (copies ending .cmp) when that is where they differ."""
    def fields(line):
        return line.rstrip("\n").split("\t")
    def after_release(line, statuses):
        # A 1-byte read of the reply buffer that ended so, or the kernel's probe of DPCD 0.
        f = fields(line)
        return len(f) >= 7 and f[1] == "R" and f[5] == "1" and (
            (f[4] == "0x0" and f[6] == "0") or (f[4] == "0x10000" and f[6] in statuses))
    def tail(lines, statuses):  # how many lines stay: those before the run of such reads at the end
        return next((n for n in range(len(lines), 0, -1) if not after_release(lines[n - 1], statuses)), 0)
    ours, theirs = open(ours_path).readlines(), open(ref_path).readlines()
    ours_kept, theirs_kept = tail(ours, ("24",)), tail(theirs, ("0",))
    nacked = sum(fields(l)[6] == "24" for l in ours[ours_kept:])
    if not nacked or not any(fields(l)[4] == "0x10000" for l in theirs[theirs_kept:]):
        return ours_path, ref_path
    bench.log("the read-back of EndIsp's release met the chip's reset: %d NACKed AUX reads after it left out"
              " (%d lines), and the in-process run's %d" % (nacked, len(ours) - ours_kept, len(theirs) - theirs_kept))
    paths = (ours_path + ".cmp", ref_path + ".cmp")
    for path, lines in zip(paths, (ours[:ours_kept], theirs[:theirs_kept])):
        with open(path, "w") as f:
            f.writelines(lines)
    return paths


@case()
def silent_update(bench):
    done = bench.run(["-s"])
    expect_exit(done.returncode, 0)
    expect(done.stdout == "", "nothing on stdout")
    expect(bench.flash_is_image(), "flash equals the image")
    # The same run in-process over the same kernel model, on the virtual clock.
    ref = bench.path("inprocess.trace")
    subprocess.run([bench.args.sim, "--backend", "linux", "--quiet", "--trace", ref, "--", "/s"], check=True)
    ours_path, ref = without_release_race(bench, bench.path("run.trace"), ref)
    compared = subprocess.run([bench.args.payload_tool, ours_path, ref], capture_output=True, text=True)
    bench.log("$ trace_payload.py %s %s\nexit %d\n%s%s" % (
        os.path.basename(ours_path), os.path.basename(ref), compared.returncode, compared.stdout, compared.stderr))
    expect(compared.returncode == 0, "payload equal to the in-process run's")
    # Line by line (time column left out) the traces differ only where a poll found nothing
    # yet a different number of times: that depends on the clock, and the namespace run is on
    # the real one. Such a poll is a reply read of the command port that got the null message
    # (6E 80 BE), or a 1-byte DPCD read that got 00 (the mailbox's empty reply buffer, a flag
    # not yet set, the kernel's probe read of DPCD 0 before it).
    strip = lambda path: [l.split("\t", 1)[1] for l in open(path) if not l.startswith("time_us")]
    ours, theirs = strip(ours_path), strip(ref)
    hunks = [op for op in difflib.SequenceMatcher(None, ours, theirs, autojunk=False).get_opcodes()
             if op[0] != "equal"]
    port_read = lambda f: f[0] == "R" and f[3] == "0x37" and f[2] in ("1", "5")
    empty_dpcd_read = lambda f: f[0] == "R" and f[2] == "9" and f[4] == "1" and f[6].strip() == "00"
    for tag, i1, i2, j1, j2 in hunks:
        lines = [l.split("\t") for l in ours[i1:i2] + theirs[j1:j2]]
        port_data = [f[6].strip() for f in lines if port_read(f) and f[6].strip()]
        expect(all(port_read(f) or empty_dpcd_read(f) for f in lines)
               and (not port_data or port_data[0].startswith("6e80be")),
               "the traces differ only in polls that found nothing yet (%s at line %d)" % (tag, i1 + 2))
    bench.log("trace lines: namespace %d, in-process %d; %d places differ, each a poll that found nothing yet, made "
              "more or less often" % (len(ours), len(theirs), len(hunks)))


@case(name="dialog_english_pty", language="en_US.UTF-8",
      texts=("KDX4610 Update v1.58", "Current firmware version: 1.40", "New firmware version: 1.58",
             "Update the firmware?", "Start update now?", "Updating the firmware ...",
             "Writing the firmware  524288/524288 [", "Firmware update was completed."))
@case(name="dialog_japanese_pty", language="ja_JP.UTF-8",
      texts=("現在のファームウェアのバージョン: 1.40", "アップデートを実行しますか？", "ファームウェアを書き込み中",
             "ファームウェアのアップデートが完了しました。"))
def dialog_on_pty(bench, language, texts):
    code, screen, raw = pty_dialog(bench, language)
    expect_exit(code, 0)
    for text in texts:
        expect(text in screen, "screen shows %r" % text)
    expect(bench.flash_is_image(), "flash equals the image")


@case()
def dialog_pipe_without_logind(bench):
    done = bench.run([], stdin_text="y\ny\n")
    expect_exit(done.returncode, 0)
    expect(not re.search(r"[\x00-\x09\x0b-\x1f\x7f]", done.stdout), "no control characters on stdout")
    for stage in ("Downloading the ISP driver", "Reading the flash ID", "Erasing the flash", "Writing the firmware"):
        expect(done.stdout.splitlines().count(stage) == 1, "one line for %r" % stage)
    expect("Note: logind could not be asked" in done.stdout, "the dialog says logind was not reached")
    expect(bench.flash_is_image(), "flash equals the image")


@case()
def check(bench):
    done = bench.run(["--check"])
    expect(done.returncode == 0 and "An update would run." in done.stdout, "would update: exit 0")
    expect("Installed firmware version: 1.40" in done.stdout, "names the installed version")
    trace = open(bench.path("run.trace")).read().splitlines()[1:]
    expect(not any(l.split("\t")[3] == "8" for l in trace), "no native write (the ISP mailbox)")
    expect(not any(c.startswith(ISP_ENTRY_WRITE) for c in bench.calls()), "no ISP entry command")
    done = bench.run(["--check"], tag="current", extra_options=["--fw-version", "1.58"])
    expect(done.returncode == 40 and "up to date" in done.stdout, "up to date: exit 40")


@case()
def list_channels(bench):
    done = bench.run(["--list"])
    expect_exit(done.returncode, 0)
    lines = done.stdout.splitlines()
    expect(len(lines) == 4, "four channels")
    expect(lines[0] == 'Port 1: card0-DP-1  /dev/drm_dp_aux0  /dev/i2c-5  "AUX B/DDI B/PHY B"  chip answers',
           "port 1 answers")
    expect(all(l.endswith("no chip") for l in lines[1:]), "the others do not")


@case("--device-id", "0x0D")
def second_port(bench):
    done = bench.run(["--list"])
    expect(done.returncode == 0 and "card0-DP-2  /dev/drm_dp_aux1  /dev/i2c-6" in done.stdout.splitlines()[1]
           and done.stdout.splitlines()[1].endswith("chip answers"), "--list: port 2 answers")
    done = bench.run(["--check"], tag="check")
    expect(done.returncode == 0 and "Chip found on port 2 (card0-DP-2: drm_dp_aux1, i2c-6)" in done.stdout,
           "--check finds it on port 2")


@case("--fault", "no-chip")
def no_chip(bench):
    done = bench.run(["-s"])
    expect(done.returncode == 30 and "No available connection was found!" in done.stderr, "30, the search's report")
    expect(bench.run(["--list"], tag="list").returncode == 30, "--list: 30")


AS_ROOT = "Permission denied! Run the program as root."


@case("--fault", "nodes-root-only", name="not_root", runs=(["-s"], ["--list"], ["--check"]), message=AS_ROOT)
@case("--fault", "no-i2c-dev", name="no_i2c_dev", runs=(["-s"], ["--list"]),
      message="the module i2c-dev is not loaded")
def refused(bench, runs, message, user=()):
    """Each run ends with 30 and says why on stderr."""
    for words in runs:
        done = bench.run(words, tag=words[0].strip("-"), user=user)
        expect_exit(done.returncode, 30, "%s: " % words)
        expect(message in done.stderr, "%s: says %r" % (words, message))


@case()
def not_root_user(bench):
    """A real user other than root: the nodes are refused as the kernel refuses them."""
    os.chmod(bench.lock, 0o1777)  # as /run/lock is
    if subprocess.run(NOBODY + ["test", "-x", bench.args.program, "-a", "-r", bench.args.preload]).returncode != 0:
        print("not_root_user: skipped, the user nobody cannot reach the build tree")
        sys.exit(SKIPPED)
    refused(bench, (["-s"], ["--list"]), AS_ROOT, user=NOBODY)


def wait_for_block_writes(bench, process, count, timeout):
    """Until the call log shows `count` native writes: the flash write is then under way."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        if sum(1 for c in bench.calls() if c.startswith("pwrite")) >= count:
            return True
        time.sleep(0.2)
    return False


@case(name="sigint_during_write", signals=[signal.SIGINT, signal.SIGINT, signal.SIGQUIT], silent=False)
@case(name="sigterm_during_write", signals=[signal.SIGTERM, signal.SIGHUP], silent=True)
def signal_during_write(bench, signals, silent):
    if silent:
        process = bench.start(["-s"])
        # Two native writes a block half: past the erase, into the blocks.
        expect(wait_for_block_writes(bench, process, 2000, 120), "the write began")
    else:
        process = bench.start([], answers="y\ny\n")
        expect(read_until(process, "^Writing the firmware\n", 120), "the write began")
        time.sleep(1.0)
    first = time.monotonic()
    for number in signals:
        process.send_signal(number)
        bench.log("sent %s during the write" % signal.Signals(number).name)
        time.sleep(0.5)
    code, out, err = finish(bench, process, "after the signals")
    bench.log("ended %.1f s after the first signal" % (time.monotonic() - first))
    expect_exit(code, 0)
    expect(err.count(CANNOT_INTERRUPT) == 1, "one message that the update cannot be interrupted")
    expect(out == "" if silent else "Firmware update was completed." in out, "the update completed")
    expect(bench.flash_is_image(), "flash equals the image")


@case(name="sigint_before_isp", number=signal.SIGINT)
@case(name="sigterm_before_isp", number=signal.SIGTERM)
def signal_before(bench, number):
    process = bench.start([])
    expect(read_until(process, r"\[y/n\] ", 60), "the dialog asks")
    time.sleep(0.3)
    started = time.monotonic()
    process.send_signal(number)
    code, out, err = finish(bench, process, "after %s at the prompt" % signal.Signals(number).name)
    bench.log("ended %.2f s after the signal" % (time.monotonic() - started))
    expect(code == -number, "ended by the signal (exit %d)" % code)
    calls = bench.calls()
    expect(any(c.startswith("open /dev/drm_dp_aux0") for c in calls), "the chip had been reached")
    expect(not any(c.startswith(("pwrite", ISP_ENTRY_WRITE)) for c in calls), "nothing written: no ISP command")


@case()
def two_instances(bench):
    first = bench.start([], answers="y\ny\n")
    expect(read_until(first, "^Writing the firmware\n", 120), "the first update writes")
    started = time.monotonic()
    second = bench.run(["-s"], tag="second")
    bench.log("second instance ended after %.2f s" % (time.monotonic() - started))
    expect_exit(second.returncode, 75, "second: ")
    expect("another update is running (process %d (kdx4610-update))" % first.pid in second.stderr,
           "second names the first")
    expect(bench.calls("second") == [], "second touched no node")
    code, out, err = finish(bench, first, "first instance")
    expect(code == 0 and bench.flash_is_image(), "the first update completed")


@case()
def logind_inhibitor(bench):
    import dbus
    import dbusmock
    dbusmock.DBusTestCase.start_system_bus()
    bench.bus = os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
    log_path = bench.path("dbusmock.log")
    log = open(log_path, "w")
    mock = dbusmock.DBusTestCase.spawn_server_template("logind", {}, stdout=log)[0]
    try:
        manager = dbus.Interface(dbus.SystemBus().get_object("org.freedesktop.login1", "/org/freedesktop/login1"),
                                 "org.freedesktop.login1.Manager")
        listed = lambda: [tuple(str(x) for x in i[:4]) for i in manager.ListInhibitors()]
        process = bench.start([])
        expect(read_until(process, r"\[y/n\] ", 60), "the dialog asks")
        before = listed()
        process.stdin.write("y\ny\n")
        expect(read_until(process, "^Writing the firmware\n", 120), "the write began")
        during = listed()
        code, out, err = finish(bench, process, "update")
        after = listed()
        bench.log("inhibitors at the prompt: %s\nduring the write: %s\nafter: %s" % (before, during, after))
        ours = ("sleep:shutdown:idle:handle-lid-switch", "kdx4610-update", "Updating the HDMI converter firmware",
                "block")
        expect(before == [] and during == [ours] and after == [], "taken for the ISP procedure only")
        expect(code == 0 and "logind could not" not in out, "no note when logind answered")
    finally:
        mock.terminate()
        mock.wait()
        dbusmock.DBusTestCase.stop_dbus(dbusmock.DBusTestCase.system_bus_pid)
        log.close()
    bench.log("--- dbusmock log\n" + open(log_path).read() + "---")
    expect("Inhibit \"sleep:shutdown:idle:handle-lid-switch\" \"kdx4610-update\" "
           "\"Updating the HDMI converter firmware\" \"block\"" in open(log_path).read(), "the call log has Inhibit")


@case()
def power_cut_then_second_run(bench):
    done = bench.run(["-s"], tag="cut", extra_options=["--fault", "power-cut-at-block=30"])
    expect_exit(done.returncode, 20, "the cut run: ")
    expect(not bench.flash_is_image("cut"), "the cut left the flash half written")
    done = bench.run(["-s"], tag="again", extra_options=["--flash-in", bench.path("cut.flash")])
    expect_exit(done.returncode, 0, "the second run: ")
    expect(bench.flash_is_image("again"), "the second run's flash equals the image")


def main():
    parser = argparse.ArgumentParser()
    for option in ("program", "preload", "sysfs-tool", "sim", "image", "payload-tool", "ns-run", "work"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    try:
        function, sim_options, kwargs = CASES[args.case]
        function(Bench(args, args.case, sim_options), **kwargs)
    except Failure as failure:
        print("%s: FAILED: %s (transcript in %s)" % (args.case, failure, os.path.join(args.work, args.case)))
        return 1
    print("%s: passed" % args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
