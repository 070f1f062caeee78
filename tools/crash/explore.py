#!/usr/bin/env python3
"""Power-cut explorer for the real setup (MODEL.md beside this file gives the persistence models).

For each run kind: a prefix is prepared with the end-to-end harness, one run is recorded
(trace.py), the record is replayed onto the machine before the run and compared with the machine
the run really left (any difference stops the explorer: the record cannot be trusted), the crash
states of every crash point are built under the persistence model (model.py), identical machine
states are merged, and each distinct state is written into the prefix (machine.py) and started as
the next start would. Every state must end exactly as the machine before the run or after it (files
under the folders the run touched, both registry views of every key it touched, logs left out), a
second start must change nothing, and nothing outside what the run touched may change.

  explore.py --build DIR [--kinds fresh,repair,...] [--persistence mild|harsh[,...]] [--samples N]
             [--mild-samples N] [--points all|named|N|at:A,B] [--limit N] [--jobs N] [--lean-starts]
             [--models as-built[,without-flushes]] [--no-second] [--nested-points N]
             [--report FILE] [--work DIR] [--keep]

Run kinds: fresh, repair, upgrade, rollback (a failure while placing), cancel (a person's, in the
window, under an X server of the explorer's own), uninstall, startfaster (an install with the
start-faster task), second-drive (an install to D:, a folder of the prefix), repair-in-use (a repair
whose cleanup meets an old file in use and leaves it to the restart), uninstall-after-cut (an install
cut, then the installed uninstaller as the next start) and nested (an install cut, then the next
start's recovery itself recorded and cut, then a third start).
--models as-built,without-flushes also runs the record with its registry flushes dropped: the setup
as it was before it flushed. --points named runs only the crash points the mends are about.
Prints one line per run kind and model: crash points, crash states, distinct states, states run,
bad states, seconds; exit 1 when any as-built state is bad.
"""
import argparse
import copy
import json
import multiprocessing
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import machine  # noqa: E402
import model  # noqa: E402
import ops as O  # noqa: E402
import replay  # noqa: E402
import trace  # noqa: E402

KINDS = ("fresh", "repair", "upgrade", "rollback", "cancel", "uninstall", "startfaster", "second-drive",
         "repair-in-use", "uninstall-after-cut", "nested")
DEFAULT_KINDS = ("fresh", "repair", "upgrade", "rollback", "cancel", "uninstall")
PF = "C:\\Program Files\\Zelvan"
SETUP = "C:\\zs\\ZelvanSetup.exe"
PREFIX_TOOL = os.path.join(SOURCE, "scripts", "wine-prefix")
OLD_SETUP = "C:\\zs\\ZelvanSetupOld.exe"
SESSION_MANAGER = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager"
# The drive a second-drive install goes to: a folder of the prefix.
SECOND_DRIVE = "drive_d"
EXPECTED_EXIT = {"rollback": 1, "cancel": 2}
# Wine's desktop, device and service processes, which a silent setup's recovery and the silent
# uninstaller do without: left out of the starts of the states with --lean-starts (a start and the
# session's end then cost about 1.1 s instead of 1.9 s here). The first start of a session still
# carries out the pending renames.
LEAN = "explorer.exe=d;winedevice.exe=d;plugplay.exe=d;services.exe=d"


