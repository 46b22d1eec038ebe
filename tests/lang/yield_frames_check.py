#!/usr/bin/env python3
"""A yield jumps back to its resume without unwinding, which is safe only
while no C++ frame can lie between them: no source file of the workstation
calls Lua with a continuation or yields itself. Checks the tree given as the
argument, and first that the check fails on a table of small trees."""
import os
import re
import sys
import tempfile

CALL = re.compile(r"\blua_(callk|pcallk|yieldk|yield)\s*\(")
SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp", ".inc")


def offenders(root):
    found = []
    for top, dirs, files in os.walk(root):
        rel = os.path.relpath(top, root)
        # Lua's own sources (C, patched in the build folder) are not ours.
        dirs[:] = [d for d in dirs if not d.startswith(".") and
                   not (rel == "." and d.startswith("build")) and
                   os.path.join(rel, d) != os.path.join("lang", "patches")]
        for name in files:
            if not name.endswith(SUFFIXES):
                continue
            path = os.path.join(top, name)
            with open(path, errors="replace") as f:
                for n, line in enumerate(f, 1):
                    if CALL.search(line.split("//")[0]):
                        found.append(f"{os.path.relpath(path, root)}:{n}: {line.strip()}")
    return found


cases = [
    # (path, text, whether the check must report it)
    ("kernel/api.cpp", "  return lua_yield(L, 0);\n", True),
    ("gfx/draw.h", "lua_callk(L, 1, 0, ctx, cont);\n", True),
    ("lang/x.inc", "int s = lua_pcallk (L, 0, 0, 0, 0, k);\n", True),
    ("tests/t.cpp", "lua_yieldk(L, 0, 0, nullptr);\n", True),
    ("kernel/api.cpp", "lua_call(L, 1, 0); lua_pcall(L, 0, 0, 0); lua_isyieldable(L);\n", False),
    ("kernel/api.cpp", "int n = 0;  // not lua_yield(L, 0) here\n", False),
    ("lang/patches/0001-x.patch", "+  lua_callk(L, 0, 0, 0, k);\n", False),
    ("build/release/lua/src/lbaselib.c", "lua_callk(L, 0, 0, 0, k);\n", False),
    ("kernel/notes.txt", "lua_yield(L, 0)\n", False),
]
failures = []
for path, text, reported in cases:
    with tempfile.TemporaryDirectory() as tree:
        full = os.path.join(tree, path)
        os.makedirs(os.path.dirname(full))
        with open(full, "w") as f:
            f.write(text)
        if bool(offenders(tree)) != reported:
            failures.append(f"{path}: {text.strip()!r} should {'' if reported else 'not '}be reported")

found = offenders(sys.argv[1])
failures += [f"calls Lua with a continuation or yields from C++: {f}" for f in found]
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
