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
  - every .vcf parses with vobject and every .ics with icalendar, CRLF, folded at 75 octets
    on character boundaries: cards with VERSION:4.0 and FN, a distribution list's members
    as MEMBER URIs; components with UID (one item each), DTSTAMP in UTC and DTSTART for
    events; times in UTC, on the clock of a VTIMEZONE of the file (series) or dates (all-day
    events); weekly series whose instances stay on their days; each exception of a
    recurring series beside its series, not at a deleted instance; the corpus's known
    lists, series (exceptions and deleted instances) and meetings (ORGANIZER, ATTENDEEs);
  - each manifest contact, appointment, task, note and journal entry is found once in its
    folder: cards by name, e-mail and mailing address, events by summary, location, DTSTART and DTEND,
    to-dos by summary, DUE and completion, notes and journal entries by text;
  - the two EML exports are byte-identical, the report aside.
Run with Debian's python3; each file's line is followed by its number of checks, the last
line is "N files; N passed, N failed". A corpus folder, pstgen or pffexport that is not
there is a failure, not a silent skip. With --dump FILE...
it only prints what vobject and icalendar read from .vcf/.ics files, one line each.
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
import re
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


def unfolded_lines(data):
    """The content lines of a vCard or iCalendar file, folding undone."""
    out = []
    for line in data.split(b"\r\n"):
        if line[:1] in (b" ", b"\t") and out:
            out[-1] += line[1:]
        else:
            out.append(line)
    return out


def check_lines(path, data):
    """CRLF lines of at most 75 octets, folded on a UTF-8 character boundary."""
    problems = []
    if not data.endswith(b"\r\n") or b"\n" in data.replace(b"\r\n", b""):
        problems.append("not CRLF")
    for line in data.split(b"\r\n"):
        if len(line) > 75:
            problems.append("line of %d octets" % len(line))
            break
        try:
            line.decode("utf-8")
        except UnicodeDecodeError:
            problems.append("a folded line splits a character")
            break
    return problems


def cards_of(path):
    """The cards of a .vcf as vobject reads them."""
    import vobject
    with open(path, encoding="utf-8", newline="") as f:
        return list(vobject.readComponents(f.read(), validate=False))


def calendar_of(path):
    """The VEVENT and VTODO components of an .ics as icalendar reads it, and the TZIDs of
    its VTIMEZONEs."""
    import icalendar
    with open(path, "rb") as f:
        calendar = icalendar.Calendar.from_ical(f.read())
    return ([c for c in calendar.walk() if c.name in ("VEVENT", "VTODO")],
            {str(z.get("tzid")) for z in calendar.walk() if z.name == "VTIMEZONE"})


def components_of(path):
    return calendar_of(path)[0]


def values(card, name):
    return [x.value for x in card.contents.get(name, [])]


def card_problems(card):
    problems = []
    if values(card, "version") != ["4.0"]:
        problems.append("no VERSION:4.0")
    if not values(card, "fn"):
        problems.append("no FN")
    members = values(card, "member")
    if values(card, "kind") == ["group"]:
        if not members:
            problems.append("group %r without MEMBER" % values(card, "fn")[:1])
        problems += ["MEMBER %r is not a URI" % m for m in members
                     if not m.startswith(("mailto:", "urn:", "http:", "https:"))]
    elif members:
        problems.append("MEMBER outside a group")
    return problems


def utc(prop):
    import datetime as dt
    value = prop.dt if prop is not None else None
    return isinstance(value, dt.datetime) and value.utcoffset() == dt.timedelta(0)


def is_date(prop):
    return prop is not None and not isinstance(prop.dt, datetime.datetime)


