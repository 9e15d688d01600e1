#!/usr/bin/env python3
"""pst_roundtrip.py [--cli PATH] [--pstgen PATH] [--out DIR] [--quick] [FILE ...]

Writes the repaired PST of each file (`kestrel-cli export FILE --format pst`) and proves it:
  - `kestrel-cli check` on the written file exits 0;
  - `analyze --json` of source and output list the same folders (by path) and the same
    items (subjects, senders, recipients, dates, attachment names and sizes), NIDs aside;
  - `export --format eml` of source and output give the same files, byte for byte;
  - readpst -D and pffexport find as many messages per folder in the output as in the
    source; pffinfo exits 0 on the output.
Files: the arguments, else the corpus (/work/shared/corpus) and pstgen files (Unicode and
Ansi, each encoding, one of 5,000 messages). Prints a Markdown table; exit 0 when every
row passed, 1 otherwise.
"""
import argparse
import collections
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS = Path("/work/shared/corpus")
GENERATED = [
    ("gen-unicode-permute", ["--format", "unicode", "--crypt", "permute", "--seed", "11"]),
    ("gen-unicode-none", ["--format", "unicode", "--crypt", "none", "--seed", "12"]),
    ("gen-unicode-cyclic", ["--format", "unicode", "--crypt", "cyclic", "--seed", "13"]),
    ("gen-ansi-permute", ["--format", "ansi", "--crypt", "permute", "--seed", "14"]),
    ("gen-ansi-none", ["--format", "ansi", "--crypt", "none", "--seed", "15"]),
    ("gen-ansi-cyclic", ["--format", "ansi", "--crypt", "cyclic", "--seed", "16"]),
    ("gen-unicode-5000", ["--format", "unicode", "--crypt", "permute", "--seed", "17",
                          "--messages", "5000", "--folders", "12", "--max-attachment-kb", "16"]),
]


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def shown(analysis):
    """The analysis without NIDs: folders by path, items as their shown fields."""
    folders = collections.OrderedDict()
    for folder in analysis.get("folders", []):
        items = folders.setdefault(folder["path"], [])
        for m in folder.get("messages", []):
            m = {k: v for k, v in m.items() if k != "nid"}
            items.append(json.dumps(m, sort_keys=True))
    others = {}
    for kind in ("contacts", "tasks", "notes", "journal", "calendar"):
        others[kind] = sorted(json.dumps({k: v for k, v in e.items() if k != "nid"},
                                         sort_keys=True) for e in analysis.get(kind, []))
    return {p: sorted(v) for p, v in folders.items()}, others


def analyze(cli, pst):
    done = run([cli, "analyze", str(pst), "--json", "--quiet"])
    return json.loads(done.stdout) if done.stdout else {}


# What the EML writer derives from a message's NID: its MIME boundaries and, for a message
# without one, the Message-Id it makes up.
NID_DERIVED = [(re.compile(rb"=_kestrel_[0-9a-f]{16}_"), b"=_kestrel_N_"),
               (re.compile(rb"<[0-9a-f]{16}\.[0-9a-f]+@recovered\.kestrel\.invalid>"),
                b"<N@recovered.kestrel.invalid>"),
               (re.compile(rb"UID:NID-[0-9A-Fa-f]{8}-[0-9A-Fa-f]+@kestrel"), b"UID:NID-N@kestrel")]


def same_bytes(a, b):
    x, y = Path(a).read_bytes(), Path(b).read_bytes()
    if x == y:
        return True
    for pattern, replacement in NID_DERIVED:
        x, y = pattern.sub(replacement, x), pattern.sub(replacement, y)
    return x == y


def same_tree(a, b):
    """True when both folders hold the same files with the same bytes (reports aside), the
    values the EML writer derives from NIDs aside."""
    def files(root):
        return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*")
                      if p.is_file() and not p.name.startswith("Recovery Report"))
    fa, fb = files(a), files(b)
    if fa != fb:
        return False
    return all(same_bytes(Path(a) / f, Path(b) / f) for f in fa)


