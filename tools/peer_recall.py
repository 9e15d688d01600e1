#!/usr/bin/env python3
"""peer_recall.py [--build DIR] [--corpus DIR] [--plain] [--deep] [-j N] [--keep DIR] [FILE...]

Makes the damaged copies the damage suite makes (kestrel-damage-copies, same kinds and
seeds) of every corpus file (or of FILE...), then reads each copy with our
`kestrel-cli analyze --json --restore-deleted` (readpst runs with -D, deleted items
included, too; --plain leaves the option out), with `pffexport` (pff-tools, normal mode)
and with `readpst` (pst-utils), and compares what each recovers of the undamaged file, by
subject as multisets: mail messages when the undamaged file has mail, else contacts,
else every item. Contacts are matched by e-mail address where they have one, else by
name (the readers name contacts differently: file-as name, display name).

Every reader is matched against one reference per file: whatever any of the three finds
in the undamaged file (as multisets, the largest count of each key), so that the shares
compare.

With --deep our analysis runs as `analyze --json --deep` (no --restore-deleted), and each
copy also gets its survivors: the mail messages of the undamaged file (as we list them)
whose own data blocks the copy's damage left intact; the survivors column gives how many
of them we recover by subject.

Prints one line per copy with the share of the reference each reader recovers, then
totals per damage kind and over everything. Our checksum of each copy is taken before
and after our analysis. Exit 0 when, on every copy, ours is at least the better peer's
share, nothing of ours crashed or hung and no copy changed; 1 otherwise; 2 when a tool
is missing.
"""
import argparse
import collections
import concurrent.futures
import email
import email.policy
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unicodedata
from fractions import Fraction

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIMEOUT = 120
MAIL_CLASSES = ("ipm.note", "report.", "ipm.schedule.meeting", "ipm.post", "ipm.outlook.recall")


def norm(text):
    text = text or ""
    if text[:1] == "\x01" and len(text) >= 2:  # subject-prefix marker and its length
        text = text[2:]
    text = "".join(c for c in text if unicodedata.category(c) != "Cc")
    return " ".join(text.split())


def run(cmd, cwd=None):
    """(returncode, stdout, note); note says 'timeout' or 'signal N' when it went wrong."""
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, b"", "timeout"
    note = "signal %d" % -p.returncode if p.returncode < 0 else ""
    return p.returncode, p.stdout, note


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


# --- What each reader recovers: {"mail": Counter, "contacts": Counter, "all": Counter} ---

def ours(cli, path, restore, deep=False):
    cmd = [cli, "analyze", path, "--json", "--quiet"] + (["--restore-deleted"] if restore else [])
    if deep:
        cmd.append("--deep")
    rc, out, note = run(cmd)
    got = {"mail": collections.Counter(), "contacts": collections.Counter(),
           "all": collections.Counter(), "nids": {}}
    if note:
        return got, note
    try:
        doc = json.loads(out.decode("utf-8", "replace"))
    except ValueError:
        return got, "no JSON (exit %s)" % rc
    for folder in doc.get("folders") or []:
        for m in folder.get("messages") or []:
            subject = norm(m.get("subject"))
            cls = (m.get("class") or "").lower()
            # Hidden folder items (views, rules, settings) are no one else's mail.
            if not cls or cls.startswith(MAIL_CLASSES):
                got["mail"][subject] += 1
                got["all"][subject] += 1
                got["nids"][m.get("nid")] = subject
    for c in doc.get("contacts") or []:
        got["contacts"][contact_key(c.get("name"), c.get("email"))] += 1
        got["all"][norm(c.get("name"))] += 1
    for key in ("tasks", "notes", "journal", "calendar"):
        for item in doc.get(key) or []:
            got["all"][norm(item.get("subject"))] += 1
    return got, ""


def contact_key(name, address):
    """By e-mail address, else by the words of the name in any order: one reader names a
    contact "Wilcox, Matthew R." (its file-as name), another "Matthew R. Wilcox"."""
    address = (address or "").strip().lower()
    if address:
        return "mail:" + address
    return "name:" + " ".join(sorted(re.findall(r"\w+", norm(name).lower())))


ITEM_DIR = re.compile(r"^([A-Za-z ]+?)(\d{5})$")


def pff_fields(directory):
    fields = {}
    for name in sorted(os.listdir(directory)):
        # Message.txt is the body, whose lines may look like fields ("Subject: ..." of a
        # forwarded mail); the transport headers hold the subject as sent, in encoded
        # words. The item's own properties are in the other files.
        if not name.endswith(".txt") or name in ("Message.txt", "InternetHeaders.txt"):
            continue
        try:
            with open(os.path.join(directory, name), encoding="utf-8", errors="replace") as f:
                for line in f:
                    key, sep, value = line.partition(":")
                    if sep and key.strip() and key.strip() not in fields:
                        fields[key.strip()] = value.strip()
        except OSError:
            pass
    return fields


