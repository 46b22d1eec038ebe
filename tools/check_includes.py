#!/usr/bin/env python3
"""The subsystems below the kernel reach it only through its service headers.

  check_includes.py SOURCE_DIR

The kernel's service headers declare the records and helpers that every
subsystem shares (the process record, buffers, the budget, argument readers,
the log, the memory layout). They include no other kernel header but each
other. The kernel's own wiring (the registration table, start-up, the frame
loop, settings, the Lua-facing memory functions) sits above every subsystem,
so a subsystem that includes it would make a cycle. Fails, naming each file
and header, when a subsystem includes a kernel header outside the service set
or a service header includes one.
"""
import os
import re
import sys

SERVICE_HEADERS = {
    "alloc.h", "app.h", "args.h", "boot_screen.h", "buttons.h", "config.h",
    "cpu_budget.h", "klog.h", "memory.h", "message.h", "pbuffer.h",
    "process.h", "ram_layout.h", "rng.h", "slice.h",
}
LOWER = ["lang", "userdata", "pod", "pdisk", "gfx", "sorn", "host", "anywhen"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"kernel/([^"]+)"', re.M)


def kernel_includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return INCLUDE.findall(f.read())


def source_files(folder):
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            if name.endswith((".h", ".cpp", ".inc", ".c")):
                yield os.path.join(root, name)


def violations(source_dir):
    found = []
    for sub in LOWER:
        for path in source_files(os.path.join(source_dir, sub)):
            for header in kernel_includes(path):
                if header not in SERVICE_HEADERS:
                    found.append((os.path.relpath(path, source_dir), header))
    for header in sorted(SERVICE_HEADERS):
        path = os.path.join(source_dir, "kernel", header)
        if not os.path.exists(path):
            continue
        for inner in kernel_includes(path):
            if inner not in SERVICE_HEADERS:
                found.append(("kernel/" + header, inner))
    return found


def main():
    found = violations(sys.argv[1])
    for path, header in found:
        print(f"{path} includes kernel/{header}, which is not a kernel service header")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