def time_problems(c, zones):
    """DTSTAMP in UTC; the other times in UTC, or on the clock of a zone the file defines
    (a recurring series and its exceptions), or dates (an all-day event: start, end,
    recurrence id and deleted instances alike)."""
    problems = []
    if c.get("dtstamp") is not None and not utc(c.get("dtstamp")):
        problems.append("%s DTSTAMP not in UTC" % c.name)
    whole_day = is_date(c.get("dtstart")) or is_date(c.get("recurrence-id"))
    exdates = c.get("exdate") or []
    for name, prop in [(n, c.get(n)) for n in ("dtstart", "dtend", "due", "recurrence-id")] + [
            ("exdate", e) for e in (exdates if isinstance(exdates, list) else [exdates])]:
        if prop is None:
            continue
        zone = prop.params.get("TZID")
        if whole_day and c.name == "VEVENT":
            ok = prop.params.get("VALUE") == "DATE" and all(
                not isinstance(d.dt, datetime.datetime) for d in getattr(prop, "dts", [prop]))
        elif zone is not None:
            ok = zone in zones
        else:
            ok = all(utc(d) for d in getattr(prop, "dts", [prop]))
        if not ok:
            problems.append("%s %s neither UTC, nor on a zone of the file, nor a date"
                            % (c.name, name.upper()))
    if whole_day and is_date(c.get("dtstart")) and c.get("dtend") is not None \
            and c.get("dtend").dt <= c.get("dtstart").dt:
        problems.append("all-day VEVENT %r ends before its day" % str(c.get("summary", "")))
    return problems


def series_problems(c, most=60):
    """The first instances of a weekly series fall on its BYDAY days at its start's time
    of day, on its own clock: a rule written in UTC for local days drifts off them."""
    rule = c.get("rrule")
    start = c.get("dtstart")
    if rule is None or start is None or rule.get("FREQ") != ["WEEKLY"] or not rule.get("BYDAY"):
        return []
    days = {d[-2:] for d in rule.get("BYDAY")}
    names = ["MO", "TU", "WE", "TH", "FR", "SA", "SU"]
    # DTSTART is the first instance: a start off the rule's days is a rule for other days.
    wrong = [t for t in [start.dt] + instances(c, most) if names[t.weekday()] not in days or (
        isinstance(t, datetime.datetime) and t.time() != start.dt.time())]
    return ["series %r: instance %s off its days" % (str(c.get("summary", "")), wrong[0])] if wrong else []


def calendar_problems(components, zones=()):
    """UID, DTSTAMP and sound times everywhere; one item per UID; weekly series on their
    days; each exception belongs to a recurring series of its file, at an instance the
    series does not delete, and once."""
    problems = []
    masters = {}
    for c in components:
        uid = str(c.get("uid", ""))
        if not uid or c.get("dtstamp") is None:
            problems.append("%s %r without UID or DTSTAMP" % (c.name, str(c.get("summary", ""))))
        problems += time_problems(c, zones)
        problems += series_problems(c)
        if c.name == "VEVENT" and c.get("dtstart") is None:
            problems.append("VEVENT %r without DTSTART" % str(c.get("summary", "")))
        if c.get("recurrence-id") is None:
            # Copies of one meeting keep their own UIDs: a UID names one item.
            if uid in masters:
                problems.append("UID %s twice" % uid)
            masters[uid] = c
    seen = set()
    for c in components:
        rid = c.get("recurrence-id")
        if rid is None:
            continue
        uid = str(c.get("uid", ""))
        master = masters.get(uid)
        if master is None or master.get("rrule") is None:
            problems.append("exception %s without its recurring series" % uid)
            continue
        exdates = master.get("exdate") or []
        if not isinstance(exdates, list):
            exdates = [exdates]
        if rid.dt in [d.dt for e in exdates for d in e.dts]:
            problems.append("exception %s at a deleted instance" % uid)
        if (uid, rid.dt) in seen:
            problems.append("exception %s at %s twice" % (uid, rid.dt))
        seen.add((uid, rid.dt))
    return problems


