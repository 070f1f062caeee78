#!/usr/bin/env python3
"""Power-cut explorer for the real setup (MODEL.md beside this file gives the persistence model).

For each run kind: a prefix is prepared with the end-to-end harness, one run is recorded
(trace.py), the crash states of every crash point are built under the model (model.py), identical
machine states are merged, and each distinct state is written into the prefix (machine.py) and
started as the next start would: the setup with /silent /dir=C:\\windows (it settles the journal,
then refuses the folder with exit code 8, changing nothing else), or, after an uninstall, the
uninstaller as a user would start it. Every state must end exactly as the machine before the run
or after it (files under the folders the run touched, both registry views of every key it
touched, logs left out), and a second start must change nothing.

  explore.py --build DIR [--kinds fresh,repair,upgrade,rollback,cancel,uninstall] [--samples N]
             [--points all|named|N|at:A,B] [--limit N] [--jobs N] [--models as-built[,without-flushes]]
             [--report FILE] [--work DIR] [--keep]

The cancel run is a person's: the setup's plain window under an X server of the explorer's own,
cancelled while another program holds a file the install must move.
--jobs runs that many states side by side, each on a copy of the prefix.
--models as-built,without-flushes also runs the record with its registry flushes dropped: the setup
as it was before it flushed. --points named runs only the crash points the mends are about.
Prints one line per run kind: crash states, distinct states run, bad states; exit 1 when any is bad.
"""
import argparse
import copy
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
import model  # noqa: E402
import trace  # noqa: E402

KINDS = ("fresh", "repair", "upgrade", "rollback", "cancel", "uninstall")
PF = "C:\\Program Files\\Zelvan"
# Keys Wine writes at the start of a program wherever it runs: its own (in both views), those of the
# display adapter and the monitor, and its console's settings (written when a console is made).
WINES_OWN_EVERYWHERE = re.compile(model.WINE_OWN.pattern + r"|\\software\\wow6432node\\microsoft\\windows\\currentversion$"
                                  r"|\\control\\class\\\{4d36e968-e325-11ce-bfc1-08002be10318\}|\\enum\\display\\"
                                  r"|^\\registry\\user\\[^\\]+\\console(\\|$)", re.I)
SETUP = "C:\\zs\\ZelvanSetup.exe"
PREFIX_TOOL = os.path.join(SOURCE, "scripts", "wine-prefix")
OLD_SETUP = "C:\\zs\\ZelvanSetupOld.exe"


def harness_env(build, work):
    os.environ.setdefault("ZS_TEMPLATE_PREFIX", os.path.join(work, "template"))
    os.environ["ZS_BIN_DIR"] = build
    os.environ["ZS_SOURCE_DIR"] = SOURCE
    os.environ["ZS_WORK_DIR"] = work
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    tool = os.path.join(SOURCE, "scripts", "wine-prefix")
    subprocess.run([tool, "template", os.environ["ZS_TEMPLATE_PREFIX"]], check=True)
    import harness
    return harness


def stop(prefix):
    subprocess.run(["wineserver", "-k"], env=prefix.env(), stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=prefix.env(), stderr=subprocess.DEVNULL)