def pffexport(path, work):
    target = os.path.join(work, "pff")
    rc, _, note = run(["pffexport", "-q", "-t", target, path])
    got = {"mail": collections.Counter(), "contacts": collections.Counter(),
           "all": collections.Counter()}
    top = target + ".export"
    for dirpath, dirnames, _ in os.walk(top):
        # Messages attached to messages are not items of their own.
        dirnames[:] = [d for d in dirnames if d != "Attachments"]
        m = ITEM_DIR.match(os.path.basename(dirpath))
        if not m or dirpath == top:
            continue
        kind = m.group(1)
        fields = pff_fields(dirpath)
        subject = norm(fields.get("Subject"))
        if kind in ("Message", "Email"):
            got["mail"][subject] += 1
        if kind == "Contact":
            got["contacts"][contact_key(subject, fields.get("Email address 1"))] += 1
        got["all"][subject] += 1
    return got, note


def vcard_fields(path):
    fields = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            key, sep, value = line.rstrip("\r\n").partition(":")
            key = key.split(";")[0].upper()
            if sep and key not in fields:
                fields[key] = value
    return fields


def readpst(path, work):
    out = os.path.join(work, "readpst")
    os.makedirs(out, exist_ok=True)
    rc, _, note = run(["readpst", "-q", "-D", "-j0", "-e", "-o", out, path])
    got = {"mail": collections.Counter(), "contacts": collections.Counter(),
           "all": collections.Counter()}
    for dirpath, _, files in os.walk(out):
        for name in files:
            full = os.path.join(dirpath, name)
            try:
                if name.endswith(".eml"):
                    with open(full, "rb") as f:
                        msg = email.message_from_binary_file(f, policy=email.policy.default)
                    try:
                        subject = norm(str(msg["subject"] or ""))
                    except Exception:  # a header the parser cannot decode
                        subject = ""
                    got["mail"][subject] += 1
                    got["all"][subject] += 1
                elif name.endswith(".vcf"):
                    fields = vcard_fields(full)
                    fn = norm(fields.get("FN", "").replace("\\,", ","))
                    if fn == "(null)":
                        fn = ""
                    got["contacts"][contact_key(fn, fields.get("EMAIL"))] += 1
                    got["all"][fn] += 1
                elif name.endswith(".ics"):
                    fields = vcard_fields(full)
                    got["all"][norm(fields.get("SUMMARY", "").replace("\\,", ","))] += 1
            except OSError:
                pass
    return got, note


# --- Running and comparing ---

def read_copy(cli, path, restore, deep=False):
    work = tempfile.mkdtemp(prefix="kestrel-peers-")
    try:
        before = sha256(path)
        mine, note = ours(cli, path, restore, deep)
        changed = sha256(path) != before
        pff, pff_note = pffexport(path, work)
        rp, rp_note = readpst(path, work)
        return {"ours": mine, "pffexport": pff, "readpst": rp, "note": note,
                "peer_notes": (pff_note, rp_note), "changed": changed}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def recovered(got, reference):
    return sum((got & reference).values())


def parse_ranges(text):
    out = []
    for part in filter(None, (text or "").split(",")):
        begin, _, end = part.partition("-")
        out.append((int(begin), int(end)))
    return out


def survivors(sound_nids, node_ranges, damaged):
    """The subjects of the undamaged file's messages whose own blocks the damage missed."""
    left = collections.Counter()
    for nid, subject in sound_nids.items():
        ranges = node_ranges.get(nid)
        if not ranges:
            continue
        if any(b < de and db < e for b, e in ranges for db, de in damaged):
            continue
        left[subject] += 1
    return left


