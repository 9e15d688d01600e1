#!/usr/bin/python3
"""export_check.py: does `kestrel-cli export` write what the file holds?

Exports the corpus files and pstgen-made files (Unicode and Ansi; no encoding, permutation,
cyclic; one of 5,000 messages) as EML twice and as mbox once, then checks:
  - every .eml parses with python's email (policy default) without defects;
  - each pstgen manifest message has one .eml under its folder with its Subject, From
    address, To and Cc names, as many recipients as the manifest, a Date no later than the
    delivery time and at most 10 minutes before it (the Date is the submit time), the body
    text (bodySha256) and the attachments' names, sizes and SHA-256;
  - corpus attachments have the sizes and SHA-256 of those pffexport writes for the file;
  - pstsdk_submessage.pst keeps its attached message;
  - each mbox opens with mailbox.mbox and holds its folder's messages, subjects alike;
  - every .vcf parses with vobject and every .ics with icalendar;
  - the two EML exports are byte-identical, the report aside.
Run with Debian's python3; the last line is "N passed, N failed".
"""
import argparse
import collections
import datetime
import email
import email.policy
import email.utils
import hashlib
import mailbox
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

passed = 0
failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("  FAIL " + what)
    return ok


def sha(data):
    return hashlib.sha256(data).hexdigest()


def export(cli, pst, out, fmt="eml"):
    shutil.rmtree(out, ignore_errors=True)
    run = subprocess.run([cli, "export", pst, "--out", out, "--format", fmt, "--quiet", "--json"],
                         capture_output=True, text=True)
    return run.returncode, run.stderr.strip()


def files_under(root, ext):
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.join(folder, n) for n in names if n.endswith(ext)]
    return sorted(found)


def parse(path):
    with open(path, "rb") as f:
        return email.message_from_bytes(f.read(), policy=email.policy.default)


def defects(message):
    found = []
    for part in message.walk():
        found += [repr(d) for d in part.defects]
        for name, value in part.items():
            found += ["%s: %r" % (name, d) for d in getattr(value, "defects", ())]
    return found


def attachments(message):
    """(name, bytes) of the data parts: not the bodies, not attached messages themselves."""
    out = []
    for part in message.walk():
        if part.is_multipart() or part.get_content_type() == "message/rfc822":
            continue
        if part.get_content_disposition() not in ("attachment", "inline"):
            continue
        if part.get_filename() == "body.rtf" and part.get_content_type() == "application/rtf":
            continue
        out.append((part.get_filename(), part.get_payload(decode=True) or b""))
    return out


def plain_text(message):
    part = message.get_body(preferencelist=("plain",))
    return part.get_content() if part is not None else ""


def check_emls(root):
    emls = files_under(root, ".eml")
    bad = [(p, defects(parse(p))) for p in emls]
    bad = [(p, d) for p, d in bad if d]
    for p, d in bad[:5]:
        print("    %s: %s" % (os.path.relpath(p, root), d[:3]))
    check(not bad, "%d of %d .eml files parse with defects" % (len(bad), len(emls)))
    return emls


def check_same(a, b):
    diff = []
    for folder, _, names in os.walk(a):
        for n in names:
            if n.startswith("Recovery Report"):
                continue
            p = os.path.join(folder, n)
            q = os.path.join(b, os.path.relpath(p, a))
            if not os.path.exists(q) or open(p, "rb").read() != open(q, "rb").read():
                diff.append(os.path.relpath(p, a))
    count = sum(len(n) for _, _, n in os.walk(b))
    check(not diff and count == sum(len(n) for _, _, n in os.walk(a)),
          "two exports differ: %s" % diff[:3])


def check_mbox(eml_root, mbox_root):
    """Each mail folder's mbox holds the folder's .eml messages, subjects alike."""
    bad = 0
    for folder, _, names in os.walk(eml_root):
        emls = [n for n in names if n.endswith(".eml")]
        rel = os.path.relpath(folder, eml_root)
        if rel == ".":
            continue
        box = os.path.join(mbox_root, rel + ".mbox")
        if not emls and not os.path.exists(box):
            continue
        if not os.path.exists(box):
            print("    no mbox for %s" % rel)
            bad += 1
            continue
        # Blanks compared as one: python unfolds LF and CRLF lines a little differently.
        def same(text):
            return " ".join(str(text or "").split())
        subjects = sorted(same(email.message_from_bytes(m.as_bytes(), policy=email.policy.default)["subject"])
                          for m in mailbox.mbox(box))
        expected = sorted(same(parse(os.path.join(folder, n))["subject"]) for n in emls)
        if subjects != expected:
            print("    %s: mbox %d messages, folder %d" % (rel, len(subjects), len(expected)))
            bad += 1
    check(bad == 0, "%d mbox files differ from their folders" % bad)


