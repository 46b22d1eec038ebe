#!/usr/bin/env python3
"""Each folder includes only the folders below it in the stack.

  check_includes.py SOURCE_DIR

The folders form a stack, listed bottom first by the line
"set(KVD_STACK ...)" of SOURCE_DIR/CMakeLists.txt: a folder may include its own headers and those of the folders below
it, never one above, or the libraries would call each other in a cycle. What
a lower folder must reach above goes through a hook that kernel start-up
installs. Fails, naming each file and header, on an include of a folder the
including folder may not use. Lua's headers ("lua.h" and the like) and system
headers are not folder includes and are not checked.
"""
import os
import re
import sys

STACK_LINE = re.compile(r"^set\(KVD_STACK\s+([a-z_\s]+)\)", re.M)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/([^"]+)"', re.M)


def source_files(folder):
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            if name.endswith((".h", ".cpp", ".inc", ".c")):
                yield os.path.join(root, name)


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
            for target, header in INCLUDE.findall(text):
                if target in allowed and target not in allowed[folder]:
                    found.append((os.path.relpath(path, source_dir), f"{target}/{header}"))
    return found


def main():
    found = violations(sys.argv[1])
    for path, header in found:
        folder = path.split(os.sep)[0]
        print(f"{path} includes {header}, from a folder above {folder}/")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
