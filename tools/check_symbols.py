#!/usr/bin/env python3
"""Checks over the subsystems' static archives.

  check_symbols.py duplicates STAMP ARCHIVE...
      Fails, naming each one, when a symbol has more than one strong
      definition across the archives (a linker would silently keep the first
      one it meets), or when a function of a *_stubs.cpp file shares its name
      with a function defined elsewhere under another signature (a caller of
      the stub's declaration would link the stub, not the real code);
      otherwise touches STAMP ("-" for none).
  check_symbols.py stubs SOURCE_DIR ARCHIVE...
      Lists the functions still defined in *_stubs.cpp files, and fails when a
      stubs file has no header of the interface it stands for (foo_stubs.cpp
      beside foo.h) or when a stub is also defined elsewhere.
  check_symbols.py stacked STAMP ARCHIVE...
      The archives in stack order, bottom first: fails, naming the object and
      the symbol, when an archive uses a symbol that only an archive above it
      defines (a call up the stack, which a linker may let through when the
      defining object happens to be pulled in by something else first), or
      when an archive's weak definition is overridden by a strong one above
      it (the lower archive's calls would then silently go up);
      otherwise touches STAMP ("-" for none).
"""
import os
import subprocess
import sys

STRONG = set("TDRBC")  # weak (W, V) and unique (u) definitions may repeat


def definitions(archives):
    """(symbol, object) for every strong global definition in the archives."""
    out = subprocess.run(["nm", "-A", "-P", "-g", "--defined-only", "-C"] + archives,
                         check=True, capture_output=True, text=True).stdout
    defs = []
    for line in out.splitlines():
        # "archive[member]: name type value size"; a demangled name has spaces.
        where, _, rest = line.partition(": ")
        fields = rest.rsplit(" ", 3)
        while len(fields) > 2 and not (len(fields[1]) == 1 and fields[1].isalpha()):
            fields = rest.rsplit(" ", len(fields) - 2)  # value/size left out
        if len(fields) < 2 or fields[1] not in STRONG:
            continue
        member = where[where.find("[") + 1:where.rfind("]")] if "[" in where else where
        defs.append((fields[0], os.path.basename(where.split("[")[0]) + ":" + member))
    return defs


def by_symbol(archives):
    table = {}
    for name, obj in definitions(archives):
        table.setdefault(name, []).append(obj)
    return table


def is_stub(obj):
    return obj.endswith("_stubs.cpp.o")


def stub_overloads(table):
    """(stub symbol, [other symbols of the same name]) for functions of a
    stubs file that real code defines under another signature."""
    by_name = {}
    for symbol, objs in table.items():
        if "(" in symbol:
            by_name.setdefault(symbol.split("(")[0], []).append((symbol, objs))
    found = []
    for name, symbols in by_name.items():
        stubbed = [s for s, objs in symbols if any(is_stub(o) for o in objs)]
        real = [s for s, objs in symbols if not all(is_stub(o) for o in objs)]
        for s in stubbed:
            others = [r for r in real if r != s]
            if others:
                found.append((s, others))
    return found


def duplicates(stamp, archives):
    table = by_symbol(archives)
    dups = {n: objs for n, objs in table.items() if len(objs) > 1}
    for n in sorted(dups):
        print(f"duplicate definition of {n}: {', '.join(dups[n])}", file=sys.stderr)
    overloads = stub_overloads(table)
    for stub, others in sorted(overloads):
        print(f"stub {stub} stands beside real code of another signature: {', '.join(others)}",
              file=sys.stderr)
    if dups or overloads:
        return 1
    if stamp != "-":
        with open(stamp, "w"):
            pass
    return 0


def stubs(source_dir, archives):
    table = by_symbol(archives)
    bad = 0
    listed = []
    for name, objs in sorted(table.items()):
        stub_objs = [o for o in objs if is_stub(o)]
        if not stub_objs:
            continue
        if len(objs) > 1:
            print(f"stub {name} is also defined in {', '.join(objs)}")
            bad = 1
        listed.append((stub_objs[0].split(":")[1][:-len("_stubs.cpp.o")], name))
    for sub in sorted(os.listdir(source_dir)):
        folder = os.path.join(source_dir, sub)
        if not os.path.isdir(folder) or sub.startswith((".", "build")):
            continue
        for f in sorted(os.listdir(folder)):
            if f.endswith("_stubs.cpp"):
                header = f[:-len("_stubs.cpp")] + ".h"
                if not os.path.exists(os.path.join(folder, header)):
                    print(f"{sub}/{f} stands for no interface: {sub}/{header} is missing")
                    bad = 1
    interfaces = sorted({i for i, _ in listed})
    print(f"{len(listed)} functions are still stubs, in {len(interfaces)} interfaces")
    for i in interfaces:
        print(f"  {i}: " + ", ".join(n.split("(")[0] for j, n in listed if j == i))
    return bad


def global_symbols(archive, flag, kinds=None):
    """(symbol, member) for every global symbol nm lists with flag (and, when
    kinds is given, with one of those type letters)."""
    out = subprocess.run(["nm", "-A", "-P", "-g", flag, archive],
                         check=True, capture_output=True, text=True).stdout
    found = []
    for line in out.splitlines():
        where, _, rest = line.partition(": ")
        fields = rest.split()
        if len(fields) < 2:
            continue
        if flag == "--defined-only" and fields[1] not in (kinds or STRONG | set("WVu")):
            continue
        member = where[where.find("[") + 1:where.rfind("]")] if "[" in where else where
        found.append((fields[0], member))
    return found


def stacked(stamp, archives):
    defined_at = {}
    for level, archive in enumerate(archives):
        for sym, _ in global_symbols(archive, "--defined-only"):
            defined_at.setdefault(sym, level)
    failures = []
    for level, archive in enumerate(archives):
        for sym, member in global_symbols(archive, "--undefined-only"):
            above = defined_at.get(sym)
            if above is not None and above > level:
                failures.append(f"{os.path.basename(archive)}[{member}] uses {sym}, defined "
                                f"above it in {os.path.basename(archives[above])}")
    strong_at = {}
    for level, archive in enumerate(archives):
        for sym, _ in global_symbols(archive, "--defined-only", STRONG):
            strong_at.setdefault(sym, level)
    for level, archive in enumerate(archives):
        for sym, member in global_symbols(archive, "--defined-only", set("WV")):
            above = strong_at.get(sym)
            if above is not None and above > level:
                failures.append(f"{os.path.basename(archive)}[{member}] defines {sym} weak, "
                                f"overridden above it in {os.path.basename(archives[above])}")
    for f in sorted(set(failures)):
        print(f)
    if failures:
        return 1
    if stamp != "-":
        with open(stamp, "w"):
            pass
    return 0


def main(argv):
    if len(argv) >= 3 and argv[1] == "duplicates":
        return duplicates(argv[2], argv[3:])
    if len(argv) >= 3 and argv[1] == "stacked":
        return stacked(argv[2], argv[3:])
    if len(argv) >= 3 and argv[1] == "stubs":
        return stubs(argv[2], argv[3:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
