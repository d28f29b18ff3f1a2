"""Tests of plot-capture: refused inputs, the spectrum of known tones, the
PSD and levels of synthesised captures, split captures and their record, and
a real capture of the emulated sensor.

Environment: PLOT_CAPTURE is the tool, SHAKELOG the built program (only for
EmulatedCaptureTests).  Exits with 77 (skipped) when numpy or matplotlib is
missing, since the tool cannot run at all then.
"""

import json
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
        if axis not in ("x", "y", "z"):
            continue
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


def write_synthesised(path, rate, seconds, axes, split_s=None, gaps=(), bridged=None):
    """A capture as shakelog's FIFO mode writes it: path, or its parts
    path-0001... with split_s, and the record path.json.  axes(t) gives x, y
    and z at times t (numpy arrays); gaps are (first_row, last_row) listed in
    the record, whose rows hold bridged(t) instead where it is given."""
    import numpy
    rows = round(rate * seconds)
    t = numpy.arange(rows) / rate
    x, y, z = axes(t)
    for first, last in gaps:
        if bridged is not None:
            x[first:last + 1], y[first:last + 1], z[first:last + 1] = bridged(t[first:last + 1])
    per_part = round(rate * split_s) if split_s else rows
    stem, extension = os.path.splitext(path)
    parts = []
    for number, first in enumerate(range(0, rows, per_part), start=1):
        name = f"{stem}-{number:04d}{extension}" if split_s else path
        end = min(first + per_part, rows)
        with open(name, "w") as stream:
            stream.write(HEADER + "".join("%.5f, %.5f, %.5f, %.5f \n" % row for row in zip(
                t[first:end].tolist(), x[first:end].tolist(), y[first:end].tolist(), z[first:end].tolist())))
        parts.append({"file": os.path.basename(name), "first_row": first, "rows": end - first,
                      "first_time_s": first / rate})
    record = {
        "format": "shakelog-record", "format_version": 1, "program": "shakelog", "version": "0.3",
        "options": {"duration_s": seconds, "rate_hz": rate, "file": os.path.basename(path), "split_s": split_s},
        "row0": {"utc": "2026-12-10T06:00:00.000000Z", "unix_s": 1796882400.0, "clock_synchronised": True},
        "rows_written": rows, "parts": parts,
        "gaps": [{"first_row": first, "last_row": last, "first_time_s": first / rate, "last_time_s": last / rate,
                  "samples_lost": 2 * (last - first + 1), "exact": True} for first, last in gaps],
        "gaps_not_listed": 0, "end": {"state": "done", "signal": None, "exit_status": 0, "message": "Done"},
    }
    with open(path + ".json", "w") as stream:
        json.dump(record, stream)
    return x, y, z


def read_psd(path):
    """Frequencies and the four PSD columns of a --psd file."""
    import numpy
    with open(path) as stream:
        header = stream.readline()
    table = numpy.loadtxt(path, delimiter=",", skiprows=1)
    return header, table[:, 0], table[:, 1:]


