#!/usr/bin/env python3
"""The duplicate-symbol check fails on two archives that define the same
functions and data, names them, lets inline (weak) definitions repeat, and
passes on one archive alone. It fails on a stub beside real code of the same
name and another signature, and passes on either alone."""
import subprocess
import sys

script, a, b, stub, real = sys.argv[1:6]


def run(*archives):
    r = subprocess.run([sys.executable, script, "duplicates", "-", *archives],
                       capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


failures = []
rc, out = run(a, b)
if rc == 0:
    failures.append("two definitions passed the check")
for name in ("kvd_dup_probe()", "kvd_dup_probe_data", "kvd_dup_probe_use()"):
    if f"duplicate definition of {name}:" not in out:
        failures.append(f"{name} is not reported")
if "kvd_dup_probe_inline" in out:
    failures.append("an inline function is reported")
rc, out = run(a)
if rc != 0:
    failures.append("one archive alone fails: " + out)
rc, out = run(stub, real)
if rc == 0 or "stub kvd_overload_probe(char const*) stands beside real code" not in out:
    failures.append("a stub beside an overload of its real function passed: " + out)
for alone in (stub, real):
    rc, out = run(alone)
    if rc != 0:
        failures.append("a stub or its real function alone fails: " + out)
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
