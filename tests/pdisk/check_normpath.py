# Canonical paths of random absolute workstation paths against Python's
# posixpath.normpath. normpath keeps a leading "//" and knows no "name://"
# prefix or over-long segments, so those forms are left out here.
import os, posixpath, random, subprocess, sys

probe = sys.argv[1]
rng = random.Random(1234)
parts = ["a", "b", "cc", ".", "..", "", "x.lua", "d-e_f", "Q9", "...", ".hidden", "a.kvd"]
paths = []
for _ in range(5000):
    segs = [rng.choice(parts) for _ in range(rng.randint(0, 9))]
    p = "/" + "/".join(segs)
    if rng.random() < 0.3:
        p += "/"
    if p.startswith("//"):
        continue
    paths.append(p)

out = subprocess.run([probe, "normalise"], input="\n".join(paths) + "\n",
                     capture_output=True, text=True, check=True).stdout.splitlines()
assert len(out) == len(paths), (len(out), len(paths))
bad = 0
for p, got in zip(paths, out):
    want = posixpath.normpath(p)
    if got != want:
        bad += 1
        if bad < 10:
            print(f"mismatch: {p!r}: ours {got!r}, normpath {want!r}")
print(f"{len(paths)} paths, {bad} mismatches")
sys.exit(1 if bad else 0)