def check_pim(root):
    """Every .vcf parses with vobject and every .ics with icalendar, whole and sound.
    Returns (cards, components, texts) by folder path relative to root."""
    vcfs, icss = files_under(root, ".vcf"), files_under(root, ".ics")
    found = collections.defaultdict(lambda: ([], [], []))
    bad = []
    for p in vcfs:
        rel = os.path.relpath(p, root)
        try:
            cards = cards_of(p)
            problems = check_lines(p, open(p, "rb").read())
            for card in cards:
                problems += card_problems(card)
            found[os.path.dirname(rel)][0].extend(cards)
        except Exception as e:  # noqa: BLE001 - any parse failure counts
            problems = ["%s: %s" % (type(e).__name__, e)]
        if problems:
            bad.append((rel, problems))
    for p in icss:
        rel = os.path.relpath(p, root)
        try:
            components, zones = calendar_of(p)
            problems = check_lines(p, open(p, "rb").read()) + calendar_problems(components, zones)
            found[os.path.dirname(rel)][1].extend(components)
        except Exception as e:  # noqa: BLE001
            problems = ["%s: %s" % (type(e).__name__, e)]
        if problems:
            bad.append((rel, problems))
    for p in files_under(root, ".txt"):
        rel = os.path.relpath(p, root)
        if rel != "Recovery Report.txt":
            found[os.path.dirname(rel)][2].append(open(p, "rb").read())
    for rel, problems in bad[:5]:
        print("    %s: %s" % (rel, problems[:3]))
    if vcfs or icss:
        groups = sum(1 for cs, _, _ in found.values() for c in cs if values(c, "kind") == ["group"])
        series = sum(1 for _, cs, _ in found.values() for c in cs if c.get("rrule") is not None)
        whole = sum(1 for _, cs, _ in found.values() for c in cs if is_date(c.get("dtstart")))
        meetings = sum(1 for _, cs, _ in found.values() for c in cs if c.get("attendee"))
        print("  %d .vcf (%d cards, %d lists), %d .ics (%d components, %d series, %d all-day, "
              "%d with attendees)" % (
                  len(vcfs), sum(len(c) for c, _, _ in found.values()), groups, len(icss),
                  sum(len(c) for _, c, _ in found.values()), series, whole, meetings))
    check(not bad, "%d of %d .vcf/.ics files do not parse or lack what they must have"
          % (len(bad), len(vcfs) + len(icss)))
    return found


# What the corpus is known to hold: a distribution list of one contact and two one-off
# entries (twice), a weekly series with one deleted and two moved instances (times in
# UTC), and meetings with their attendees.
DIST_LIST = {"test dist list": ["mailto:contact1@rjohnson.id.au", "mailto:dist1@rjohnson.id.au",
                                "mailto:dist2@rjohnson.id.au"]}
CORPUS_PIM = {
    "jlibpst_dist-list.pst": {
        "members": DIST_LIST,
        "series": {"Test appointment": ("FREQ=WEEKLY;INTERVAL=1;BYDAY=TU;WKST=SU",
                                        ["2016-08-09T15:00:00+00:00"],
                                        ["2016-08-23T15:00:00+00:00",
                                         "2016-08-30T15:00:00+00:00"])},
    },
    "jlibpst_passworded.pst": {"members": DIST_LIST},
    "aspose_SampleOstFile.ost": {
        "attendees": {"05 - test email - single meeting request": (
            5, ["mailto:saqib.razzaq@ex2010.local"])},
    },
    "pstx_test.ost": {
        "series": {"repeats every monday for 10 weeks": (
            "FREQ=WEEKLY;COUNT=10;INTERVAL=1;BYDAY=MO;WKST=SU", [], [])},
        "whole days": {"all day event for 3 days": ("2021-08-15", "2021-08-18"),
                       "unanswered meeting": ("2021-08-14", "2021-08-15")},
        "attendees": {"meeting from Ed": (1, ["mailto:epfromer@gmail.com",
                                              "mailto:pstextractortest@outlook.com"]),
                      # Its sender is an Exchange DN: the organizer's address is its attendee's.
                      "meeting with attachments (jpg, pdf, text)": (
                          1, ["mailto:epfromer@gmail.com"], "mailto:pstextractortest@outlook.com")},
    },
}


def in_utc(value):
    if isinstance(value, datetime.datetime) and value.tzinfo is not None:
        return value.astimezone(datetime.timezone.utc).isoformat()
    return value.isoformat()


