#!/usr/bin/env python3
"""json_regress.py: does a change alter what kestrel-cli reports?

  json_regress.py inputs DIR [--corpus DIR] [--sample FILE] [--pstgen PATH]
      Fills DIR with the files to compare on: links to every corpus file (*.pst, *.ost) and
      the sample, and pstgen files (Unicode and Ansi, each encoding), each written once.
  json_regress.py snapshot --cli PATH --inputs DIR --out DIR
      Runs `info --json`, `analyze --json` and `analyze --json --restore-deleted` on every
      file of the inputs folder and keeps each output (and exit code) in OUT.
  json_regress.py compare BEFORE AFTER [--drop KEY ...] [--drop-list-key KEY ...]
                          [--drop-nid-type T ...] [-v]
      Compares two snapshots after removing the keys --drop names (top-level, or a path such
      as "counters/Tasks"), the keys --drop-list-key names from every entry of the item lists
      and messages, and the messages whose NID has the type --drop-nid-type gives. Prints one line
      per file and output that differs, with the first differing paths; the last line is
      "N passed, N failed". Exit 0 when every output is the same, 1 otherwise.

  json_regress.py builds BEFORE_CLI AFTER_CLI --inputs DIR [--work DIR]
      Snapshots both builds over the inputs folder and compares every output byte for byte
      (compare --bytes): what a speed-up must keep.

A change that should keep the output (a refactoring, a speed-up) is checked by a snapshot
before and one after; keys a change adds on purpose are dropped for the comparison.
"""
import argparse
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHARED = os.path.join(os.path.dirname(ROOT), "shared")

# name, pstgen arguments: every format and encoding, small enough to write in seconds.
PSTGEN_CASES = [
    ("pstgen-unicode-permute", ["--format", "unicode", "--crypt", "permute", "--seed", "11"]),
    ("pstgen-unicode-none", ["--format", "unicode", "--crypt", "none", "--seed", "12"]),
    ("pstgen-unicode-cyclic", ["--format", "unicode", "--crypt", "cyclic", "--seed", "13",
                               "--messages", "60"]),
    ("pstgen-ansi-permute", ["--format", "ansi", "--crypt", "permute", "--seed", "14"]),
    ("pstgen-ansi-none", ["--format", "ansi", "--crypt", "none", "--seed", "15"]),
    ("pstgen-ansi-cyclic", ["--format", "ansi", "--crypt", "cyclic", "--seed", "16",
                            "--messages", "60"]),
]

RUNS = [
    ("info", ["info", "--json"]),
    ("analyze", ["analyze", "--json", "--quiet"]),
    ("restore", ["analyze", "--json", "--quiet", "--restore-deleted"]),
]
LISTS = ("contacts", "tasks", "notes", "journal", "calendar")


def make_inputs(a):
    os.makedirs(a.dir, exist_ok=True)
    sources = []
    if os.path.isdir(a.corpus):
        sources += [os.path.join(a.corpus, f) for f in sorted(os.listdir(a.corpus))
                    if f.endswith((".pst", ".ost"))]
    if a.sample and os.path.exists(a.sample):
        sources.append(a.sample)
    for src in sources:
        link = os.path.join(a.dir, os.path.basename(src))
        if not os.path.lexists(link):
            os.symlink(os.path.abspath(src), link)
    if not os.path.exists(a.pstgen):
        print("no pstgen at %s: generated files left out" % a.pstgen, file=sys.stderr)
        return 0
    for name, args in PSTGEN_CASES:
        out = os.path.join(a.dir, name + ".pst")
        if os.path.exists(out):
            continue
        subprocess.run(["/usr/bin/python3", a.pstgen, out, "--manifest",
                        os.path.join(a.dir, name + ".manifest")] + args, check=True,
                       stdout=subprocess.DEVNULL)
    print("%d files in %s" % (len(os.listdir(a.dir)), a.dir))
    return 0


def input_files(folder):
    return sorted(f for f in os.listdir(folder) if f.endswith((".pst", ".ost")))


def snapshot(a):
    os.makedirs(a.out, exist_ok=True)
    for name in input_files(a.inputs):
        path = os.path.join(a.inputs, name)
        for run, args in RUNS:
            proc = subprocess.run([a.cli, args[0], path] + args[1:], capture_output=True,
                                  timeout=600)
            with open(os.path.join(a.out, "%s.%s.json" % (name, run)), "wb") as f:
                f.write(proc.stdout)
            with open(os.path.join(a.out, "%s.%s.exit" % (name, run)), "w") as f:
                f.write("%d\n" % proc.returncode)
    print("snapshot of %d files in %s" % (len(input_files(a.inputs)), a.out))
    return 0


def strip(doc, drop, drop_list_keys, drop_nid_types=()):
    if not isinstance(doc, dict):
        return doc
    for path in drop:
        *parents, key = path.split("/")
        node = doc
        for part in parents:
            node = node.get(part) if isinstance(node, dict) else None
        if isinstance(node, dict):
            node.pop(key, None)
    for folder in doc.get("folders") or []:
        if drop_nid_types and folder.get("messages"):
            folder["messages"] = [m for m in folder["messages"]
                                  if (m.get("nid") or 0) & 0x1F not in drop_nid_types]
    entries = [e for lst in LISTS for e in doc.get(lst) or []]
    for folder in doc.get("folders") or []:
        entries += folder.get("messages") or []
    for entry in entries:
        for key in drop_list_keys:
            entry.pop(key, None)
    return doc


