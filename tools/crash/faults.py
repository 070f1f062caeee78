#!/usr/bin/env python3
"""Fault sweep of the real setup: failures that are not power cuts (FAULTS.md beside this file).

For each run kind a prefix is prepared with the end-to-end harness from the test-only setup with
fault hooks (ZelvanSetupFaults's stub, so the installed uninstaller has them too). One run with
ZS_FAULT=count learns the calls the run makes; then, for each call (or a seeded sample of them),
the run is repeated on the machine as it was before, with exactly that call failing, and judged
from outside:

  - the exit code is one of the outcomes (setup: 0 installed, 1 failed and put back, 10 rollback
    incomplete; uninstaller: 0 removed, 1 something stays until the restart, 10);
  - the machine is exactly as before (1) or after (0) the run: files with their contents under the
    folders the run touches, both registry views of the keys it touches; after a 10, as before once
    the next start ran; the uninstaller's after a restart, once its own next start ran for a 1;
  - the log has exactly one "Windows error N" line for the failure (none or one when the run still
    succeeded: a retry may have absorbed it);
  - one more start changes nothing, and nothing outside the run's folders and keys changed.

The rollback kind also runs pairs: a first failure that rolls back, and a second one among the calls
of that rollback.

  faults.py --build DIR [--kinds fresh,repair,upgrade,rollback,uninstall] [--limit N] [--second N]
            [--jobs N] [--seed N] [--work DIR] [--report FILE] [--keep]
  faults.py --build DIR --check-shipped

Prints one line per kind, "KIND: N calls, N failed, N bad", then each bad case; exit 1 when any
case is bad.
"""
import argparse
import json
import multiprocessing
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import machine  # noqa: E402
import trace as prefix_trace  # noqa: E402
from ops import Create  # noqa: E402
from explore import ours_running, upgrade_sample  # noqa: E402

KINDS = ("fresh", "repair", "upgrade", "rollback", "uninstall")
SETUP = "C:\\zs\\ZelvanSetup.exe"
OLD_SETUP = "C:\\zs\\ZelvanSetupOld.exe"
PF = "C:\\Program Files\\Zelvan"
PREFIX_TOOL = os.path.join(SOURCE, "scripts", "wine-prefix")
SESSION_MANAGER = "\\registry\\machine\\system\\currentcontrolset\\control\\session manager"
USER_KEY = "\\registry\\user\\" + machine.USER_SID.lower()
# Keys Wine writes at the start of any program wherever it runs (as the power-cut explorer has them).
WINES_OWN = re.compile(r"\\software\\wine(\\|$)|\\software\\wow6432node\\wine(\\|$)|\\hardware\\|"
                       r"\\software\\wow6432node\\microsoft\\windows\\currentversion$"
                       r"|\\control\\class\\\{4d36e968-e325-11ce-bfc1-08002be10318\}|\\enum\\display\\"
                       r"|\\currentcontrolset\\control\\video\\|\\software\\microsoft\\windows nt\\currentversion\\fonts$"
                       r"|^\\registry\\user\\[^\\]+\\console(\\|$)|\\volatile environment$"
                       r"|\\software\\microsoft\\windows\\currentversion\\explorer\\", re.I)
WINDOWS_ERROR = re.compile(r"Windows error (\d+)\b")
EXIT_LINE = re.compile(r"^Exit code (\d+)$")

# ---------------------------------------------------------------------------------------------
# The pure part: the trace, names of what was touched, and the judgement of one case.


class Call:
    """One counted call of a trace line: "pid call index class.K.hash result path"."""

    def __init__(self, pid, index, key, result, path):
        self.pid, self.index, self.key, self.path = pid, index, key, path
        self.cls = key.split(".", 1)[0]
        self.error = int(result.split()[1]) if result.startswith("fail ") else None

    def __repr__(self):
        return f"#{self.index} {self.key} {self.path}"