def check_corpus_pim(found, known):
    cards = [c for cs, _, _ in found.values() for c in cs]
    components = [c for _, cs, _ in found.values() for c in cs]
    for name, members in known.get("members", {}).items():
        got = [sorted(values(c, "member")) for c in cards
               if values(c, "kind") == ["group"] and values(c, "fn") == [name]]
        check(got == [sorted(members)], "list %r: members %s, not %s" % (name, got, members))
    for summary, (rule, deleted, moved) in known.get("series", {}).items():
        mine = [c for c in components if str(c.get("summary", "")) == summary]
        masters = [c for c in mine if c.get("rrule") is not None]
        if not check(len(masters) == 1, "series %r: %d masters" % (summary, len(masters))):
            continue
        master = masters[0]
        exdates = master.get("exdate") or []
        if not isinstance(exdates, list):
            exdates = [exdates]
        got_deleted = sorted(in_utc(d.dt) for e in exdates for d in e.dts)
        got_moved = sorted(in_utc(c.get("recurrence-id").dt) for c in mine
                           if c.get("recurrence-id") is not None
                           and str(c.get("uid")) == str(master.get("uid")))
        got_rule = master.get("rrule").to_ical().decode()
        check((got_rule, got_deleted, got_moved) == (rule, deleted, moved),
              "series %r: %s %s %s" % (summary, got_rule, got_deleted, got_moved))
    for summary, days in known.get("whole days", {}).items():
        got = [(c.get("dtstart").dt.isoformat(), c.get("dtend").dt.isoformat()) for c in components
               if str(c.get("summary", "")) == summary and is_date(c.get("dtstart"))
               and is_date(c.get("dtend"))]
        check(got == [days], "all-day %r: %s, not %s" % (summary, got, days))
    for summary, (count, addresses, *organizer) in known.get("attendees", {}).items():
        mine = [c for c in components if str(c.get("summary", "")) == summary]
        lacking = [c for c in mine if not set(addresses) <= {
            str(a).lower() for a in (c.get("attendee") if isinstance(c.get("attendee"), list)
                                     else [c.get("attendee")] if c.get("attendee") else [])}
                   or c.get("organizer") is None
                   or (organizer and str(c.get("organizer")).lower() != organizer[0])]
        check(len(mine) == count and not lacking,
              "meeting %r: %d found, %d without ORGANIZER or the ATTENDEEs %s"
              % (summary, len(mine), len(lacking), addresses))


def iso(value):
    return datetime.datetime.fromisoformat(value.replace("Z", "+00:00"))


def check_manifest_pim(found, manifest):
    """Each manifest contact, appointment, task, note and journal entry is in its folder's
    file once, with the manifest's names and times."""
    store = manifest["storeName"]
    bodies = {m["nid"]: m["bodySha256"] for f in manifest["folders"] for m in f["messages"]}
    missing = []

    def once(kind, want, matches):
        if len(matches) != 1:
            missing.append("%s %r found %d times" % (kind, want.get("subject") or want.get("displayName"),
                                                      len(matches)))

    def at(want):
        return found.get(os.path.join(store, *want["folder"]), ([], [], []))

    for want in manifest.get("contacts", []):
        once("contact", want, [c for c in at(want)[0]
                               if values(c, "fn") == [want["displayName"]]
                               and want["email"] in values(c, "email")
                               and (not want.get("postalAddress") or any(
                                   want["postalAddress"].replace("\r\n", "\n") in
                                   "\n".join(str(x) for x in a.street if x) if isinstance(a.street, list)
                                   else want["postalAddress"].replace("\r\n", "\n") in str(a.street)
                                   for a in values(c, "adr")))])
    for want in manifest.get("appointments", []):
        once("appointment", want, [
            c for c in at(want)[1] if c.name == "VEVENT" and str(c.get("summary")) == want["subject"]
            and c.get("dtstart") is not None and c.get("dtstart").dt == iso(want["start"])
            and c.get("dtend") is not None and c.get("dtend").dt == iso(want["end"])
            and str(c.get("location", "")) == want.get("location", "")])
    for want in manifest.get("tasks", []):
        once("task", want, [
            c for c in at(want)[1] if c.name == "VTODO" and str(c.get("summary")) == want["subject"]
            and (not want.get("dueDate") or (c.get("due") is not None
                                             and c.get("due").dt == iso(want["dueDate"])))
            and (str(c.get("status", "")) == "COMPLETED") == bool(want.get("complete"))])
    for kind in ("notes", "journal"):
        for want in manifest.get(kind, []):
            body = bodies.get(want["nid"])
            texts = at(want)[2]
            # A note is its body; a journal entry its subject, a blank line and its body, or
            # its subject alone when it has no body.
            once(kind[:-1] if kind == "notes" else "journal entry", want, [
                t for t in texts if t.decode("utf-8").startswith(want["subject"])
                and (sha(t) == body or sha(t.split(b"\r\n\r\n", 1)[-1]) == body
                     or (t == want["subject"].encode() + b"\r\n" and body == sha(b"")))])
    for line in missing[:5]:
        print("    " + line)
    total = sum(len(manifest.get(k, [])) for k in ("contacts", "appointments", "tasks", "notes", "journal"))
    check(not missing, "%d of %d manifest contacts, appointments, tasks, notes and journal "
          "entries not found once in their folders" % (len(missing), total))