def check_pim(root):
    vcfs, icss = files_under(root, ".vcf"), files_under(root, ".ics")
    if not vcfs and not icss:
        return
    import icalendar
    import vobject
    bad = 0
    for p in vcfs:
        try:
            list(vobject.readComponents(open(p, encoding="utf-8").read()))
        except Exception as e:  # noqa: BLE001 - any parse failure counts
            print("    %s: %s" % (p, e))
            bad += 1
    for p in icss:
        try:
            icalendar.Calendar.from_ical(open(p, "rb").read())
        except Exception as e:  # noqa: BLE001
            print("    %s: %s" % (p, e))
            bad += 1
    check(bad == 0, "%d of %d .vcf/.ics files do not parse" % (bad, len(vcfs) + len(icss)))


def names_of(value):
    return [n for n, _ in email.utils.getaddresses([str(value)])] if value else []


def check_manifest(root, manifest):
    store = manifest["storeName"]
    missing = wrong = 0
    for folder in manifest["folders"]:
        mail = [m for m in folder["messages"]
                if m["class"].upper().startswith(("IPM.NOTE", "REPORT.IPM.NOTE"))]
        if not mail:
            continue
        where = os.path.join(root, store, *folder["path"])
        emls = [os.path.join(where, n) for n in sorted(os.listdir(where))] if os.path.isdir(where) else []
        by_subject = collections.defaultdict(list)
        for p in emls:
            if p.endswith(".eml"):
                m = parse(p)
                by_subject[str(m["subject"] or "")].append(m)
        for want in mail:
            candidates = by_subject.get(want["subject"], [])
            if not candidates:
                missing += 1
                if missing <= 3:
                    print("    missing in %s: %r" % ("/".join(folder["path"]), want["subject"]))
                continue
            problems = None
            for got in candidates:
                problems = message_problems(got, want)
                if not problems:
                    break
            if problems:
                wrong += 1
                if wrong <= 5:
                    print("    %r: %s" % (want["subject"], problems))
    check(missing == 0, "%d manifest messages without an .eml" % missing)
    check(wrong == 0, "%d messages differ from the manifest" % wrong)


def message_problems(got, want):
    problems = []
    sender = email.utils.parseaddr(str(got["from"]))[1]
    if want.get("senderEmail") and sender.lower() != want["senderEmail"].lower():
        problems.append("from %s" % sender)
    to, cc = names_of(got["to"]), names_of(got["cc"])
    if want["to"] and to != want["to"].split("; "):
        problems.append("to %s" % to)
    if want["cc"] and cc != want["cc"].split("; "):
        problems.append("cc %s" % cc)
    count = sum(len(names_of(got[h])) for h in ("to", "cc", "bcc"))
    if count != want["recipients"]:
        problems.append("%d recipients" % count)
    if want.get("deliveryTime"):
        delivered = datetime.datetime.fromisoformat(want["deliveryTime"].replace("Z", "+00:00"))
        date = got["date"].datetime
        if not (datetime.timedelta(0) <= delivered - date <= datetime.timedelta(minutes=10)):
            problems.append("date %s" % date)
    # Line ends as python gives them back, and the line end that closes a single-part
    # message's body.
    text = plain_text(got)
    forms = set()
    closed = text[:-2] if text.endswith("\r\n") else text[:-1] if text.endswith("\n") else text
    for t in (text, closed):
        forms |= {sha(t.encode()), sha(t.replace("\r\n", "\n").replace("\n", "\r\n").encode())}
    if want["bodySha256"] not in forms:
        problems.append("body")
    have = collections.Counter((n, len(d), sha(d)) for n, d in attachments(got))
    for a in want["attachments"]:
        name = a.get("longName") or a["name"]
        key = (name, a["size"], a["sha256"])
        if have[key] == 0:
            problems.append("attachment %s" % name)
        else:
            have[key] -= 1
    return problems