def parse_trace(text):
    """The calls of a trace in the order they were written, the programs that started (pid ->
    program) and the plans a program refused."""
    calls, programs, refused = [], {}, []
    for line in text.splitlines():
        parts = line.split("\t")
        if len(parts) >= 6 and parts[1] == "call":
            calls.append(Call(parts[0], int(parts[2]), parts[3], parts[4], "\t".join(parts[5:])))
        elif len(parts) >= 3 and parts[1] == "start":
            programs[parts[0]] = parts[2]
        elif len(parts) >= 2 and parts[1] == "bad-plan":
            refused.append("\t".join(parts[2:]))
    return calls, programs, refused


def default_error(cls):
    """What the setup's hooks fail a class with when the plan names no error (fault_spec.cpp)."""
    return {"file-write": 112, "file-flush": 1117, "folder-flush": 1117, "move": 32, "delete-file": 32,
            "folder-create": 112, "folder-remove": 32, "reg-set": 5, "reg-delete": 5, "reg-flush": 1117,
            "restart-schedule": 5}[cls]


def drive_paths(call):
    """The C: paths a file call names, as drive paths ("c:/..."; move: both)."""
    if call.cls.startswith("reg-"):
        return []
    text = call.path
    for verb in ("add ", "remove "):
        if call.cls == "restart-schedule" and text.startswith(verb):
            text = text[len(verb):]
    out = []
    for p in text.split(" > "):
        m = re.match(r"^[Cc]:\\(.*)$", p)
        if m and m.group(1):
            out.append("c:/" + m.group(1).replace("\\", "/"))
    return out


def registry_key(call):
    """The registry key a registry call names, as the machine module spells keys; a restart
    schedule touches Session Manager."""
    if call.cls == "restart-schedule":
        return SESSION_MANAGER
    if not call.cls.startswith("reg-"):
        return None
    m = re.match(r"^(HKCR|HKLM|HKCU):(64|32)\\(.*)$", call.path.split("|", 1)[0], re.I)
    if not m:
        return None
    root, view, key = m.group(1).upper(), m.group(2), m.group(3).lower().rstrip("\\")
    if root == "HKCU":
        return USER_KEY + "\\" + key
    if root == "HKCR":
        return "\\registry\\machine\\software\\classes\\" + key
    if view == "32" and key.startswith("software\\") and not key.startswith("software\\classes"):
        return "\\registry\\machine\\software\\wow6432node\\" + key[len("software\\"):]
    return "\\registry\\machine\\" + key


def error_lines(lines, error):
    return [line for line in lines if any(int(n) == error for n in WINDOWS_ERROR.findall(line))]


def judge(kind, code, first, settled, again_same, injected, logged, outside, decided_elsewhere=False,
          ended_journal_left=False):
    """Why one case is bad (an empty list when it is good).

    code: the run's exit code (the uninstaller's copy's); first: "before", "after", "both" (a repair:
    they are the same) or None, what the machine was right after the run (the uninstaller's after a
    restart); settled: the same once the next start ran, or None when none ran; again_same: whether
    one more start changed nothing; injected: the Windows errors of the failed calls, in the order
    they failed; logged: {Windows error: how many log lines name it}; outside: what changed outside
    the run's folders and keys ("" when nothing).

    Each failure is logged at most once. One that the run got over (a retry, a second failure in a
    rollback that still completed) may go unsaid; the failure that decided a 1 must be said, and for
    a 10 the one in the rollback too. decided_elsewhere: the run's own failure (the rollback kind's) decided
    the 1, so no injected one did. ended_journal_left: a 0 left nothing but its ended journal, which
    the next start deletes without acting on it (settled is the state after that start); a 1 that
    left nothing but its rolled-back journal, which the next start rolls back again (nothing left to
    undo) and deletes."""
    why = []
    uninstall = kind == "uninstall"
    first = {"after", "before"} if first == "both" else {first}
    settled = {"after", "before"} if settled == "both" else {settled}

    def name(states):
        return "/".join(sorted(s for s in states if s)) or "neither before nor after"
    if code not in (0, 1, 10):
        why.append(f"exit code {code}, not 0, 1 or 10")
    elif uninstall:
        if code == 0 and "after" not in first:
            why.append(f"exit 0 but the machine is {name(first)}")
        elif code != 0 and "after" not in first and "after" not in settled:
            why.append(f"exit {code}, and the machine is {name(settled) if settled != {None} else name(first)} "
                       "even once the uninstaller ran again")
    elif code == 0 and "after" not in first and not (ended_journal_left and "after" in settled):
        why.append(f"exit 0 but the machine is {name(first)}")
    elif code == 1 and "before" not in first and not (ended_journal_left and "before" in settled):
        why.append(f"exit 1 but the machine is {name(first)}")
    elif code == 10 and "before" not in settled:
        why.append(f"exit 10 and the next start left the machine {name(settled)}")
    deciding = [] if decided_elsewhere else injected[:1]
    if code == 0:
        required = []
    elif code == 1:
        required = deciding
    else:  # only a failure in the rollback leaves it incomplete: the last one
        required = deciding + injected[-1:] if len(injected) > 1 else injected
    for error in sorted(set(injected)):
        lines = logged.get(error, 0)
        low, high = required.count(error), injected.count(error)
        if not low <= lines <= high:
            why.append(f"'Windows error {error}' logged {lines} times for {high} failure(s)"
                       + (f" ({low} of them deciding)" if low != high else ""))
    if again_same is False:
        why.append("one more start changed the machine")
    if outside:
        why.append("changed outside the run's folders and keys: " + outside)
    return why


