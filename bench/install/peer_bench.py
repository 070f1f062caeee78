"""Install and uninstall benchmark against two conventional installers (run by hand, never by
ctest; scripts/bench.sh prepares and runs it).

Two corpora of real files from this machine, each a fixed selection: "binaries" (Wine's PE DLLs and
Debian's documentation, about 2,000 files and 180 MB) and "source" (C headers and Python modules,
about 2,000 files, far more compressible), because the ratio to the peers depends on the kind of
files. Each goes into three setups: ours (the sample product plus the corpus), an NSIS installer of
the same files (solid LZMA, 64 MB dictionary) and a Windows Installer package made by wixl (MSZIP
cabinet). Both peers come from Debian packages and are used here only. Each round installs and
uninstalls each of the three of each corpus in a fresh prefix, interleaved. Every program, the
peers', ours and a trivial program alike, is timed by one clock (bench_clock): from its start to the
end of the prefix's Wine session, with its own process end reported apart. Medians are printed,
wall and net of the trivial program, with the ratios to each peer, the setup sizes, our peak memory, the
built-in LZMS decoder's speed on one core and on all, the builder's time beside makensis's (each
built again in every round, the two alternating which goes first), and our block's size against
the builder's own compressor with 64 MiB chunks on the same files.

    ZS_BIN_DIR=$PWD/build ZS_SOURCE_DIR=$PWD ZS_WORK_DIR=/tmp/zs-bench ZS_TEMPLATE_PREFIX=... \\
      PYTHONPATH=tests/e2e:bench/install:bench/uninstall python3 bench/install/peer_bench.py
Environment: ZS_BENCH_ROUNDS (5), ZS_BENCH_FILES (2000), ZS_BENCH_MB (180), ZS_BENCH_JOBS (the
builder's --jobs, default: its own), ZS_BENCH_CORPORA ("binaries,source"), ZS_BENCH_BUILDER_ROUNDS
(as many as ZS_BENCH_ROUNDS; 0 leaves the builder out).
"""
import collections
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
from bench_clock import timed
from install_bench import measure
from uninstall_bench import OURS, PEER, nsis_script, timed_uninstall, trivial_start

ROUNDS = int(os.environ.get("ZS_BENCH_ROUNDS", "5"))
# The builder rounds take most of a run (makensis alone takes minutes on the binaries); 0 leaves
# them out when only the installs are wanted.
BUILDER_ROUNDS = int(os.environ.get("ZS_BENCH_BUILDER_ROUNDS", str(ROUNDS)))
CORPORA = os.environ.get("ZS_BENCH_CORPORA", "binaries,source").split(",")
FILES = int(os.environ.get("ZS_BENCH_FILES", "2000"))
TOTAL_MB = int(os.environ.get("ZS_BENCH_MB", "180"))
JOBS = os.environ.get("ZS_BENCH_JOBS", "")

