#!/usr/bin/env python3
"""pstgen_check.py [--cli PATH] [--pstgen PATH] [--out DIR] [--quick] [-v]

Generates PST files with a known content (pstgen.py, each with a JSON manifest),
runs `kestrel-cli analyze FILE --json` on each, and checks the output against the
manifest:
  - every mail message is filed under its folder's path (by NID) with the
    manifest's subject, sender, To, Cc, delivery date and attachment names and sizes;
  - every contact, appointment, task, note and journal entry is listed.
Prints per file: expected, found, mismatches; the last line is "N passed, N failed"
(one check per file and kind). Exit 0 when everything passed, 1 otherwise, 2 when a
tool is missing.
"""
import argparse
import collections
import json
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOP = "Personal Folders\\"

# name, pstgen arguments
CASES = [
    ("unicode-permute", ["--format", "unicode", "--crypt", "permute", "--seed", "1"]),
    ("unicode-none", ["--format", "unicode", "--crypt", "none", "--seed", "2"]),
    ("unicode-cyclic", ["--format", "unicode", "--crypt", "cyclic", "--seed", "3"]),
    ("ansi-permute", ["--format", "ansi", "--crypt", "permute", "--seed", "4"]),
    ("ansi-none", ["--format", "ansi", "--crypt", "none", "--seed", "5"]),
    ("ansi-cyclic", ["--format", "ansi", "--crypt", "cyclic", "--seed", "6"]),
    ("unicode-5000", ["--format", "unicode", "--crypt", "permute", "--seed", "7",
                      "--messages", "5000", "--folders", "12", "--max-attachment-kb", "16"]),
]
QUICK = {"unicode-permute", "ansi-permute"}


def folder_path(parts):
    return TOP + "".join(p + "\\" for p in parts)


def is_mail(cls):
    return cls == "IPM.Note" or cls.startswith("IPM.Note.") or cls.startswith("REPORT.")


def attachment_list(atts, expected):
    if expected:
        return sorted(((a.get("longName") or a.get("name") or ""), a.get("size")) for a in atts)
    return sorted(((a.get("name") or ""), a.get("size")) for a in atts)


def message_mismatches(exp, got):
    out = []
    checks = [("subject", exp.get("subject") or "", got.get("subject") or ""),
              ("from", exp.get("from") or "", got.get("from") or ""),
              ("to", exp.get("to") or "", got.get("to") or ""),
              ("cc", exp.get("cc") or "", got.get("cc") or ""),
              ("date", exp.get("deliveryTime"), got.get("date")),
              ("attachments", attachment_list(exp.get("attachments") or [], True),
               attachment_list(got.get("attachments") or [], False))]
    for field, want, have in checks:
        if want != have:
            out.append("%s: expected %r, got %r" % (field, want, have))
    return out


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok


