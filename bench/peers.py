#!/usr/bin/env python3
"""End-to-end timing of kestrel-cli against the Debian PST readers on generated mailboxes.

Generates (once, cached outside the repository) PST files with pstgen, then times on each
file, with /usr/bin/time -v and a warm page cache:

  kestrel-cli analyze FILE --json      vs  readpst -q -D -j0 -o DIR FILE  (mbox per folder)
                                       vs  pffexport -q -t DIR FILE      (items mode)
                                       vs  lspst FILE                    (lists every item)
                                       vs  cat FILE > /dev/null          (the disk's limit)
  kestrel-cli info FILE --json         vs  pffinfo FILE                  (header and indexes)
  kestrel-cli export FILE --out DIR --format eml
                                       vs  readpst -q -D -e -j0 -o DIR FILE  (one .eml per message)
  kestrel-cli analyze FILE --deep      vs  cat FILE > /dev/null          (the deep scan)
  kestrel-cli export FILE --format pst vs  kestrel-cli export --format eml  (the repaired PST)

and prints a Markdown table with the median wall time, user+sys CPU and peak RSS of each
tool, and the ratios ours/peer, then a summary of the analysis: ours/lspst, ours/cat and the
peak RSS per listed message. The runs alternate (run 1 of every tool of a file, then run 2,
...) so that a change in the machine's load spreads over all tools instead of one. Usage:

  bench/peers.py [--cases 256 512 1024 1024:100000] [--runs 3] [--dir DIR] [--cli PATH]
                 [--groups analyze info export scan repair] [--skip TOOL ...]

A case is SIZE_MB or SIZE_MB:MESSAGES (a fixed message count: the same mail in a bigger
file, to see whether memory follows the file's size or its item count). The cache folder
is $KESTREL_BENCH_DIR, default /tmp/kestrel-bench. The peers write their exports to
$KESTREL_BENCH_SCRATCH, default /dev/shm/kestrel-bench-out (tmpfs: a 1 GB export is some
200,000 files, which take many minutes to delete from disk). Run as root, the script
installs the peers (pst-utils, pff-tools, time, hyperfine) when they are missing.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
PSTGEN = Path(os.environ.get("KESTREL_PSTGEN",
                             REPO.parent / "shared" / "tools" / "pstgen" / "pstgen.py"))
PACKAGES = {"readpst": "pst-utils", "lspst": "pst-utils", "pffexport": "pff-tools",
            "pffinfo": "pff-tools", "hyperfine": "hyperfine"}


def log(text):
    print(text, file=sys.stderr, flush=True)


def ensure_tools():
    missing = sorted({pkg for tool, pkg in PACKAGES.items() if not shutil.which(tool)})
    if not Path("/usr/bin/time").exists():
        missing.append("time")
    if not missing:
        return
    if os.geteuid() != 0:
        log(f"missing: {' '.join(missing)} (run as root to install them)")
        return
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-q"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *missing],
                   check=True, env=env)


def ensure_cli(cli):
    if cli:
        return Path(cli)
    build = REPO / "build-bench"
    path = build / "cli" / "kestrel-cli"
    if not path.exists():
        log(f"building {path} (RelWithDebInfo)")
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build), "--target", "kestrel-cli"], check=True)
    return path


def parse_case(text):
    size, _, messages = text.partition(":")
    return int(size), (int(messages) if messages else None)


def case_name(size, messages):
    return f"pstgen-{size}mb" + (f"-{messages}msg" if messages else "")


def ensure_file(folder, size, messages):
    name = case_name(size, messages)
    pst, manifest = folder / f"{name}.pst", folder / f"{name}.json"
    if pst.exists() and manifest.exists():
        return pst
    log(f"generating {pst}")
    command = [sys.executable, str(PSTGEN), str(pst), "--manifest", str(manifest),
               "--target-size-mb", str(size)]
    if messages:
        command += ["--messages", str(messages)]
    subprocess.run(command, check=True)
    return pst


def time_once(command, cwd=None):
    """Runs command under /usr/bin/time -v; returns (wall, cpu, rss_mb)."""
    result = subprocess.run(["/usr/bin/time", "-v", *command], cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    report = result.stderr
    if result.returncode != 0:
        raise RuntimeError(f"{command[0]} exited with {result.returncode}:\n{report[-2000:]}")

    def field(label):
        match = re.search(rf"{re.escape(label)}: (.+)", report)
        if not match:
            raise RuntimeError(f"no '{label}' in the time report of {command[0]}")
        return match.group(1).strip()

    wall = 0.0
    for part in field("Elapsed (wall clock) time (h:mm:ss or m:ss)").split(":"):
        wall = wall * 60 + float(part)
    cpu = float(field("User time (seconds)")) + float(field("System time (seconds)"))
    rss = int(field("Maximum resident set size (kbytes)")) / 1024
    return wall, cpu, rss


def time_in(command, scratch=None):
    if scratch:
        shutil.rmtree(scratch, ignore_errors=True)
        scratch.mkdir(parents=True)
    try:
        return time_once(command)
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


def medians(samples):
    return tuple(statistics.median(s[i] for s in samples) for i in range(3))


def manifest_messages(pst):
    try:
        with open(pst.with_suffix(".json")) as f:
            return int(json.load(f)["counts"]["mailMessages"])
    except (OSError, ValueError, KeyError, TypeError):
        return 0


def info_hyperfine(cli, pst, runs=10):
    """Median wall time of `info --json` over runs, with hyperfine (a 0.05 s run needs it)."""
    if not shutil.which("hyperfine"):
        return None
    export = Path("/dev/shm") / f"kestrel-hyperfine-{os.getpid()}.json"
    subprocess.run(["hyperfine", "-N", "--style", "none", "--warmup", "2", "--runs", str(runs),
                    "--export-json", str(export), f"{cli} info {pst} --json"],
                   check=True, stdout=subprocess.DEVNULL)
    try:
        with open(export) as f:
            return json.load(f)["results"][0]["median"]
    finally:
        export.unlink(missing_ok=True)


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def scan_seconds(cli, pst, runs):
    """The scan's own time, as `info --deep --json` reports it, median of runs."""
    samples = []
    for _ in range(max(1, runs)):
        done = subprocess.run([str(cli), "info", str(pst), "--json", "--deep"],
                              stdout=subprocess.PIPE, check=False)
        try:
            samples.append(float(json.loads(done.stdout)["scan"]["seconds"]))
        except (ValueError, KeyError, TypeError):
            pass
    return statistics.median(samples) if samples else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", nargs="+", default=["256", "512", "1024", "1024:100000"])
    parser.add_argument("--groups", nargs="+",
                        default=["analyze", "info", "export", "scan", "repair"],
                        help="which comparisons to run")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", default=os.environ.get("KESTREL_BENCH_DIR", "/tmp/kestrel-bench"))
    parser.add_argument("--cli", help="kestrel-cli to time (default: build-bench/cli/kestrel-cli)")
    parser.add_argument("--skip", nargs="*", default=[], help="peers to leave out")
    args = parser.parse_args()

    ensure_tools()
    cli = ensure_cli(args.cli)
    folder = Path(args.dir)
    folder.mkdir(parents=True, exist_ok=True)
    shm = Path("/dev/shm")
    out = Path(os.environ.get("KESTREL_BENCH_SCRATCH",
                              shm / "kestrel-bench-out" if shm.is_dir() else folder / "out"))

    rows = []
    scans = []
    summary = []
    infos = []
    for case in args.cases:
        size, messages = parse_case(case)
        pst = ensure_file(folder, size, messages)
        warm(pst)
        label = f"{pst.name} ({pst.stat().st_size / 1e6:,.0f} MB)"
        jobs = [
            ("analyze", "kestrel-cli analyze --json",
             [str(cli), "analyze", str(pst), "--json", "--quiet"], None),
            ("analyze", "readpst -D -j0", ["readpst", "-q", "-D", "-j0", "-o", str(out),
                                           str(pst)], out),
            ("analyze", "pffexport", ["pffexport", "-q", "-t", str(out / "x"), str(pst)], out),
            ("analyze", "lspst", ["lspst", str(pst)], None),
            ("info", "kestrel-cli info --json", [str(cli), "info", str(pst), "--json"], None),
            ("info", "pffinfo", ["pffinfo", str(pst)], None),
            ("export", "kestrel-cli export --format eml",
             [str(cli), "export", str(pst), "--out", str(out / "k"), "--format", "eml", "--quiet"],
             out),
            ("export", "readpst -D -e -j0", ["readpst", "-q", "-D", "-e", "-j0", "-o", str(out),
                                             str(pst)], out),
            ("scan", "kestrel-cli analyze --deep --json",
             [str(cli), "analyze", str(pst), "--json", "--quiet", "--deep"], None),
            ("analyze", "cat FILE > /dev/null", ["sh", "-c", f'cat "{pst}" > /dev/null'], None),
            ("repair", "kestrel-cli export --format pst",
             [str(cli), "export", str(pst), "--out", str(out / "k.pst"), "--format", "pst",
              "--quiet"], out),
            # The reference the repaired PST is held to: our own EML export of the file.
            ("repair", "(ours) export --format eml",
             [str(cli), "export", str(pst), "--out", str(out / "k"), "--format", "eml", "--quiet"],
             out),
        ]
        # cat is the limit for the analysis and the deep scan alike: one row serves both.
        jobs = [j for j in jobs if j[2][0] not in args.skip and
                (j[0] in args.groups or (j[1].startswith("cat") and "scan" in args.groups))]
        samples = {name: [] for _, name, _, _ in jobs}
        started = time.monotonic()
        for run in range(args.runs):
            for group, name, command, scratch in jobs:
                samples[name].append(time_in(command, scratch))
            log(f"{pst.name}: run {run + 1} of {args.runs} ({time.monotonic() - started:.0f} s)")
        ours = {}
        for group, name, command, scratch in jobs:
            wall, cpu, rss = medians(samples[name])
            log(f"  {name}: {wall:.2f} s wall, {cpu:.2f} s cpu, {rss:.1f} MB")
            if name.startswith("kestrel-cli"):
                ours[group] = (wall, cpu, rss)
            rows.append((label, group, name, wall, cpu, rss, ours.get(group)))
        if "analyze" in args.groups:
            walls = {name: medians(samples[name])[0] for name in samples}
            rss = medians(samples["kestrel-cli analyze --json"])[2] if ours.get("analyze") else 0
            summary.append((label, manifest_messages(pst), walls, rss))
        if "info" in args.groups:
            infos.append((label, info_hyperfine(cli, pst)))
        if "scan" in args.groups:
            scans.append((label, pst.stat().st_size, scan_seconds(cli, pst, args.runs)))

    print("| file | tool | wall s | user+sys s | peak RSS MB | wall ours/peer | "
          "cpu ours/peer | RSS ours/peer |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for label, group, name, wall, cpu, rss, mine in rows:
        if mine and not name.startswith("kestrel-cli"):
            ratios = " | ".join(f"{a / b:.2f}" if b > 0 else "-" for a, b in
                                zip(mine, (wall, cpu, rss)))
        else:
            ratios = "- | - | -"
        print(f"| {label} | {name} | {wall:.2f} | {cpu:.2f} | {rss:.1f} | {ratios} |")
    if summary:
        print()
        print("| file | messages | analyze wall s | lspst s | cat s | ours/lspst | ours/cat | "
              "peak RSS MB | RSS bytes/message |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for label, messages, walls, rss in summary:
            mine = walls.get("kestrel-cli analyze --json", 0)

            def ratio(peer):
                other = walls.get(peer)
                return f"{mine / other:.2f}" if other else "-"

            lspst, cat = walls.get("lspst"), walls.get("cat FILE > /dev/null")
            per = f"{rss * 1024 * 1024 / messages:,.0f}" if messages else "-"
            print(f"| {label} | {messages:,} | {mine:.2f} | "
                  f"{'-' if lspst is None else f'{lspst:.2f}'} | "
                  f"{'-' if cat is None else f'{cat:.2f}'} | {ratio('lspst')} | "
                  f"{ratio('cat FILE > /dev/null')} | {rss:.1f} | {per} |")
    if infos:
        print()
        print("| file | info --json wall s (hyperfine, median of 10) |")
        print("|---|---:|")
        for label, seconds in infos:
            print(f"| {label} | {'-' if seconds is None else f'{seconds:.4f}'} |")
    if scans:
        print()
        print("| file | deep scan s (the JSON's `seconds`, median) | GB/s |")
        print("|---|---:|---:|")
        for label, size, seconds in scans:
            print(f"| {label} | {seconds:.3f} | {size / 1e9 / seconds if seconds else 0:.2f} |")


if __name__ == "__main__":
    main()
