"""The standalone interpreters load only the C and C++ runtime libraries and
what the dialect's core uses: a host library (video, network, images) in
their dynamic section means the link pulled the whole workstation in again,
which costs every run of the interpreter about 0.1 s of start-up.

With --forbid PREFIX, only libraries named PREFIX... are refused (the
workstation loads libcurl at its first download, never at start-up).

usage: luai_libraries_check.py [--forbid PREFIX] INTERPRETER...
"""
import subprocess
import sys

FORBIDDEN = ("libSDL2", "libcurl", "libgif", "liblodepng", "libbloom")

exes = sys.argv[1:]
if exes[:1] == ["--forbid"]:
    FORBIDDEN = (exes[1],)
    exes = exes[2:]

failed = False
for exe in exes:
    out = subprocess.run(["readelf", "-d", exe], check=True, capture_output=True, text=True).stdout
    needed = [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]
    bad = [n for n in needed if n.startswith(FORBIDDEN)]
    if bad:
        print(f"{exe} loads {', '.join(bad)}")
        failed = True
sys.exit(1 if failed else 0)