DLL_ROOTS = [("wine32", "/usr/lib/i386-linux-gnu/wine/i386-windows"),
             ("wine64", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")]
DOC_ROOT = ("doc", "/usr/share/doc")
SOURCE_ROOTS = [("include", "/usr/include"), ("python", "/usr/lib/python3.11")]
SOURCE_SUFFIXES = (".h", ".py")
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


def select_source():
    """FILES source files (C headers and Python modules), hash-ordered as the binaries are."""
    chosen, seen, total = [], set(), 0
    entries = sorted(e for label, root in SOURCE_ROOTS for e in candidates(label, root)
                     if e[1].endswith(SOURCE_SUFFIXES) and "__pycache__" not in e[1])
    for entry in entries:
        if len(chosen) >= FILES:
            break
        if entry[1].lower() not in seen:
            seen.add(entry[1].lower())
            chosen.append(entry)
            total += entry[3]
    return chosen, total


def copy_corpus(corpus, app):
    for _, rel, path, _ in corpus:
        target = os.path.join(app, "Corpus", *rel.split("\\"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target)


def build_ours(work, corpus, prefix):
    """The sample plus the corpus: zsbuild (timed in the builder rounds), then zsresource under Wine."""
    sample = os.path.join(work, "zelvan")
    shutil.copytree(os.path.join(SOURCE_DIR, "examples", "zelvan"), sample)
    copy_corpus(corpus, os.path.join(sample, "app"))
    stub = os.path.join(BIN_DIR, "src", "app", "ZelvanSetup.exe")
    payload = os.path.join(work, "payload.bin")
    args = [os.path.join(BIN_DIR, "host", "tools", "zsbuild", "zsbuild"), os.path.join(sample, "zelvan.zss"),
            "--stub", stub, "--define", "AppBin=" + os.path.join(BIN_DIR, "testing", "zelvan-app")]
    if JOBS:
        args += ["--jobs", JOBS]
    subprocess.run(args + ["--payload", payload], check=True, stdout=subprocess.DEVNULL)
    # The reference for the block's size: the builder's own compressor with 64 MiB chunks, on the
    # same files in the same order (what the chunking costs).
    reference = os.path.join(work, "reference.bin")
    subprocess.run(args + ["--payload", reference, "--chunk-size", str(64 << 20)], check=True, stdout=subprocess.DEVNULL)
    reference_block = block_of(reference, os.path.join(work, "reference.lzms"))[0]
    out = os.path.join(prefix.drive_c, "ours.exe")
    proc = prefix.run(os.path.join(BIN_DIR, "tools", "zsresource", "zsresource.exe"), [stub, payload, out])
    if proc.code != 0:
        raise AssertionError(f"zsresource failed: {proc.stderr!r}")
    shutil.copy(out, os.path.join(work, "ours.exe"))
    # The sample's programs come from the build; the peers pack the same ones, from a folder of
    # their own (linked, not copied), since the sample is built again in every round.
    app = os.path.join(work, "peer-app")
    shutil.copytree(os.path.join(sample, "app"), app, copy_function=os.link)
    for name in os.listdir(os.path.join(BIN_DIR, "testing", "zelvan-app")):
        if name.endswith(".exe"):
            shutil.copy(os.path.join(BIN_DIR, "testing", "zelvan-app", name), app)
    return app, payload, os.path.getsize(stub), reference_block, args


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
    proc = prefix.run(os.path.join(BIN_DIR, "bench", "install", "flush_bench.exe"), ["C:\\flush", "500"], timeout=600)
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
    """A trivial program as the first run in a fresh prefix (what an install pays for Wine's start
    and end) and once more in the same prefix after Wine has shut down (what an uninstall pays)."""
    prefix = Prefix(f"peerbench-trivial-{round_}")
    try:
        for key in ("trivial.first", "trivial.again"):
            timing = trivial_start(prefix)
            results[key].append(timing.session_end)
            results[key + ".process"].append(timing.process_end)
    finally:
        prefix.remove()


def run_round(corpus, kind, work, round_, results):
    """Installs and uninstalls one setup of one corpus in a fresh prefix."""
    prefix = Prefix(f"peerbench-{corpus}-{kind}-{round_}")
    key = f"{corpus}.{kind}"
    try:
        exe = os.path.join(prefix.drive_c, f"{kind}.{'msi' if kind == 'msi' else 'exe'}")
        shutil.copy(os.path.join(work, os.path.basename(exe)), exe)
        if kind == "ours":
            code, timing, rss, anon, records = measure(prefix, exe)
            results[f"{corpus}.records"].append(records)
            results[f"{corpus}.rss"].append(rss)
            results[f"{corpus}.anon"].append(anon)
            phases = staging_seconds(prefix)
            if phases:
                results[f"{corpus}.staging"].append(phases[0])
                results[f"{corpus}.placing"].append(phases[1])
        elif kind == "nsis":
            timing = timed(prefix, exe, ["/S"])
        else:
            timing = timed(prefix, "msiexec", ["/i", "C:\\msi.msi", "/qn"])
        if timing.code != 0:
            raise AssertionError(f"{kind} install exited {timing.code}")
        results[f"{key}.install"].append(timing.session_end)
        results[f"{key}.install.process"].append(timing.process_end)
        if kind == "ours":
            timing = timed_uninstall(prefix, OURS + "\\ZelvanUninstall.exe", ["/silent"], OURS + CORPUS)
        elif kind == "nsis":
            timing = timed_uninstall(prefix, PEER + "\\uninst.exe", ["/S"], PEER + CORPUS)
        else:
            timing = timed_uninstall(prefix, "msiexec", ["/x", "C:\\msi.msi", "/qn"], MSI_FOLDER + CORPUS)
        results[f"{key}.uninstall"].append(timing.session_end)
        print(f"round {round_ + 1}, {corpus}, {kind}: install {results[f'{key}.install'][-1]:.2f} s, "
              f"uninstall {timing.session_end:.2f} s", flush=True)
    finally:
        prefix.remove()


def build_corpus(name, corpus, work, builder):
    """The three setups of one corpus in work; returns what the report needs of the build."""
    os.makedirs(work, exist_ok=True)
    app, payload, stub_size, reference_block, zsbuild = build_ours(work, corpus, builder)
    with open(os.path.join(work, "peer.nsi"), "w") as f:
        f.write(nsis_script(app, os.path.join(work, "nsis.exe")))
    makensis = ["makensis", "-V1", os.path.join(work, "peer.nsi")]
    subprocess.run(makensis, check=True)
    with open(os.path.join(work, "msi.wxs"), "w") as f:
        f.write(wxs(app))
    subprocess.run(["wixl", "-a", "x64", "-o", os.path.join(work, "msi.msi"), os.path.join(work, "msi.wxs")],
                   cwd=app, check=True)
    print(f"{name}: built ours, NSIS's and the MSI", flush=True)
    sizes = {k: os.path.getsize(os.path.join(work, f"{k}.{'msi' if k == 'msi' else 'exe'}"))
             for k in ("ours", "nsis", "msi")}
    return {"payload": payload, "stub": stub_size, "reference": reference_block, "sizes": sizes,
            "zsbuild": zsbuild + ["--payload", os.path.join(work, "again.bin")],
            "makensis": makensis}


def builder_round(name, built, round_, results):
    """Our builder and makensis on the same files once each, from the same quiet start; which goes
    first alternates by round. makensis writes the same setup again."""
    pair = [("build", built["zsbuild"]), ("makensis", built["makensis"])]
    for key, args in pair if round_ % 2 == 0 else reversed(pair):
        os.sync()
        start = time.monotonic()
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        results[f"{name}.{key}"].append(time.monotonic() - start)
    print(f"round {round_ + 1}, {name}: builder {results[f'{name}.build'][-1]:.1f} s, makensis "
          f"{results[f'{name}.makensis'][-1]:.1f} s", flush=True)


def ratio(ours, theirs):
    """A ratio of two net times; a peer whose net time is within the baseline's noise has none."""
    return f"{ours / theirs:.2f}" if theirs >= 0.1 else "n/a (the peer's net time is under 0.1 s)"


def report(name, files, corpus_bytes, built, med):
    trivial = med["trivial.first"]
    again = med["trivial.again"]
    print(f"\n{name}: {files} files, {corpus_bytes / 1e6:.1f} MB (ours adds the sample's files)")
    print("| | setup file | install, wall | install, net | to its own end | uninstall, wall | uninstall, net |")
    print("|---|---|---|---|---|---|---|")
    labels = {"nsis": "NSIS 3, solid LZMA, 64 MB dictionary", "msi": "Windows Installer package (wixl, MSZIP)",
              "ours": "ZelvanSetup.exe"}
    for kind in ("nsis", "msi", "ours"):
        i, u = med[f"{name}.{kind}.install"], med[f"{name}.{kind}.uninstall"]
        print(f"| {labels[kind]} | {built['sizes'][kind] / 1e6:.1f} MB | {i:.2f} s | {i - trivial:.2f} s | "
              f"{med[f'{name}.{kind}.install.process']:.2f} s | {u:.2f} s | {u - again:.2f} s |")
    net = {k: med[f"{name}.{k}.install"] - trivial for k in ("ours", "nsis", "msi")}
    unnet = {k: med[f"{name}.{k}.uninstall"] - again for k in ("ours", "nsis", "msi")}
    for peer in ("nsis", "msi"):
        print(f"ours / {peer}: install net {ratio(net['ours'], net[peer])}, uninstall net "
              f"{ratio(unnet['ours'], unnet[peer])}")
    print(f"ours / the faster peer: install net {ratio(net['ours'], min(net['nsis'], net['msi']))}")
    if f"{name}.build" in med:
        build, makensis = med[f"{name}.build"], med[f"{name}.makensis"]
        print(f"builder {build:.1f} s against makensis {makensis:.1f} s: {build / max(makensis, 1e-3):.2f}")
    if f"{name}.staging" in med:
        print(f"ours, from the log: staging {med[f'{name}.staging']:.2f} s, placing {med[f'{name}.placing']:.2f} s")
    print(f"ours, peak memory: {med[f'{name}.rss']:.0f} MB resident, of which {med[f'{name}.anon']:.0f} MB "
          f"anonymous (the rest is mostly the mapped setup file)")


def main():
    for tool in ("makensis", "wixl"):
        if not shutil.which(tool):
            raise SystemExit(f"{tool} is missing (scripts/bench.sh installs the benchmark's peers)")
    os.makedirs(WORK_DIR, exist_ok=True)
    work = tempfile.mkdtemp(prefix="zs-peerbench-", dir=WORK_DIR)
    builder = Prefix("peerbench-builder")
    corpora, built = {}, {}
    try:
        for name in CORPORA:
            corpora[name] = select_corpus() if name == "binaries" else select_source()
            print(f"{name} corpus: {len(corpora[name][0])} files, {corpora[name][1] / 1e6:.1f} MB", flush=True)
            built[name] = build_corpus(name, corpora[name][0], os.path.join(work, name), builder)
        first = built[CORPORA[0]]
        block = os.path.join(builder.drive_c, "block.lzms")
        block_bytes, block_plain = block_of(first["payload"], block)
        speed_one = decoder_speed(builder, block, 1)
        speed_all = decoder_speed(builder, block, 0)
        flushes = flush_costs(builder)
    finally:
        builder.remove()

    results = collections.defaultdict(list)
    try:
        for round_ in range(BUILDER_ROUNDS):
            for name in CORPORA:
                builder_round(name, built[name], round_, results)
        for round_ in range(ROUNDS):
            trivial_round(round_, results)
            for name in CORPORA:
                for kind in ("ours", "nsis", "msi"):
                    run_round(name, kind, os.path.join(work, name), round_, results)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    med = {k: statistics.median(v) for k, v in results.items() if v}
    print(f"\nMedians of {ROUNDS} interleaved rounds, each install in a fresh prefix. Every time runs from the "
          f"program's start to the end of the prefix's Wine session (wineserver -w), ours and the peers' alike; "
          f"a trivial program takes {med['trivial.first']:.2f} s that way as a fresh prefix's first run (install "
          f"\"net\" subtracts it; {med['trivial.first.process']:.2f} s to its own end) and "
          f"{med['trivial.again']:.2f} s after Wine has shut down once (uninstall \"net\" subtracts that).")
    for name in CORPORA:
        report(name, len(corpora[name][0]), corpora[name][1], built[name], med)
    print(f"\nbuilt-in LZMS decoder (32-bit, under Wine), {block_bytes / 1e6:.1f} MB block of {CORPORA[0]}: "
          f"{speed_one:.1f} MB/s on one core, {speed_all:.1f} MB/s on all ({os.cpu_count()}); "
          f"uncompressed block + 64 MB = {block_plain / 1e6 + 64:.0f} MB (the peak memory limit)")
    print(f"stub without payload: {first['stub'] / 1e6:.2f} MB")
    print(f"block: {block_bytes:,} bytes; the builder's compressor with 64 MiB chunks, same files in the same "
          f"order: {first['reference']:,} bytes ({(block_bytes / first['reference'] - 1) * 100:+.2f} %)")
    print(f"flushes of our install ({CORPORA[0]}): at least {med[CORPORA[0] + '.records']:.0f} journal records "
          f"(one flush each) and {len(corpora[CORPORA[0]][0])} or more staged files (one each); one flush here costs:")
    for line in flushes:
        print(f"  {line}")


if __name__ == "__main__":
    main()
