#!/usr/bin/env python3
"""pst_roundtrip.py [--cli PATH] [--pstgen PATH] [--out DIR] [--quick] [--damaged] [FILE ...]

Writes the repaired PST of each file (`kestrel-cli export FILE --format pst`) and proves it:
  - `kestrel-cli check` on the written file exits 0;
  - `analyze --json` of source and output list the same folders (by path) and the same
    items (subjects, senders, recipients, dates, attachment names and sizes), NIDs aside.
    The one folder the writer may add is the wastebasket every store must have ("Deleted
    Items", empty) when the source's analysis has none: the folders column says so
    ("same +Deleted Items") instead of passing it over;
  - `export --format eml` of source and output give the same files, byte for byte;
  - readpst -D and pffexport read the output folder by folder: in each folder the same
    items (mail and other messages by subject, contacts by address or name) as our
    analysis of it. Where a reader does not (readpst leaves tasks, notes and posts out;
    pffexport garbles some characters), it must read the output exactly as it reads the
    source, and the cell counts those folders apart ("2 as on source"); pffinfo exits 0
    on the output.
Files: the arguments, else the corpus (/work/shared/corpus and the format-36 OST beside
it) and pstgen files (Unicode and Ansi, each encoding, one of 5,000 messages); --damaged
adds one damaged copy of each damage kind (kestrel-damage-copies of one corpus file).
Prints a Markdown table, then the folders where a reader disagreed; exit 0 when every row
passed, 1 otherwise.
"""
import argparse
import collections
import email
import email.policy
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
CORPUS36 = Path("/work/shared/corpus-format36")
# The file the damaged rows derive from: 92 items in seven folders.
DAMAGE_SOURCE = CORPUS / "aspose_SampleOstFile.ost"
TOP = "Personal Folders"
WASTEBASKET = TOP + "\\Deleted Items\\"
SKIPPED = "\0skipped"  # the key of a reader's own count of what it left out

sys.path.insert(0, str(Path(__file__).resolve().parent))
from peer_recall import ITEM_DIR, contact_key, norm, pff_fields, vcard_fields  # noqa: E402
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


def compare_folders(src, dst):
    """(verdict, ok): the same folder paths, or the same and the empty wastebasket the
    writer adds to a store whose analysis has none."""
    sf, df = set(src), set(dst)
    added, lost = df - sf, sf - df
    if not added and not lost:
        return "same", True
    if not lost and added == {WASTEBASKET} and not dst[WASTEBASKET]:
        return "same +Deleted Items", True
    return f"lost {sorted(lost)[:3]} added {sorted(added)[:3]}", False


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


# --- Each reader's items per folder: {"Personal Folders/Inbox": Counter of keys} ---

def folder_key(parts):
    return "/".join(parts)


def ours_by_folder(analysis):
    got = collections.defaultdict(collections.Counter)

    def key(path):
        return folder_key([p for p in path.split("\\") if p])

    for folder in analysis.get("folders", []):
        got[key(folder["path"])]  # every folder, empty ones too
        for m in folder.get("messages", []):
            got[key(folder["path"])][norm(m.get("subject"))] += 1
    for c in analysis.get("contacts", []):
        got[key(c["folder"])][contact_key(c.get("name"), c.get("email"))] += 1
    for kind in ("tasks", "notes", "journal", "calendar"):
        for e in analysis.get(kind, []):
            got[key(e["folder"])][norm(e.get("subject"))] += 1
    return got


def readpst_by_folder(pst, scratch):
    """readpst -D: one folder per folder under the store's name (read as ours), .eml per
    message, .vcf per contact, .ics per appointment."""
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    done = run(["readpst", "-D", "-e", "-j0", "-o", str(scratch), str(pst)])
    got = collections.defaultdict(collections.Counter)
    for p in scratch.rglob("*"):
        if not p.is_file():
            continue
        folder = folder_key([TOP, *p.parent.relative_to(scratch).parts[1:]])
        if p.suffix == ".eml":
            with open(p, "rb") as f:
                message = email.message_from_binary_file(f, policy=email.policy.default)
            try:
                got[folder][norm(str(message["subject"] or ""))] += 1
            except Exception:  # a header the parser cannot decode
                got[folder][""] += 1
        elif p.suffix == ".vcf":
            fields = vcard_fields(p)
            name = norm(fields.get("FN", "").replace("\\,", ","))
            got[folder][contact_key("" if name == "(null)" else name, fields.get("EMAIL"))] += 1
        elif p.suffix == ".ics":
            got[folder][norm(vcard_fields(p).get("SUMMARY", "").replace("\\,", ","))] += 1
    # What it leaves out by its own rules, as it says ("N items skipped" per folder).
    said = done.stdout.decode(errors="replace") + done.stderr.decode(errors="replace")
    got[SKIPPED] = sum(int(n) for n in re.findall(r"(\d+) items skipped", said))
    return got


