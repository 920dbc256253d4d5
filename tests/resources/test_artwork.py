#!/usr/bin/env python3
"""Checks that res/app.ico is what the artwork script draws, so the
committed icon and its source cannot drift apart.
"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testkit import SOURCE_DIR, main, read  # noqa: E402


class ArtworkTest(unittest.TestCase):
    def test_committed_icon_is_the_rendered_artwork(self):
        with tempfile.TemporaryDirectory(prefix="artwork-test-") as tmp:
            out = os.path.join(tmp, "app.ico")
            r = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "res/icon/artwork.py"), out],
                               capture_output=True, text=True, timeout=60)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            rendered = read(out)
        committed = read(os.path.join(SOURCE_DIR, "res/app.ico"))
        self.assertGreater(len(rendered), 0)
        self.assertTrue(rendered == committed,
                        "res/app.ico differs from the artwork: run res/icon/make-icon.sh")


if __name__ == "__main__":
    main()
