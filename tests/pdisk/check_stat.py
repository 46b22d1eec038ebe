# File existence, folder tests and sizes through a host mount against
# os.scandir / os.stat of a temporary folder.
import os, random, subprocess, sys, tempfile

probe = sys.argv[1]
rng = random.Random(99)
with tempfile.TemporaryDirectory() as root:
    def fill(folder, depth):
        for i in range(rng.randint(4, 12)):
            name = rng.choice(["f", "File", "file", "x.lua", "d", "Data.bin"]) + str(i)
            p = os.path.join(folder, name)
            if depth < 3 and rng.random() < 0.4:
                os.mkdir(p)
                fill(p, depth + 1)
            else:
                with open(p, "wb") as f:
                    f.write(os.urandom(rng.choice([0, 1, 254, 255, 16384, 40000])))
    fill(root, 0)
    expected, paths = [], []
    def walk(folder, wpath):
        with os.scandir(folder) as it:
            for e in it:
                wp = wpath + "/" + e.name
                paths.append(wp)
                if e.is_dir():
                    expected.append((1, 1, e.stat().st_size))
                    walk(e.path, wp)
                else:
                    expected.append((1, 0, e.stat().st_size))
                # a name differing only in case is another file
                paths.append(wp.swapcase())
                expected.append(None)
    walk(root, "")
    out = subprocess.run([probe, "stat", root], input="\n".join(paths) + "\n",
                         capture_output=True, text=True, check=True).stdout.splitlines()
    bad = 0
    for p, want, got in zip(paths, expected, out):
        got = tuple(int(x) for x in got.split())
        if want is None:
            host = os.path.join(root, p.lstrip("/"))
            want = (1, int(os.path.isdir(host)), os.stat(host).st_size) if os.path.exists(host) else (0, 0, 0)
        # a host folder opens as a file on this host; its size is the folder's stat size
        if got != want:
            bad += 1
            print(f"mismatch {p}: ours {got}, host {want}")
    print(f"{len(paths)} paths, {bad} mismatches")
    sys.exit(1 if bad or len(out) != len(paths) else 0)
