#!/usr/bin/env python3
"""Reads ctest's JUnit file (ctest --output-junit FILE): prints "PASSED FAILED SKIPPED" on the
first line, then one line per skipped case with the reason it gave, so no skip goes unseen."""
import re
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
notes = []
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    name = case.get("name", "?")
    out = case.findtext("system-out") or ""
    if case.find("failure") is not None or case.get("status") == "fail":
        failed += 1
    elif case.get("status") in ("notrun", "disabled") or case.find("skipped") is not None:
        skipped += 1
    else:
        passed += 1
    # Google Test reports a skip as "file:line: Skipped", the reason, then "[  SKIPPED ] name (".
    reason = ""
    lines = out.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("[ RUN      ]"):
            reason = ""
        elif line.endswith(": Skipped") and i + 1 < len(lines):
            reason = lines[i + 1].strip()
        m = re.match(r"\[  SKIPPED \] (\S+) \(", line)
        if m:
            notes.append(f"skipped: {name}: {m.group(1)}" + (f": {reason}" if reason else ""))
print(passed, failed, skipped)
for note in dict.fromkeys(notes):
    print(note)
