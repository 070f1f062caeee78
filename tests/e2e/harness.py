"""End-to-end harness: runs the real setup in a throwaway copy of the test run's template Wine
prefix and judges it from outside (files, registry, log lines, exit code).

Every scenario gets its own prefix (a copy of the template, removed afterwards); ~/.wine is never
touched. The environment comes from ctest: ZS_TEMPLATE_PREFIX, ZS_BIN_DIR, ZS_SOURCE_DIR, ZS_WORK_DIR.
"""
import glob
import os
import re
import shutil
import subprocess
import time
import unittest

TEMPLATE = os.environ.get("ZS_TEMPLATE_PREFIX", "")
BIN_DIR = os.environ.get("ZS_BIN_DIR", "")
SOURCE_DIR = os.environ.get("ZS_SOURCE_DIR", "")
WORK_DIR = os.environ.get("ZS_WORK_DIR", "/tmp/zs-e2e")
# ctest starts the costliest tests first, before any other has made it.
os.makedirs(WORK_DIR, exist_ok=True)
PREFIX_TOOL = os.path.join(SOURCE_DIR, "scripts", "wine-prefix")
# A cabinet.dll with the Compression API, which Wine's own lacks (testing/cabinet-standin).
CABINET_STANDIN = os.path.join(BIN_DIR, "testing", "cabinet-standin", "cabinet.dll")
CABINET_STANDIN_TOOL = os.path.join(SOURCE_DIR, "testing", "cabinet-standin", "install-into-prefix")

STAMP = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d  ")
BOM = b"\xef\xbb\xbf"


class Result:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr


class LogFile:
    """A log file read back: the runs it holds (one per byte-order mark) and their lines."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.raw = f.read()
        if not self.raw.startswith(BOM):
            raise AssertionError(f"{path} does not start with a UTF-8 byte-order mark")
        self.runs = []
        for chunk in self.raw.split(BOM)[1:]:
            text = chunk.decode("utf-8")
            if text and not text.endswith("\r\n"):
                raise AssertionError(f"{path}: the last line does not end with CR LF")
            lines = []
            for line in text.split("\r\n")[:-1]:
                if "\n" in line or "\r" in line:
                    raise AssertionError(f"{path}: a line break that is not CR LF in {line!r}")
                if not STAMP.match(line):
                    raise AssertionError(f"{path}: line without its time stamp: {line!r}")
                lines.append(line[14:])
            self.runs.append(lines)

    @property
    def lines(self):
        return [line for run in self.runs for line in run]


class Prefix:
    """A copy of the template prefix for one scenario."""

    def __init__(self, name):
        safe = re.sub(r"[^A-Za-z0-9_.-]", "_", name)
        self.dir = os.path.join(WORK_DIR, f"{safe}-{os.getpid()}")
        subprocess.run([PREFIX_TOOL, "copy", TEMPLATE, self.dir], check=True)
        self.drive_c = os.path.join(self.dir, "drive_c")
        # An install skips whatever lies behind a link, and a test must not write into the home.
        linked = [p for p in glob.glob(os.path.join(self.drive_c, "users", "*", "*")) if os.path.islink(p)]
        if linked:
            raise RuntimeError(f"the template prefix links user folders out of the prefix ({linked[0]}): "
                               f"remake it with {PREFIX_TOOL} template")
        # DLL overrides every program run in this prefix gets (e.g. "d2d1=" for no Direct2D).
        self.overrides = ""
        # Extra environment every program run in this prefix gets. Wine takes the display language
        # from the locale when the prefix's server starts, and the setup speaks it: English (en-US)
        # unless a scenario sets another LC_ALL.
        self.extra_env = {"LC_ALL": "C.UTF-8"}

    def env(self, dll_overrides=None):
        env = dict(os.environ)
        env["WINEPREFIX"] = self.dir
        env["WINEDEBUG"] = "-all"
        env.update(self.extra_env)
        overrides = "mscoree=;mshtml="
        if self.overrides:
            overrides += ";" + self.overrides
        if dll_overrides:
            overrides += ";" + dll_overrides
        env["WINEDLLOVERRIDES"] = overrides
        return env

    def host_path(self, win_path):
        """The Linux path of a C: path inside this prefix, matching each component without regard
        to case the way Wine does."""
        m = re.match(r"^[A-Za-z]:\\?(.*)$", win_path)
        if not m:
            raise ValueError(f"not a drive path: {win_path}")
        path = self.drive_c
        for part in [p for p in m.group(1).split("\\") if p]:
            candidate = os.path.join(path, part)
            if not os.path.exists(candidate) and os.path.isdir(path):
                for entry in os.listdir(path):
                    if entry.lower() == part.lower():
                        candidate = os.path.join(path, entry)
                        break
            path = candidate
        return path

    def run(self, exe, args=(), cwd=None, timeout=180, dll_overrides=None):
        proc = subprocess.run(["wine", exe, *args], cwd=cwd or self.drive_c, env=self.env(dll_overrides),
                              capture_output=True, timeout=timeout)
        return Result(proc.returncode, proc.stdout, proc.stderr)

    def start(self, exe, args=(), cwd=None):
        return subprocess.Popen(["wine", exe, *args], cwd=cwd or self.drive_c, env=self.env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wine(self, *args, check=True):
        proc = subprocess.run(["wine", *args], env=self.env(), capture_output=True, timeout=120)
        if check and proc.returncode != 0:
            raise AssertionError(f"wine {' '.join(args)} failed: {proc.stderr.decode(errors='replace')}")
        return proc

    def reg_query(self, key, value=None, view=64):
        """The value's (type, data) text pair, or None when the key or value is missing."""
        args = ["reg", "query", key, f"/reg:{view}"]
        args += ["/v", value] if value is not None else ["/ve"]
        proc = self.wine(*args, check=False)
        if proc.returncode != 0:
            return None
        for line in proc.stdout.decode("utf-8", errors="replace").splitlines():
            m = re.match(r"^\s+(.*?)\s+(REG_[A-Z_]+)\s*(.*)$", line)
            if m:
                return (m.group(2), m.group(3))
        return None

    def set_windows_version(self, version):
        self.wine("winecfg", "-v", version)

    def setup_data(self):
        return self.host_path("C:\\ProgramData\\ZelvanSetup")

    def logs(self, prefix=""):
        folder = self.setup_data()
        if not os.path.isdir(folder):
            return []
        return sorted(os.path.join(folder, n) for n in os.listdir(folder)
                      if n.startswith(prefix) and n.endswith(".log"))

    def give_cabinet_standin(self):
        """Puts the Compression API stand-in in place of Wine's cabinet.dll, so that the setup
        decompresses through that API as on Windows."""
        subprocess.run([CABINET_STANDIN_TOOL, self.dir, CABINET_STANDIN], check=True)

    def remove(self):
        subprocess.run([PREFIX_TOOL, "remove", self.dir], check=False)


