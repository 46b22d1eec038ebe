#!/usr/bin/env python3
"""A yield jumps back to its resume without unwinding, which is safe only
while no C++ frame can lie between them: no source file of the workstation
calls Lua with a continuation or yields itself. Checks the tree given as the
argument, and first that the check fails on a table of small trees."""
import os
import re
import sys
import tempfile

# Any mention, not only a call: a pointer taken to one of them, or a wrapper
# around it, puts a C++ frame under a yield as well. A direct throw of a yield
# is allowed only in the budget test that the interpreter loop includes.
CALL = re.compile(r"\blua_(callk|pcallk|yieldk|yield)\b|\bluaD_throw\s*\(\s*\w+\s*,\s*LUA_YIELD\b")
INSIDE_THE_CORE = {os.path.join("lang", "vm_budget.inc")}
SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp", ".inc")
BLOCK_COMMENT = re.compile(r"/\*.*?\*/", re.S)


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
            if os.path.relpath(path, root) in INSIDE_THE_CORE:
                continue
            with open(path, errors="replace") as f:
                text = BLOCK_COMMENT.sub(lambda m: "\n" * m.group(0).count("\n"), f.read())
                for n, line in enumerate(text.splitlines(), 1):
                    if CALL.search(line.split("//")[0]):
                        found.append(f"{os.path.relpath(path, root)}:{n}: {line.strip()}")
    return found


cases = [
    # (path, text, whether the check must report it)
    ("kernel/api.cpp", "  return lua_yield(L, 0);\n", True),
    ("gfx/draw.h", "lua_callk(L, 1, 0, ctx, cont);\n", True),
    ("lang/x.inc", "int s = lua_pcallk (L, 0, 0, 0, 0, k);\n", True),
    ("tests/t.cpp", "lua_yieldk(L, 0, 0, nullptr);\n", True),
    ("kernel/api.cpp", "auto call = &lua_callk;\n", True),
    ("gfx/ud.cpp", "static const lua_CFunction y = nullptr; int (*f)(lua_State *, int) = lua_yield;\n", True),
    ("kernel/api.cpp", "#define kvd_yield(L) lua_yieldk(L, 0, 0, NULL)\n", True),
    ("kernel/api.cpp", "  luaD_throw(L, LUA_YIELD);\n", True),
    ("kernel/api.cpp", "/* one\n   lua_yield(L, 0) */ int x;\n lua_yield(L, 0);\n", True),
    ("lang/vm_budget.inc", "  luaD_throw(L, LUA_YIELD);\n", False),
    ("kernel/api.cpp", "/* no\n   lua_yield(L, 0) here */\n", False),
    ("kernel/api.cpp", "lua_call(L, 1, 0); lua_pcall(L, 0, 0, 0); lua_isyieldable(L); luaD_throw(L, LUA_ERRRUN);\n", False),
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