def without_first_run_files(state, after):
    """Whether a state is the state after but for first-run files and folders in the user's own
    folders that are not there: those are written only when they can be, a failure is logged and
    the install goes on."""
    files, keys = state
    want, want_keys = after
    if keys != want_keys or not set(files) <= set(want):
        return False
    missing = set(want) - set(files)
    if any(files[p] != want[p] for p in files):
        return False
    return bool(missing) and all(p.startswith("c:/users/") and "/public/" not in p for p in missing)


def differences(state, other):
    """The file paths and keys in which two states differ."""
    return [k for i in (0, 1) for k in sorted(set(state[i]) | set(other[i])) if state[i].get(k) != other[i].get(k)]


def sample(keys, limit, seed):
    """At most `limit` of the keys, a seeded choice kept in the order given (all when limit is 0)."""
    if not limit or len(keys) <= limit:
        return list(keys)
    chosen = set(random.Random(seed).sample(range(len(keys)), limit))
    return [k for i, k in enumerate(keys) if i in chosen]


# ---------------------------------------------------------------------------------------------
# The machine part.


def harness_env(build, work):
    os.environ.setdefault("ZS_TEMPLATE_PREFIX", os.path.join(work, "template"))
    os.environ["ZS_BIN_DIR"] = build
    os.environ["ZS_SOURCE_DIR"] = SOURCE
    os.environ["ZS_WORK_DIR"] = work
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    subprocess.run([PREFIX_TOOL, "template", os.environ["ZS_TEMPLATE_PREFIX"]], check=True)
    import harness
    return harness


def stop(env):
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)


def resolve_case(drives, path):
    """A drive path with each existing component spelled as on disk."""
    letter = path.partition(":")[0].lower()
    return letter + ":" + machine.host(drives, path)[len(drives[letter]):]


def run_roots(drives, paths):
    """The folders a run's paths make it own. A path right below a drive names no folder of the run
    (the drive itself would become one), so it is left out."""
    deep = [p for p in paths if "/" in p.partition(":")[2].strip("/")]
    return machine.touched_roots([Create(resolve_case(drives, p)) for p in deep])


