"""Install and uninstall benchmark against two conventional installers (run by hand, never by
ctest; scripts/bench.sh prepares and runs it).

A corpus of real files from this machine (Wine's PE DLLs and Debian's documentation, a fixed
selection) goes into three setups: ours (the sample product plus the corpus), an NSIS installer of
the same files (solid LZMA, 64 MB dictionary) and a Windows Installer package made by wixl (MSZIP
cabinet). Both peers come from Debian packages and are used here only. Each round installs and
uninstalls each of the three in a fresh prefix, interleaved; medians are printed, wall and net of a
trivial program's start, with the ratios to each peer, the setup sizes, our peak memory, the
built-in LZMS decoder's speed on one core and on all, the builder's time, and our block's size
against wimlib's LZMS at its best level with 64 MiB chunks on the same files.

    ZS_BIN_DIR=$PWD/build ZS_SOURCE_DIR=$PWD ZS_WORK_DIR=/tmp/zs-bench ZS_TEMPLATE_PREFIX=... \\
      PYTHONPATH=tests/e2e:tests/install:tests/uninstall python3 tests/install/peer_bench.py
Environment: ZS_BENCH_ROUNDS (3), ZS_BENCH_FILES (2000), ZS_BENCH_MB (180), ZS_BENCH_JOBS (the
builder's --jobs, default: its own).
"""
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time
import xml.sax.saxutils

from harness import BIN_DIR, SOURCE_DIR, WORK_DIR, Prefix
from install_bench import measure
from uninstall_bench import OURS, PEER, nsis_script, timed_until_gone, trivial_start

ROUNDS = int(os.environ.get("ZS_BENCH_ROUNDS", "3"))
FILES = int(os.environ.get("ZS_BENCH_FILES", "2000"))
TOTAL_MB = int(os.environ.get("ZS_BENCH_MB", "180"))
JOBS = os.environ.get("ZS_BENCH_JOBS", "")