def instances(component, most):
    """The first instances of a series on its own clock: the rule expanded in local time,
    each instance given its zone's offset on its own day, deleted ones left out."""
    import dateutil.rrule
    start = component.get("dtstart").dt
    zone = getattr(start, "tzinfo", None)
    naive = start.replace(tzinfo=None) if zone else start
    if not isinstance(naive, datetime.datetime):
        naive = datetime.datetime(naive.year, naive.month, naive.day)
    rule = component.get("rrule").to_ical().decode()
    until = re.search(r"UNTIL=(\d{8}T\d{6})Z", rule)
    if until:
        # UNTIL is UTC; the rule is expanded on the naive local clock, so it is too.
        t = datetime.datetime.strptime(until.group(1), "%Y%m%dT%H%M%S").replace(
            tzinfo=datetime.timezone.utc)
        local = t.astimezone(zone).replace(tzinfo=None) if zone is not None else t.replace(tzinfo=None)
        rule = rule.replace(until.group(0), "UNTIL=" + local.strftime("%Y%m%dT%H%M%S"))
    excluded = set()
    found = component.get("exdate")
    for e in (found if isinstance(found, list) else [found] if found else []):
        for d in e.dts:
            t = d.dt
            if zone is not None and getattr(t, "tzinfo", None) is not None:
                t = t.astimezone(zone) if not hasattr(zone, "normalize") else zone.normalize(t.astimezone(zone))
            excluded.add(t.replace(tzinfo=None) if isinstance(t, datetime.datetime) else
                         datetime.datetime(t.year, t.month, t.day))
    out = []
    for t in dateutil.rrule.rrulestr(rule, dtstart=naive):
        if len(out) >= most:
            break
        if t in excluded:
            continue
        if zone is not None:
            t = zone.localize(t) if hasattr(zone, "localize") else t.replace(tzinfo=zone)
        elif not isinstance(start, datetime.datetime):
            t = t.date()
        out.append(t)
    return out


def dump(paths):
    """One line per card or component of the given files, for tests to compare; exit 1 when a
    file does not parse or lacks what it must have."""
    ok = True
    for path in paths:
        try:
            if path.endswith(".vcf"):
                for card in cards_of(path):
                    problems = card_problems(card)
                    for p in problems:
                        print({"no FN": "card without FN",
                               "no VERSION:4.0": "card without VERSION:4.0"}.get(p, p))
                    ok = ok and not problems
                    if "no FN" in problems:
                        continue
                    fn = values(card, "fn")[0]
                    if values(card, "kind") == ["group"]:
                        print("group %s members %s" % (fn, " ".join(values(card, "member"))))
                    else:
                        print("card %s <%s>" % (fn, " ".join(values(card, "email"))))
                continue
            components = components_of(path)
            for c in components:
                if not c.get("uid") or not c.get("dtstamp"):
                    print("%s without UID or DTSTAMP" % c.name)
                    ok = False
                start = c.get("dtstart")
                parts = [c.name, str(c.get("uid")), "start", start.dt.isoformat() if start else "-"]
                if c.get("recurrence-id"):
                    parts += ["recurrence-id", c.get("recurrence-id").dt.isoformat()]
                if c.get("rrule"):
                    parts += ["RRULE", c.get("rrule").to_ical().decode()]
                exdates = c.get("exdate")
                if exdates:
                    if not isinstance(exdates, list):
                        exdates = [exdates]
                    parts += ["EXDATE"] + [d.dt.isoformat() for e in exdates for d in e.dts]
                end = c.get("dtend")
                if end and not isinstance(end.dt, datetime.datetime):
                    parts += ["end", end.dt.isoformat()]
                parts += ["summary", str(c.get("summary", ""))]
                for who in ("organizer", "attendee"):
                    found = c.get(who)
                    for person in (found if isinstance(found, list) else [found] if found else []):
                        parts += [who, "%s/%s/%s" % (person.params.get("CN", ""),
                                                      person.params.get("ROLE", ""), person)]
                if c.get("rrule") and start:
                    parts += ["instances"] + [t.isoformat() for t in instances(c, 12)]
                print(" ".join(parts))
        except Exception as e:  # noqa: BLE001 - a file that does not parse
            print("%s: %s: %s" % (path, type(e).__name__, e))
            ok = False
    return 0 if ok else 1


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
    if not check(shutil.which("pffexport") is not None,
                 "pffexport is not installed: attachments not compared (apt install pff-tools)"):
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
    before = passed + failed
    try:
        run_checks(cli, pst, work, manifest)
    finally:
        print("  %d checks" % (passed + failed - before))