class Machine:
    """One prefix to run cases in, restored to the state before the run between cases."""

    def __init__(self, dir_, harness):
        self.dir = dir_
        self.drive_c = os.path.join(dir_, "drive_c")
        self.harness = harness

    @property
    def drives(self):
        # Asked anew: a Machine may be named before its prefix is copied in.
        return prefix_trace.prefix_drives(self.dir)

    def env(self, extra=None):
        env = dict(os.environ)
        env.update({"WINEPREFIX": self.dir, "WINEDEBUG": "-all",
                    "WINEDLLOVERRIDES": "mscoree=;mshtml=;winemenubuilder.exe=d"})
        env.pop("ZS_FAULT", None)
        env.pop("ZS_FAULT_TRACE", None)
        env.update(extra or {})
        return env

    def host(self, win_path):
        return machine.host(self.drives, win_path[0].lower() + ":" + win_path[2:].replace("\\", "/"))

    def logs(self):
        folder = self.host("C:\\ProgramData\\ZelvanSetup")
        if not os.path.isdir(folder):
            return {}
        out = {}
        for n in os.listdir(folder):
            if n.endswith(".log"):
                with open(os.path.join(folder, n), "rb") as f:
                    out[n] = f.read()
        return out

    def run(self, exe, args, extra=None, timeout=300):
        """Runs a program of ours to its end (and whatever of ours it started); returns its exit
        code and the log lines written meanwhile."""
        before = self.logs()
        env = self.env(extra)
        proc = subprocess.Popen(["wine", self.host(exe) if ":" in exe else exe, *args], cwd=self.drive_c,
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            code = -1
        deadline = time.monotonic() + timeout
        while ours_running(self.dir) and time.monotonic() < deadline:
            time.sleep(0.1)
        stop(env)
        lines = []
        for name, data in sorted(self.logs().items()):
            new = data[len(before.get(name, b"")):] if data.startswith(before.get(name, b"")) else data
            for line in new.replace(b"\xef\xbb\xbf", b"").decode("utf-8", "replace").split("\r\n"):
                if line:
                    lines.append(line[14:] if re.match(r"^\d\d:\d\d:\d\d\.\d\d\d  ", line) else line)
        return code, lines

    def restart(self):
        """A restart: the first start of a new session carries out the pending renames."""
        env = self.env()
        stop(env)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=env, cwd=self.drive_c,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stop(env)


def installed_uninstaller(m):
    for base in ("C:\\Program Files (x86)\\Zelvan", "C:\\Program Files\\Zelvan"):
        if os.path.exists(m.host(base + "\\ZelvanUninstall.exe")):
            return base + "\\ZelvanUninstall.exe"
    return None


def uninstall_code(launcher_code, lines):
    """The uninstaller's outcome: the launcher's own code unless its copy took over, then the
    copy's "Exit code N"."""
    codes = [int(m.group(1)) for m in (EXIT_LINE.match(line) for line in lines) if m]
    if launcher_code != 0 or "Restarted from a temp copy." not in lines:
        return launcher_code
    if 0 in codes:
        codes.remove(0)  # the launcher's own
    return codes[-1] if codes else -1


def prepare(harness, kind, build):
    """The prefix before the run of this kind; returns its Machine, program and arguments."""
    prefix = harness.Prefix(f"faults-{kind}")
    prefix.overrides = "winemenubuilder.exe=d"
    os.makedirs(prefix.host_path("C:\\zs"), exist_ok=True)
    stub = os.path.join(build, "src", "app", "ZelvanSetupFaults.exe")
    exe = prefix.host_path(SETUP)
    if kind == "upgrade":
        old = prefix.host_path(OLD_SETUP)
        harness.make_setup(prefix, old)
        prefix.run(old, ["/silent"])

        harness.make_setup(prefix, exe, defines=["FileVersion=2.5.0.1500"], modify=upgrade_sample, stub=stub)
    else:
        harness.make_setup(prefix, exe, stub=stub)
    if kind == "rollback":
        # A file where a folder of the program must go: the run fails while placing and rolls back.
        folder = prefix.host_path(PF)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "de"), "w") as f:
            f.write("in the way")
    if kind in ("repair", "uninstall"):
        prefix.run(exe, ["/silent"])
    m = Machine(prefix.dir, harness)
    stop(m.env())
    if kind == "uninstall":
        program = installed_uninstaller(m)
        if program is None:
            raise RuntimeError("the prepared install has no uninstaller")
        return m, program, ["/silent"]
    return m, SETUP, ["/silent"]


