#!/usr/bin/env python3
"""The include check passes the real tree and fails, naming the file, on a
subsystem that includes the kernel's wiring directly or through a service
header."""
import os
import subprocess
import sys
import tempfile

script, source_dir = sys.argv[1:3]


def run(tree):
    r = subprocess.run([sys.executable, script, tree], capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def write(tree, path, text):
    full = os.path.join(tree, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w") as f:
        f.write(text)


failures = []
rc, out = run(source_dir)
if rc != 0:
    failures.append("the tree itself fails:\n" + out)

cases = [
    # (files, the file and header reported, or None for a clean tree)
    ({"gfx/draw.cpp": '#include "machine/process.h"\n#include "base/pbuffer.h"\n'}, None),
    ({"gfx/draw.cpp": '#include "kernel/startup.h"\n'}, "gfx/draw.cpp includes kernel/startup.h"),
    ({"sorn/deep/x.h": '  #  include "kernel/api.h"\n'}, "sorn/deep/x.h includes kernel/api.h"),
    ({"pod/p.cpp": '#include "machine/process.h"\n',
      "machine/process.h": '#include "kernel/frame.h"\n'}, "kernel/process.h includes kernel/frame.h"),
]
for files, expected in cases:
    with tempfile.TemporaryDirectory() as tree:
        for path, text in files.items():
            write(tree, path, text)
        rc, out = run(tree)
        if expected is None and rc != 0:
            failures.append(f"clean tree {sorted(files)} fails: {out}")
        if expected is not None and (rc == 0 or expected not in out):
            failures.append(f"{sorted(files)}: expected '{expected}', got rc {rc}: {out}")

for f in failures:
    print(f)
sys.exit(1 if failures else 0)