def differences(a, b, path="", out=None, limit=5):
    out = [] if out is None else out
    if len(out) >= limit:
        return out
    if isinstance(a, dict) and isinstance(b, dict):
        for key in list(a) + [k for k in b if k not in a]:
            if key not in a or key not in b:
                out.append("%s/%s: %s" % (path, key, "added" if key in b else "removed"))
            else:
                differences(a[key], b[key], "%s/%s" % (path, key), out, limit)
    elif isinstance(a, list) and isinstance(b, list):
        if len(a) != len(b):
            out.append("%s: %d entries, then %d" % (path, len(a), len(b)))
        for i, (x, y) in enumerate(zip(a, b)):
            differences(x, y, "%s[%d]" % (path, i), out, limit)
    elif a != b:
        out.append("%s: %s -> %s" % (path, json.dumps(a, ensure_ascii=False)[:80],
                                     json.dumps(b, ensure_ascii=False)[:80]))
    return out


def load(path):
    with open(path, "rb") as f:
        raw = f.read()
    try:
        return json.loads(raw.decode("utf-8"))
    except ValueError:
        return raw


def same_bytes(left, right):
    with open(left, "rb") as f, open(right, "rb") as g:
        return f.read() == g.read()


def two_builds(a):
    work = a.work or os.path.join("/tmp", "kestrel-json-regress-%d" % os.getpid())
    sides = []
    for label, cli in (("before", a.before_cli), ("after", a.after_cli)):
        out = os.path.join(work, label)
        snapshot(argparse.Namespace(cli=cli, inputs=a.inputs, out=out))
        sides.append(out)
    return compare(argparse.Namespace(before=sides[0], after=sides[1], drop=[], drop_list_key=[],
                                      drop_nid_type=[], verbose=False, bytes=True))


def compare(a):
    passed = failed = 0
    names = sorted(f[:-5] for f in os.listdir(a.before) if f.endswith(".json"))
    for name in names:
        after = os.path.join(a.after, name + ".json")
        if not os.path.exists(after):
            print("%s: missing after" % name)
            failed += 1
            continue
        before_doc = strip(load(os.path.join(a.before, name + ".json")), a.drop,
                           a.drop_list_key, a.drop_nid_type)
        after_doc = strip(load(after), a.drop, a.drop_list_key, a.drop_nid_type)
        exits = []
        for side in (a.before, a.after):
            with open(os.path.join(side, name + ".exit")) as f:
                exits.append(f.read().strip())
        if a.bytes:
            diffs = [] if same_bytes(os.path.join(a.before, name + ".json"), after) else \
                ["bytes differ"] + differences(before_doc, after_doc, limit=5)
        else:
            diffs = differences(before_doc, after_doc, limit=20 if a.verbose else 5)
        if exits[0] != exits[1]:
            diffs.insert(0, "exit code %s -> %s" % tuple(exits))
        if diffs:
            failed += 1
            print("%s: differs" % name)
            for d in diffs:
                print("    " + d)
        else:
            passed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="command", required=True)
    i = sub.add_parser("inputs")
    i.add_argument("dir")
    i.add_argument("--corpus", default=os.path.join(SHARED, "corpus"))
    i.add_argument("--sample", default=os.path.join(ROOT, "build", "samples", "sample.pst"))
    i.add_argument("--pstgen", default=os.path.join(SHARED, "tools", "pstgen", "pstgen.py"))
    s = sub.add_parser("snapshot")
    s.add_argument("--cli", default=os.path.join(ROOT, "build", "cli", "kestrel-cli"))
    s.add_argument("--inputs", required=True)
    s.add_argument("--out", required=True)
    c = sub.add_parser("compare")
    c.add_argument("before")
    c.add_argument("after")
    c.add_argument("--drop", action="append", default=[], help="a top-level key to ignore")
    c.add_argument("--drop-list-key", action="append", default=[],
                   help="a key to ignore in every list entry and message")
    c.add_argument("--drop-nid-type", action="append", type=lambda v: int(v, 0), default=[],
                   help="leave out the messages whose NID has this type (e.g. 8)")
    c.add_argument("-v", "--verbose", action="store_true")
    c.add_argument("--bytes", action="store_true",
                   help="the outputs must be byte-identical (no --drop applies)")
    b = sub.add_parser("builds")
    b.add_argument("before_cli")
    b.add_argument("after_cli")
    b.add_argument("--inputs", required=True)
    b.add_argument("--work", help="where the two snapshots go (default: a folder in /tmp)")
    a = p.parse_args()
    return {"inputs": make_inputs, "snapshot": snapshot, "compare": compare,
            "builds": two_builds}[a.command](a)


if __name__ == "__main__":
    sys.exit(main())