class Sweep:
    """One kind: the state before, the calls, the folders and keys, and the cases."""

    def __init__(self, kind, m, program, args, work):
        self.kind, self.m, self.program, self.args, self.work = kind, m, program, args, work
        self.pre_dir = os.path.join(work, f"pre-{kind}")
        subprocess.run([PREFIX_TOOL, "copy", m.dir, self.pre_dir], check=True)
        self.pre_reg = {}
        for name, _ in machine.REG_FILES:
            with open(os.path.join(self.pre_dir, name), "rb") as f:
                self.pre_reg[name] = f.read()

    def fault_env(self, plan, trace_path):
        return {"ZS_FAULT": plan, "ZS_FAULT_TRACE": "Z:" + trace_path.replace("/", "\\")}

    def start(self, m, plan, trace_path):
        """The run of this kind with a fault plan; returns (exit code, log lines, calls)."""
        if os.path.exists(trace_path):
            os.remove(trace_path)
        code, lines = m.run(self.program, self.args, self.fault_env(plan, trace_path))
        if self.kind == "uninstall":
            code = uninstall_code(code, lines)
        text = open(trace_path, encoding="utf-8", errors="replace").read() if os.path.exists(trace_path) else ""
        calls, _, refused = parse_trace(text)
        if refused:
            raise RuntimeError(f"the setup refused the plan {plan!r}: {refused[0]}")
        return code, lines, calls

    def count(self):
        """The counting run: the calls, then the folders and keys of the run and the states."""
        trace_path = os.path.join(self.work, f"count-{self.kind}.trace")
        pre_drives = prefix_trace.prefix_drives(self.pre_dir)
        pre_outside_files = machine.outside_files(pre_drives, [])
        pre_outside_keys = machine.outside_keys(machine.Registry(self.pre_dir), [], WINES_OWN)
        code, lines, calls = self.start(self.m, "count", trace_path)
        expected = 1 if self.kind == "rollback" else 0
        if code != expected:
            raise RuntimeError(f"the counting {self.kind} run exited {code}, not {expected}:\n" + "\n".join(lines[-15:]))
        if self.kind == "uninstall":
            self.m.restart()
        self.calls = calls
        rels = [p for c in calls for p in drive_paths(c)]
        # What the run changed that no counted call names (a log, a shortcut's folder) is its too.
        after_files = machine.outside_files(self.m.drives, [])
        rels += [p for p in set(after_files) | set(pre_outside_files)
                 if after_files.get(p) != pre_outside_files.get(p)]
        self.roots = [r for r in run_roots(self.m.drives, rels) if not machine.has_link(pre_drives, r)]
        keys = {k for k in (registry_key(c) for c in calls) if k}
        after_keys = machine.outside_keys(machine.Registry(self.m.dir), [], WINES_OWN)
        keys |= {k for k in set(after_keys) | set(pre_outside_keys) if after_keys.get(k) != pre_outside_keys.get(k)}
        self.keys = sorted(keys)
        self.pre_files = machine.within_only(machine.read_files(pre_drives, self.roots), self.roots)
        self.after = self.observe(self.m)
        self.before = self.state_of(pre_drives, self.pre_dir)
        self.outside = self.outside_of(pre_drives, machine.Registry(self.pre_dir))
        self.natural_lines = lines

    @staticmethod
    def normal(line):
        return re.sub(r"[0-9a-fA-F]{8,}", "#", line)

    def state_of(self, drives, prefix_dir):
        # Only what lies at or below the roots: the folders above them are no part of a state.
        files = machine.file_digest(machine.within_only(machine.read_files(drives, self.roots), self.roots))
        # A shell link holds its target's file times, which every install writes anew.
        files = {p: ("shell link" if p.endswith(".lnk") and d != "folder" else d) for p, d in files.items()}
        return files, machine.Registry(prefix_dir).digest(self.keys)

    def observe(self, m):
        stop(m.env())
        return self.state_of(m.drives, m.dir)

    def outside_of(self, drives, reg):
        return machine.outside_files(drives, self.roots), machine.outside_keys(reg, self.keys, WINES_OWN)

    def changed_outside(self, m):
        now = self.outside_of(m.drives, machine.Registry(m.dir))
        diff = [f"{what} {k}" for what, a, b in zip(("file", "key"), now, self.outside)
                for k in sorted(set(a) | set(b)) if a.get(k) != b.get(k)]
        return ", ".join(diff[:4]) + (" ..." if len(diff) > 4 else "")

    def restore(self, m):
        stop(m.env())
        for name, data in self.pre_reg.items():
            with open(os.path.join(m.dir, name), "wb") as f:
                f.write(data)
        machine.write_files(m.drives, self.roots, self.pre_files)

    def name_state(self, state):
        if state == self.before:
            return "both" if state == self.after else "before"
        if state == self.after or without_first_run_files(state, self.after):
            return "after"
        return None

    def describe(self, state):
        best = None
        for t in (self.before, self.after):
            diff = [f"file {k}" for k in sorted(set(state[0]) | set(t[0])) if state[0].get(k) != t[0].get(k)]
            diff += [f"key {k}" for k in sorted(set(state[1]) | set(t[1])) if state[1].get(k) != t[1].get(k)]
            if best is None or len(diff) < len(best):
                best = diff
        return ", ".join(best[:4]) + (" ..." if len(best) > 4 else "")

    def next_start(self, m):
        """What a user starts next: the setup, which settles a journal and then refuses the
        Windows folder (8); after an uninstall, the uninstaller while one is installed."""
        if self.kind != "uninstall":
            return m.run(SETUP, ["/silent", "/dir=C:\\windows"])[0]
        program = installed_uninstaller(m)
        if program is None:
            return None
        code, lines = m.run(program, ["/silent"])
        m.restart()
        return uninstall_code(code, lines)

    def case(self, m, targets, tag):
        """Runs one case (the calls `targets` fail); returns its result as a dict."""
        self.restore(m)
        trace_path = os.path.join(self.work, f"case-{self.kind}-{tag}.trace")
        plan = "fail:" + ",".join(t.key for t in targets)
        code, lines, calls = self.start(m, plan, trace_path)
        failed = [c for c in calls if c.error is not None]
        result = {"targets": [[t.index, t.cls, t.path, t.key] for t in targets], "code": code,
                  "failed": len(failed), "calls": len(calls)}
        if len(failed) != len(targets):
            # Not the product's fault: the call was not made this time (FAULTS.md on names).
            result["missed"] = f"{len(failed)} of the {len(targets)} calls were reached"
            return result, calls
        if self.kind == "uninstall":
            m.restart()
        state = self.observe(m)
        first = self.name_state(state)
        left_for_restart = False
        if code == 0 and first is None and self.kind != "uninstall":
            # What could not be deleted now goes at the next restart (which every start of a new
            # session here is): the state after a restart is the one that counts.
            m.restart()
            restarted = self.observe(m)
            # A repair's machine after is the one before it: "both" is after too.
            if self.name_state(restarted) in ("after", "both"):
                state, first, left_for_restart = restarted, self.name_state(restarted), True
        settled = None
        # A journal whose delete failed at the end stays for the next start, which deletes it.
        ended_journal_left = code in (0, 1) and first is None and self.kind != "uninstall" and all(
            p.startswith("c:/programdata/zelvansetup/")
            for p in differences(state, self.after if code == 0 else self.before))
        if code == 10 or ended_journal_left or (self.kind == "uninstall" and code != 0 and first != "after"):
            self.next_start(m)
            state = self.observe(m)
            settled = self.name_state(state)
        # One more start must find nothing to do.
        self.next_start(m)
        again = self.observe(m)
        # The order the targets were given is the order they fail in: the sweep's pairs are a
        # failure and then one of its rollback.
        injected = [next(c.error for c in failed if c.key == t.key) for t in targets]
        errors = {e: len(error_lines(lines, e)) for e in set(injected)}
        outside = self.changed_outside(m)
        # The rollback kind fails on its own: when its own failure is in the log, that failure
        # decided the outcome, not the injected one.
        own = [self.normal(line) for line in self.natural_lines if WINDOWS_ERROR.search(line)]
        decided_elsewhere = bool(own) and all(o in {self.normal(line) for line in lines} for o in own)
        why = judge(self.kind, code, first, settled, again == state, injected, errors, outside, decided_elsewhere,
                    ended_journal_left)
        if why and (first is None and settled is None):
            why.append("differs in " + self.describe(state))
        if why:
            pass
        elif ended_journal_left:
            result["note"] = "the journal was left for the next start"
        elif left_for_restart:
            result["note"] = "finished by the restart (deletes scheduled for it)"
        elif state != self.after and first == "after":
            result["note"] = "first-run files left out"
        elif any(n < injected.count(e) for e, n in errors.items()):
            result["note"] = "the run got over a failure without a log line"
        result["why"] = why
        result["logged"] = [line for e in errors for line in error_lines(lines, e)][:3]
        if why:
            result["log"] = [line for line in lines if re.search(r"rror|Stopped|Undo|Exit code|Rolled|Rollback|HRESULT|0x8", line)][:40]
        if not why and os.path.exists(trace_path):
            os.remove(trace_path)  # a good case's trace is of no further use; a bad one's is kept
        if outside:
            # What a bad case left outside would follow this prefix into its next cases.
            subprocess.run([PREFIX_TOOL, "copy", self.pre_dir, m.dir], check=True)
        return result, calls