class ScenarioTest(unittest.TestCase):
    """A test case whose every test method gets a fresh prefix in self.prefix; with the
    Compression API stand-in when the class sets cabinet_standin."""

    cabinet_standin = False

    def setUp(self):
        if not TEMPLATE or not os.path.isfile(os.path.join(TEMPLATE, ".zs-ready")):
            self.fail("no prepared template prefix: run through ctest")
        self.prefix = Prefix(self.id().split(".")[-1])
        self.addCleanup(self.prefix.remove)
        if self.cabinet_standin:
            self.prefix.give_cabinet_standin()

    def only_log(self, prefix=""):
        logs = self.prefix.logs(prefix)
        self.assertEqual(len(logs), 1, f"expected one log, found {logs}")
        return LogFile(logs[0])

    def assertInOrder(self, lines, expected):
        """Each expected line appears in lines, in this order (other lines may stand between)."""
        pos = 0
        for want in expected:
            while pos < len(lines) and lines[pos] != want:
                pos += 1
            self.assertLess(pos, len(lines), f"{want!r} not found in order in:\n" + "\n".join(lines))
            pos += 1


def start_running_zelvan(prefix, exe_path):
    """Puts a Zelvan.exe that stays open until it is asked to close (the process helper's window role)
    at exe_path inside the prefix and starts it; returns the process once its window is up, or None."""
    helper = os.path.join(BIN_DIR, "testing", "proc-helpers", "zs-proc-helper.exe")
    running = prefix.host_path(exe_path)
    os.remove(running)
    shutil.copy(helper, running)
    app = prefix.start(running, ["window"])
    if not wait_for(lambda: "helper" in x_window_titles(), timeout=60):
        app.kill()
        return None
    return app


def hold_foreign_config(test, folder):
    """Another program's Zelvan.exe.config in the folder, where setup puts its own, held open without
    sharing by the helper until the test ends; returns the holder."""
    host = test.prefix.host_path(folder)
    os.makedirs(host)
    with open(os.path.join(host, "Zelvan.exe.config"), "w") as f:
        f.write("<configuration/>\n")
    helper = os.path.join(BIN_DIR, "testing", "proc-helpers", "zs-proc-helper.exe")
    holder = test.prefix.start(helper, ["hold", folder + "\\Zelvan.exe.config"])
    test.addCleanup(holder.kill)
    test.assertTrue(wait_for(lambda: "helper" in x_window_titles(), timeout=60), "the holder did not start")
    return holder


def wait_for(predicate, timeout=30.0, interval=0.2):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(interval)
    return False


