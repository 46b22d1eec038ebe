"""The workstation with its host layer: a real window under Xvfb (its
screenshot against the picture process 3 painted, xdotool input reaching
process 3 as event texts), headless runs with the dummy drivers, and the
audio device through SDL's disk driver. Run by xvfb-run for the window cases."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pitch import peak_frequency  # noqa: E402

KAVELUND = os.environ["KVD_KAVELUND"]
ROMS = os.environ["KVD_E2E_ROMS"]
SAMPLE_ROM = os.environ.get("KVD_SAMPLE_ROM", "")
# The sanitizer build starts and ends several times slower: longer waits.
SANITIZED = os.environ.get("KVD_SANITIZED") == "1"
SLOW = 5 if SANITIZED else 1


class workstation:
    """One run of the program from a fresh folder; its output lines are
    collected as they come."""

    def __init__(self, case, rom_path, args=(), env=None):
        self.tmp = tempfile.mkdtemp(prefix="kvd_host_")
        case.addCleanup(shutil.rmtree, self.tmp, True)
        os.mkdir(os.path.join(self.tmp, "bin"))
        os.mkdir(os.path.join(self.tmp, "home"))
        exe = os.path.join(self.tmp, "bin", "kavelund")
        shutil.copy(KAVELUND, exe)
        shutil.copy(rom_path, os.path.join(self.tmp, "bin", "sysrom.dat"))
        self.appdata = os.path.join(self.tmp, "appdata")
        e = dict(os.environ, HOME=os.path.join(self.tmp, "home"), SDL_AUDIODRIVER="dummy")
        e.update(env or {})
        self.err = open(os.path.join(self.tmp, "stderr.txt"), "w+b")
        case.addCleanup(self.err.close)
        self.proc = subprocess.Popen([exe, "-home", self.appdata] + list(args), env=e, cwd=self.tmp,
                                     stdout=subprocess.PIPE, stderr=self.err)
        case.addCleanup(self.proc.stdout.close)
        case.addCleanup(self.stop)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.decode("latin-1").rstrip("\n"))

    def wait_for(self, pred, timeout=30):
        end = time.monotonic() + timeout * SLOW
        while time.monotonic() < end:
            if pred():
                return True
            if self.proc.poll() is not None:
                time.sleep(0.2)
                return pred()
            time.sleep(0.05)
        return False

    def wait_line(self, text, timeout=30):
        return self.wait_for(lambda: text in self.lines, timeout)

    def log(self):
        try:
            with open(os.path.join(self.appdata, "log.txt"), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20 * SLOW)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        return self.proc.returncode

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode("latin-1")


def painted_colour(x, y):
    """The colour process 3 of the window ROM paints at picture pixel (x, y)."""
    i = (y // 18) % 16
    if 40 <= y < 100 and 100 <= x < 180:
        i = 3
    return (i * 16, 255 - i * 16, i * 5)


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True, timeout=20 * SLOW)


def screenshot(w, win, until):
    """Screenshots of the window until one satisfies until(image); the last."""
    shot = os.path.join(w.tmp, "shot.png")
    im = None

    def taken():
        nonlocal im
        subprocess.run(["import", "-window", win, shot], check=True, timeout=30 * SLOW)
        im = Image.open(shot).convert("RGB")
        im.load()
        return until(im)

    w.wait_for(taken)
    return im


def find_window():
    out = subprocess.run(["xdotool", "search", "--sync", "--name", "^Kavelund$"],
                         capture_output=True, text=True, timeout=20 * SLOW)
    return out.stdout.split()[0]


def wrong_pixels(im):
    px = im.load()
    return [(x, y) for y in range(270) for x in range(480)
            if px[2 * x, 2 * y] != painted_colour(x, y) or px[2 * x + 1, 2 * y + 1] != painted_colour(x, y)]


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs a display (run under xvfb-run)")
class window_test(unittest.TestCase):
    def start_window_rom(self):
        w = workstation(self, os.path.join(ROMS, "window.dat"))
        self.assertTrue(w.wait_line("painted"), w.lines)
        # The desk replaces the boot screen once the boot clock passes 2200 ms.
        self.assertTrue(w.wait_for(lambda: "@@ finished_boot_sequence" in w.log()), w.log())
        return w, find_window()

    def test_screenshot_matches_the_painted_frame_and_input_reaches_process_3(self):
        w, win = self.start_window_rom()
        # The painted frame reaches the window a few frames after the boot.
        im = screenshot(w, win, lambda im: im.size == (960, 540) and not wrong_pixels(im))
        self.assertEqual(im.size, (960, 540))
        wrong = wrong_pixels(im)
        self.assertEqual(wrong[:5], [], "%d pixels differ" % len(wrong))

        # Mouse: window position (201, 101) is picture pixel (100, 50); a click
        # sets button bit 0. A key gives keydown and keyup with SDL's scancode.
        xdotool("mousemove", "--window", win, 201, 101)
        self.assertTrue(w.wait_line("event mouse mx=100,my=50,mb=0"), w.lines)
        xdotool("mousedown", 1)
        self.assertTrue(w.wait_line("event mouse mx=100,my=50,mb=1"), w.lines)
        xdotool("mouseup", 1)
        xdotool("click", 4)  # wheel up
        xdotool("key", "b")
        for line in ["event keydown scancode=5", "event keyup scancode=5", "event textinput text=b",
                     "event mousewheel wheel_x=0,wheel_y=1"]:
            self.assertTrue(w.wait_line(line), (line, w.lines))
        self.assertIsNone(w.proc.poll())
        self.assertEqual(w.stop(), 0, w.stderr()[-2000:] + w.log()[-2000:])

    def test_window_resizes_keep_the_memory_flat(self):
        w, win = self.start_window_rom()
        pid = w.proc.pid

        def resident_kib():
            with open("/proc/%d/status" % pid) as f:
                return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

        def resize(i):
            # A new size each time (the same few sizes reuse their blocks); the
            # mouse then moves between a quarter and three quarters of the
            # width, and its event shows a frame after the resize. Neither
            # point is the centre, where the pointer starts: a move there
            # would map to the pixel already reported and send no event.
            wide, high = 500 + (i * 37) % 700, 300 + (i * 53) % 400
            xdotool("windowsize", "--sync", win, wide, high)
            seen = sum(l.startswith("event mouse") for l in w.lines)
            xdotool("mousemove", "--window", win, wide // 4 + (i % 2) * wide // 2, high // 2)
            self.assertTrue(w.wait_for(lambda: sum(l.startswith("event mouse") for l in w.lines) > seen),
                            w.lines[-5:])

        before = resident_kib()
        for i in range(200):
            resize(i)
        grown = resident_kib() - before
        # The heap kept what each new size freed: 200 resizes grew it by about
        # 24 MiB. The
        # sanitizers' allocator keeps its own quarantine.
        if not SANITIZED:
            self.assertLess(grown, 12 * 1024)
        self.assertEqual(w.stop(), 0, w.stderr()[-2000:])


class headless_test(unittest.TestCase):
    def test_headless_run_with_dummy_drivers(self):
        w = workstation(self, os.path.join(ROMS, "window.dat"), args=["-x"],
                        env={"SDL_VIDEODRIVER": "dummy", "SDL_AUDIODRIVER": "dummy"})
        self.assertTrue(w.wait_line("painted"), w.lines)
        self.assertEqual(w.stop(), 0)
        self.assertNotIn("creating SDL window", w.log())

    def test_disk_audio_driver_plays_the_silent_mix(self):
        raw = tempfile.mktemp(prefix="kvd_disk_", suffix=".raw")
        self.addCleanup(lambda: os.path.exists(raw) and os.remove(raw))
        w = workstation(self, os.path.join(ROMS, "window.dat"), args=["-x"],
                        env={"SDL_VIDEODRIVER": "dummy", "SDL_AUDIODRIVER": "disk",
                             "SDL_DISKAUDIOFILE": raw})
        self.assertTrue(w.wait_line("painted"), w.lines)
        self.assertTrue(w.wait_for(lambda: os.path.exists(raw) and os.path.getsize(raw) >= 8192))
        self.assertEqual(w.stop(), 0)
        with open(raw, "rb") as f:
            data = f.read()
        # Whole 512-frame blocks of 16-bit stereo, silent while nothing plays.
        self.assertEqual(len(data) % 2048, 0)
        self.assertEqual(data.count(0), len(data))


def font_pictures(path):
    """The glyphs of a font's text pictures (gfx/fonts/*.txt) by code: rows of
    '#' and '.', read here on their own, apart from the packer."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    glyphs = {}
    for i, line in enumerate(lines):
        words = line.split()
        if words[:1] == ["glyphs"]:
            first, height = int(words[1]), int(words[3])
            rows = [lines[i + 1 + r].split() for r in range(height)]
            for k in range(len(rows[0])):
                glyphs[first + k] = [row[k] for row in rows]
    return glyphs


