"""End-to-end runs of the sound functions on the sound test ROM: a user
process plays and the workstation reports what it plays."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_test import run  # noqa: E402


class sound_test(unittest.TestCase):
    def test_a_process_sees_note_sfx_and_music(self):
        r = run(self, "sound")
        self.assertEqual(r.rc, 0, r.out)
        lines = r.out.splitlines()
        self.assertEqual(lines[:4], [
            "player 4",
            "types function function function",
            "results 0 0 0",
            "loose true true true",
        ])


class sound_stat_test(unittest.TestCase):
    def test_stat_reports_the_note_a_process_plays(self):
        r = run(self, "sound")
        self.assertEqual(r.rc, 0, r.out)
        self.assertEqual(r.out.splitlines()[4:], [
            "owner true",
            "sounding true",
            "note on true",
            "pitch true",
            "volume true",
            "idle channel true",
            "no music true",
            "root is not the owner true",
            "owner seen by root true",
        ])


if __name__ == "__main__":
    unittest.main()
