#!/usr/bin/env python3
"""The include check passes the real tree and fails, naming the file and the
header, on a folder that includes one above it in the stack: the fixture tree
upward_tree/ and a table of small trees."""
import os
import subprocess
import sys
import tempfile

script, source_dir = sys.argv[1:3]
here = os.path.dirname(os.path.abspath(__file__))


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

rc, out = run(os.path.join(here, "upward_tree"))
if rc == 0 or "pod/codec.cpp includes pdisk/path.h" not in out or out.count("includes") != 1:
    failures.append(f"upward_tree: expected one report of pod/codec.cpp, got rc {rc}: {out}")

STACK = "set(KVD_STACK base machine gfx pdisk kernel)\n"
cases = [
    # (files, the report expected, or None for a clean tree)
    ({"gfx/draw.cpp": '#include "machine/process.h"\n#include "gfx/pixel.h"\n#include "lua.h"\n'},
     None),
    ({"kernel/k.cpp": '#include "pdisk/a.h"\n#include "base/b.h"\n#include <gtest/gtest.h>\n'},
     None),
    ({"gfx/draw.cpp": '#include "kernel/startup.h"\n'}, "gfx/draw.cpp includes kernel/startup.h"),
    ({"base/deep/x.h": '  #  include "machine/memory.h"\n'}, "base/deep/x.h includes machine/memory.h"),
    ({"machine/m.inc": '#include "pdisk/path.h"\n'}, "machine/m.inc includes pdisk/path.h"),
    # Every way the compiler can reach a header above.
    ({"gfx/g.c": '#include <kernel/startup.h>\n'}, "gfx/g.c includes kernel/startup.h"),
    ({"gfx/g.cpp": '#include "../kernel/startup.h"\n'}, "gfx/g.cpp includes kernel/startup.h"),
    ({"gfx/sub/g.h": '#include "./../../pdisk/path.h"\n'}, "gfx/sub/g.h includes pdisk/path.h"),
    ({"gfx/g.h": '#include "base/../kernel/startup.h"\n'}, "gfx/g.h includes kernel/startup.h"),
    ({"gfx/g.h": '#include"kernel/startup.h"\n'}, "gfx/g.h includes kernel/startup.h"),
    ({"machine/patches/0001-x.patch":
      ' #include "kernel/old.h"\n-#include "kernel/gone.h"\n+#include "kernel/startup.h"\n'},
     "machine/patches/0001-x.patch includes kernel/startup.h"),
    # Production never includes a test's or a tool's header.
    ({"kernel/k.cpp": '#include "tests/support/fixture.h"\n'},
     "kernel/k.cpp includes tests/support/fixture.h"),
    ({"base/b.h": '#include <tools/bench/bench_ratio.h>\n'}, "base/b.h includes tools/bench/bench_ratio.h"),
    # Clean: a header beside the file, a folder below by a relative path, and
    # a patch's context and removed lines.
    ({"gfx/g.cpp": '#include "g.h"\n#include "../base/b.h"\n#include <string>\n', "gfx/g.h": ""},
     None),
    ({"machine/patches/0001-x.patch": ' #include "kernel/old.h"\n-#include "kernel/gone.h"\n'}, None),
]
for files, expected in cases:
    with tempfile.TemporaryDirectory() as tree:
        write(tree, "CMakeLists.txt", STACK)
        for path, text in files.items():
            write(tree, path, text)
        rc, out = run(tree)
        if expected is None and rc != 0:
            failures.append(f"clean tree {sorted(files)} fails: {out}")
        if expected is not None and (rc == 0 or expected not in out or out.count("includes") != 1):
            failures.append(f"{sorted(files)}: expected '{expected}', got rc {rc}: {out}")

# The stack is read from the tree's CMakeLists.txt: reversing it turns a
# clean include into an upward one.
with tempfile.TemporaryDirectory() as tree:
    write(tree, "CMakeLists.txt", "set(KVD_STACK kernel gfx base)\n")
    write(tree, "gfx/draw.cpp", '#include "base/pbuffer.h"\n')
    rc, out = run(tree)
    if rc == 0 or "gfx/draw.cpp includes base/pbuffer.h" not in out:
        failures.append(f"reversed stack: expected a report, got rc {rc}: {out}")

for f in failures:
    print(f)
sys.exit(1 if failures else 0)
