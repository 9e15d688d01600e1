#!/usr/bin/env python3
"""End-to-end timing of kestrel-cli against the Debian PST readers on generated mailboxes.

Generates (once, cached outside the repository) PST files with pstgen, then times on each
file, with /usr/bin/time -v and a warm page cache:

  kestrel-cli analyze FILE --json      vs  readpst -q -D -j0 -o DIR FILE  (mbox per folder)
                                       vs  pffexport -q -t DIR FILE      (items mode)
                                       vs  lspst FILE                    (lists every item)
  kestrel-cli info FILE --json         vs  pffinfo FILE                  (header and indexes)
  kestrel-cli export FILE --out DIR --format eml
                                       vs  readpst -q -D -e -j0 -o DIR FILE  (one .eml per message)
  kestrel-cli analyze FILE --deep      vs  cat FILE > /dev/null          (the deep scan)
  kestrel-cli export FILE --format pst vs  kestrel-cli export --format eml  (the repaired PST)

and prints a Markdown table with the median wall time, user+sys CPU and peak RSS of each
tool, and the ratios ours/peer. Usage:

  bench/peers.py [--cases 100 256:25000 1024 1024:3786] [--runs 3] [--dir DIR] [--cli PATH]
                 [--groups analyze info export scan repair]

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
PSTGEN = Path(os.environ.get("KESTREL_PSTGEN", "/work/shared/tools/pstgen/pstgen.py"))
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


def measure(command, runs, scratch=None):
    samples = []
    for _ in range(runs):
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
            scratch.mkdir(parents=True)
        samples.append(time_once(command))
    if scratch:
        shutil.rmtree(scratch, ignore_errors=True)
    return tuple(statistics.median(s[i] for s in samples) for i in range(3))


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
    parser.add_argument("--cases", nargs="+", default=["100", "256:25000", "1024", "1024:3786"])
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
            ("scan", "cat FILE > /dev/null", ["sh", "-c", f'cat "{pst}" > /dev/null'], None),
            ("repair", "kestrel-cli export --format pst",
             [str(cli), "export", str(pst), "--out", str(out / "k.pst"), "--format", "pst",
              "--quiet"], out),
            # The reference the repaired PST is held to: our own EML export of the file.
            ("repair", "(ours) export --format eml",
             [str(cli), "export", str(pst), "--out", str(out / "k"), "--format", "eml", "--quiet"],
             out),
        ]
        ours = {}
        for group, name, command, scratch in jobs:
            if command[0] in args.skip or group not in args.groups:
                continue
            log(f"{pst.name}: {name} x{args.runs}")
            started = time.monotonic()
            wall, cpu, rss = measure(command, args.runs, scratch)
            log(f"  {wall:.2f} s wall, {cpu:.2f} s cpu, {rss:.0f} MB "
                f"({time.monotonic() - started:.0f} s)")
            if name.startswith("kestrel-cli"):
                ours[group] = (wall, cpu, rss)
            rows.append((label, group, name, wall, cpu, rss, ours.get(group)))
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
    print()
    print("| file | deep scan s (the JSON's `seconds`, median) | GB/s |")
    print("|---|---:|---:|")
    for label, size, seconds in scans:
        print(f"| {label} | {seconds:.3f} | {size / 1e9 / seconds if seconds else 0:.2f} |")


if __name__ == "__main__":
    main()
