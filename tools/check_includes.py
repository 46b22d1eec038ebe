#!/usr/bin/env python3
"""Each folder includes only the folders below it in the stack.

  check_includes.py SOURCE_DIR

The folders form a stack, listed bottom first by the line
"set(KVD_STACK ...)" of SOURCE_DIR/CMakeLists.txt: a folder may include its own headers and those of the folders below
it, never one above, or the libraries would call each other in a cycle. What
a lower folder must reach above goes through a hook that kernel start-up
installs. Fails, naming each file and header, on an include of a folder the
including folder may not use, or of tests/ or tools/, which production code
never includes. Lua's headers ("lua.h" and the like) and system headers are
not folder includes and are not checked.

An include is resolved as the compiler would find it: a quoted name first
beside the including file (so "../kernel/x.h" and "./x.h" count), then, like
an angle-bracket name, from SOURCE_DIR. Every file under a stack folder is
read, whatever its kind; in a patch (.patch, .diff) only the lines it adds.
"""
import os
import re
import sys

STACK_LINE = re.compile(r"^set\(KVD_STACK\s+([a-z_\s]+)\)", re.M)
INCLUDE = re.compile(r'^(\+?)[ \t]*#[ \t]*include[ \t]*([<"])([^>"\n]+)[>"]', re.M)
# Folders beside the stack whose headers production code never includes.
NOT_PRODUCTION = ("tests", "tools")


def source_files(folder):
    for root, dirs, names in os.walk(folder):
        dirs.sort()
        for name in sorted(names):
            yield os.path.join(root, name)


def includes(path, text):
    """The names path includes; in a patch only those of the lines it adds."""
    patch = path.endswith((".patch", ".diff"))
    for plus, bracket, name in INCLUDE.findall(text):
        if bool(plus) == patch:
            yield bracket, name, patch


def resolve(source_dir, path, bracket, name, patch):
    """The included file as a path relative to source_dir, or None when it
    lies outside (a system or Lua header)."""
    candidates = []
    if bracket == '"' and not patch:
        candidates.append(os.path.join(os.path.dirname(path), name))
    candidates.append(os.path.join(source_dir, name))
    for i, full in enumerate(candidates):
        rel = os.path.relpath(os.path.normpath(full), source_dir)
        if rel.startswith(".."):
            continue
        # Beside the file only when it is there or the name walks the folders
        # ("./x.h", "../kernel/x.h"); otherwise the search goes on.
        if i + 1 < len(candidates) and not os.path.exists(full) and not name.startswith("."):
            continue
        return rel
    return None


def read_stack(source_dir):
    with open(os.path.join(source_dir, "CMakeLists.txt"), encoding="utf-8") as f:
        m = STACK_LINE.search(f.read())
    if not m:
        sys.exit(f"{source_dir}/CMakeLists.txt has no set(KVD_STACK ...) line")
    return m.group(1).split()


def allowed_edges(stack):
    """folder -> the folders it may include: itself and every folder below it."""
    return {folder: set(stack[:i + 1]) for i, folder in enumerate(stack)}


def violations(source_dir):
    stack = read_stack(source_dir)
    allowed = allowed_edges(stack)
    found = []
    for folder in stack:
        for path in source_files(os.path.join(source_dir, folder)):
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for bracket, name, patch in includes(path, text):
                rel = resolve(source_dir, path, bracket, name, patch)
                if rel is None or os.sep not in rel:
                    continue
                target = rel.split(os.sep)[0]
                upward = target in allowed and target not in allowed[folder]
                if upward or target in NOT_PRODUCTION:
                    found.append((os.path.relpath(path, source_dir), rel.replace(os.sep, "/")))
    return found


def main():
    found = violations(sys.argv[1])
    for path, header in found:
        folder = path.split(os.sep)[0]
        print(f"{path} includes {header}, from a folder above {folder}/ or outside the stack")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
