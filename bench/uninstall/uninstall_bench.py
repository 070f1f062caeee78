"""Uninstall benchmark (run by hand, never by ctest): the 2,000-file, 200 MB install of the install
benchmark is removed by our uninstaller and, beside it in the same run and under the same Wine, the
same files by a conventional installer's uninstaller (an NSIS script that deletes file by file, as
ours does). Both are started the way Apps & Features starts them and both hand over to a copy of
themselves, so each is timed from its start to the end of the prefix's Wine session (bench_clock,
the same clock as every benchmarked program), and its install folder must be gone by then. A
trivial program is timed the same way; "net" subtracts it. Rounds are interleaved, each in
fresh prefixes; medians are printed.

    apt-get install nsis    # the peer, for this benchmark only
    ZS_BIN_DIR=$PWD/build ZS_SOURCE_DIR=$PWD ZS_WORK_DIR=/tmp/zs-bench ZS_TEMPLATE_PREFIX=/tmp/zs-bench/template \\
      PYTHONPATH=tests/e2e:bench/install python3 bench/uninstall/uninstall_bench.py
(make the template first with scripts/wine-prefix template /tmp/zs-bench/template)
"""
import os
import shutil
import statistics
import tempfile

from bench_clock import timed
from harness import BIN_DIR, SOURCE_DIR, WORK_DIR, Prefix, make_setup
from install_bench import FILES, TOTAL_MB, add_files

ROUNDS = int(os.environ.get("ZS_BENCH_ROUNDS", "3"))
OURS = "C:\\Program Files\\Zelvan"
PEER = "C:\\Program Files\\ZelvanNsis"
HELPER = os.path.join(BIN_DIR, "testing", "proc-helpers", "zs-proc-helper.exe")


def nsis_script(app_folder, out_exe):
    """An NSIS installer of the same files (solid LZMA) whose uninstaller deletes each file and then
    each folder, deepest first, and its Apps & Features key."""
    files, folders = [], set()
    for dirpath, _, names in os.walk(app_folder):
        rel = os.path.relpath(dirpath, app_folder)
        if rel != ".":
            folders.add(rel.replace(os.sep, "\\"))
        files += [os.path.join(rel, n).replace(os.sep, "\\").lstrip(".\\") for n in names]
    lines = [
        'Name "ZelvanNsis"', f'OutFile "{out_exe}"', 'InstallDir "$PROGRAMFILES64\\ZelvanNsis"',
        "RequestExecutionLevel admin", "SetCompressor /SOLID lzma", "SetCompressorDictSize 64", "Unicode true",
        "Section", '  SetOutPath "$INSTDIR"', f'  File /r "{app_folder}/*"',
        '  WriteUninstaller "$INSTDIR\\uninst.exe"',
        '  WriteRegStr HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZelvanNsis" '
        '"UninstallString" "$INSTDIR\\uninst.exe"',
        "SectionEnd", 'Section "Uninstall"']
    lines += [f'  Delete "$INSTDIR\\{f}"' for f in sorted(files)]
    lines += [f'  RMDir "$INSTDIR\\{d}"' for d in sorted(folders, key=lambda d: -d.count("\\"))]
    lines += ['  Delete "$INSTDIR\\uninst.exe"', '  RMDir "$INSTDIR"',
              '  DeleteRegKey HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZelvanNsis"',
              "SectionEnd"]
    return "\n".join(lines) + "\n"


def timed_uninstall(prefix, exe, args, folder):
    """Times an uninstaller as every benchmarked program is timed (bench_clock): its session end
    covers the copy it hands over to. The folder must be gone by then."""
    timing = timed(prefix, exe, args)
    if os.path.exists(prefix.host_path(folder)):
        raise AssertionError(f"{folder} was not removed")
    return timing


def trivial_start(prefix):
    return timed(prefix, HELPER, ["exit", "0"])


def main():
    if not shutil.which("makensis"):
        raise SystemExit("makensis is missing: apt-get install nsis (a benchmark peer only)")
    os.makedirs(WORK_DIR, exist_ok=True)
    work = tempfile.mkdtemp(prefix="zs-unbench-", dir=WORK_DIR)
    builder = Prefix("unbench-builder")
    try:
        sample = os.path.join(work, "sample")
        shutil.copytree(os.path.join(SOURCE_DIR, "examples", "zelvan"), sample)
        add_files(sample)
        ours = make_setup(builder, os.path.join(builder.drive_c, "ours.exe"), modify=add_files)
        shutil.copy(ours, os.path.join(work, "ours.exe"))
        app = os.path.join(sample, "app")
        # The sample's programs come from the build; the peer packs the same ones.
        for name in os.listdir(os.path.join(BIN_DIR, "testing", "zelvan-app")):
            if name.endswith(".exe"):
                shutil.copy(os.path.join(BIN_DIR, "testing", "zelvan-app", name), app)
        script = os.path.join(work, "peer.nsi")
        with open(script, "w") as f:
            f.write(nsis_script(app, os.path.join(work, "peer.exe")))
        subprocess.run(["makensis", "-V1", script], check=True)
    finally:
        builder.remove()

    results = {"ours": [], "peer": [], "trivial": [], "trivial process": []}
    for round_ in range(ROUNDS):
        for kind in ("ours", "peer"):
            prefix = Prefix(f"unbench-{kind}-{round_}")
            try:
                exe = os.path.join(prefix.drive_c, f"{kind}.exe")
                shutil.copy(os.path.join(work, f"{kind}.exe"), exe)
                code = timed(prefix, exe, ["/silent"] if kind == "ours" else ["/S"]).code
                if code != 0:
                    raise AssertionError(f"{kind} install exited {code}")
                trivial = trivial_start(prefix)
                results["trivial"].append(trivial.session_end)
                results["trivial process"].append(trivial.process_end)
                if kind == "ours":
                    timing = timed_uninstall(prefix, OURS + "\\ZelvanUninstall.exe", ["/silent"], OURS)
                else:
                    timing = timed_uninstall(prefix, PEER + "\\uninst.exe", ["/S"], PEER)
                results[kind].append(timing.session_end)
                print(f"round {round_ + 1}, {kind}: {timing.session_end:.2f} s", flush=True)
            finally:
                prefix.remove()
    shutil.rmtree(work, ignore_errors=True)

    trivial = statistics.median(results["trivial"])
    print(f"\nUninstall of {FILES} extra files, {TOTAL_MB} MB; medians of {ROUNDS} interleaved rounds")
    print(f"  trivial program: {trivial:.2f} s to the end of Wine's session, "
          f"{statistics.median(results['trivial process']):.2f} s to its own end")
    for kind, label in (("ours", "ZelvanUninstall.exe"), ("peer", "NSIS uninstaller")):
        wall = statistics.median(results[kind])
        print(f"  {label:22} wall {wall:.2f} s, net {wall - trivial:.2f} s")
    ratio = (statistics.median(results["ours"]) - trivial) / max(statistics.median(results["peer"]) - trivial, 1e-3)
    print(f"  ours / peer, net: {ratio:.2f}")


if __name__ == "__main__":
    main()
