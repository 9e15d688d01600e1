#!/usr/bin/python3
"""Parses exported vCard and iCalendar files the way other programs would (vobject,
icalendar) and prints one line per card or component, so that a test can compare it.
Exit status 1 when a file does not parse or a component lacks what it must have."""
import sys

import icalendar
import vobject


def cards(path):
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    ok = True
    for card in vobject.readComponents(text, validate=False):
        fn = card.contents.get("fn")
        if fn is None:
            print("card without FN")
            ok = False
            continue
        version = card.contents.get("version")
        if not version or version[0].value != "4.0":
            print("card without VERSION:4.0")
            ok = False
        kind = card.contents.get("kind")
        if kind and kind[0].value == "group":
            members = " ".join(m.value for m in card.contents.get("member", []))
            print(f"group {fn[0].value} members {members}")
        else:
            emails = " ".join(e.value for e in card.contents.get("email", []))
            print(f"card {fn[0].value} <{emails}>")
    return ok


def calendar(path):
    with open(path, "rb") as f:
        cal = icalendar.Calendar.from_ical(f.read())
    ok = True
    for comp in cal.walk():
        if comp.name not in ("VEVENT", "VTODO"):
            continue
        uid = comp.get("uid")
        stamp = comp.get("dtstamp")
        if not uid or not stamp:
            print(f"{comp.name} without UID or DTSTAMP")
            ok = False
        start = comp.get("dtstart")
        parts = [comp.name, str(uid), "start", start.dt.isoformat() if start else "-"]
        if comp.get("recurrence-id"):
            parts += ["recurrence-id", comp.get("recurrence-id").dt.isoformat()]
        if comp.get("rrule"):
            parts += ["RRULE", comp.get("rrule").to_ical().decode()]
        exdates = comp.get("exdate")
        if exdates:
            if not isinstance(exdates, list):
                exdates = [exdates]
            parts += ["EXDATE"] + [d.dt.isoformat() for e in exdates for d in e.dts]
        parts += ["summary", str(comp.get("summary", ""))]
        print(" ".join(parts))
    return ok


def main():
    ok = True
    for path in sys.argv[1:]:
        try:
            ok = (cards(path) if path.endswith(".vcf") else calendar(path)) and ok
        except Exception as e:  # a file that does not parse
            print(f"{path}: {type(e).__name__}: {e}")
            ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
