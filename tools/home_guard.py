#!/usr/bin/env python3
"""Fails the test run when a test wrote into the real home folder.

  home_guard.py snapshot FILE   records every path under $HOME with its size and time
  home_guard.py check FILE      fails, naming them, on paths added or changed since

Tests keep their files in temporary folders; this catches one that does not.
A few files that shells and tools outside the tests touch are left out.
"""
import json
import os
import sys

IGNORED_TOP = {".cache", ".bash_history", ".python_history", ".lesshst", ".viminfo",
               ".wget-hsts", ".npm", ".config", ".local/state", ".ssh", ".gnupg"}
MAX_DEPTH = 6


def walk(home):
    seen = {}
    for root, dirs, files in os.walk(home):
        rel = os.path.relpath(root, home)
        depth = 0 if rel == "." else rel.count(os.sep) + 1
        keep = []
        for d in dirs:
            r = os.path.normpath(os.path.join(rel, d))
            if r in IGNORED_TOP or depth + 1 > MAX_DEPTH or os.path.islink(os.path.join(root, d)):
                continue
            keep.append(d)
        dirs[:] = keep
        for f in files:
            r = os.path.normpath(os.path.join(rel, f))
            if r in IGNORED_TOP:
                continue
            try:
                st = os.lstat(os.path.join(root, f))
            except OSError:
                continue
            seen[r] = [st.st_size, st.st_mtime_ns]
    return seen


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("snapshot", "check"):
        print(__doc__, file=sys.stderr)
        return 2
    home = os.environ.get("HOME")
    if not home or not os.path.isdir(home):
        return 0
    now = walk(home)
    if sys.argv[1] == "snapshot":
        with open(sys.argv[2], "w") as f:
            json.dump(now, f)
        return 0
    with open(sys.argv[2]) as f:
        before = json.load(f)
    changed = sorted(p for p, v in now.items() if before.get(p) != v)
    if changed:
        print("tests wrote into the home folder %s:" % home, file=sys.stderr)
        for p in changed[:50]:
            print("  " + p, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