def readpst_counts(pst, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    run(["readpst", "-q", "-D", "-e", "-j0", "-o", str(scratch), str(pst)])
    counts = collections.Counter()
    for p in scratch.rglob("*"):
        if p.is_file():
            counts[str(p.parent.relative_to(scratch))] += 1
    return counts


def pffexport_counts(pst, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    target = scratch / "x"
    run(["pffexport", "-q", "-t", str(target), str(pst)])
    counts = collections.Counter()
    for p in scratch.rglob("Message*"):
        if p.is_dir() and p.name.startswith("Message"):
            counts["total"] += 1
    return counts


def check_file(cli, pst, work):
    row = {"file": pst.name}
    out = work / "repaired.pst"
    done = run([cli, "export", str(pst), "--format", "pst", "--out", str(out), "--quiet"])
    row["export"] = done.returncode
    if done.returncode != 0 or not out.exists():
        row["note"] = done.stderr.decode(errors="replace").strip()[-200:]
        return row
    row["check"] = run([cli, "check", str(out)]).returncode
    src, dst = analyze(cli, pst), analyze(cli, out)
    sf, so = shown(src)
    df, do = shown(dst)
    row["folders"] = set(sf) == set(df)
    row["items"] = sf == {p: df.get(p) for p in sf} and so == do
    e1, e2 = work / "eml-src", work / "eml-out"
    run([cli, "export", str(pst), "--out", str(e1), "--quiet"])
    run([cli, "export", str(out), "--out", str(e2), "--quiet"])
    row["eml"] = same_tree(e1, e2)
    if shutil.which("readpst"):
        a, b = readpst_counts(pst, work / "rp1"), readpst_counts(out, work / "rp2")
        row["readpst"] = f"{sum(a.values())}/{sum(b.values())}"
        row["readpst_ok"] = sum(b.values()) >= sum(a.values())
    if shutil.which("pffexport"):
        a, b = pffexport_counts(pst, work / "pf1"), pffexport_counts(out, work / "pf2")
        row["pffexport"] = f"{a['total']}/{b['total']}"
        row["pffexport_ok"] = b["total"] >= a["total"]
    if shutil.which("pffinfo"):
        row["pffinfo"] = run(["pffinfo", str(out)]).returncode
    return row


def passed(row):
    return (row.get("export") == 0 and row.get("check") == 0 and row.get("folders")
            and row.get("items") and row.get("eml") and row.get("readpst_ok", True)
            and row.get("pffexport_ok", True) and row.get("pffinfo", 0) == 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*")
    parser.add_argument("--cli", default=str(ROOT / "build/cli/kestrel-cli"))
    parser.add_argument("--pstgen", default="/work/shared/tools/pstgen/pstgen.py")
    parser.add_argument("--out", help="keep the work files here")
    parser.add_argument("--quick", action="store_true", help="corpus only, no pstgen files")
    args = parser.parse_args()

    work = Path(args.out or tempfile.mkdtemp(prefix="kestrel-roundtrip-"))
    work.mkdir(parents=True, exist_ok=True)
    files = [Path(f) for f in args.files]
    if not files:
        files = sorted(p for p in CORPUS.glob("*") if p.suffix.lower() in (".pst", ".ost"))
        if not args.quick and Path(args.pstgen).exists():
            for name, options in GENERATED:
                pst = work / f"{name}.pst"
                if not pst.exists():
                    subprocess.run([sys.executable, args.pstgen, str(pst), "--manifest",
                                    str(work / f"{name}.json"), *options], check=True,
                                   stdout=subprocess.DEVNULL)
                files.append(pst)

    columns = ["file", "export", "check", "folders", "items", "eml", "readpst", "pffexport",
               "pffinfo"]
    print("| " + " | ".join(columns) + " | result |")
    print("|" + "---|" * (len(columns) + 1))
    failures = 0
    for pst in files:
        scratch = work / (pst.stem + ".d")
        shutil.rmtree(scratch, ignore_errors=True)
        scratch.mkdir(parents=True)
        row = check_file(args.cli, pst, scratch)
        ok = passed(row)
        failures += not ok
        cells = [str(row.get(c, "-")) for c in columns]
        print("| " + " | ".join(cells) + f" | {'pass' if ok else 'FAIL ' + row.get('note', '')} |",
              flush=True)
        if not args.out:
            shutil.rmtree(scratch, ignore_errors=True)
    print(f"\n{len(files) - failures} passed, {failures} failed")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