def run_cases(sweep, jobs, work_list):
    """Runs the cases [(targets, tag)], `jobs` at a time on prefixes of their own."""
    if not work_list:
        return []
    jobs = max(1, min(jobs, len(work_list)))
    machines = []
    for n in range(jobs):
        d = f"{sweep.pre_dir}-w{n}"
        subprocess.run([PREFIX_TOOL, "copy", sweep.pre_dir, d], check=True)
        machines.append(Machine(d, sweep.m.harness))

    def share(m, items):
        out = []
        for targets, tag in items:
            result, _ = sweep.case(m, targets, tag)
            if result.get("why"):
                first = targets[0]
                print(f"BAD {sweep.kind} {tag} #{first.index} {first.cls} {first.path}: {'; '.join(result['why'])}",
                      flush=True)
            out.append(result)
        return out

    if jobs == 1:
        results = share(machines[0], work_list)
    else:
        ctx = multiprocessing.get_context("fork")
        readers = []
        for n, m in enumerate(machines):
            r, w = ctx.Pipe(duplex=False)
            proc = ctx.Process(target=lambda m=m, items=work_list[n::jobs], w=w: w.send(share(m, items)))
            proc.start()
            readers.append((proc, r))
        results = []
        for proc, r in readers:
            results += r.recv()
            proc.join()
    for m in machines:
        subprocess.run([PREFIX_TOOL, "remove", m.dir])
    return results