class FidelityError(RuntimeError):
    """The record replayed on the machine before the run is not the machine the run left."""


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
    down by themselves costs about 2 s a start and changes nothing the check reads. In a lean
    prefix (no session processes of Wine's own) the server is started to end with its last
    process, which saves the registry sooner than stopping it does."""
    lean = LEAN in prefix.overrides
    if lean:
        subprocess.run(["wineserver", "-p0"], env=prefix.env(), stderr=subprocess.DEVNULL)
    proc = subprocess.Popen(["wine", exe, *args], cwd=prefix.drive_c, env=prefix.env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    code = proc.wait(timeout=timeout)
    # The uninstaller hands its work to a copy of itself; the copy may go on after the launcher ends
    # (it deletes the launcher's file once the launcher is gone).
    deadline = time.monotonic() + timeout
    while ours_running(prefix.dir) and time.monotonic() < deadline:
        time.sleep(0.05)
    if lean:
        try:
            subprocess.run(["wineserver", "-w"], env=prefix.env(), stderr=subprocess.DEVNULL, timeout=30)
            return code
        except subprocess.TimeoutExpired:
            pass
    stop(prefix)
    return code


def ours_running(prefix_dir):
    """Whether a setup or uninstaller runs in the prefix at this folder (Wine names a process by its
    program)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().lower()
            if b"zelvanuninstall" not in cmd and b"zelvansetup" not in cmd:
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix_dir.encode() + b"\0" in f.read():
                    return True
        except OSError:
            continue
    return False



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



def upgrade_sample(d):
    """The next version of the sample: a file changed, one added, one dropped."""
    with open(os.path.join(d, "app", "ThirdPartyNotices.txt"), "a") as f:
        f.write("A notice added in 1500.\r\n")
    with open(os.path.join(d, "app", "Themes", "Contrast.zlth"), "w") as f:
        f.write("contrast theme\r\n")
    os.remove(os.path.join(d, "app", "Samples", "Welcome.zlvd"))


def prepare(harness, kind, work):
    """The prefix before the recorded run, the recorded program and arguments, and the holder (a
    program started beside the run and ended after it) if any."""
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

        harness.make_setup(prefix, exe, defines=["FileVersion=2.5.0.1500"], modify=upgrade_sample)
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
    if kind == "second-drive":
        os.makedirs(os.path.join(prefix.dir, SECOND_DRIVE), exist_ok=True)
        os.symlink("../" + SECOND_DRIVE, os.path.join(prefix.dir, "dosdevices", "d:"))
    if kind in ("repair", "uninstall", "repair-in-use"):
        prefix.run(exe, ["/silent"])
    holder = None
    if kind == "repair-in-use":
        # An old file that is a running program's image: the repair moves it aside, and its
        # cleanup cannot delete it while it runs, so the delete waits for the restart.
        folder = installed_folder(prefix)
        helper = os.path.join(os.environ["ZS_BIN_DIR"], "testing", "proc-helpers", "zs-proc-helper.exe")
        held = folder + "\\ZelvanLauncher.exe"
        with open(helper, "rb") as src, open(prefix.host_path(held), "wb") as dst:
            dst.write(src.read())
        holder = (held, ["window"])
    stop(prefix)
    if kind == "uninstall":
        return prefix, installed_folder(prefix) + "\\ZelvanUninstall.exe", ["/silent"], holder
    if kind == "cancel":
        return prefix, SETUP, ["/norun"], holder
    if kind == "startfaster":
        return prefix, SETUP, ["/silent", "/tasks=startfaster"], holder
    if kind == "second-drive":
        return prefix, SETUP, ["/silent", "/dir=D:\\Zelvan"], holder
    return prefix, SETUP, ["/silent"], holder


def installed_folder(prefix):
    for base in ("C:\\Program Files (x86)\\Zelvan", "C:\\Program Files\\Zelvan", "D:\\Zelvan"):
        if os.path.exists(host_path(prefix, base + "\\ZelvanUninstall.exe")):
            return base
    raise RuntimeError("no installed uninstaller")


def host_path(prefix, win_path):
    """The host path of a drive path of the prefix, on any of its drives."""
    letter = win_path[0].lower()
    if letter == "c":
        return prefix.host_path(win_path)
    drives = trace.prefix_drives(prefix.dir)
    if letter not in drives:
        return os.path.join(prefix.dir, "dosdevices", letter + ":", win_path[3:].replace("\\", "/"))
    return machine.host(drives, letter + ":" + win_path[2:].replace("\\", "/"))


class Explorer:
    """One recorded run: the machine before it, its record resolved, and the check of a state."""

    def __init__(self, prefix, kind, ops, pre_dir, also_roots=(), also_keys=()):
        self.prefix, self.kind = prefix, kind
        self.drives = trace.prefix_drives(prefix.dir)
        pre_drives = trace.prefix_drives(pre_dir)
        # Never through a link: an install skips whatever lies behind one.
        roots, self.linked = [], []
        for r in machine.touched_roots(ops):
            (self.linked if machine.has_link(pre_drives, r) else roots).append(r)
        self.roots = sorted(set(roots) | set(also_roots))
        self.ops = [op for op in ops if not any(machine.within(p, self.linked) for p in O.paths_of(op))]
        self.keys = sorted(set(machine.touched_keys(self.ops)) | set(also_keys) | {SESSION_MANAGER})
        self.pre_files = machine.read_files(pre_drives, self.roots)
        self.steps, self.base = replay.resolve(self.pre_files, self.ops)
        self.pre_reg = {}
        for name, _ in machine.REG_FILES:
            with open(os.path.join(pre_dir, name), "rb") as f:
                self.pre_reg[name] = f.read()
        self.pre_registry = machine.Registry.from_bytes(self.pre_reg)
        self.outside_cache = {}
        self.pre_outside = self.outside_of(pre_dir, pre_drives)
        self.check_fidelity()
        full = replay.materialise(self.base, self.steps, len(self.steps), self.roots)
        self.before = self.materialise(machine.within_only(self.pre_files, self.roots), [])
        # What lies outside the run's folders and keys, as it is before any start: no start may
        # change it.
        self.outside = self.outside_now()
        self.after = self.materialise(full, [op for op in self.ops if isinstance(op, O.REG_CHANGE)])
        self.second_starts = {}
        if kind == "uninstall-after-cut":
            # What the uninstaller leaves of a whole install (the user's first-run files stay).
            self.write_state(full, [op for op in self.ops if isinstance(op, O.REG_CHANGE)])
            codes, self.removed, _ = self.start_and_observe()
            if any(c not in self.allowed_codes() for c in codes):
                raise RuntimeError(f"the uninstaller of the whole install exited {codes}")

    # --- the record against the machine the run left --------------------------------------------
    def outside_of(self, prefix_dir, drives):
        files = machine.outside_files(drives, self.roots + self.linked)
        keys = machine.outside_keys(machine.Registry(prefix_dir), self.keys, O.WINES_OWN, self.outside_cache)
        return files, keys

    def check_fidelity(self):
        """Replays the whole record on the machine before the run and compares it with the machine
        the run left (the prefix as it is now): files with their contents and sizes (logs too),
        folders, both registry views of every key the run touched and the pending renames, and
        everything outside them."""
        self.halt()
        diff = machine.record_differences(self.steps, self.base, self.pre_reg, self.roots, self.keys,
                                          machine.read_files(self.drives, self.roots), machine.Registry(self.prefix.dir))
        now_files, now_keys = self.outside_of(self.prefix.dir, self.drives)
        pre_files, pre_keys = self.pre_outside
        diff += [f"outside the record: file {p}" for p in sorted(set(now_files) | set(pre_files))
                 if now_files.get(p) != pre_files.get(p)]
        diff += [f"outside the record: key {k}" for k in sorted(set(now_keys) | set(pre_keys))
                 if now_keys.get(k) != pre_keys.get(k)]
        if diff:
            raise FidelityError(f"{self.kind}: the record replayed is not the machine the run left "
                                f"({len(diff)} differences): " + "; ".join(diff[:8]))

    # --- states ----------------------------------------------------------------------------------
    def halt(self):
        """Stops the prefix's session unless it is known to be stopped."""
        if not getattr(self, "stopped", False):
            stop(self.prefix)
        self.stopped = True

    def write_state(self, files, reg_ops):
        self.halt()
        reg = self.pre_registry.copy_to(self.prefix.dir)
        reg.apply(reg_ops)
        reg.save()
        machine.write_files(self.drives, self.roots, files)

    def observe(self, outside=False):
        """The machine inside what the run touched; with outside, also what changed outside it."""
        self.halt()
        files = machine.file_digest(machine.within_only(machine.read_files(self.drives, self.roots), self.roots))
        reg = machine.Registry(self.prefix.dir)
        inside = (files, reg.digest(self.keys))
        return (inside, self.changed_outside(reg)) if outside else inside

    def outside_now(self, reg=None):
        files = machine.outside_files(self.drives, self.roots + self.linked)
        keys = machine.outside_keys(reg or machine.Registry(self.prefix.dir), self.keys, O.WINES_OWN, self.outside_cache)
        return files, keys

    def changed_outside(self, reg):
        diff = [f"{what} {k}" for what, now, then in zip(("file", "key"), self.outside_now(reg), self.outside)
                for k in sorted(set(now) | set(then)) if now.get(k) != then.get(k)]
        return ", ".join(diff[:6]) + (" ..." if len(diff) > 6 else "")

    def materialise(self, files, reg_ops):
        self.write_state(files, reg_ops)
        # A restart: the first start of the session carries out the pending renames.
        self.restart()
        return self.observe()

    def restart(self):
        """Stops the session and starts a new one, which carries out the pending renames."""
        self.halt()
        run_to_end(self.prefix, "cmd", ["/c", "exit"])
        self.stopped = True

    # --- the next start --------------------------------------------------------------------------
    def targets(self):
        if self.kind == "uninstall":
            return [self.after]
        if self.kind == "uninstall-after-cut":
            return [self.before, self.removed]
        return [self.before, self.after]

    def allowed_codes(self):
        if self.kind in ("uninstall", "uninstall-after-cut"):
            return (0, 1, 8)
        return (8,)

    def next_start(self):
        """Starts what a user would start next; returns the exit codes seen."""
        p = self.prefix
        if self.kind == "uninstall-after-cut":
            return self.uninstall_whatever_is_there(try_setup_first=False)
        if self.kind != "uninstall":
            return [run_to_end(p, p.host_path(SETUP), ["/silent", "/dir=C:\\windows"])]
        return self.uninstall_whatever_is_there(try_setup_first=True)

    def uninstall_whatever_is_there(self, try_setup_first):
        """The installed uninstaller, else a left copy of it; when neither is there but an entry is,
        the setup (its start settles the journal) and then the uninstaller it left."""
        p = self.prefix
        codes = []
        self.restart()
        try:
            codes.append(run_to_end(p, host_path(p, installed_folder(p) + "\\ZelvanUninstall.exe"), ["/silent"]))
            return codes
        except RuntimeError:
            pass
        data = p.host_path("C:\\ProgramData\\ZelvanSetup")
        copies = [os.path.join(data, d, "ZelvanUninstall.exe") for d in (os.listdir(data) if os.path.isdir(data) else [])
                  if d.startswith("un-") and os.path.exists(os.path.join(data, d, "ZelvanUninstall.exe"))]
        if copies:
            codes.append(run_to_end(p, copies[0], ["/silent"]))
            return codes
        if try_setup_first and not self.entry_exists():
            return codes  # nothing is installed: nothing for a user to start
        # What a user does who finds no uninstaller: starts the setup again, which settles the
        # journal, and then removes whatever it left installed.
        codes.append(run_to_end(p, p.host_path(SETUP), ["/silent", "/dir=C:\\windows"] if not try_setup_first
                                else ["/silent"]))
        try:
            folder = installed_folder(p)
        except RuntimeError:
            return codes
        codes.append(run_to_end(p, host_path(p, folder + "\\ZelvanUninstall.exe"), ["/silent"]))
        return codes

    def entry_exists(self):
        self.halt()
        reg = machine.Registry(self.prefix.dir)
        return any("\\uninstall\\{" in k for k in reg.digest(self.keys))

    def start_and_observe(self):
        self.stopped = False
        t0 = time.monotonic()
        codes = self.next_start()
        self.stopped = True  # every start is run to its end and its session stopped
        if os.environ.get("ZS_CRASH_TIMING"):
            print(f"timing: start {time.monotonic() - t0:.2f} s", flush=True)
        if self.kind in ("uninstall", "uninstall-after-cut"):
            self.restart()  # what the uninstaller leaves for the restart goes with it
        state, outside = self.observe(outside=True)
        return codes, state, outside

    def check(self, files, reg_ops, second=True):
        """Runs one crash state; returns None when good, else why it is bad."""
        t0 = time.monotonic()
        self.write_state(files, reg_ops)
        t1 = time.monotonic()
        codes, first, outside = self.start_and_observe()
        if os.environ.get("ZS_CRASH_TIMING"):
            print(f"timing: write {t1 - t0:.2f} s, start and observe {time.monotonic() - t1:.2f} s", flush=True)
        why = []
        if second:
            # The second start sees nothing but the machine the first one left (logs aside), so it
            # is run once per machine: nearly every state's first start leaves the machine before or
            # after.
            key = repr(first)
            if key not in self.second_starts:
                self.second_starts[key] = self.start_and_observe()
            more, again, outside_second = self.second_starts[key]
            codes = codes + more
            if again != first:
                why.append("a second start changed the machine: " + describe(again, [first]))
            outside = outside or outside_second
        if any(c not in self.allowed_codes() for c in codes):
            why.append(f"exit codes {codes}")
        target = self.targets()
        if first not in target:
            why.append("machine is neither before nor after: " + describe(first, target))
        if outside:
            why.append("changed outside what the run touched: " + outside)
        return "; ".join(why) or None

    def worker(self, n):
        """A copy of this explorer on a prefix of its own, for running states side by side."""
        stop(self.prefix)
        twin = copy.copy(self)
        twin.prefix = copy.copy(self.prefix)
        twin.prefix.dir = f"{self.prefix.dir}-w{n}"
        twin.prefix.drive_c = os.path.join(twin.prefix.dir, "drive_c")
        subprocess.run([PREFIX_TOOL, "copy", self.prefix.dir, twin.prefix.dir], check=True)
        twin.drives = trace.prefix_drives(twin.prefix.dir)
        twin.second_starts = {}
        twin.stopped = False
        return twin


def run_states(ex, kind, label, mdl, states, jobs, second):
    """Checks the states, `jobs` at a time on prefixes of their own; returns [(state, why)]."""
    def one(twin, state):
        why = twin.check(mdl.files(state, twin.roots), mdl.reg_ops(state), second)
        if why:
            print(f"BAD {kind} ({label}) {json.dumps(mdl.describe(state), default=str)[:300]}: {why}", flush=True)
        return (mdl.describe(state), why) if why else None

    if jobs <= 1 or len(states) < 2:
        ex.second_starts = {}
        return [b for b in (one(ex, s) for s in states) if b]
    # The prefixes side by side are made once per recorded run and kept for all its models.
    if len(getattr(ex, "twins", [])) < jobs:
        ex.twins = getattr(ex, "twins", []) + [ex.worker(n) for n in range(len(getattr(ex, "twins", [])), jobs)]
    twins = ex.twins[:jobs]
    ctx = multiprocessing.get_context("fork")
    readers = []
    for n, twin in enumerate(twins):
        r, w = ctx.Pipe(duplex=False)
        share = states[n::jobs]
        proc = ctx.Process(target=lambda t=twin, sh=share, w=w: w.send([b for b in (one(t, s) for s in sh) if b]))
        proc.start()
        readers.append((proc, r))
    bad = []
    for proc, r in readers:
        bad += r.recv()
        proc.join()
    return bad


def release_twins(ex):
    for twin in getattr(ex, "twins", []):
        subprocess.run([PREFIX_TOOL, "remove", twin.prefix.dir])
    ex.twins = []


def choose_points(args, n, named):
    if args.points == "all":
        return list(range(n + 1))
    if args.points == "named":
        return sorted(set(named.values()))
    if args.points.startswith("at:"):
        return [int(p) for p in args.points[3:].split(",")]
    k = int(args.points)
    return sorted(set(round(i * n / max(k - 1, 1)) for i in range(k)) | set(named.values()))


def distinct_states(ex, mdl, points, args):
    """The model's crash states at the points, merged by the machine they leave; (count, distinct)."""
    seen = {}
    count = 0
    samples = args.mild_samples if mdl.name == "mild" and args.mild_samples is not None else args.samples
    for state in model.crash_states(mdl, samples, args.seed, points):
        count += 1
        fs = machine.file_digest(mdl.files(state, ex.roots))
        key = hash((tuple(sorted(fs.items())), tuple(mdl.reg_ops(state))))
        seen.setdefault(key, state)
    return count, list(seen.values())


def evaluate(ex, kind, label, mdl, args):
    """Builds the crash states of the chosen points under the model, merges identical machines and
    runs each; returns the counts and the bad states."""
    started = time.monotonic()
    n = len(ex.ops)
    named = named_points(ex.ops)
    points = choose_points(args, n, named)
    for what, point in named.items():
        print(f"{kind} ({label}): {what} at crash point {point}", flush=True)
    count, distinct = distinct_states(ex, mdl, points, args)
    run = distinct
    if args.limit and len(distinct) > args.limit:
        # The states of the named points are always run; the rest is a seeded sample.
        must = [d for d in distinct if d.point in named.values()][: args.limit]
        rest = [d for d in distinct if d.point not in named.values()]
        run = must + random.Random(args.seed).sample(rest, max(args.limit - len(must), 0))
    building = time.monotonic() - started
    bad = run_states(ex, kind, label, mdl, run, args.jobs, not args.no_second)
    secs = time.monotonic() - started
    if os.environ.get("ZS_CRASH_TIMING"):
        print(f"timing: building states {building:.1f} s, running them {secs - building:.1f} s", flush=True)
    print(f"{kind} ({label}): {n} operations, {len(points)} crash points, {count} crash states, "
          f"{len(distinct)} distinct, {len(run)} run, {len(bad)} bad, {secs:.0f} s", flush=True)
    return {"ops": n, "points": len(points), "crash_states": count, "distinct": len(distinct),
            "run": len(run), "bad": bad, "seconds": round(secs), "named": named}


def named_points(ops):
    """The crash points the mends are about, found by what the record does rather than by number:
    just after COMMIT is durable in the journal, just after a journal is deleted, and in the
    uninstaller's last steps: its entry's deletion, its own delete and its record's."""
    named = {}
    commit_written = False
    for i, op in enumerate(ops):
        name = op.path.lower() if isinstance(getattr(op, "path", None), str) else \
            op.key.lower() if isinstance(op, O.REG) else ""
        if isinstance(op, O.Write) and name.endswith(".zsj") and b"COMMIT" in op.data:
            commit_written = True
        elif isinstance(op, O.Fsync) and name.endswith(".zsj") and commit_written and "after COMMIT" not in named:
            named["after COMMIT"] = i + 1
        elif isinstance(op, O.Unlink) and name.endswith("install.zsj") and not commit_written:
            named["after the rolled-back journal is deleted"] = i + 1
        elif isinstance(op, O.Unlink) and name.endswith("install.zsj"):
            named["after the journal is deleted"] = i + 1
        elif isinstance(op, O.Unlink) and name.endswith("zelvanuninstall.zsu"):
            named["after the record is deleted"] = i + 1
        elif isinstance(op, O.Unlink) and name.endswith("/zelvanuninstall.exe") and "/un-" not in name \
                and "/.zsnew-" not in name:
            named.setdefault("after the installed uninstaller is deleted", i + 1)
        elif (isinstance(op, O.RegDelKey) or (isinstance(op, O.RegDelVal) and op.name.lower() == "installlocation")) \
                and "\\uninstall\\{" in name and "while the entry is deleted" not in named:
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


def record(harness, prefix, kind, program, pargs, work, holder=None, drive=None, tag=""):
    """Records one run; returns (exit code, operations, the copy of the prefix before the run)."""
    started = time.monotonic()
    rec_dir = os.path.join(work, f"record-{kind}{tag}")
    pre_dir = os.path.join(work, f"pre-{kind}{tag}")
    subprocess.run([PREFIX_TOOL, "copy", prefix.dir, pre_dir], check=True)
    exe = host_path(prefix, program) if ":" in program else program
    holder_cmd = (host_path(prefix, holder[0]), holder[1]) if holder else None
    rc, log = trace.run_traced(prefix.env(), exe, pargs, rec_dir, prefix.drive_c, alongside=drive, holder=holder_cmd)
    stop(prefix)
    recorder = trace.Recorder(prefix.dir)
    ops = recorder.parse(log)
    left = ", ".join(f"{n} {what}" for what, n in recorder.left_out.items() if n)
    print(f"{kind}{tag}: recorded {len(ops)} operations (exit {rc}) in {time.monotonic() - started:.0f} s"
          + (f"; left out: {left}" if left else ""), flush=True)
    return rc, ops, pre_dir


def models_of(args, ex):
    """(label, model) for every persistence model asked for, as built; the record without its
    flushes (a check that the states can fail) under the first persistence model only."""
    persistences = args.persistence.split(",")
    for variant in args.models.split(","):
        for persistence in (persistences if variant == "as-built" else persistences[:1]):
            yield (f"{persistence} {variant}",
                   model.MODELS[persistence](ex.steps, ex.base, drop_flushes=(variant == "without-flushes")))


def explore_kind(harness, kind, args, report):
    prefix, program, pargs, holder = prepare(harness, kind, args.work)
    drive = (lambda: cancel_while_copying(harness, prefix)) if kind == "cancel" else None
    rc, ops, pre_dir = record(harness, prefix, kind, program, pargs, args.work, holder, drive)
    expected = EXPECTED_EXIT.get(kind, 0)
    if rc != expected:
        # A run that did not end as its kind must (a cancel that came too late, say).
        raise RuntimeError(f"the recorded {kind} run exited {rc}, not {expected}")
    if args.lean_starts:
        prefix.overrides += ";" + LEAN
    ex = Explorer(prefix, "nested-outer" if kind == "nested" else kind, ops, pre_dir)
    print(f"{kind}: the record replayed is the machine the run left", flush=True)
    subprocess.run([PREFIX_TOOL, "remove", pre_dir])
    bad = 0
    report[kind] = {}
    for label, mdl in models_of(args, ex):
        result = nested(harness, ex, label, mdl, args) if kind == "nested" else evaluate(ex, kind, label, mdl, args)
        report[kind][label] = result
        if label.endswith("as-built"):
            bad += len(result["bad"])
    release_twins(ex)
    if not args.keep:
        subprocess.run([PREFIX_TOOL, "remove", prefix.dir])
    return bad


def nested(harness, outer, label, mdl, args):
    """Cuts the install at a few points (the state that keeps the most, which leaves the most to
    recover), records the next start's recovery on each, and explores the recovery's own crash
    states: a third start must end as the machine before the install or after it."""
    started = time.monotonic()
    n = len(outer.ops)
    named = named_points(outer.ops)
    points = sorted(set([round(n * f) for f in (0.3, 0.6)] + list(named.values())))[: args.nested_points]
    totals = {"ops": 0, "points": 0, "crash_states": 0, "distinct": 0, "run": 0, "bad": [], "named": named}
    for point in points:
        state = mdl.most(point)
        outer.write_state(mdl.files(state, outer.roots), mdl.reg_ops(state))
        tag = f"-cut{point}"
        rc, ops, pre_dir = record(harness, outer.prefix, "nested", SETUP, ["/silent", "/dir=C:\\windows"], args.work, tag=tag)
        if rc != 8:
            totals["bad"].append(({"cut at": point}, f"the recorded recovery exited {rc}, not 8"))
            continue
        inner = Explorer(outer.prefix, "nested", ops, pre_dir, also_roots=outer.roots, also_keys=outer.keys)
        subprocess.run([PREFIX_TOOL, "remove", pre_dir])
        inner.before, inner.after = outer.before, outer.after
        inner.outside = outer.outside
        inner_model = type(mdl)(inner.steps, inner.base, drop_flushes=mdl.drop_flushes)
        result = evaluate(inner, f"nested{tag}", label, inner_model, args)
        release_twins(inner)
        for k in ("ops", "points", "crash_states", "distinct", "run"):
            totals[k] += result[k]
        totals["bad"] += [({"cut at": point, **b[0]}, b[1]) for b in result["bad"]]
    totals["seconds"] = round(time.monotonic() - started)
    print(f"nested ({label}): {len(points)} cuts of the install, {totals['ops']} operations of their recoveries, "
          f"{totals['points']} crash points, {totals['crash_states']} crash states, {totals['distinct']} distinct, "
          f"{totals['run']} run, {len(totals['bad'])} bad, {totals['seconds']} s", flush=True)
    return totals


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--kinds", default=",".join(DEFAULT_KINDS), help="comma-separated, of: " + ", ".join(KINDS))
    ap.add_argument("--persistence", default="mild", help="mild, harsh or both, comma-separated (MODEL.md)")
    ap.add_argument("--samples", type=int, default=2, help="seeded random states a crash point beyond the corners")
    ap.add_argument("--mild-samples", type=int, default=None, help="the same for the mild model (default: --samples)")
    ap.add_argument("--points", default="all", help="all, named, at:A,B,..., or how many crash points to spread")
    ap.add_argument("--limit", type=int, default=0, help="at most this many distinct states per kind and model (0: all)")
    ap.add_argument("--seed", type=int, default=21)
    ap.add_argument("--models", default="as-built",
                    help="as-built, without-flushes (the record's registry flushes dropped: the setup before it "
                         "flushed; run under the first --persistence model only), or both, comma-separated; only "
                         "as-built decides the exit code")
    ap.add_argument("--jobs", type=int, default=2, help="states run side by side, each on a prefix of its own")
    ap.add_argument("--no-second", action="store_true", help="leave out the second start of each state")
    ap.add_argument("--lean-starts", action="store_true",
                    help="start the states without Wine's desktop and device services (not the recorded run)")
    ap.add_argument("--nested-points", type=int, default=3, help="how many cuts of the install a nested run records")
    ap.add_argument("--work", default="/tmp/powercut-explorer")
    ap.add_argument("--report", default="")
    ap.add_argument("--keep", action="store_true", help="keep the last prefix (with its logs) for a look")
    args = ap.parse_args()
    for kind in args.kinds.split(","):
        if kind not in KINDS:
            ap.error(f"unknown run kind {kind}")
    for p in args.persistence.split(","):
        if p not in model.MODELS:
            ap.error(f"unknown persistence model {p}")
    os.makedirs(args.work, exist_ok=True)
    harness = harness_env(os.path.abspath(args.build), args.work)
    # The cancel is a person's, in the setup's window, on a screen of its own: another program's
    # window of the same title on a shared screen would take its keystrokes.
    xserver = harness.XServer() if {"cancel", "repair-in-use"} & set(args.kinds.split(",")) else None
    bad_total = 0
    report = {}
    try:
        for kind in args.kinds.split(","):
            bad_total += explore_kind(harness, kind, args, report)
    finally:
        if xserver:
            xserver.stop()
        if args.report:
            with open(args.report, "w") as f:
                json.dump(report, f, indent=1, default=str)
    return 1 if bad_total else 0


if __name__ == "__main__":
    sys.exit(main())