class PictureChecks(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.dir = self.directory.name

    def tearDown(self):
        self.directory.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def assertPicture(self, path, size=(1000, 800)):
        self.assertEqual(png_size(path), size)
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
        cases = [
            (["--peaks", "-1"], "--peaks"),
            (["--bands", "10"], "\"10\" is not a band"),
            (["--bands", "10-100,100-50"], "\"100-50\" is not a band"),
            (["--resolution", "0"], "above 0"),
            (["--velocity-band", "0-100"], "starts at 0 Hz"),
            (["--psd", self.path("capture.csv")], "PSD file would overwrite"),
            (["--psd", self.path("capture.png")], "PSD file would overwrite"),
        ]
        for options, message in cases:
            with self.subTest(options):
                result = run(*options, self.path("capture.csv"))
                self.assertEqual(result.returncode, 2)
                self.assertIn(message, result.stderr)
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


def printed_levels(text):
    """{("acceleration 10-100 Hz", "x"): mg, ("velocity 10-1000 Hz", "x"): mm/s, ...}"""
    levels = {}
    for line in text.splitlines():
        what, _, rest = line.partition(": ")
        if what.startswith(("acceleration ", "velocity ")):
            for field in rest.split(", "):
                axis, value, _ = field.split()
                levels[(what, axis)] = float(value)
    return levels


class LevelTests(PictureChecks):
    def test_psd_bands_and_velocity_match_the_known_content(self):
        # 320 s at 2000 Hz, long enough for the long capture's picture: x a
        # tone, y white noise, z gravity and two tones.
        import numpy
        rate, seconds, sigma = 2000, 320, 0.02
        noise = numpy.random.default_rng(3).normal(0.0, sigma, rate * seconds)

        def axes(t):
            z = 1.0 + 0.02 * numpy.sin(2 * math.pi * 300 * t) + 0.01 * numpy.sin(2 * math.pi * 40 * t + 1.0)
            return 0.05 * numpy.sin(2 * math.pi * 80 * t), noise.copy(), z
        written = write_synthesised(self.path("run.csv"), rate, seconds, axes)
        result = run("--psd", "psd.csv", "--bands", "10-100,100-200,200-400", "--velocity", "--peaks", "2",
                     "run.csv", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertPicture(self.path("run.png"), (1000, 1400))

        header, frequencies, psd = read_psd(self.path("psd.csv"))
        self.assertEqual(header, "freq,psd_x,psd_y,psd_z,psd_xyz\n")
        self.assertAlmostEqual(frequencies[1], 0.5, places=6)
        numpy.testing.assert_allclose(psd[:, 3], psd[:, :3].sum(axis=1), rtol=1e-3)
        resolution = frequencies[1] - frequencies[0]
        for index, axis in enumerate("xyz"):
            with self.subTest("PSD integrates to the variance", axis=axis):
                known = numpy.var(numpy.round(written[index], 5))
                self.assertAlmostEqual(psd[:, index].sum() * resolution / known, 1.0, delta=0.02)

        def velocity(amplitude, frequency):
            return 1000 * amplitude / math.sqrt(2) * 9.80665 / (2 * math.pi * frequency)
        # White noise: sigma² spread evenly up to half the rate, through the
        # velocity's 1/(2 pi f)² from 10 to 1000 Hz.
        noise_density = sigma ** 2 / (rate / 2)
        noise_velocity = 1000 * math.sqrt(noise_density * (9.80665 / (2 * math.pi)) ** 2 * (1 / 10 - 1 / 1000))
        expected = [
            ("acceleration 10-100 Hz", "x", 1000 * 0.05 / math.sqrt(2)),
            ("acceleration 10-100 Hz", "z", 1000 * 0.01 / math.sqrt(2)),
            ("acceleration 100-200 Hz", "y", 1000 * math.sqrt(noise_density * 100)),
            ("acceleration 200-400 Hz", "z", 1000 * 0.02 / math.sqrt(2)),
            ("velocity 10-1000 Hz", "x", velocity(0.05, 80)),
            ("velocity 10-1000 Hz", "y", noise_velocity),
            ("velocity 10-1000 Hz", "z", math.hypot(velocity(0.02, 300), velocity(0.01, 40))),
        ]
        levels = printed_levels(result.stdout)
        for what, axis, level in expected:
            with self.subTest(what, axis=axis):
                self.assertAlmostEqual(levels[(what, axis)] / level, 1.0, delta=0.02)
        # Peaks of a long capture come from the spectrum averaged over the run.
        peaks = parse_peaks(result.stdout)
        for axis, frequency, amplitude in (("x", 80, 0.05), ("z", 300, 0.02), ("z", 40, 0.01)):
            with self.subTest("peak", axis=axis, frequency=frequency):
                near = [found for found in peaks[axis] if abs(found[0] - frequency) < 0.05]
                self.assertTrue(near, peaks[axis])
                self.assertAlmostEqual(near[0][1] / amplitude, 1.0, delta=0.02)


class RecordTests(PictureChecks):
    RATE = 1000

    def motion(self, t):
        import numpy
        noise = numpy.random.default_rng(5).normal(0.0, 0.01, (3, len(t)))
        return (0.05 * numpy.sin(2 * math.pi * 30 * t) + noise[0], 0.02 * numpy.sin(2 * math.pi * 75 * t) + noise[1],
                1.0 + noise[2])

    def folder(self, name):
        os.mkdir(self.path(name))
        return self.path(name)

    def test_a_split_capture_reads_as_the_unsplit_one(self):
        import numpy
        write_synthesised(os.path.join(self.folder("whole"), "run.csv"), self.RATE, 60, self.motion)
        result = run("--psd", "psd.csv", "run.csv", cwd=self.path("whole"))
        self.assertEqual(result.returncode, 0, result.stderr)
        _, frequencies, whole = read_psd(self.path("whole/psd.csv"))
        # Parts of 25, 25 and 10 s; the capture is found from any of them,
        # from its record and from the name given to shakelog.
        write_synthesised(os.path.join(self.folder("split"), "run.csv"), self.RATE, 60, self.motion, split_s=25)
        for name in ("run-0001.csv", "run-0003.csv", "run.csv.json", "run.csv"):
            with self.subTest(name):
                result = run("--psd", "psd.csv", name, cwd=self.path("split"))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("read 60,000 rows (60.0 s at 1000.0 Hz)", result.stderr)
                self.assertPicture(self.path("split/run.png"))
                _, split_frequencies, split = read_psd(self.path("split/psd.csv"))
                numpy.testing.assert_array_equal(split_frequencies, frequencies)
                numpy.testing.assert_allclose(split, whole, rtol=1e-4)
                os.remove(self.path("split/run.png"))

    def orange_columns(self, path):
        """Picture columns holding the colour of a marked gap."""
        import numpy
        from matplotlib import image
        pixels = (image.imread(path)[:, :, :3] * 255).astype(int)
        marked = numpy.all(numpy.abs(pixels - [255, 178, 110]) <= 8, axis=2)
        return set(numpy.nonzero(marked.any(axis=0))[0])

    def test_a_gap_is_marked_counted_and_left_out(self):
        # One second of rows halfway through is listed as bridged, and holds
        # a strong 200 Hz tone that the capture has nowhere else: none of it
        # may reach the levels.  The same rows without the record's gap do.
        import numpy
        gap = (30000, 30999)

        def bridged(t):
            return 0.5 * numpy.sin(2 * math.pi * 200 * t), 0.0 * t, 1.0 + 0.0 * t
        outcomes = {}
        for listed in (True, False):
            folder = self.folder(f"listed-{listed}")
            write_synthesised(os.path.join(folder, "run.csv"), self.RATE, 60, self.motion,
                              gaps=[gap], bridged=bridged)
            if not listed:
                with open(os.path.join(folder, "run.csv.json")) as stream:
                    record = json.load(stream)
                record["gaps"] = []
                with open(os.path.join(folder, "run.csv.json"), "w") as stream:
                    json.dump(record, stream)
            result = run("--bands", "150-250", "run.csv", cwd=folder)
            self.assertEqual(result.returncode, 0, result.stderr)
            outcomes[listed] = (result, printed_levels(result.stdout)[("acceleration 150-250 Hz", "x")],
                                self.orange_columns(os.path.join(folder, "run.png")))
        result, level, columns = outcomes[True]
        self.assertIn("1 gap in the record: 1,000 rows bridged over 2,000 lost samples", result.stderr)
        # mg: the noise alone, 0.01 g spread evenly up to 500 Hz
        self.assertAlmostEqual(level, 1000 * math.sqrt(0.01 ** 2 / 500 * 100), delta=0.2)
        self.assertTrue(columns & set(range(1000 // 3, 2 * 1000 // 3)), "no marked gap in the picture's middle")
        result, level, columns = outcomes[False]
        self.assertNotIn("gap", result.stderr)
        self.assertGreater(level, 30.0)  # 0.5 g, 354 mg RMS, averaged over 1 s of 60: 46 mg
        self.assertEqual(columns, set())

    def test_faulty_records_and_parts_are_reported(self):
        def edit_record(folder, change):
            with open(os.path.join(folder, "run.csv.json")) as stream:
                record = json.load(stream)
            change(record)
            with open(os.path.join(folder, "run.csv.json"), "w") as stream:
                json.dump(record, stream)

        def replace(folder, name, text):
            with open(os.path.join(folder, name), "w") as stream:
                stream.write(text)

        def copy(folder, source, target):
            with open(os.path.join(folder, source)) as stream:
                replace(folder, target, stream.read())
        cases = [
            ("not JSON", lambda folder: replace(folder, "run.csv.json", "{"), "run-0001.csv",
             "run.csv.json: not a shakelog record"),
            ("newer record", lambda folder: edit_record(folder, lambda record: record.update(format_version=2)),
             "run-0001.csv", "record format version 2"),
            ("missing part", lambda folder: os.remove(os.path.join(folder, "run-0002.csv")), "run-0001.csv",
             "cannot read"),
            ("part out of order", lambda folder: copy(folder, "run-0001.csv", "run-0003.csv"), "run-0001.csv",
             "run-0003.csv:2: time does not increase"),
            ("stray part", lambda folder: copy(folder, "run-0001.csv", "run-0009.csv"), "run-0009.csv",
             "is not among the parts"),
        ]
        for name, spoil, given, message in cases:
            with self.subTest(name):
                folder = self.folder(name)
                write_synthesised(os.path.join(folder, "run.csv"), 100, 3, self.motion, split_s=1)
                spoil(folder)
                result = run(given, cwd=folder)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(folder, "run.png")))

    def test_a_cut_off_last_line_is_left_out(self):
        folder = self.folder("cut")
        write_synthesised(os.path.join(folder, "run.csv"), 100, 3, self.motion, split_s=1)
        with open(os.path.join(folder, "run-0003.csv"), "a") as stream:
            stream.write("3.00000, 0.01")
        result = run("run-0001.csv", cwd=folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("run-0003.csv:102: the last line has no line end", result.stderr)
        self.assertIn("read 300 rows", result.stderr)


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