DLL_ROOTS = [("wine32", "/usr/lib/i386-linux-gnu/wine/i386-windows"),
             ("wine64", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")]
DOC_ROOT = ("doc", "/usr/share/doc")
MSI_FOLDER = "C:\\Program Files\\ZelvanMsi"
# Uninstalls are timed until this folder of each install is gone (ours and NSIS's hand over to a
# copy of themselves and end at once).
CORPUS = "\\Corpus"
# Names Windows cannot hold, or that the setup script's grammar would have to quote.
BAD_NAME = re.compile(r'[<>:"|?*;,{}\[\]#=\x00-\x1f]|[ .]$|^\s')


def candidates(label, root):
    """Regular files under root as (hash key, label\\relative path, host path, size), hash-ordered
    so that the selection is spread over the folder and the same on every run."""
    out = []
    for dirpath, dirnames, names in os.walk(root):
        dirnames.sort()
        for name in sorted(names):
            path = os.path.join(dirpath, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            rel = os.path.relpath(path, root)
            if any(BAD_NAME.search(part) for part in rel.split(os.sep)):
                continue
            size = os.path.getsize(path)
            if size == 0:
                continue
            key = hashlib.sha1(f"{label}/{rel}".encode()).hexdigest()
            out.append((key, label + "\\" + rel.replace(os.sep, "\\"), path, size))
    return sorted(out)


def select_corpus():
    """Half the files from the documentation, the rest DLLs up to the size budget (none over
    8 MB), topped up with documentation; names that differ only in case are taken once."""
    budget = TOTAL_MB * 1000 * 1000
    chosen, seen, total = [], set(), 0

    def take(entry):
        nonlocal total
        if entry[1].lower() in seen:
            return False
        seen.add(entry[1].lower())
        chosen.append(entry)
        total += entry[3]
        return True

    docs = candidates(*DOC_ROOT)
    dlls = sorted(e for label, root in DLL_ROOTS for e in candidates(label, root))
    doc_iter = iter(docs)
    for entry in doc_iter:
        if len(chosen) >= FILES // 2:
            break
        take(entry)
    for entry in dlls:
        if len(chosen) >= FILES or total >= budget:
            break
        if entry[3] <= 8 * 1000 * 1000 and total + entry[3] <= budget:
            take(entry)
    for entry in doc_iter:
        if len(chosen) >= FILES:
            break
        take(entry)
    return chosen, total


def copy_corpus(corpus, app):
    for _, rel, path, _ in corpus:
        target = os.path.join(app, "Corpus", *rel.split("\\"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target)


def build_ours(work, corpus, prefix):
    """The sample plus the corpus: zsbuild (timed), then zsresource under Wine."""
    sample = os.path.join(work, "zelvan")
    shutil.copytree(os.path.join(SOURCE_DIR, "examples", "zelvan"), sample)
    copy_corpus(corpus, os.path.join(sample, "app"))
    stub = os.path.join(BIN_DIR, "src", "app", "ZelvanSetup.exe")
    payload = os.path.join(work, "payload.bin")
    args = [os.path.join(BIN_DIR, "host", "tools", "zsbuild", "zsbuild"), os.path.join(sample, "zelvan.zss"),
            "--stub", stub, "--define", "AppBin=" + os.path.join(BIN_DIR, "testing", "zelvan-app")]
    if JOBS:
        args += ["--jobs", JOBS]
    start = time.monotonic()
    subprocess.run(args + ["--payload", payload], check=True, stdout=subprocess.DEVNULL)
    build_seconds = time.monotonic() - start
    # The reference for the block's size: wimlib's LZMS at its best level (the builder's own
    # compressor) with 64 MiB chunks, on the same files in the same order.
    reference = os.path.join(work, "reference.bin")
    subprocess.run(args + ["--payload", reference, "--chunk-size", str(64 << 20)], check=True, stdout=subprocess.DEVNULL)
    reference_block = block_of(reference, os.path.join(work, "reference.lzms"))[0]
    out = os.path.join(prefix.drive_c, "ours.exe")
    proc = prefix.run(os.path.join(BIN_DIR, "tools", "zsresource", "zsresource.exe"), [stub, payload, out])
    if proc.code != 0:
        raise AssertionError(f"zsresource failed: {proc.stderr!r}")
    shutil.copy(out, os.path.join(work, "ours.exe"))
    # The sample's programs come from the build; the peers pack the same ones.
    app = os.path.join(sample, "app")
    for name in os.listdir(os.path.join(BIN_DIR, "testing", "zelvan-app")):
        if name.endswith(".exe"):
            shutil.copy(os.path.join(BIN_DIR, "testing", "zelvan-app", name), app)
    return app, payload, build_seconds, os.path.getsize(stub), reference_block


def block_of(payload, out):
    """Writes the payload's compressed block to out (the decoder benchmark's input); returns its
    length and the length it decompresses to."""
    with open(payload, "rb") as f:
        data = f.read()
    script, licence, block, plain = (int.from_bytes(data[at:at + 8], "little") for at in (16, 24, 32, 40))
    start = 96 + script + licence
    with open(out, "wb") as f:
        f.write(data[start:start + block])
    return block, plain


def wxs(app_folder):
    """A Windows Installer package of the same files: one component per file, as tools make them,
    in one cabinet inside the package (wixl compresses it with MSZIP). Sources are relative to
    app_folder, where wixl runs."""
    esc = xml.sax.saxutils.quoteattr
    counter = iter(range(1, 1 << 30))
    components = []

    def folder(path, indent):
        lines = []
        for name in sorted(os.listdir(path)):
            full = os.path.join(path, name)
            if os.path.isdir(full):
                lines.append(f'{indent}<Directory Id="d{next(counter)}" Name={esc(name)}>')
                lines += folder(full, indent + "  ")
                lines.append(f"{indent}</Directory>")
            else:
                n = next(counter)
                components.append(f"c{n}")
                lines.append(f'{indent}<Component Id="c{n}" Guid="*"><File Id="f{n}" Name={esc(name)} '
                             f'Source={esc(os.path.relpath(full, app_folder))} KeyPath="yes"/></Component>')
        return lines

    body = folder(app_folder, "          ")
    refs = "\n".join(f'      <ComponentRef Id="{c}"/>' for c in components)
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="ZelvanMsi" Language="1033" Version="2.5.0" Manufacturer="Brightmoor"
           UpgradeCode="5B1B3F0E-2A59-4C1D-9A0B-6E3D2C1F0A44">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="corpus.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLDIR" Name="ZelvanMsi">
{chr(10).join(body)}
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">
{refs}
    </Feature>
  </Product>
</Wix>
"""


def decoder_speed(prefix, block_path, workers):
    bench = os.path.join(BIN_DIR, "tests", "payload", "lzms_bench_win.exe")
    proc = prefix.run(bench, [block_path, str(workers)], timeout=600)
    text = proc.stdout.decode(errors="replace")
    m = re.search(r"([\d.]+) MB/s", text)
    if proc.code != 0 or not m:
        raise AssertionError(f"lzms_bench_win failed: {text} {proc.stderr!r}")
    return float(m.group(1))


def flush_costs(prefix):
    """The lines of flush_bench: what one flush costs in this prefix's C: drive."""
    folder = os.path.join(prefix.drive_c, "flush")
    os.makedirs(folder, exist_ok=True)
    proc = prefix.run(os.path.join(BIN_DIR, "tests", "install", "flush_bench.exe"), ["C:\\flush", "500"], timeout=600)
    if proc.code != 0:
        raise AssertionError(f"flush_bench failed: {proc.stderr!r}")
    return [line for line in proc.stdout.decode(errors="replace").splitlines() if line.strip()]


def staging_seconds(prefix):
    """From the log: "Step: Copying files" to "Staged N program files.", and from there to the end
    of placing (the next step), in seconds."""
    logs = prefix.logs("Zelvan-Setup")
    if not logs:
        return None
    raw = open(logs[-1], "rb").read().decode("utf-8", errors="replace").split("\r\n")
    stamps = {}
    for line in raw:
        m = re.match(r"^\ufeff?(\d\d):(\d\d):(\d\d)\.(\d\d\d)  (.*)$", line)
        if not m:
            continue
        t = int(m.group(1)) * 3600 + int(m.group(2)) * 60 + int(m.group(3)) + int(m.group(4)) / 1000
        text = m.group(5)
        if text.startswith("Step: Copying files"):
            stamps["copy"] = t
        elif re.match(r"Staged \d+ program files\.", text):
            stamps["staged"] = t
        elif text.startswith("Step: ") and "staged" in stamps and "placed" not in stamps:
            stamps["placed"] = t
    if "copy" not in stamps or "staged" not in stamps:
        return None
    return stamps["staged"] - stamps["copy"], stamps.get("placed", stamps["staged"]) - stamps["staged"]


def trivial_round(round_, results):
    """A trivial program as the first run in a fresh prefix (what an install pays for Wine's start)
    and once more after Wine has shut down (what an uninstall pays)."""
    prefix = Prefix(f"peerbench-trivial-{round_}")
    try:
        results["trivial.first"].append(trivial_start(prefix))
        subprocess.run(["wineserver", "-w"], env=prefix.env(), check=False)
        results["trivial.again"].append(trivial_start(prefix))
    finally:
        prefix.remove()


def run_round(kind, work, round_, results):
    prefix = Prefix(f"peerbench-{kind}-{round_}")
    try:
        exe = os.path.join(prefix.drive_c, f"{kind}.{'msi' if kind == 'msi' else 'exe'}")
        shutil.copy(os.path.join(work, os.path.basename(exe)), exe)
        if kind == "ours":
            code, seconds, rss, anon, records = measure(prefix, exe)
            results["records"].append(records)
            results["rss"].append(rss)
            results["anon"].append(anon)
            phases = staging_seconds(prefix)
            if phases:
                results["staging"].append(phases[0])
                results["placing"].append(phases[1])
        else:
            start = time.monotonic()
            if kind == "nsis":
                code = prefix.run(exe, ["/S"], timeout=900).code
            else:
                code = prefix.run("msiexec", ["/i", "C:\\msi.msi", "/qn"], timeout=900).code
            seconds = time.monotonic() - start
        subprocess.run(["wineserver", "-w"], env=prefix.env(), check=False)
        if code != 0:
            raise AssertionError(f"{kind} install exited {code}")
        results[f"{kind}.install"].append(seconds)
        if kind == "ours":
            seconds = timed_until_gone(prefix, OURS + "\\ZelvanUninstall.exe", ["/silent"], OURS + CORPUS)
        elif kind == "nsis":
            seconds = timed_until_gone(prefix, PEER + "\\uninst.exe", ["/S"], PEER + CORPUS)
        else:
            seconds = timed_until_gone(prefix, "msiexec", ["/x", "C:\\msi.msi", "/qn"], MSI_FOLDER + CORPUS)
        results[f"{kind}.uninstall"].append(seconds)
        print(f"round {round_ + 1}, {kind}: install {results[f'{kind}.install'][-1]:.2f} s, "
              f"uninstall {seconds:.2f} s", flush=True)
    finally:
        prefix.remove()


def main():
    for tool in ("makensis", "wixl"):
        if not shutil.which(tool):
            raise SystemExit(f"{tool} is missing (scripts/bench.sh installs the benchmark's peers)")
    os.makedirs(WORK_DIR, exist_ok=True)
    work = tempfile.mkdtemp(prefix="zs-peerbench-", dir=WORK_DIR)
    builder = Prefix("peerbench-builder")
    try:
        corpus, corpus_bytes = select_corpus()
        print(f"corpus: {len(corpus)} files, {corpus_bytes / 1e6:.1f} MB", flush=True)
        app, payload, build_seconds, stub_size, reference_block = build_ours(work, corpus, builder)
        print(f"builder: {build_seconds:.1f} s", flush=True)
        with open(os.path.join(work, "peer.nsi"), "w") as f:
            f.write(nsis_script(app, os.path.join(work, "nsis.exe")))
        subprocess.run(["makensis", "-V1", os.path.join(work, "peer.nsi")], check=True)
        with open(os.path.join(work, "msi.wxs"), "w") as f:
            f.write(wxs(app))
        subprocess.run(["wixl", "-a", "x64", "-o", os.path.join(work, "msi.msi"), os.path.join(work, "msi.wxs")],
                       cwd=app, check=True)
        block = os.path.join(builder.drive_c, "block.lzms")
        block_bytes, block_plain = block_of(payload, block)
        speed_one = decoder_speed(builder, block, 1)
        speed_all = decoder_speed(builder, block, 0)
        flushes = flush_costs(builder)
    finally:
        builder.remove()

    results = {k: [] for k in ("trivial.first", "trivial.again", "records", "rss", "anon", "staging", "placing", "ours.install", "ours.uninstall",
                               "nsis.install", "nsis.uninstall", "msi.install", "msi.uninstall")}
    try:
        for round_ in range(ROUNDS):
            trivial_round(round_, results)
            for kind in ("ours", "nsis", "msi"):
                run_round(kind, work, round_, results)
        sizes = {k: os.path.getsize(os.path.join(work, f"{k}.{'msi' if k == 'msi' else 'exe'}"))
                 for k in ("ours", "nsis", "msi")}
    finally:
        shutil.rmtree(work, ignore_errors=True)

    med = {k: statistics.median(v) for k, v in results.items() if v}
    trivial = med["trivial.first"]
    print(f"\n{len(corpus)} files, {corpus_bytes / 1e6:.1f} MB (ours adds the sample's files); "
          f"medians of {ROUNDS} interleaved rounds, each in a fresh prefix. A trivial program takes "
          f"{trivial:.2f} s as a fresh prefix's first run (\"net\" subtracts it) and "
          f"{med['trivial.again']:.2f} s after that. Uninstalls are timed until the corpus folder is gone.")
    print("| | setup file | install, wall | install, net | uninstall, wall |")
    print("|---|---|---|---|---|")
    labels = {"nsis": "NSIS 3, solid LZMA, 64 MB dictionary", "msi": "Windows Installer package (wixl, MSZIP)",
              "ours": "ZelvanSetup.exe"}
    for kind in ("nsis", "msi", "ours"):
        i, u = med[f"{kind}.install"], med[f"{kind}.uninstall"]
        print(f"| {labels[kind]} | {sizes[kind] / 1e6:.1f} MB | {i:.2f} s | {i - trivial:.2f} s | {u:.2f} s |")
    for peer in ("nsis", "msi"):
        ours, theirs = med["ours.install"] - trivial, max(med[f"{peer}.install"] - trivial, 1e-3)
        print(f"ours / {peer}: install net {ours / theirs:.2f}, install wall "
              f"{med['ours.install'] / med[f'{peer}.install']:.2f}, uninstall wall "
              f"{med['ours.uninstall'] / med[f'{peer}.uninstall']:.2f}")
    if "staging" in med:
        print(f"ours, from the log: staging {med['staging']:.2f} s, placing {med['placing']:.2f} s")
    print(f"ours, peak memory: {med['rss']:.0f} MB resident, of which {med['anon']:.0f} MB anonymous (the rest is "
          f"mostly the mapped setup file); the uncompressed block + 64 MB is {block_plain / 1e6 + 64:.0f} MB")
    print(f"built-in LZMS decoder (32-bit, under Wine), {block_bytes / 1e6:.1f} MB block: "
          f"{speed_one:.1f} MB/s on one core, {speed_all:.1f} MB/s on all ({os.cpu_count()})")
    print(f"builder: {build_seconds:.1f} s; stub without payload: {stub_size / 1e6:.2f} MB")
    print(f"block: {block_bytes:,} bytes; wimlib's LZMS at level 100 with 64 MiB chunks, same files in the same "
          f"order: {reference_block:,} bytes ({(block_bytes / reference_block - 1) * 100:+.2f} %)")
    print(f"flushes of our install: at least {med['records']:.0f} journal records (one flush each) and "
          f"{len(corpus)} or more staged files (one each); one flush here costs:")
    for line in flushes:
        print(f"  {line}")


if __name__ == "__main__":
    main()
