#!/usr/bin/python3
"""The pictures of the README's "Looking at a capture": a short emulated
capture and a long synthesised one, drawn by tools/plot-capture.

Usage: bench/plot_capture_examples.py SHAKELOG DOCS_FOLDER

SHAKELOG is a shakelog built on the emulated sensor (build/shakelog/shakelog
of ./build.sh test).  Writes DOCS_FOLDER/capture-example.png (one second at
800 Hz) and DOCS_FOLDER/capture-long-example.png: six hours at 1000 Hz in
hourly parts, a machine that starts, runs with growing imbalance, changes
speed, takes a knock and stops, with two stretches of lost samples.
"""

import math
import os
import subprocess
import sys
import tempfile

import numpy

from plot_capture_bench import PLOT_CAPTURE, quantised, write_capture

RATE = 1000
HOURS = 6
START_UNIX_S = 1796882400.0  # 2026-12-10 06:00 UTC


def shaft_hz(t):
    """Speed over the run, in revolutions per second, at times t in hours:
    off, a five-minute run-up, 24.75 Hz, 29.5 Hz from 2.5 to 3.2 h, then a
    three-minute run-down at 5.5 h."""
    up = numpy.clip((t - 0.5) / (5 / 60), 0.0, 1.0)
    down = numpy.clip(1.0 - (t - 5.5) / (3 / 60), 0.0, 1.0)
    fast = numpy.clip((t - 2.5) * 20, 0.0, 1.0) * numpy.clip((3.2 - t) * 20, 0.0, 1.0)
    return (24.75 + 4.75 * fast) * up * down


class Machine:
    """x, y, z of the sensor on the machine's bearing housing, block by block."""

    def __init__(self):
        self.phase = 0.0
        self.generator = numpy.random.default_rng(7)

    def resonance(self, count, running):
        """Noise through the housing's resonance near 180 Hz."""
        noise = self.generator.normal(0.0, 1.0, count)
        spectrum = numpy.fft.rfft(noise)
        frequencies = numpy.fft.rfftfreq(count, 1.0 / RATE)
        spectrum /= 1.0 + ((frequencies - 180.0) / 4.0) ** 2
        return numpy.fft.irfft(spectrum, count) * 0.2 * running

    def __call__(self, first, count):
        t = (first + numpy.arange(count)) / RATE
        hours = t / 3600
        speed = shaft_hz(hours)
        phase = self.phase + 2 * math.pi * numpy.cumsum(speed) / RATE
        self.phase = phase[-1]
        running = numpy.clip(speed / 24.75, 0.0, 1.0)
        imbalance = (0.02 + 0.004 * numpy.clip(hours - 0.5, 0.0, None)) * running ** 2
        knock = 0.6 * numpy.exp(-numpy.clip(t - 4.2 * 3600, 0.0, None) / 0.05) * (t >= 4.2 * 3600)
        knock *= numpy.sin(2 * math.pi * 180 * t)
        noise = self.generator.normal(0.0, 1.5 / 256, (3, count))
        bearing = 0.004 * running * numpy.sin(11.3 * phase)
        x = imbalance * numpy.sin(phase) + 0.3 * imbalance * numpy.sin(2 * phase) + self.resonance(count, running)
        y = imbalance * numpy.cos(phase) + bearing + knock
        z = 1.0 + 0.4 * imbalance * numpy.sin(phase + 0.5) + 0.5 * bearing + 0.3 * knock
        return quantised(x + noise[0]), quantised(y + noise[1]), quantised(z + noise[2])


def run(command, folder):
    result = subprocess.run(command, cwd=folder, capture_output=True, text=True)
    sys.stderr.write(result.stderr)
    if result.returncode != 0:
        sys.exit(f"{command[0]} ended with status {result.returncode}")
    return result.stdout


def main(shakelog, docs):
    shakelog, docs = os.path.abspath(shakelog), os.path.abspath(docs)
    with tempfile.TemporaryDirectory() as folder:
        run([shakelog, "-t", "1", "-f", "800", "-s", "capture.csv"], folder)
        print(run([sys.executable, PLOT_CAPTURE, "--peaks", "2", "capture.csv",
                   os.path.join(docs, "capture-example.png")], folder), end="")
        gaps = [(round(1.7 * 3600 * RATE), round(1.7 * 3600 * RATE) + 11),
                (round(4.7 * 3600 * RATE), round(4.7 * 3600 * RATE) + 39)]
        write_capture(os.path.join(folder, "run.csv"), HOURS * 3600, RATE, Machine(), split_s=3600, gaps=gaps,
                      start_unix_s=START_UNIX_S)
        print(run([sys.executable, PLOT_CAPTURE, "--peaks", "3", "--bands", "10-100,100-500", "--velocity",
                   "--psd", "run-psd.csv", "run-0001.csv", os.path.join(docs, "capture-long-example.png")],
                  folder), end="")
        with open(os.path.join(folder, "run-psd.csv")) as stream:
            print("".join(stream.readlines()[:4]), end="")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    main(sys.argv[1], sys.argv[2])
