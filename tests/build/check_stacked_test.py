#!/usr/bin/env python3
"""The stack check of the archives fails, naming the archive and the symbol,
when a lower archive uses what only a higher one defines or has a weak
definition a higher one overrides, and passes when the same archives are
given the other way round."""
import subprocess
import sys

script, low, high, weak_low = sys.argv[1:5]


def run(*archives):
    r = subprocess.run([sys.executable, script, "stacked", "-", *archives],
                       capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


failures = []
rc, out = run(low, high)
if rc == 0 or "kvd_stack_probe_high" not in out or "libkvd_stack_probe_low.a" not in out:
    failures.append(f"a call up the stack passed or is not named (rc {rc}): {out}")
rc, out = run(high, low)
if rc != 0:
    failures.append("a call down the stack fails: " + out)
rc, out = run(weak_low, high)
if rc == 0 or "kvd_stack_probe_override" not in out or "libkvd_stack_probe_weak_low.a" not in out:
    failures.append(f"a weak definition overridden above passed or is not named (rc {rc}): {out}")
rc, out = run(high, weak_low)
if rc != 0:
    failures.append("a strong definition below a weak one fails: " + out)
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