def render_text(glyphs, text, x, y):
    """The picture pixels a print of text at (x, y) sets in the 4 x 6 cells
    of the font for codes below 128."""
    ink = set()
    for n, ch in enumerate(text):
        for r, row in enumerate(glyphs.get(ord(ch), [])):
            ink.update((x + 4 * n + c, y + r) for c, bit in enumerate(row) if bit == "#")
    return ink


@unittest.skipUnless(os.environ.get("DISPLAY") and SAMPLE_ROM, "needs a display and the sample ROM")
class sample_rom_test(unittest.TestCase):
    TEXT = (7, 0xF4E4C0)   # the desk's text colour and its RGB
    PAPER = (1, 0x24283B)  # cls(1) behind it

    def text_wrong(self, shot, text, x, y):
        """The picture pixels where the window (twice enlarged) differs from
        text printed at picture (x, y) as the font's pictures draw it: ink in
        the text colour, paper around it."""
        ink = render_text(self.glyphs, text, x, y)
        px = shot.load()
        rgb = lambda v: ((v >> 16) & 255, (v >> 8) & 255, v & 255)
        wrong = []
        for py in range(y, y + 6):
            for qx in range(x, x + 4 * len(text)):
                want = rgb(self.TEXT[1] if (qx, py) in ink else self.PAPER[1])
                if px[2 * qx, 2 * py] != want or px[2 * qx + 1, 2 * py + 1] != want:
                    wrong.append((qx, py))
        return wrong

    def assert_text(self, shot, text, x, y):
        self.assertTrue(render_text(self.glyphs, text, x, y), text)
        wrong = self.text_wrong(shot, text, x, y)
        self.assertEqual(wrong[:5], [], "%r: %d pixels differ" % (text, len(wrong)))

    def test_sample_userland_shows_its_text_and_plays_a_key(self):
        self.glyphs = font_pictures(os.path.join(os.environ["KVD_SOURCE_DIR"], "gfx/fonts/lil.txt"))
        raw = os.path.join(tempfile.mkdtemp(prefix="kvd_sample_"), "out.raw")
        self.addCleanup(shutil.rmtree, os.path.dirname(raw), True)
        w = workstation(self, SAMPLE_ROM, env={"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": raw})
        self.assertTrue(w.wait_for(lambda: "@@ finished_boot_sequence" in w.log()), w.log())
        win = find_window()
        text_shown = lambda im: not self.text_wrong(im, "kavelund sample userland", 176, 24)
        before = screenshot(w, win, text_shown)
        self.assertEqual(before.size, (960, 540))
        self.assertGreater(len(before.getcolors(1 << 16) or []), 4)  # shapes, text, sprite
        self.assert_text(before, "kavelund sample userland", 176, 24)
        self.assert_text(before, "last key: -  notes: 0", 176, 36)
        silent_bytes = os.path.getsize(raw)

        # Key "a" (scancode 4) plays pitch 52, E above middle C, and shows.
        xdotool("mousemove", "--window", win, 400, 300)
        xdotool("key", "a")
        after_key = silent_bytes + 44100 * 4  # a second of sound after the key
        self.assertTrue(w.wait_for(lambda: os.path.getsize(raw) >= after_key), os.path.getsize(raw))
        after = screenshot(w, win, lambda im: not self.text_wrong(im, "last key: 4  notes: 1", 176, 36))
        self.assert_text(after, "last key: 4  notes: 1", 176, 36)
        self.assertNotEqual(before.tobytes(), after.tobytes())  # the pointer moved too
        self.assertIsNone(w.proc.poll(), w.lines)
        self.assertEqual(w.stop(), 0, w.stderr()[-2000:] + w.log()[-2000:])

        with open(raw, "rb") as f:
            data = np.frombuffer(f.read(), dtype="<i2").reshape(-1, 2)
        quiet = silent_bytes // 4
        self.assertFalse(data[:quiet].any(), "sound before the key")
        loud = np.flatnonzero(np.abs(data[quiet:, 0]) > 1000)
        self.assertTrue(len(loud), "the key gave no sound")
        onset = quiet + int(loud[0])
        x = data[onset + 441:onset + 441 + 16384, 0]
        self.assertEqual(len(x), 16384)
        want = 440.0 * 2 ** ((52 - 57) / 12)
        cents = 1200 * np.log2(peak_frequency(x) / want)
        self.assertLess(abs(cents), 6, "%.2f cents from %.2f Hz" % (cents, want))


if __name__ == "__main__":
    unittest.main()