def pffexport_by_folder(pst, scratch, top_name=None):
    """pffexport: the IPM subtree under its own name, one folder per item. Without
    top_name, the file is one we wrote: its root holds the IPM subtree and "Search Root"
    only. Returns the items and the IPM subtree's name."""
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    done = run(["pffexport", "-t", str(scratch / "x"), str(pst)])
    if top_name is None:
        names = [p.name for p in (scratch / "x.export").iterdir() if p.name != "Search Root"]
        top_name = names[0] if len(names) == 1 else ""
    top = scratch / "x.export" / top_name
    got = collections.defaultdict(collections.Counter)
    for dirpath, dirnames, _ in os.walk(top):
        # Messages attached to messages are not items of their own.
        dirnames[:] = [d for d in dirnames if d != "Attachments"]
        here = Path(dirpath)
        m = ITEM_DIR.match(here.name)
        if not m or here == top:
            continue
        folder = folder_key([TOP, *here.parent.relative_to(top).parts])
        fields = pff_fields(dirpath)
        if m.group(1) == "Contact":
            got[folder][contact_key(fields.get("Subject"), fields.get("Email address 1"))] += 1
        else:
            got[folder][norm(fields.get("Subject"))] += 1
    # What it leaves out by its own rules, as it says ("Skipped item 3 out of 9 of type: ...").
    said = done.stdout.decode(errors="replace") + done.stderr.decode(errors="replace")
    got[SKIPPED] = len(re.findall(r"Skipped item \d+ out of", said))
    return got, top_name


def agreement(ours, output, source, name, differences):
    """A reader's cell: folders whose items agree with ours (subjects and counts) of the
    non-empty ones; then how many of the others it reads as it reads the source's; then
    how many items it lists nowhere that it says it skipped by its own rules (readpst
    leaves appointments out of mail folders, pffexport items of some classes). ok when
    every folder is accounted for, and the reader added nothing of its own."""
    empty = collections.Counter()
    skipped = output.get(SKIPPED, 0)
    folders = sorted(f for f in set(ours) | set(output) | set(source)
                     if f != SKIPPED and (ours.get(f) or output.get(f) or source.get(f)))
    agreeing = as_source = 0
    missing, extra = 0, False
    for f in folders:
        a, b = ours.get(f, empty), output.get(f, empty)
        if a == b:
            agreeing += 1
            continue
        if b == source.get(f, empty):
            as_source += 1
            continue
        missing += sum((a - b).values())
        extra = extra or bool(b - a)
        differences.append(f"{name} {f}: ours {sum(a.values())}, {name} {sum(b.values())}"
                           f" (on the source {sum(source.get(f, empty).values())},"
                           f" it says it skipped {skipped} in all);"
                           f" only ours {list((a - b).elements())[:3]},"
                           f" only {name} {list((b - a).elements())[:3]}")
    items = sum(sum(c.values()) for f, c in output.items() if f != SKIPPED)
    cell = f"{agreeing}/{len(folders)} ({items})"
    if as_source:
        cell += f", {as_source} as on source"
    if missing:
        cell += f", {missing} skipped"
    return cell, not extra and missing <= skipped