def second_failures(sweep, singles, limit, seed, jobs):
    """Pairs: a first failure that rolled back (exit 1), and one call of the rollback after it.
    Staging's writers may still write a file or two after the failure, on their own threads and not
    in every run: those are not the rollback's and are not chosen."""
    # A first failure that the run logged, so one that decided the rollback rather than one a retry
    # got over.
    firsts = [r for r in singles if r["code"] == 1 and not r.get("why") and not r.get("missed") and r.get("logged")]
    firsts = sample(firsts, limit, seed)
    work_list = []
    m = Machine(f"{sweep.pre_dir}-w0", sweep.m.harness)
    subprocess.run([PREFIX_TOOL, "copy", sweep.pre_dir, m.dir], check=True)
    rng = random.Random(seed)
    by_key = {c.key: c for c in sweep.calls}
    for n, r in enumerate(firsts):
        first = by_key[r["targets"][0][3]]
        _, calls = sweep.case(m, [first], f"firstof{n}")
        failed_at = next((c.index for c in calls if c.error is not None), None)
        later = [c for c in calls if failed_at is not None and c.index > failed_at
                 and not (c.cls in ("file-write", "folder-create") and ".zsnew-" in c.path.lower())]
        if later:
            work_list.append(([first, rng.choice(later)], f"pair{n}"))
    subprocess.run([PREFIX_TOOL, "remove", m.dir])
    return run_cases(sweep, jobs, work_list)


# The fault runtime reads this variable; a setup without the runtime has no reason to hold its name.
MARKER = "ZS_FAULT".encode("utf-16-le")
SHIPPED = ("src/app/ZelvanSetup.exe", "examples/zelvan/ZelvanSetup.exe")
TEST_ONLY = ("src/app/ZelvanSetupFaults.exe", "examples/zelvan/ZelvanSetupFaults.exe")