ARTIFACTS = os.path.join(BIN_DIR or WORK_DIR, "artifacts", "screenshots")


def screenshot(name, window=None):
    """Saves the whole X screen, or only the given window, as ARTIFACTS/name.png for people to look
    through; returns the path (None without a display). Without a window manager a message box
    shows black in a picture of the whole screen: take it by its window."""
    if not os.environ.get("DISPLAY"):
        return None
    os.makedirs(ARTIFACTS, exist_ok=True)
    path = os.path.join(ARTIFACTS, re.sub(r"[^A-Za-z0-9_.-]", "_", name) + ".png")
    what = ["-id", window] if window else ["-root"]
    xwd = subprocess.run(["xwd", *what, "-silent"], capture_output=True, timeout=30, check=True)
    subprocess.run(["/usr/bin/convert", "xwd:-", path], input=xwd.stdout, timeout=60, check=True)
    return path


def x_windows(title):
    """The X ids of every visible window with exactly this title, now."""
    proc = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(title)}$"],
                          capture_output=True, text=True, timeout=20)
    return proc.stdout.split()


def x_window(title, timeout=60.0):
    """The X id of the first visible window with exactly this title, waited for; None if none came."""
    found = []

    def look():
        found[:] = x_windows(title)
        return bool(found)

    return found[0] if wait_for(look, timeout=timeout) else None


def x_keys(window, *keys):
    """Focuses the window and types the keys into it, as a person at the keyboard would."""
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=20)
    for key in keys:
        # XTEST input (no --window): Wine ignores synthetic events sent to a window.
        subprocess.run(["xdotool", "key", key], check=True, timeout=20)


def x_type(window, text):
    """Focuses the window and types the text into whatever has the focus in it."""
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=20)
    subprocess.run(["xdotool", "type", "--delay", "30", text], check=True, timeout=60)


class XServer:
    """A private Xvfb, set as $DISPLAY until stop(). Xvfb picks its own free display (-displayfd),
    so tests that run side by side never share a screen: windows of the same title in two tests
    would otherwise take each other's keystrokes."""

    def __init__(self, size="1280x1024"):
        self.old = os.environ.get("DISPLAY")
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{size}x24",
                                      "-nolisten", "tcp"], pass_fds=(write_end,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)  # Xvfb writes the number once it listens, or exits
                if not chunk:
                    break
                number += chunk
        if not number.strip().isdigit():
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("Xvfb did not start")
        self.display = f":{int(number)}"
        os.environ["DISPLAY"] = self.display

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=20)
        if self.old is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = self.old


def private_screen(size="1280x1024"):
    """setUpModule and tearDownModule for a test module whose windows need a screen of their own:
    `setUpModule, tearDownModule = private_screen()`. Without Xvfb the module keeps $DISPLAY, if
    any, and its window tests skip themselves when there is none."""
    servers = []

    def set_up():
        if shutil.which("Xvfb"):
            servers.append(XServer(size=size))

    def tear_down():
        while servers:
            servers.pop().stop()

    return set_up, tear_down


def x_window_titles():
    """Titles of the top-level windows on $DISPLAY (empty without a display or xwininfo)."""
    if not os.environ.get("DISPLAY") or not shutil.which("xwininfo"):
        return []
    proc = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, timeout=20)
    return re.findall(r'^\s+0x[0-9a-f]+ "([^"]*)"', proc.stdout, re.M)


def main():
    unittest.main(verbosity=2)


# --- Machine state, compared before and after a run ---------------------------------------------

