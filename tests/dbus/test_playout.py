# SPDX-License-Identifier: LGPL-2.1-or-later
"""The README's playout script against the service: the segue happens at the extro, and the
recording holds the programme from A's start to B's end."""

import os
import subprocess
import tempfile
import unittest

from busharness import PrivateBus, make_tone

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "playout.py")


class PlayoutTest(unittest.TestCase):
    def test_segue_with_fade_and_recording(self):
        bus = PrivateBus(os.environ["TAVRENLY_PROGRAM"])
        self.addCleanup(bus.close)
        with tempfile.TemporaryDirectory() as folder:
            first, second, take = (os.path.join(folder, n) for n in ("a.wav", "b.wav", "t.wav"))
            make_tone(first, 3)
            make_tone(second, 2)
            lines = subprocess.run(["/usr/bin/python3", SCRIPT, first, second, take],
                                   env=bus.env, check=True, capture_output=True, text=True,
                                   timeout=50).stdout.splitlines()
            at = {line: i for i, line in reversed(list(enumerate(lines)))}
            # B starts at A's extro, before A's fade has ended it.
            self.assertLess(at["A ExtroReached"], at["B Playing"])
            self.assertLess(at["B Playing"], at["A AudioEndReached"])
            self.assertLess(at["A VolumeChangeStartNotify 1"], at["A VolumeChangeEndNotify 1"])
            self.assertLess(at["B IntroEndReached"], at["B AudioEndReached"])
            self.assertEqual(lines[-1], f"recorded 4.0 s into {take}", lines)
            with open(take, "rb") as f:
                data = f.read()
            size = int.from_bytes(data[data.index(b"data") + 4:][:4], "little")
            # A's 2 s to the extro, then B's 2 s; the segue lands within a 50 ms step.
            self.assertAlmostEqual(size / (22050 * 2), 4.0, delta=0.15)


if __name__ == "__main__":
    unittest.main()