def check_file(cli, pst, work):
    row = {"file": pst.name, "differences": []}
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
    row["folders"], row["folders_ok"] = compare_folders(sf, df)
    row["items"] = sf == {p: df.get(p) for p in sf} and so == do
    e1, e2 = work / "eml-src", work / "eml-out"
    run([cli, "export", str(pst), "--out", str(e1), "--quiet"])
    run([cli, "export", str(out), "--out", str(e2), "--quiet"])
    row["eml"] = same_tree(e1, e2)
    mine = ours_by_folder(dst)
    row["ours"] = f"{sum(1 for c in mine.values() if c)} ({sum(sum(c.values()) for c in mine.values())})"
    if shutil.which("readpst"):
        output = readpst_by_folder(out, work / "rp")
        source = readpst_by_folder(pst, work / "rp-source")
        row["readpst"], row["readpst_ok"] = agreement(mine, output, source, "readpst",
                                                      row["differences"])
    if shutil.which("pffexport"):
        output, top = pffexport_by_folder(out, work / "pf")
        source, _ = pffexport_by_folder(pst, work / "pf-source", top)
        row["pffexport"], row["pffexport_ok"] = agreement(mine, output, source, "pffexport",
                                                          row["differences"])
    if shutil.which("pffinfo"):
        row["pffinfo"] = run(["pffinfo", str(out)]).returncode
    return row


def passed(row):
    return (row.get("export") == 0 and row.get("check") == 0 and row.get("folders_ok")
            and row.get("items") and row.get("eml") and row.get("readpst_ok", True)
            and row.get("pffexport_ok", True) and row.get("pffinfo", 0) == 0)


def damaged_copies(cli, work):
    """One damaged copy of DAMAGE_SOURCE per damage kind, from kestrel-damage-copies."""
    maker = Path(cli).resolve().parent.parent / "fuzz" / "kestrel-damage-copies"
    if not maker.exists():
        sys.exit(f"missing {maker}: build the target kestrel-damage-copies")
    copies = work / "damaged"
    shutil.rmtree(copies, ignore_errors=True)
    copies.mkdir(parents=True)
    subprocess.run([str(maker), str(copies), str(DAMAGE_SOURCE)], check=True,
                   stdout=subprocess.DEVNULL)
    chosen = {}
    with open(copies / "manifest.tsv", encoding="utf-8") as f:
        next(f)
        for line in f:
            copy, _, kind, _ = line.rstrip("\n").split("\t")
            chosen.setdefault(kind, copies / copy)
    return list(chosen.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*")
    parser.add_argument("--cli", default=str(ROOT / "build/cli/kestrel-cli"))
    parser.add_argument("--pstgen", default="/work/shared/tools/pstgen/pstgen.py")
    parser.add_argument("--out", help="keep the work files here")
    parser.add_argument("--quick", action="store_true", help="corpus only, no pstgen files")
    parser.add_argument("--damaged", action="store_true",
                        help="add one damaged copy of each damage kind")
    args = parser.parse_args()

    work = Path(args.out or tempfile.mkdtemp(prefix="kestrel-roundtrip-"))
    work.mkdir(parents=True, exist_ok=True)
    files = [Path(f) for f in args.files]
    if not files:
        files = sorted(p for folder in (CORPUS, CORPUS36) for p in folder.glob("*")
                       if p.suffix.lower() in (".pst", ".ost"))
        if not args.quick and Path(args.pstgen).exists():
            for name, options in GENERATED:
                pst = work / f"{name}.pst"
                if not pst.exists():
                    subprocess.run([sys.executable, args.pstgen, str(pst), "--manifest",
                                    str(work / f"{name}.json"), *options], check=True,
                                   stdout=subprocess.DEVNULL)
                files.append(pst)
    if args.damaged:
        files += damaged_copies(args.cli, work)

    columns = ["file", "export", "check", "folders", "items", "eml", "ours", "readpst",
               "pffexport", "pffinfo"]
    print("| " + " | ".join(columns) + " | result |")
    print("|" + "---|" * (len(columns) + 1))
    failures = 0
    differences = []
    for pst in files:
        scratch = work / (pst.name + ".d")
        shutil.rmtree(scratch, ignore_errors=True)
        scratch.mkdir(parents=True)
        row = check_file(args.cli, pst, scratch)
        ok = passed(row)
        failures += not ok
        differences += [f"{pst.name}: {d}" for d in row["differences"]]
        cells = [str(row.get(c, "-")) for c in columns]
        print("| " + " | ".join(cells) + f" | {'pass' if ok else 'FAIL ' + row.get('note', '')} |",
              flush=True)
        if not args.out:
            shutil.rmtree(scratch, ignore_errors=True)
    if differences:
        print("\nWhere a reader disagreed with our analysis of the written file:")
        for line in differences:
            print("- " + line)
    print(f"\n{len(files) - failures} passed, {failures} failed")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