def run_checks(cli, pst, work, manifest):
    name = os.path.basename(pst)
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
    found = check_pim(a)
    if name in CORPUS_PIM:
        check_corpus_pim(found, CORPUS_PIM[name])
    if manifest:
        check_manifest(a, manifest)
        check_manifest_pim(found, manifest)
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
    ("pstgen-ansi-cyclic", ["--format", "ansi", "--crypt", "cyclic", "--messages", "120"]),
    ("pstgen-unicode-5000", ["--format", "unicode", "--crypt", "permute", "--messages", "5000"]),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cli", default=os.path.join(ROOT, "build", "cli", "kestrel-cli"))
    parser.add_argument("--corpus", default=os.path.join(ROOT, "..", "shared", "corpus"))
    parser.add_argument("--pstgen", default=os.path.join(ROOT, "..", "shared", "tools", "pstgen", "pstgen.py"))
    parser.add_argument("--work", default="/tmp/kestrel-export-check")
    parser.add_argument("--format36", default=os.path.join(ROOT, "..", "shared", "corpus-format36"),
                        help="the offline stores of the 4 KB-page layout (their .ost files are checked too)")
    parser.add_argument("--no-pstgen", action="store_true")
    parser.add_argument("--no-corpus", action="store_true")
    parser.add_argument("--inputs", action="append", default=[],
                        help="also check the pstgen files of this folder (NAME.pst with NAME.manifest)")
    parser.add_argument("--only", help="check only the files whose name contains this")
    parser.add_argument("--dump", nargs="+", metavar="FILE",
                        help="print the cards and components of these .vcf/.ics files and stop")
    args = parser.parse_args()
    if args.dump:
        return dump(args.dump)
    os.makedirs(args.work, exist_ok=True)
    import json
    files = 0
    # A folder or tool that is not there fails the run: its checks must not vanish quietly.
    if not args.no_corpus and check(os.path.isdir(args.corpus), "no corpus at %s (--no-corpus "
                                    "to leave it out)" % args.corpus):
        corpus = [os.path.join(args.corpus, n) for n in sorted(os.listdir(args.corpus))]
        if os.path.isdir(args.format36):
            corpus += [os.path.join(args.format36, n) for n in sorted(os.listdir(args.format36))]
        for path in corpus:
            n = os.path.basename(path)
            if n.endswith((".pst", ".ost")) and (not args.only or args.only in n):
                run_file(args.cli, path, args.work)
                files += 1
    if not args.no_pstgen and check(os.path.exists(args.pstgen), "no pstgen at %s (--no-pstgen "
                                    "to leave it out)" % args.pstgen):
        for name, options in PSTGEN_CASES:
            if args.only and args.only not in name:
                continue
            pst = os.path.join(args.work, name + ".pst")
            manifest = os.path.join(args.work, name + ".json")
            if not os.path.exists(manifest):
                subprocess.run([sys.executable, args.pstgen, pst, "--manifest", manifest, "--seed", "7"]
                               + options, check=True, capture_output=True)
            run_file(args.cli, pst, args.work, json.load(open(manifest)))
            files += 1
    for folder in args.inputs:
        for n in sorted(os.listdir(folder)):
            manifest = os.path.join(folder, n[:-4] + ".manifest")
            if n.endswith(".pst") and os.path.exists(manifest) and (not args.only or args.only in n):
                run_file(args.cli, os.path.join(folder, n), args.work, json.load(open(manifest)))
                files += 1
    print("%d files; %d passed, %d failed" % (files, passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
