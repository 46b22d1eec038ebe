"""The standalone interpreters load only the C and C++ runtime libraries and
what the dialect's core uses: a host library (video, network, images) in
their dynamic section means the link pulled the whole workstation in again,
which costs every run of the interpreter about 0.1 s of start-up.

usage: luai_libraries_check.py INTERPRETER...
"""
import subprocess
import sys

FORBIDDEN = ("libSDL2", "libcurl", "libgif", "liblodepng", "libbloom")

failed = False
for exe in sys.argv[1:]:
    out = subprocess.run(["readelf", "-d", exe], check=True, capture_output=True, text=True).stdout
    needed = [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]
    bad = [n for n in needed if n.startswith(FORBIDDEN)]
    if bad:
        print(f"{exe} loads {', '.join(bad)}")
        failed = True
sys.exit(1 if failed else 0)
