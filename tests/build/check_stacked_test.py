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


# (archives low to high, whether the check passes, the names its failure gives)
cases = [
    ((low, high), False, ("kvd_stack_probe_high", "libkvd_stack_probe_low.a")),  # a call up
    ((high, low), True, ()),  # the same call down
    ((weak_low, high), False, ("kvd_stack_probe_override", "libkvd_stack_probe_weak_low.a")),
    ((high, weak_low), True, ()),  # a strong definition below a weak one
]
failures = []
for archives, passes, names in cases:
    rc, out = run(*archives)
    if (rc == 0) != passes or any(n not in out for n in names):
        failures.append(f"{[a.rsplit('/', 1)[-1] for a in archives]}: rc {rc}, want "
                        f"{'a pass' if passes else 'a failure naming ' + ', '.join(names)}: {out}")
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