# Registry keys a setup may touch (view, key). Everything below each is compared.
TOUCHED_KEYS = [
    (64, r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"),
    (32, r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"),
    (64, r"HKLM\SOFTWARE\Brightmoor"),
    (64, r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"),
    (64, r"HKLM\SOFTWARE\Classes\.zlvd"),
    (64, r"HKLM\SOFTWARE\Classes\.flow"),
    (64, r"HKLM\SOFTWARE\Classes\Zelvan.Document"),
    (64, r"HKLM\SOFTWARE\Classes\Zelvan.Flow"),
    (64, r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager"),
]


def _file_digest(path):
    import hashlib
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def _parse_reg_export(text):
    """{key: {value line, ...}} from a .reg export, key names lower-cased."""
    keys = {}
    current = None
    for raw in text.replace("\\\r\n", "").replace("\\\n", "").splitlines():
        line = raw.strip()
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].lower()
            keys.setdefault(current, set())
        elif current is not None and line and not line.startswith(";") and not line.startswith("REGEDIT"):
            keys[current].add(line)
    return keys


class MachineState:
    """Every file under drive_c (but the Windows folder and this run's logs) and every registry key
    a setup may touch, for exact comparison."""

    def __init__(self, files, registry):
        self.files = files
        self.registry = registry

    def differences(self, other):
        out = []
        for path in sorted(set(self.files) | set(other.files)):
            a, b = self.files.get(path), other.files.get(path)
            if a != b:
                out.append(f"file {path}: {a} -> {b}")
        for key in sorted(set(self.registry) | set(other.registry)):
            a, b = self.registry.get(key), other.registry.get(key)
            if a != b:
                out.append(f"key {key}: {sorted(a or [])} -> {sorted(b or [])}")
        return out


def _snapshot(prefix):
    files = {}
    skip_top = {"windows"}
    for dirpath, dirnames, filenames in os.walk(prefix.drive_c):
        rel = os.path.relpath(dirpath, prefix.drive_c)
        if rel == ".":
            dirnames[:] = [d for d in dirnames if d.lower() not in skip_top]
        # Wine's own temporary and cache folders change with every process start.
        dirnames[:] = [d for d in dirnames if d.lower() not in ("temp", "inetcache")]
        for d in dirnames:
            full = os.path.join(dirpath, d)
            relpath = os.path.relpath(full, prefix.drive_c).lower()
            if relpath == "programdata/zelvansetup":
                continue  # the log's folder: every silent run writes its log there
            files[relpath] = "link" if os.path.islink(full) else "folder"
        for name in filenames:
            full = os.path.join(dirpath, name)
            relpath = os.path.relpath(full, prefix.drive_c)
            if relpath.lower().startswith("programdata/zelvansetup/") and name.lower().endswith(".log"):
                continue
            files[relpath.lower()] = "link" if os.path.islink(full) else _file_digest(full)
    export_dir = os.path.join(prefix.dir, "zs-export")
    os.makedirs(export_dir, exist_ok=True)
    commands = []
    for i, (view, key) in enumerate(TOUCHED_KEYS):
        commands.append(f'reg export "{key}" C:\\zs-export-{i}.reg /y /reg:{view}')
    prefix.wine("cmd", "/c", " & ".join(commands), check=False)
    registry = {}
    for i, (view, key) in enumerate(TOUCHED_KEYS):
        path = os.path.join(prefix.drive_c, f"zs-export-{i}.reg")
        if os.path.exists(path):
            with open(path, "rb") as f:
                data = f.read()
            os.remove(path)
            text = data.decode("utf-16") if data[:2] == b"\xff\xfe" else data.decode("utf-8", errors="replace")
            for k, values in _parse_reg_export(text).items():
                registry[f"{view}:{k}"] = values
    return MachineState(files, registry)


Prefix.snapshot = _snapshot


def make_setup(prefix, out_exe, defines=(), modify=None, stub=None, sign=False):
    """Makes a setup from the sample product, optionally changed first: copies examples/zelvan,
    lets modify(folder) change it, builds the payload with zsbuild and puts it into a copy of the
    stub with zsresource (run under Wine in the given prefix); with sign, zsbuild --sign then runs
    the script's Sign command on the finished setup, as the build does."""
    import tempfile
    work = tempfile.mkdtemp(prefix="zs-sample-", dir=WORK_DIR)
    try:
        sample = os.path.join(work, "zelvan")
        shutil.copytree(os.path.join(SOURCE_DIR, "examples", "zelvan"), sample)
        if modify:
            modify(sample)
        stub = stub or os.path.join(BIN_DIR, "src", "app", "ZelvanSetup.exe")
        payload = os.path.join(work, "payload.bin")
        args = [os.path.join(BIN_DIR, "host", "tools", "zsbuild", "zsbuild"), os.path.join(sample, "zelvan.zss"),
                "--stub", stub, "--payload", payload,
                "--define", "AppBin=" + os.path.join(BIN_DIR, "testing", "zelvan-app")]
        for d in defines:
            args += ["--define", d]
        subprocess.run(args, check=True, capture_output=True)
        tool = os.path.join(BIN_DIR, "tools", "zsresource", "zsresource.exe")
        proc = prefix.run(tool, [stub, payload, out_exe])
        if proc.code != 0 or not os.path.exists(out_exe):
            raise AssertionError(f"zsresource failed: {proc.stderr!r}")
        if sign:
            subprocess.run(args[:1] + ["--sign", args[1], out_exe] + args[6:], check=True, capture_output=True)
        return out_exe
    finally:
        shutil.rmtree(work, ignore_errors=True)


def set_file_version(path, version):
    """Rewrites the fixed file version of an executable's version resource in place."""
    import struct
    parts = [int(p) for p in version.split(".")] + [0] * 4
    ms, ls = (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        at = data.find(struct.pack("<I", 0xFEEF04BD))
        if at < 0:
            raise AssertionError(f"{path} has no fixed file information")
        struct.pack_into("<IIII", data, at + 8, ms, ls, ms, ls)
        f.seek(0)
        f.write(data)
