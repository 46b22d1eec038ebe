# Tracks and music rendered by the render tool and measured outside the code
# under test: row timing and pitches by numpy per tick, pattern loops by FFT,
# fade levels by sox over stretches of the output.
#   sequencer_render_check.py SORNRENDER WORKDIR
import os
import re
import struct
import subprocess
import sys
import wave

import numpy as np

tool, work = sys.argv[1], sys.argv[2]
os.makedirs(work, exist_ok=True)
failures = []
TICK = 367
BASE = 0x30000


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def image(tracks, patterns=()):
    """Memory from BASE: patterns at +256 (number, flags, mask, tracks), tracks
    at +0x20000 (number, speed, rows of (pitch, volume), loop start, end)."""
    mem = bytearray(0x20000 + 328 * (max(t[0] for t in tracks) + 1))
    for p, flags, mask, ts in patterns:
        rec = bytes(ts) + bytes(8 - len(ts)) + bytes([flags, mask])
        mem[256 + 20 * p:256 + 20 * p + len(rec)] = rec
    for n, spd, rows, ls, le in tracks:
        r = len(rows)
        rec = struct.pack("<HBBBBBB", r, spd, ls, le, 0, 0, 0)
        rec += bytes(p for p, v in rows) + bytes([1] * r) + bytes(v for p, v in rows)
        rec += bytes([255] * r) + bytes(r)
        at = 0x20000 + 328 * n
        mem[at:at + len(rec)] = rec
    return mem


def render(name, mem, *args):
    img = os.path.join(work, name + ".img")
    with open(img, "wb") as f:
        f.write(mem)
    out = os.path.join(work, name + ".wav")
    subprocess.run([tool, "--image", img, "--at", str(BASE), "--base", str(BASE),
                    *map(str, args), out], check=True)
    with wave.open(out) as w:
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, 2)
    return out, data[:, 0].astype(np.float64)


def tick_peaks(x):
    """The largest magnitude of each tick, past its 64-sample crossfade."""
    n = len(x) // TICK
    return np.abs(x[:n * TICK].reshape(n, TICK)[:, 80:]).max(axis=1)


def frequency(x):
    mag = np.abs(np.fft.rfft(x * np.hanning(len(x)), 1 << 18))
    return np.argmax(mag) * 44100 / (1 << 18)


def sox_max(path, start_tick, ticks):
    s = subprocess.run(["sox", path, "-n", "remix", "1", "trim", "%ds" % (start_tick * TICK),
                        "%ds" % (ticks * TICK), "stat"], capture_output=True, text=True,
                       check=True).stderr
    return float(re.search(r"Maximum amplitude:\s*([-\d.]+)", s).group(1))


FULL = 32767 * 3272 / 4096  # the sine row at volume 64, centred

# A track of speed 10: loud, silent, loud an octave up, silent; each row lasts
# exactly 10 ticks, and the track then ends with the silent row's note.
mem = image([(0, 10, [(57, 64), (57, 0), (69, 64), (57, 0)], 0, 0)])
path, x = render("sfx", mem, "--sfx", 0, "--ticks", 50)
# (The first tick ramps the channel's pan gains up from silence.)
loud = (tick_peaks(x) > FULL * 0.9)[1:]
want = [True] * 9 + [False] * 10 + [True] * 10 + [False] * 20
check(list(loud) == want, "row timing: %s" % "".join("#" if b else "." for b in loud))
for row, hz in ((0, 440.0), (2, 880.0)):
    got = frequency(x[(10 * row + 1) * TICK:(10 * row + 9) * TICK])
    check(abs(got - hz) < 3, "row %d sounds at %.1f Hz, not %.0f" % (row, got, hz))
check(sox_max(path, 40, 10) == 0, "sox hears the ended track")

# Music: pattern 0 (loop start) plays 440 Hz and pattern 1 (loop back) 880 Hz,
# six ticks each: the blocks alternate for as long as it plays.
tracks = [(1, 6, [(57, 64)], 0, 0), (2, 6, [(69, 64)], 0, 0)]
mem = image(tracks, [(0, 1, 1, [1]), (1, 2, 1, [2])])
path, x = render("loop", mem, "--music", 0, "--ticks", 48)
blocks = [frequency(x[(6 * b + 1) * TICK:(6 * b + 6) * TICK]) for b in range(8)]
want = [440.0, 880.0] * 4
check(all(abs(g - w) < 5 for g, w in zip(blocks, want)),
      "pattern loop frequencies %s" % ["%.0f" % g for g in blocks])

# Fades: in over 1000 ms (120 ticks, linear from 0), out over 500 ms (60
# ticks) from tick 240. The level of tick k of the fade-in is k / 120 of full.
mem = image([(1, 4, [(57, 64)] * 4, 0, 4)], [(0, 2, 1, [1])])
path, x = render("fade", mem, "--music", 0, "--fade", 1000, "--fade-out-at", 240,
                 "--fade-out", 500, "--ticks", 320)
peaks = tick_peaks(x)
for k in (30, 60, 90):
    check(abs(peaks[k] / FULL - k / 120) < 0.02, "fade-in tick %d at %.3f" % (k, peaks[k] / FULL))
check(abs(sox_max(path, 130, 100) * 32768 / FULL - 1) < 0.01, "full level after the fade-in")
check(abs(peaks[270] / FULL - 0.5) < 0.03, "fade-out half way at %.3f" % (peaks[270] / FULL))
check(sox_max(path, 300, 20) == 0, "music heard after its fade-out")
# A fade of 5 ms lasts one tick: full from the first tick on.
path, x = render("short", mem, "--music", 0, "--fade", 5, "--ticks", 10)
check(tick_peaks(x)[1] > FULL * 0.99, "5 ms fade-in is not heard")

if failures:
    sys.exit("%d failures" % len(failures))
print("all sequencer renders measured")
