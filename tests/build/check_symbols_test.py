#!/usr/bin/env python3
"""The duplicate-symbol check fails on two archives that define the same
functions and data, names them, lets inline (weak) definitions repeat, and
passes on one archive alone."""
import subprocess
import sys

script, a, b = sys.argv[1:4]


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
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
