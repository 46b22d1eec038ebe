# The synthesiser's output measured outside the code under test: note
# frequencies by FFT against equal temperament, silence and sample bounds,
# the default wavetables against a model written here, and the render tool's
# WAV files as sox reads them.
#   render_check.py SORNRENDER WORKDIR XOSHIRO_REF
import math
import os
import re
import subprocess
import sys
import wave

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pitch import peak_frequency  # noqa: E402

tool, work, xoshiro_ref = sys.argv[1], sys.argv[2], sys.argv[3]
os.makedirs(work, exist_ok=True)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def render(name, *args):
    path = os.path.join(work, name)
    subprocess.run([tool, *map(str, args), path], check=True)
    return path


def samples(path):
    with wave.open(path) as w:
        assert w.getnchannels() == 2 and w.getsampwidth() == 2 and w.getframerate() == 44100
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    return data.reshape(-1, 2)


# Frequencies: pitch 57 is A at 440 Hz, 12 pitches an octave. The note table
# rounds to whole hertz, which puts B (pitch 71) about 5 cents flat.
for pitch in (33, 45, 48, 57, 60, 64, 69, 71, 81):
    x = samples(render("p%d.wav" % pitch, "--pitch", pitch, "--ticks", 240))[2000:, 0]
    want = 440.0 * 2 ** ((pitch - 57) / 12)
    cents = 1200 * math.log2(peak_frequency(x) / want)
    check(abs(cents) < 6, "pitch %d is %.2f cents off" % (pitch, cents))

# A sine row at the centre pan: peak 32767 * 3272 / 4096, the same both sides.
x = samples(render("a.wav", "--pitch", 57, "--ticks", 120))
check(np.array_equal(x[:, 0], x[:, 1]), "centred note differs between sides")
check(abs(int(x[1000:, 0].max()) - 26174) <= 2, "sine peak %d" % x[1000:, 0].max())

# Silence: the default instrument 0 renders nothing, nor does a muted mix.
x = samples(render("inst0.wav", "--inst", 0, "--pitch", 60, "--ticks", 60))
check(not x.any(), "default instrument 0 is not silent")

# Sixteen loud square waves overflow the sum: clamped to -32767..32767.
x = samples(render("loud.wav", "--channels", 16, "--wave", 250, "--ticks", 60))
check(x.max() == 32767 and x.min() == -32767, "loud mix spans %d..%d" % (x.min(), x.max()))

# sox reads the tool's WAV as 2 channels of 16-bit at 44100 Hz.
info = subprocess.run(["sox", "--i", os.path.join(work, "a.wav")], capture_output=True,
                      text=True, check=True).stdout
check(re.search(r"Channels\s*:\s*2\b", info) is not None, "sox channels: " + info)
check(re.search(r"Sample Rate\s*:\s*44100\b", info) is not None, "sox rate: " + info)
check(re.search(r"Precision\s*:\s*16-bit", info) is not None, "sox precision: " + info)
check(re.search(r"= %d samples" % (120 * 367), info) is not None, "sox length: " + info)
stat = subprocess.run(["sox", os.path.join(work, "a.wav"), "-n", "remix", "1", "stat"],
                      capture_output=True, text=True, check=True).stderr
peak = float(re.search(r"Maximum amplitude:\s*([-\d.]+)", stat).group(1))
rms = float(re.search(r"RMS\s+amplitude:\s*([-\d.]+)", stat).group(1))
freq = float(re.search(r"Rough\s+frequency:\s*([-\d.]+)", stat).group(1))
check(abs(peak - 26174 / 32768) < 0.001, "sox peak %f" % peak)
check(abs(rms - 26174 / 32768 / math.sqrt(2)) < 0.005, "sox rms %f" % rms)
check(abs(freq - 440) < 5, "sox rough frequency %f" % freq)


# The default wavetables: noise from the process generator, then four blocks
# of 64 rows of 1024 samples.
def model_wavetables():
    out = subprocess.run([sys.executable, xoshiro_ref, "0x12345678", "16384"], check=True,
                         capture_output=True, text=True).stdout.split()
    noise = [int(h, 16) & 0xFFFF for h in out]
    rows = []
    for r in range(64):
        for i in range(1024):
            t = (i + 768) & 1023
            t = (t if t < 512 else 1024 - t) - 256
            x = math.trunc(math.sin(i * 3.141562 * 2 * 0.0009765625) * -32767.0 * (64 - r)
                           + t * 127.99 * r)
            rows.append(int(x / 64))
    for r in range(64):
        k, z = 512 + 8 * r, ((64 - r) ** 2) >> 4
        for i in range(1024):
            j = (i - z) & 1023
            v = j / k if j < k else ((1024 - j) / (1024 - k) if j > k else 1.0)
            rows.append(math.trunc(v * 65535.0 - 32768.0))
    for r in range(64):
        m = r * r * 0.000244140625
        for i in range(1024):
            x = i * 0.0009765625
            y = (1 - m) * x + (m if x >= 0.5 else 0)
            rows.append(math.trunc(y * 65534.0 - 32767.0))
    for r in range(64):
        h = r * 0.0078125 + 0.5
        rows += [-32767 if i * 0.0009765625 <= h else 32767 for i in range(1024)]
    return np.array(noise, dtype=np.uint16).view(np.int16), np.array(rows, dtype=np.int16)


path = os.path.join(work, "wavetables.raw")
subprocess.run([tool, "--dump-wavetables", path], check=True)
ours = np.fromfile(path, dtype="<i2")
noise, rows = model_wavetables()
check(len(ours) == 16384 + 256 * 1024, "wavetable block has %d samples" % len(ours))
check(np.array_equal(ours[:16384], noise), "noise differs")
for b in range(4):
    part = slice(16384 + b * 65536, 16384 + (b + 1) * 65536)
    bad = np.nonzero(ours[part] != rows[b * 65536 : (b + 1) * 65536])[0]
    check(len(bad) == 0, "block %d differs at %s" % (b + 1, bad[:5]))
# Shapes named for the first rows: an inverted sine, a triangle, 513 low pulses.
check(ours[16384 + 256] <= -32700 and ours[16384 + 768] >= 32700, "block 1 row 0 not a sine")
check(ours[16384 + 65536 + 256] == -32768 and ours[16384 + 65536 + 768] == 32767, "block 2 row 0")
check(int((ours[16384 + 3 * 65536 : 16384 + 3 * 65536 + 1024] == -32767).sum()) == 513, "pulse")

sys.exit(1 if failures else 0)
