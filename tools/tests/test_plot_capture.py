"""Tests of plot-capture: refused inputs, the spectrum of known tones, and a
real capture of the emulated sensor.

Environment: PLOT_CAPTURE is the tool, SHAKELOG the built program (only for
EmulatedCaptureTests).  Exits with 77 (skipped) when numpy or matplotlib is
missing, since the tool cannot run at all then.
"""

import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest

SKIPPED = 77
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
HEADER = "time, x, y, z\n"


def run(*arguments, cwd=None):
    return subprocess.run([os.environ["PLOT_CAPTURE"], *arguments], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def png_size(path):
    """(width, height) from the IHDR chunk, or None if not a PNG."""
    with open(path, "rb") as stream:
        head = stream.read(24)
    if head[:8] != PNG_SIGNATURE or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def parse_peaks(text):
    """{"x": [(Hz, g), ...], ...} from the --peaks lines."""
    peaks = {}
    for line in text.splitlines():
        axis, _, rest = line.partition(": ")
        if rest == "no peak":
            peaks[axis] = []
            continue
        fields = rest.replace(",", " ").split()
        peaks[axis] = [(float(fields[i]), float(fields[i + 2])) for i in range(0, len(fields), 4)]
    return peaks


def write_tones(path, rate, rows):
    """The motion the emulated sensor makes, sampled and quantised like a
    capture: x 0.05 g at 7.5 Hz + 0.02 g at 120 Hz, y 0.03 g at 25 Hz,
    z 1 g + 0.01 g at 50 Hz."""
    def count(value):
        return round(value * 256) / 256
    with open(path, "w") as stream:
        stream.write(HEADER)
        for k in range(rows):
            t = k / rate
            x = 0.05 * math.sin(2 * math.pi * 7.5 * t) + 0.02 * math.sin(2 * math.pi * 120 * t)
            y = 0.03 * math.sin(2 * math.pi * 25 * t + 1.0)
            z = 1.0 + 0.01 * math.sin(2 * math.pi * 50 * t + 2.0)
            stream.write("%.5f, %.5f, %.5f, %.5f \n" % (t, count(x), count(y), count(z)))


class PictureChecks(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.dir = self.directory.name

    def tearDown(self):
        self.directory.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def assertPicture(self, path):
        self.assertEqual(png_size(path), (1000, 800))
        self.assertGreater(os.path.getsize(path), 20000)

    def assertEmulatedMotion(self, peaks, low=0.75, high=1.25):
        """Each tone of the emulated motion is among the listed peaks of its
        axis, within a bin (the captures are about a second long) and with
        an amplitude between low and high times the true one."""
        expected = {"x": [(7.5, 0.05), (120.0, 0.02)], "y": [(25.0, 0.03)], "z": [(50.0, 0.01)]}
        for axis, tones in expected.items():
            for frequency, amplitude in tones:
                with self.subTest(axis=axis, frequency=frequency):
                    near = [found for found in peaks[axis] if abs(found[0] - frequency) <= 1.0]
                    self.assertTrue(near, f"no peak near {frequency} Hz in {peaks[axis]}")
                    self.assertGreaterEqual(near[0][1], low * amplitude)
                    self.assertLessEqual(near[0][1], high * amplitude)


class RefusedInputTests(PictureChecks):
    def assertRefused(self, content, status, message):
        capture = self.path("capture.csv")
        if content is not None:
            with open(capture, "w") as stream:
                stream.write(content)
        result = run(capture)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertIn(message, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertFalse(os.path.exists(self.path("capture.png")))

    def test_unusable_files_are_refused_with_the_reason(self):
        row = "0.00000, 0.01172, -0.00391, 1.00391 \n"
        cases = [
            ("missing", None, "cannot read"),
            ("empty", "", "is empty"),
            ("header only", HEADER, "nothing to plot"),
            ("one row", HEADER + row, "single data row"),
            ("wrong header", "t, a, b, c\n" + row + row, ":1: header"),
            ("three fields", HEADER + row + "0.1, 0.2, 0.3\n", ":3: expected 4"),
            ("word", HEADER + row + "0.10000, abc, 0.0, 0.0 \n", ":3: \"abc\" is not a number"),
            ("not finite", HEADER + row + "0.10000, nan, 0.0, 0.0 \n", ":3: \"nan\" is not a finite"),
            ("blank line", HEADER + row + "\n" + row, ":3: expected 4"),
            ("time repeats", HEADER + row + row, ":3: time does not increase"),
            ("binary", "\x89PNG\r\n", "not plain text"),
        ]
        for name, content, message in cases:
            with self.subTest(name):
                self.assertRefused(content, 1, message)

    def test_command_line_mistakes_are_refused(self):
        write_tones(self.path("capture.csv"), 100, 100)
        self.assertEqual(run().returncode, 2)
        self.assertEqual(run("--peaks", "-1", self.path("capture.csv")).returncode, 2)
        # A picture named like the capture must not destroy the capture.
        result = run(self.path("capture.csv"), self.path("capture.csv"))
        self.assertEqual(result.returncode, 2)
        self.assertIn("overwrite", result.stderr)
        self.assertEqual(open(self.path("capture.csv")).readline(), HEADER)

    def test_unwritable_picture_is_reported(self):
        write_tones(self.path("capture.csv"), 100, 100)
        result = run(self.path("capture.csv"), self.path("no/such/folder/out.png"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot write", result.stderr)


class SpectrumTests(PictureChecks):
    def test_known_tones_are_found_and_drawn(self):
        # An even and an odd row count: the single-sided scaling treats the
        # last bin differently for each.
        for rate, rows in ((800, 800), (1000, 1001)):
            with self.subTest(rows=rows):
                write_tones(self.path("tones.csv"), rate, rows)
                result = run("--peaks", "2", "tones.csv", cwd=self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertNotIn("irregular", result.stderr)
                peaks = parse_peaks(result.stdout)
                self.assertEqual([len(peaks[axis]) for axis in "xyz"], [2, 2, 2])
                self.assertEmulatedMotion(peaks)
                self.assertPicture(self.path("tones.png"))

    def test_a_peaks_sidebands_are_not_other_peaks(self):
        # 150 s at 100 Hz, bins 1/150 Hz apart.  y: a 25 Hz tone whose phase
        # wanders slightly, as in a long capture, with sidebands 1/70 of it
        # six bins away; x: the same tone and a real one a third as strong,
        # 1 Hz away.
        with open(self.path("long.csv"), "w") as stream:
            stream.write(HEADER)
            for k in range(15000):
                t = k / 100
                x = 0.03 * math.sin(2 * math.pi * 25 * t) + 0.01 * math.sin(2 * math.pi * 26 * t)
                y = 0.03 * math.sin(2 * math.pi * 25 * t + 0.03 * math.sin(2 * math.pi * 0.04 * t))
                stream.write("%.5f, %.5f, %.5f, 1.00000 \n" % (t, x, y))
        result = run("--peaks", "2", self.path("long.csv"))
        self.assertEqual(result.returncode, 0, result.stderr)
        peaks = parse_peaks(result.stdout)
        cases = [("x", 26.0, True), ("y", 25.04, False), ("y", 24.96, False)]
        for axis, frequency, listed in cases:
            with self.subTest(axis=axis, frequency=frequency):
                self.assertAlmostEqual(peaks[axis][0][0], 25.0, places=2)
                near = [found for found in peaks[axis][1:] if abs(found[0] - frequency) < 0.02]
                self.assertEqual(bool(near), listed, peaks[axis])

    def test_flat_axes_have_no_peak(self):
        with open(self.path("flat.csv"), "w") as stream:
            stream.write(HEADER + "".join("%.5f, 0.0, 0.0, 1.0 \n" % (k / 100) for k in range(50)))
        result = run("--peaks", "1", self.path("flat.csv"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "x: no peak\ny: no peak\nz: no peak\n")
        self.assertPicture(self.path("flat.png"))


class EmulatedCaptureTests(PictureChecks):
    def test_emulated_capture_shows_its_vibration(self):
        capture = subprocess.run([os.environ["SHAKELOG"], "-t", "1", "-f", "800", "-s", "capture.csv"],
                                 cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertEqual(capture.returncode, 0, capture.stdout)
        with open(self.path("capture.csv")) as stream:
            self.assertEqual(len(stream.readlines()), 1 + 800)
        # A capture in real time on a busy machine misses readings now and
        # then, which smears the spectrum: hence four peaks and a wide margin.
        result = run("--peaks", "4", "capture.csv", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEmulatedMotion(parse_peaks(result.stdout), low=0.5, high=1.25)
        self.assertPicture(self.path("capture.png"))


if __name__ == "__main__":
    try:
        import numpy  # noqa: F401
        import matplotlib  # noqa: F401
    except ImportError as missing:
        print(f"skipped: {missing} (needs python3-numpy and python3-matplotlib)")
        sys.exit(SKIPPED)
    unittest.main()