TOOLS = ("ours", "pffexport", "readpst")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
    ap.add_argument("files", nargs="*")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"),
                    help="build folder with cli/kestrel-cli and fuzz/kestrel-damage-copies")
    ap.add_argument("--corpus", default=os.environ.get("KESTREL_CORPUS_DIR",
                                                       os.path.join(ROOT, "..", "shared", "corpus")))
    ap.add_argument("--plain", action="store_true",
                    help="run our analysis without --restore-deleted")
    ap.add_argument("--deep", action="store_true",
                    help="run our analysis with --deep (and without --restore-deleted) and "
                         "report the share of the survivors we recover")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    ap.add_argument("--keep", help="write the damaged copies here and keep them")
    a = ap.parse_args(argv)

    cli = os.path.join(a.build, "cli", "kestrel-cli")
    maker = os.path.join(a.build, "fuzz", "kestrel-damage-copies")
    for tool in (cli, maker):
        if not os.access(tool, os.X_OK):
            print("missing %s: build it first (cmake --build %s --target %s)" % (
                tool, a.build, os.path.basename(tool)), file=sys.stderr)
            return 2
    for peer, package in (("pffexport", "pff-tools"), ("readpst", "pst-utils")):
        if shutil.which(peer) is None:
            print("missing %s: install the Debian package %s (apt-get install %s)" % (
                peer, package, package), file=sys.stderr)
            return 2
    files = a.files or sorted(os.path.join(a.corpus, f) for f in os.listdir(a.corpus)
                              if f.endswith((".pst", ".ost")))
    if not files:
        print("no PST files", file=sys.stderr)
        return 2

    copies_dir = a.keep or tempfile.mkdtemp(prefix="kestrel-damaged-")
    try:
        rc, out, note = run([maker, copies_dir] + files)
        if rc != 0:
            print("kestrel-damage-copies failed: %s" % (note or rc), file=sys.stderr)
            return 1
        manifest = []
        damaged = {}
        with open(os.path.join(copies_dir, "manifest.tsv"), encoding="utf-8") as f:
            next(f)
            for line in f:
                copy, source, kind, ranges = line.rstrip("\n").split("\t")
                manifest.append((copy, source, kind))
                damaged[copy] = parse_ranges(ranges)
        sources = {os.path.basename(f): f for f in files}
        node_ranges = {}
        for name in sources:
            ranges = {}
            path = os.path.join(copies_dir, name + ".nodes.tsv")
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    next(f)
                    for line in f:
                        nid, text = line.rstrip("\n").split("\t")
                        ranges[int(nid)] = parse_ranges(text)
            node_ranges[name] = ranges

        restore = not a.plain and not a.deep
        with concurrent.futures.ThreadPoolExecutor(max(1, a.jobs)) as pool:
            sound = dict(zip(sources, pool.map(
                lambda s: read_copy(cli, sources[s], restore, a.deep), sources)))
            results = list(pool.map(
                lambda m: read_copy(cli, os.path.join(copies_dir, m[0]), restore, a.deep),
                manifest))
    finally:
        if not a.keep:
            shutil.rmtree(copies_dir, ignore_errors=True)

    # The reference of each file: mail when any reader finds mail in the sound file, else
    # contacts, else everything; what any reader finds there.
    references = {}
    for name, s in sound.items():
        for category in ("mail", "contacts", "all"):
            union = collections.Counter()
            for tool in TOOLS:
                union |= s[tool][category]
            if sum(union.values()) or category == "all":
                references[name] = (category, {tool: union for tool in TOOLS})
                break

    failures = []
    totals = collections.defaultdict(lambda: collections.Counter())
    print("%-52s %-9s %5s  %-13s %-13s %-13s %-13s %s" % (
        "copy", "items", "ref", "ours", "pffexport", "readpst", "survivors", "verdict"))
    for (copy, source, kind), result in zip(manifest, results):
        category, refs = references[source]
        counts = {t: recovered(result[t][category], refs[t]) for t in TOOLS}
        sizes = {t: sum(refs[t].values()) for t in TOOLS}
        shares = {t: Fraction(counts[t], sizes[t]) if sizes[t] else Fraction(1) for t in TOOLS}
        verdict = []
        if result["note"]:
            verdict.append("OURS " + result["note"].upper())
        if result["changed"]:
            verdict.append("FILE CHANGED")
        if shares["ours"] < max(shares["pffexport"], shares["readpst"]):
            verdict.append("SHORT")
        for peer, note in zip(("pffexport", "readpst"), result["peer_notes"]):
            if note:
                verdict.append("(%s %s)" % (peer, note))
        if any(v.isupper() for v in verdict):
            failures.append(copy)
        alive = collections.Counter()
        if a.deep and category == "mail":
            alive = survivors(sound[source]["ours"]["nids"], node_ranges[source], damaged[copy])
        kept = recovered(result["ours"]["mail"], alive)
        print("%-52s %-9s %5d  %-13s %-13s %-13s %-13s %s" % (
            copy, category, sizes["ours"],
            *("%d (%.0f%%)" % (counts[t], 100 * shares[t]) for t in TOOLS),
            "%d/%d" % (kept, sum(alive.values())) if a.deep else "-",
            " ".join(verdict) or "ok"))
        for key in (kind, "all copies"):
            totals[key]["copies"] += 1
            totals[key]["survivors"] += kept
            totals[key]["survivors ref"] += sum(alive.values())
            for t in TOOLS:
                totals[key][t] += counts[t]
                totals[key][t + " ref"] += sizes[t]

    # What each reader gets from the undamaged files: the ceiling of its shares.
    for name, s in sound.items():
        category, refs = references[name]
        totals["(undamaged files)"]["copies"] += 1
        for t in TOOLS:
            totals["(undamaged files)"][t] += recovered(s[t][category], refs[t])
            totals["(undamaged files)"][t + " ref"] += sum(refs[t].values())

    print()
    print("%-24s %6s  %-20s %-20s %-20s %-20s" % ("damage", "copies", "ours", "pffexport",
                                                  "readpst", "survivors (ours)"))
    for key in sorted(totals, key=lambda k: (k == "all copies", k.startswith("("), k)):
        t = totals[key]
        print("%-24s %6d  %-20s %-20s %-20s %-20s" % (key, t["copies"], *(
            "%d/%d (%.1f%%)" % (t[x], t[x + " ref"], 100.0 * t[x] / t[x + " ref"]
                                if t[x + " ref"] else 100.0)
            for x in TOOLS + (("survivors",) if a.deep else ())), *(() if a.deep else ("-",))))
    print()
    if failures:
        print("%d copies fall short or went wrong: %s" % (len(failures), ", ".join(failures)))
        return 1
    print("ours recovers at least the better peer's share on every one of %d copies" %
          len(results))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