def run_to_end(prefix, exe, args, timeout=300):
    """Runs a program of ours until it and every program of ours it started have ended, then stops
    the session; returns the program's exit code. Waiting for Wine's own session processes to wind
    down by themselves costs about 2 s a start and changes nothing the check reads."""
    proc = subprocess.Popen(["wine", exe, *args], cwd=prefix.drive_c, env=prefix.env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    code = proc.wait(timeout=timeout)
    # The uninstaller hands its work to a copy of itself and ends at once.
    deadline = time.monotonic() + timeout
    while ours_running(prefix) and time.monotonic() < deadline:
        time.sleep(0.1)
    stop(prefix)
    return code


def ours_running(prefix):
    """Whether a setup or uninstaller runs in this prefix (Wine names a process by its program)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().lower()
            if b"zelvanuninstall" not in cmd and b"zelvansetup" not in cmd:
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix.dir.encode() + b"\0" in f.read():
                    return True
        except OSError:
            continue
    return False


def prepare(harness, kind, work):
    """The prefix before the recorded run, and the recorded program and arguments."""
    prefix = harness.Prefix(f"powercut-{kind}")
    # Wine's desktop integration writes .desktop files for shortcuts: not the setup's doing.
    prefix.overrides = "winemenubuilder.exe=d"
    os.makedirs(prefix.host_path("C:\\zs"), exist_ok=True)
    exe = prefix.host_path(SETUP)
    if kind == "upgrade":
        # The previous version is the plain sample; this one changes a file, adds one, drops one.
        old = prefix.host_path(OLD_SETUP)
        harness.make_setup(prefix, old)
        prefix.run(old, ["/silent"])

        def change(d):
            with open(os.path.join(d, "app", "ThirdPartyNotices.txt"), "a") as f:
                f.write("A notice added in 1500.\r\n")
            with open(os.path.join(d, "app", "Themes", "Contrast.zlth"), "w") as f:
                f.write("contrast theme\r\n")
            os.remove(os.path.join(d, "app", "Samples", "Welcome.zlvd"))
        harness.make_setup(prefix, exe, defines=["FileVersion=2.5.0.1500"], modify=change)
    else:
        harness.make_setup(prefix, exe)
    if kind == "rollback":
        # A failure while placing: a file stands where a folder of the program must go, so the
        # run stops after staging and most of the placing, and rolls back.
        folder = prefix.host_path("C:\\Program Files\\Zelvan")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "de"), "w") as f:
            f.write("in the way")
    if kind == "cancel":
        # Another program's file at a target, held open while the install copies, keeps the
        # install in its copying step until a person cancels it in the window.
        prefix.overrides += ";d2d1="  # plain mode: the drawn window's animation floods the record
        prefix.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        os.makedirs(prefix.host_path(PF), exist_ok=True)
        with open(os.path.join(prefix.host_path(PF), "Zelvan.exe.config"), "w") as f:
            f.write("<configuration/>\n")
    if kind in ("repair", "uninstall"):
        prefix.run(exe, ["/silent"])
    stop(prefix)
    if kind == "uninstall":
        folder = installed_folder(prefix)
        return prefix, folder + "\\ZelvanUninstall.exe", ["/silent"]
    if kind == "cancel":
        return prefix, SETUP, ["/norun"]
    return prefix, SETUP, ["/silent"]


def cancel_while_copying(harness, prefix):
    """Drives the recorded interactive install as a person would: install, then cancel while it
    waits on the file in use, and close the stopped message."""
    window = harness.x_window("Install Zelvan", timeout=180)
    if window is None:
        raise RuntimeError("the setup's window did not come up")
    helper = os.path.join(os.environ["ZS_BIN_DIR"], "testing", "proc-helpers", "zs-proc-helper.exe")
    holder = prefix.start(helper, ["hold", PF + "\\Zelvan.exe.config"])
    try:
        if not harness.wait_for(lambda: "helper" in harness.x_window_titles(), timeout=60):
            raise RuntimeError("the holder did not start")
        harness.x_keys(window, "space", "Return")

        def log_has(line):
            return any(l.startswith(line) for log in prefix.logs("Zelvan-Setup") for l in harness.LogFile(log).lines)

        if not harness.wait_for(lambda: log_has("In use, try "), timeout=300):
            raise RuntimeError("the install never reached the file in use")
        harness.x_keys(window, "Escape")
        for title in ("Stop installing?", "Installation stopped"):
            box = harness.x_window(title, timeout=300)
            if box is None:
                raise RuntimeError(f"no {title!r} message")
            time.sleep(0.5)
            harness.x_keys(box, "Return")
    finally:
        holder.kill()


def installed_folder(prefix):
    for base in ("C:\\Program Files (x86)\\Zelvan", "C:\\Program Files\\Zelvan"):
        if os.path.exists(prefix.host_path(base + "\\ZelvanUninstall.exe")):
            return base
    raise RuntimeError("no installed uninstaller")


class Explorer:
    def __init__(self, prefix, kind, ops, without_flushes, pre_dir):
        self.prefix, self.kind = prefix, kind
        ops = [op for op in ops if not model.is_wines_own(op)]
        # Never through a link: the prefix's user folders are links into the Unix home.
        self.roots, self.linked = [], []
        for r in machine.touched_roots(ops):
            (self.linked if machine.has_link(pre_dir, r) else self.roots).append(r)
        self.keys = machine.touched_keys(ops)
        self.pre_files = machine.read_files(os.path.join(pre_dir, "drive_c"), self.roots)
        self.ops = machine.resolve_appends(self.pre_files, ops)
        self.record = model.Record(self.ops, drop_flushes=without_flushes)
        self.pre_reg = {}
        for name, _ in machine.REG_FILES:
            with open(os.path.join(pre_dir, name), "rb") as f:
                self.pre_reg[name] = f.read()
        self.before = self.materialise(self.record.ops[:0], run=False)
        # What lies outside the run's folders and keys, as it is before any start: no start may
        # change it.
        self.outside = self.outside_now()
        self.after = self.materialise(self.record.ops, run=False)

    def write_state(self, kept):
        stop(self.prefix)
        for name, data in self.pre_reg.items():
            with open(os.path.join(self.prefix.dir, name), "wb") as f:
                f.write(data)
        reg = machine.Registry(self.prefix.dir)
        reg.apply(kept)
        reg.save()
        files = machine.apply_file_ops(self.pre_files, kept)
        machine.write_files(self.prefix.drive_c, self.roots, files)

    def observe(self, outside=False):
        """The machine inside what the run touched; with outside, also what changed outside it."""
        stop(self.prefix)
        files = machine.file_digest(machine.read_files(self.prefix.drive_c, self.roots))
        reg = machine.Registry(self.prefix.dir)
        inside = (files, reg.digest(self.keys))
        return (inside, self.changed_outside(reg)) if outside else inside

    def outside_now(self, reg=None):
        """Files and keys outside what the run touched (Wine's own keys, which every start of a
        program rewrites, left out); the server must be stopped."""
        files = machine.outside_files(self.prefix.drive_c, self.roots + self.linked)
        keys = machine.outside_keys(reg or machine.Registry(self.prefix.dir), self.keys, WINES_OWN_EVERYWHERE)
        return files, keys

    def changed_outside(self, reg):
        diff = [f"{what} {k}" for what, now, then in zip(("file", "key"), self.outside_now(reg), self.outside)
                for k in sorted(set(now) | set(then)) if now.get(k) != then.get(k)]
        return ", ".join(diff[:6]) + (" ..." if len(diff) > 6 else "")

    def materialise(self, kept, run):
        self.write_state(kept)
        # A restart: the first start of the session carries out the pending renames.
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.prefix.env(), cwd=self.prefix.drive_c,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.observe()

    def next_start(self):
        """Starts what a user would start next; returns the exit codes seen."""
        p = self.prefix
        if self.kind != "uninstall":
            return [run_to_end(p, p.host_path(SETUP), ["/silent", "/dir=C:\\windows"])]
        codes = []
        self.restart()
        try:
            folder = installed_folder(p)
            codes.append(run_to_end(p, p.host_path(folder + "\\ZelvanUninstall.exe"), ["/silent"]))
            return codes
        except RuntimeError:
            pass
        data = p.host_path("C:\\ProgramData\\ZelvanSetup")
        copies = [os.path.join(data, d, "ZelvanUninstall.exe") for d in (os.listdir(data) if os.path.isdir(data) else [])
                  if d.startswith("un-") and os.path.exists(os.path.join(data, d, "ZelvanUninstall.exe"))]
        if copies:
            codes.append(run_to_end(p, copies[0], ["/silent"]))
            return codes
        if not self.entry_exists():
            return codes  # nothing is installed: nothing for a user to start
        codes.append(run_to_end(p, p.host_path(SETUP), ["/silent"]))
        try:
            folder = installed_folder(p)
        except RuntimeError:
            return codes
        codes.append(run_to_end(p, p.host_path(folder + "\\ZelvanUninstall.exe"), ["/silent"]))
        return codes

    def restart(self):
        """Stops the session and starts a new one, which carries out the pending renames."""
        stop(self.prefix)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.prefix.env(), cwd=self.prefix.drive_c,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stop(self.prefix)

    def entry_exists(self):
        stop(self.prefix)
        reg = machine.Registry(self.prefix.dir)
        return any("\\uninstall\\{" in k for k in reg.digest(self.keys))

    def start_and_observe(self):
        codes = self.next_start()
        if self.kind == "uninstall":
            self.restart()  # what the uninstaller leaves for the restart goes with it
        state, outside = self.observe(outside=True)
        return codes, state, outside

    def check(self, kept):
        """Runs one crash state; returns None when good, else why it is bad."""
        self.write_state(kept)
        codes, first, outside = self.start_and_observe()
        # The second start sees nothing but the machine the first one left (logs aside), so it is
        # run once per machine: nearly every state's first start leaves the machine before or after.
        key = repr(first)
        if key not in self.second_starts:
            self.second_starts[key] = self.start_and_observe()
        more, second, outside_second = self.second_starts[key]
        codes = codes + more
        why = []
        allowed = (0, 1) if self.kind == "uninstall" else (8,)
        if any(c not in allowed for c in codes):
            why.append(f"exit codes {codes}")
        target = [self.after] if self.kind == "uninstall" else [self.before, self.after]
        if first not in target:
            why.append("machine is neither before nor after: " + describe(first, target))
        if second != first:
            why.append("a second start changed the machine: " + describe(second, [first]))
        if outside or outside_second:
            why.append("changed outside what the run touched: " + (outside or outside_second))
        return "; ".join(why) or None

    def worker(self, n):
        """A copy of this explorer on a prefix of its own, for running states side by side."""
        stop(self.prefix)
        twin = copy.copy(self)
        twin.prefix = copy.copy(self.prefix)
        twin.prefix.dir = f"{self.prefix.dir}-w{n}"
        twin.prefix.drive_c = os.path.join(twin.prefix.dir, "drive_c")
        subprocess.run([PREFIX_TOOL, "copy", self.prefix.dir, twin.prefix.dir], check=True)
        twin.second_starts = {}
        return twin


def run_states(ex, kind, label, states, jobs):
    """Checks the states, `jobs` at a time on prefixes of their own; returns [(state id, why)]."""
    def one(twin, state, kept):
        why = twin.check(kept)
        if why:
            print(f"BAD {kind} ({label}) {json.dumps(state_id(state))[:160]}: {why}", flush=True)
        return (state_id(state), why) if why else None

    if jobs <= 1 or len(states) < 2:
        ex.second_starts = {}
        return [b for b in (one(ex, s, k) for s, k in states) if b]
    twins = [ex.worker(n) for n in range(jobs)]
    ctx = multiprocessing.get_context("fork")
    readers = []
    for n, twin in enumerate(twins):
        r, w = ctx.Pipe(duplex=False)
        share = states[n::jobs]
        proc = ctx.Process(target=lambda t=twin, sh=share, w=w: w.send([b for b in (one(t, s, k) for s, k in sh) if b]))
        proc.start()
        readers.append((proc, r))
    bad = []
    for proc, r in readers:
        bad += r.recv()
        proc.join()
    for twin in twins:
        subprocess.run([PREFIX_TOOL, "remove", twin.prefix.dir])
    return bad


def evaluate(ex, kind, label, args):
    """Builds the crash states of the chosen points under the model, merges identical machines and
    runs each; returns the counts and the bad states."""
    started = time.monotonic()
    n = len(ex.record.ops)
    named = named_points(ex.record.ops)
    if args.points == "all":
        points = list(range(n + 1))
    elif args.points == "named":
        points = sorted(named.values())
    elif args.points.startswith("at:"):
        points = [int(p) for p in args.points[3:].split(",")]
    else:
        k = int(args.points)
        points = sorted(set(round(i * n / max(k - 1, 1)) for i in range(k)) | set(named.values()))
    for what, point in named.items():
        print(f"{kind} ({label}): {what} at crash point {point}", flush=True)
    seen = {}
    crash_states = 0
    for state in model.crash_states(ex.record, args.samples, args.seed, points):
        crash_states += 1
        kept = ex.record.kept_ops(state)
        fs = machine.file_digest(machine.apply_file_ops(ex.pre_files, kept))
        regkey = tuple(op for op in kept if op[0].startswith("reg"))
        seen.setdefault(hash((tuple(sorted(fs.items())), regkey)), (state, kept))
    distinct = list(seen.values())
    if args.limit and len(distinct) > args.limit:
        # The states of the named points are always run; the rest is a seeded sample.
        must = [d for d in distinct if d[0][0] in named.values()]
        rest = [d for d in distinct if d[0][0] not in named.values()]
        distinct = must + random.Random(args.seed).sample(rest, max(args.limit - len(must), 0))
    bad = run_states(ex, kind, label, distinct, args.jobs)
    secs = time.monotonic() - started
    print(f"{kind} ({label}): {n} operations, {len(points)} crash points, {crash_states} crash states, "
          f"{len(seen)} distinct, {len(distinct)} run, {len(bad)} bad, {secs:.0f} s", flush=True)
    return {"ops": n, "points": len(points), "crash_states": crash_states, "distinct": len(seen),
            "run": len(distinct), "bad": bad, "seconds": round(secs), "named": named}


def named_points(ops):
    """The crash points the mends are about, found by what the record does rather than by number:
    just after COMMIT is durable in the journal, just after a journal is deleted, and in the
    uninstaller's last steps: its entry's deletion, its own delete and its record's."""
    named = {}
    commit_written = False
    for i, op in enumerate(ops):
        name = op[1].lower() if isinstance(op[1], str) else ""
        if op[0] == "write" and name.endswith(".zsj") and b"COMMIT" in op[3]:
            commit_written = True
        elif op[0] == "fsync" and name.endswith(".zsj") and commit_written and "after COMMIT" not in named:
            named["after COMMIT"] = i + 1
        elif op[0] == "unlink" and name.endswith("install.zsj") and not commit_written:
            named["after the rolled-back journal is deleted"] = i + 1
        elif op[0] == "unlink" and name.endswith("install.zsj"):
            named["after the journal is deleted"] = i + 1
        elif op[0] == "unlink" and name.endswith("zelvanuninstall.zsu"):
            named["after the record is deleted"] = i + 1
        elif op[0] == "unlink" and name.endswith("/zelvanuninstall.exe") and "/un-" not in name and "/.zsnew-" not in name:
            named.setdefault("after the installed uninstaller is deleted", i + 1)
        elif (op[0] == "regdelkey" or (op[0] == "regdelval" and op[2].lower() == "installlocation")) and \
                "\\uninstall\\{" in name and "while the entry is deleted" not in named:
            # Without a cut inside it the entry is whole or gone; a hive written between two of its
            # values keeps an entry that no longer says where the install is.
            named["while the entry is deleted"] = i + 1
    return named


def describe(state, targets):
    best = None
    for t in targets:
        diff = [f"file {k}" for k in sorted(set(state[0]) | set(t[0])) if state[0].get(k) != t[0].get(k)]
        diff += [f"key {k}" for k in sorted(set(state[1]) | set(t[1])) if state[1].get(k) != t[1].get(k)]
        if best is None or len(diff) < len(best):
            best = diff
    return ", ".join(best[:6]) + (" ..." if len(best) > 6 else "")


def state_id(state):
    point, meta, hives, lost = state
    return [point, meta, list(map(list, hives)), sorted(map(list, lost))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--kinds", default=",".join(KINDS))
    ap.add_argument("--samples", type=int, default=2)
    ap.add_argument("--points", default="all", help="all, or how many crash points to spread over the record")
    ap.add_argument("--limit", type=int, default=0, help="at most this many distinct states per kind (0: all)")
    ap.add_argument("--seed", type=int, default=21)
    ap.add_argument("--models", default="as-built",
                    help="as-built, without-flushes (the record's registry flushes dropped: the setup before it "
                         "flushed), or both, comma-separated; only as-built decides the exit code")
    ap.add_argument("--jobs", type=int, default=2, help="states run side by side, each on a prefix of its own")
    ap.add_argument("--work", default="/tmp/powercut-explorer")
    ap.add_argument("--report", default="")
    ap.add_argument("--keep", action="store_true", help="keep the last prefix (with its logs) for a look")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    harness = harness_env(os.path.abspath(args.build), args.work)
    # The cancel is a person's, in the setup's window, on a screen of its own: another program's
    # window of the same title on a shared screen would take its keystrokes.
    xserver = harness.XServer() if "cancel" in args.kinds.split(",") else None
    bad_total = 0
    report = {}
    for kind in args.kinds.split(","):
        started = time.monotonic()
        prefix, program, pargs = prepare(harness, kind, args.work)
        rec_dir = os.path.join(args.work, f"record-{kind}")
        pre_dir = os.path.join(args.work, f"pre-{kind}")
        subprocess.run([os.path.join(SOURCE, "scripts", "wine-prefix"), "copy", prefix.dir, pre_dir], check=True)
        drive = (lambda: cancel_while_copying(harness, prefix)) if kind == "cancel" else None
        rc, log = trace.run_traced(prefix.env(), prefix.host_path(program) if ":" in program else program,
                                   pargs, rec_dir, prefix.drive_c, alongside=drive)
        stop(prefix)
        ops = trace.Recorder(prefix.dir).parse(log)
        ex = Explorer(prefix, kind, ops, False, pre_dir)
        subprocess.run([os.path.join(SOURCE, "scripts", "wine-prefix"), "remove", pre_dir])
        print(f"{kind}: recorded {len(ex.record.ops)} operations (exit {rc}) in {time.monotonic() - started:.0f} s",
              flush=True)
        # A run that did not end as its kind must (a cancel that came too late, say) records another.
        expected = {"rollback": 1, "cancel": 2}.get(kind, 0)
        if rc != expected:
            raise RuntimeError(f"the recorded {kind} run exited {rc}, not {expected}")
        report[kind] = {}
        for label in args.models.split(","):
            ex.record = model.Record(ex.ops, drop_flushes=(label == "without-flushes"))
            result = evaluate(ex, kind, label, args)
            report[kind][label] = result
            if label == "as-built":
                bad_total += len(result["bad"])
        if not args.keep:
            subprocess.run([os.path.join(SOURCE, "scripts", "wine-prefix"), "remove", prefix.dir])
    if xserver:
        xserver.stop()
    if args.report:
        with open(args.report, "w") as f:
            json.dump(report, f, indent=1)
    return 1 if bad_total else 0


if __name__ == "__main__":
    sys.exit(main())