def check_shipped(build):
    """The setups that ship hold no fault hook, and the test-only ones do (so the look is sound)."""
    bad = []
    for rel, want in [(r, False) for r in SHIPPED] + [(r, True) for r in TEST_ONLY]:
        with open(os.path.join(build, rel), "rb") as f:
            has = MARKER in f.read()
        print(f"{rel}: {'has' if has else 'has no'} fault hooks")
        if has != want:
            bad.append(rel)
    return 1 if bad else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--kinds", default=",".join(KINDS))
    ap.add_argument("--limit", type=int, default=0, help="at most this many calls per kind, a seeded sample (0: all)")
    ap.add_argument("--second", type=int, default=0,
                    help="rollback kind: this many pairs of a first failure and a second during its rollback")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--work", default="/tmp/zs-faults")
    ap.add_argument("--only", default="", help="only these calls, by key (class.K.hash), comma-separated")
    ap.add_argument("--report", default="")
    ap.add_argument("--keep", action="store_true", help="keep the prepared prefixes")
    ap.add_argument("--check-shipped", action="store_true",
                    help="only check that the shipped setups hold no fault hook and the test-only ones do")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    if args.check_shipped:
        return check_shipped(build)
    if not os.path.exists(os.path.join(build, "src", "app", "ZelvanSetupFaults.exe")):
        sys.exit(f"faults.py: {build} has no src/app/ZelvanSetupFaults.exe")
    os.makedirs(args.work, exist_ok=True)
    harness = harness_env(build, args.work)
    report, summary, bad_total = {}, [], 0
    for kind in args.kinds.split(","):
        if kind not in KINDS:
            sys.exit(f"faults.py: unknown kind {kind}")
        started = time.monotonic()
        m, program, pargs = prepare(harness, kind, build)
        sweep = Sweep(kind, m, program, pargs, args.work)
        sweep.count()
        keys = sample([c for c in sweep.calls], args.limit, args.seed)
        if args.only:
            keys = [c for c in sweep.calls if c.key in args.only.split(",")]
        print(f"{kind}: counted {len(sweep.calls)} calls; failing {len(keys)} of them "
              f"({time.monotonic() - started:.0f} s so far)", flush=True)
        results = run_cases(sweep, args.jobs, [([c], f"{c.index}") for c in keys])
        line = (f"{kind}: {len(sweep.calls)} calls, {sum(1 for r in results if not r.get('missed'))} failed, "
                f"{sum(1 for r in results if r.get('why'))} bad")
        report[kind] = {"calls": [[c.index, c.key, c.path] for c in sweep.calls], "results": results}
        summary.append((line, results))
        if kind == "rollback" and args.second:
            pairs = second_failures(sweep, results, args.second, args.seed, args.jobs)
            report[kind]["pairs"] = pairs
            summary.append((f"rollback with a second failure: {sum(1 for r in pairs if not r.get('missed'))} pairs, "
                            f"{sum(1 for r in pairs if r.get('why'))} bad", pairs))
        print(f"{line} ({time.monotonic() - started:.0f} s)", flush=True)
        if not args.keep:
            subprocess.run([PREFIX_TOOL, "remove", m.dir])
            subprocess.run([PREFIX_TOOL, "remove", sweep.pre_dir])
    print()
    for line, results in summary:
        print(line)
        for r in results:
            if r.get("why"):
                bad_total += 1
                where = "; then ".join(f"#{t[0]} {t[1]} {t[2]}" for t in r["targets"])
                print(f"  BAD {where} (exit {r['code']}): {'; '.join(r['why'])}")
        missed = [r for r in results if r.get("missed")]
        if missed:
            print(f"  {len(missed)} not reached: " + ", ".join(
                "; then ".join(f"#{t[0]} {t[1]} {t[2]}" for t in r["targets"]) for r in missed[:6]))
        for note in sorted({r["note"] for r in results if r.get("note")}):
            notes = [r for r in results if r.get("note") == note]
            print(f"  {len(notes)} good with a note, {note}: " +
                  ", ".join(f"#{r['targets'][0][0]} {r['targets'][0][1]}" for r in notes[:12]))
    if args.report:
        with open(args.report, "w") as f:
            json.dump(report, f, indent=1)
    return 1 if bad_total else 0


if __name__ == "__main__":
    sys.exit(main())