def check_file(name, manifest, actual, tally, verbose, out):
    out("== %s (%s, %s, %d bytes): status %s" % (
        name, manifest.get("format"), manifest.get("crypt"), manifest.get("fileSize", 0),
        actual.get("status")))
    tally.check(actual.get("status") == "completed")
    folders_by_nid = {f.get("nid"): f for f in actual.get("folders") or []}
    filed = {}
    for f in actual.get("folders") or []:
        for m in f.get("messages") or []:
            filed[m.get("nid")] = (f, m)

    # mail, folder by folder
    expected = found = mismatched = 0
    problems = []
    for folder in manifest["folders"]:
        path = folder_path(folder["path"])
        got_folder = folders_by_nid.get(folder["nid"])
        if got_folder is None or got_folder.get("path") != path:
            problems.append("folder %s (nid %d): %s" % (
                path, folder["nid"],
                "missing" if got_folder is None else "path %r" % got_folder.get("path")))
        for msg in folder["messages"]:
            if not is_mail(msg["class"]):
                continue
            expected += 1
            hit = filed.get(msg["nid"])
            if hit is None:
                problems.append("message %d %r: not filed" % (msg["nid"], msg.get("subject")))
                continue
            if hit[0].get("nid") != folder["nid"]:
                problems.append("message %d: filed under %r, expected %r" % (
                    msg["nid"], hit[0].get("path"), path))
                mismatched += 1
                continue
            found += 1
            bad = message_mismatches(msg, hit[1])
            if bad:
                mismatched += 1
                problems.append("message %d: %s" % (msg["nid"], "; ".join(bad)))
    ok = tally.check(found == expected and mismatched == 0 and
                     not any(p.startswith("folder") for p in problems))
    out("mail: expected %d, found %d, mismatches %d%s" % (
        expected, found, mismatched, "" if ok else "  FAIL"))

    # the other lists, by NID, with the text each one shows
    kinds = [("contacts", "contacts", lambda e: None, lambda g: None),
             ("appointments", "calendar", lambda e: e.get("subject"), lambda g: g.get("subject")),
             ("tasks", "tasks", lambda e: e.get("subject"), lambda g: g.get("subject")),
             ("notes", "notes", lambda e: e.get("subject"), lambda g: g.get("subject")),
             ("journal", "journal", lambda e: e.get("subject"), lambda g: g.get("subject"))]
    for mkey, akey, want_text, have_text in kinds:
        listed = {e.get("nid"): e for e in actual.get(akey) or []}
        exp_items = manifest.get(mkey) or []
        n_found = n_bad = 0
        for item in exp_items:
            got = listed.get(item["nid"])
            if got is None:
                problems.append("%s %d %r: not listed" % (akey, item["nid"], item.get("subject")))
                continue
            n_found += 1
            bad = []
            if want_text(item) != have_text(got):
                bad.append("subject: expected %r, got %r" % (want_text(item), have_text(got)))
            want_folder = folder_path(item.get("folder") or [])
            if got.get("folder") != want_folder:
                bad.append("folder: expected %r, got %r" % (want_folder, got.get("folder")))
            if mkey == "contacts" and (item.get("email") or "") != (got.get("email") or ""):
                bad.append("email: expected %r, got %r" % (item.get("email"), got.get("email")))
            if bad:
                n_bad += 1
                problems.append("%s %d: %s" % (akey, item["nid"], "; ".join(bad)))
        ok = tally.check(n_found == len(exp_items) and n_bad == 0)
        out("%s: expected %d, found %d, mismatches %d%s" % (
            mkey, len(exp_items), n_found, n_bad, "" if ok else "  FAIL"))
    for p in problems[: None if verbose else 20]:
        out("  " + p)
    if not verbose and len(problems) > 20:
        out("  ... %d more (-v shows all)" % (len(problems) - 20))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cli", default=os.environ.get("KESTREL_CLI",
                                                   os.path.join(ROOT, "build", "cli", "kestrel-cli")))
    ap.add_argument("--pstgen", default=os.path.join(ROOT, "..", "shared", "tools", "pstgen",
                                                     "pstgen.py"))
    ap.add_argument("--out", help="folder for the files (default: a temporary one, removed)")
    ap.add_argument("--quick", action="store_true", help="one Unicode and one Ansi file only")
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args()
    for tool in (args.cli, args.pstgen):
        if not os.path.exists(tool):
            print("missing: %s" % tool, file=sys.stderr)
            return 2

    tally = Tally()
    with tempfile.TemporaryDirectory(prefix="pstgen-check-") as tmp:
        out_dir = args.out or tmp
        os.makedirs(out_dir, exist_ok=True)
        for name, gen_args in CASES:
            if args.quick and name not in QUICK:
                continue
            pst = os.path.join(out_dir, name + ".pst")
            man = os.path.join(out_dir, name + ".json")
            start = time.monotonic()
            gen = subprocess.run([sys.executable, args.pstgen, pst, "--manifest", man] + gen_args,
                                 capture_output=True)
            if gen.returncode != 0:
                print("== %s: pstgen failed: %s" % (name, gen.stderr.decode(errors="replace")))
                tally.check(False)
                continue
            generated = time.monotonic() - start
            start = time.monotonic()
            run = subprocess.run([args.cli, "analyze", pst, "--json", "--quiet"],
                                 capture_output=True)
            analysed = time.monotonic() - start
            with open(man, encoding="utf-8") as f:
                manifest = json.load(f)
            if run.returncode != 0:
                print("== %s: kestrel-cli exit %d: %s" % (
                    name, run.returncode, run.stderr.decode(errors="replace").strip()))
                tally.check(False)
                continue
            actual = json.loads(run.stdout.decode("utf-8"))
            check_file(name, manifest, actual, tally, args.verbose, print)
            print("time: generated in %.1f s, analysed in %.1f s" % (generated, analysed))
    print("%d passed, %d failed" % (tally.passed, tally.failed))
    return 0 if tally.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