def check_peer_attachments(root, pst, work):
    """Every attachment pffexport writes is among ours, by size and SHA-256."""
    if not shutil.which("pffexport"):
        return
    target = os.path.join(work, "pff")
    shutil.rmtree(target + ".export", ignore_errors=True)
    subprocess.run(["pffexport", "-q", "-t", target, pst], capture_output=True)
    theirs = collections.Counter()
    for folder, _, names in os.walk(target + ".export"):
        if os.path.basename(folder) == "Attachments":
            for n in names:
                data = open(os.path.join(folder, n), "rb").read()
                theirs[(len(data), sha(data))] += 1
    ours = collections.Counter()
    for p in files_under(root, ".eml"):
        for _, data in attachments(parse(p)):
            ours[(len(data), sha(data))] += 1
    lost = theirs - ours
    check(not lost, "%d of pffexport's %d attachments not among ours" % (sum(lost.values()), sum(theirs.values())))
    shutil.rmtree(target + ".export", ignore_errors=True)


def run_file(cli, pst, work, manifest=None):
    name = os.path.basename(pst)
    print("%s" % name)
    base = os.path.join(work, name)
    a, b, m = base + ".a", base + ".b", base + ".mbox"
    for out, fmt in ((a, "eml"), (b, "eml"), (m, "mbox")):
        code, err = export(cli, pst, out, fmt)
        if not check(code == 0, "export --format %s exit %d: %s" % (fmt, code, err)):
            return
    emls = check_emls(a)
    print("  %d .eml files" % len(emls))
    check_same(a, b)
    check_mbox(os.path.join(a), m)
    check_pim(a)
    if manifest:
        check_manifest(a, manifest)
    elif not name.startswith("pstgen"):
        check_peer_attachments(a, pst, work)
    if name == "pstsdk_submessage.pst":
        attached = sum(1 for p in emls for part in parse(p).walk()
                       if part.get_content_type() == "message/rfc822")
        check(attached > 0, "pstsdk_submessage.pst lost its attached message")
    for d in (a, b, m):
        shutil.rmtree(d, ignore_errors=True)


PSTGEN_CASES = [
    ("pstgen-unicode-none", ["--format", "unicode", "--crypt", "none", "--messages", "300"]),
    ("pstgen-unicode-permute", ["--format", "unicode", "--crypt", "permute", "--messages", "300"]),
    ("pstgen-unicode-cyclic", ["--format", "unicode", "--crypt", "cyclic", "--messages", "120"]),
    ("pstgen-ansi-none", ["--format", "ansi", "--crypt", "none", "--messages", "300"]),
    ("pstgen-ansi-permute", ["--format", "ansi", "--crypt", "permute", "--messages", "300"]),
    ("pstgen-unicode-5000", ["--format", "unicode", "--crypt", "permute", "--messages", "5000"]),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cli", default=os.path.join(ROOT, "build", "cli", "kestrel-cli"))
    parser.add_argument("--corpus", default=os.path.join(ROOT, "..", "shared", "corpus"))
    parser.add_argument("--pstgen", default=os.path.join(ROOT, "..", "shared", "tools", "pstgen", "pstgen.py"))
    parser.add_argument("--work", default="/tmp/kestrel-export-check")
    parser.add_argument("--no-pstgen", action="store_true")
    parser.add_argument("--only", help="check only the files whose name contains this")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    import json
    if os.path.isdir(args.corpus):
        for n in sorted(os.listdir(args.corpus)):
            if n.endswith((".pst", ".ost")) and (not args.only or args.only in n):
                run_file(args.cli, os.path.join(args.corpus, n), args.work)
    if not args.no_pstgen and os.path.exists(args.pstgen):
        for name, options in PSTGEN_CASES:
            if args.only and args.only not in name:
                continue
            pst = os.path.join(args.work, name + ".pst")
            manifest = os.path.join(args.work, name + ".json")
            if not os.path.exists(manifest):
                subprocess.run([sys.executable, args.pstgen, pst, "--manifest", manifest, "--seed", "7"]
                               + options, check=True, capture_output=True)
            run_file(args.cli, pst, args.work, json.load(open(manifest)))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
