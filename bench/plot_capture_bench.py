#!/usr/bin/python3
"""Peak memory and rows read per second of plot-capture on long captures.

Usage: bench/plot_capture_bench.py [--old PROGRAM] [--old-limit-gb GB]
                                   [--lengths 10,3600,21600] [--keep DIR]

Synthesises captures of each length at 3200 Hz in shakelog's CSV format
(the emulated sensor's motion and noise, quantised to 1/256 g) with a
record beside them, runs tools/plot-capture on each (--peaks 3, --psd,
--bands, --velocity: everything it computes) and, given --old, an earlier
plot-capture on the same CSV files under an address-space limit (default
8 GB), and prints a table of rows, file size, peak memory (the child's
maximum resident set) and rows per second: rows over the whole run's wall
time, and the reading rate plot-capture reports itself.  An earlier
plot-capture, such as `git show c3c3aca:tools/plot-capture > old`, holds
the whole file in memory and fails on the longer captures.  The captures go to a temporary folder, removed at the end unless
--keep names one; 6 hours take some 2.9 GB of disk.
"""

import argparse
import json
import math
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
PLOT_CAPTURE = os.path.join(HERE, "..", "tools", "plot-capture")
HEADER = "time, x, y, z\n"
COUNTS_PER_G = 256
BLOCK_S = 10


def part_name(base, number):
    stem, extension = os.path.splitext(base)
    return f"{stem}-{number:04d}{extension}"


def quantised(values):
    """Values in g as the sensor gives them: whole counts of 1/256 g."""
    return numpy.round(values * COUNTS_PER_G) / COUNTS_PER_G


def write_rows(stream, first_row, rate, x, y, z):
    times = (first_row + numpy.arange(len(x))) / rate
    stream.write("".join("%.5f, %.5f, %.5f, %.5f \n" % row
                         for row in zip(times.tolist(), x.tolist(), y.tolist(), z.tolist())))


def emulated_motion(rate, generator):
    """The emulated sensor's motion with its noise of about 2 counts:
    x 0.05 g at 7.5 Hz and 0.02 g at 120 Hz, y 0.03 g at 25 Hz, z 1 g and
    0.01 g at 50 Hz."""
    def block(first, count):
        t = (first + numpy.arange(count)) / rate
        noise = generator.normal(0.0, 2.0 / COUNTS_PER_G, (3, count))
        x = 0.05 * numpy.sin(2 * math.pi * 7.5 * t) + 0.02 * numpy.sin(2 * math.pi * 120 * t) + noise[0]
        y = 0.03 * numpy.sin(2 * math.pi * 25 * t + 1.0) + noise[1]
        z = 1.0 + 0.01 * numpy.sin(2 * math.pi * 50 * t + 2.0) + noise[2]
        return quantised(x), quantised(y), quantised(z)
    return block


def write_capture(path, seconds, rate, motion, split_s=None, gaps=(), start_unix_s=None):
    """A capture as shakelog writes it: path, or its parts with split_s, and
    the record path.json.  motion(first_row, count) gives x, y, z; gaps are
    (first_row, last_row) stretches, bridged linearly here as in a file.
    Returns the number of rows."""
    rows = round(seconds * rate)
    rows_per_part = round(split_s * rate) if split_s else rows
    parts = []
    for first in range(0, rows, rows_per_part):
        count = min(rows_per_part, rows - first)
        name = part_name(path, len(parts) + 1) if split_s else path
        parts.append({"file": os.path.basename(name), "first_row": first, "rows": count,
                      "first_time_s": round(first / rate, 5)})
        with open(name, "w") as stream:
            stream.write(HEADER)
            block_rows = BLOCK_S * round(rate)
            for start in range(first, first + count, block_rows):
                size = min(block_rows, first + count - start)
                x, y, z = bridge(motion(start, size), start, gaps)
                write_rows(stream, start, rate, x, y, z)
    write_record(path, rows, rate, seconds, split_s, parts, gaps, start_unix_s)
    return rows


def bridge(axes, first_row, gaps):
    """The rows of each gap replaced by a straight line between the rows
    on either side, as shakelog bridges samples it lost."""
    axes = [values.copy() for values in axes]
    for first, last in gaps:
        begin, end = first - first_row, last - first_row
        if end < 0 or begin >= len(axes[0]) or begin < 1 or end + 1 >= len(axes[0]):
            continue
        for values in axes:
            values[begin:end + 1] = numpy.linspace(values[begin - 1], values[end + 1], end - begin + 3)[1:-1]
    return axes


def write_record(path, rows, rate, seconds, split_s, parts, gaps, start_unix_s):
    command = ["shakelog", "-F", "-t", str(seconds), "-f", str(rate), "-s", os.path.basename(path)]
    if split_s:
        command += ["--split", str(split_s)]
    row0 = None
    if start_unix_s is not None:
        utc = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(start_unix_s)) + ".000000Z"
        row0 = {"utc": utc, "unix_s": start_unix_s, "monotonic_s": 1000.0, "clock_synchronised": True,
                "clock_estimated_error_us": 1200, "clock_maximum_error_us": 45000}
    record = {
        "format": "shakelog-record", "format_version": 1, "program": "shakelog", "version": "0.3",
        "backend": "emulated", "command_line": command,
        "options": {"duration_s": seconds, "rate_hz": rate, "file": os.path.basename(path), "split_s": split_s},
        "sensor": {"data_rate_code": 15, "nominal_rate_hz": 3200.0},
        "row0": row0, "rows_written": rows, "parts": parts, "sensor_rate": [],
        "gaps": [{"first_row": first, "last_row": last, "first_time_s": round(first / rate, 5),
                  "last_time_s": round(last / rate, 5), "samples_lost": round((last - first + 1) * 3200 / rate),
                  "exact": True} for first, last in gaps],
        "gaps_not_listed": 0,
        "end": {"state": "done", "signal": None, "exit_status": 0, "message": "Done"},
    }
    with open(path + ".json", "w") as stream:
        json.dump(record, stream, indent=2)


def run_measured(command, address_limit=None):
    """(exit status, peak resident memory in bytes, wall seconds, stderr)."""
    def limit():
        if address_limit:
            resource.setrlimit(resource.RLIMIT_AS, (address_limit, address_limit))
    started = time.monotonic()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                             preexec_fn=limit)
    errors = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    return child.returncode, usage.ru_maxrss * 1024, time.monotonic() - started, errors


def describe_length(seconds):
    return f"{seconds:g} s" if seconds < 60 else f"{seconds / 3600:g} h"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--old", help="an earlier plot-capture to compare with")
    parser.add_argument("--old-limit-gb", type=float, default=8.0)
    parser.add_argument("--lengths", default="10,3600,21600", help="capture lengths in seconds")
    parser.add_argument("--rate", type=float, default=3200.0)
    parser.add_argument("--keep", help="folder to keep the captures in")
    arguments = parser.parse_args(argv)
    folder = arguments.keep or tempfile.mkdtemp(prefix="plot-capture-bench-")
    os.makedirs(folder, exist_ok=True)
    generator = numpy.random.default_rng(1)
    lines = ["| length | rows | CSV | program | peak memory | rows/s, whole run | rows/s, reading | result |",
             "|---|---|---|---|---|---|---|---|"]
    try:
        for seconds in (float(text) for text in arguments.lengths.split(",")):
            path = os.path.join(folder, f"capture-{seconds:g}s.csv")
            print(f"synthesising {describe_length(seconds)} at {arguments.rate:g} Hz ...", file=sys.stderr)
            rows = write_capture(path, seconds, arguments.rate, emulated_motion(arguments.rate, generator),
                                 start_unix_s=1797321600.0)
            size = os.path.getsize(path)
            runs = [("new", [sys.executable, PLOT_CAPTURE, "--peaks", "3", "--psd", path + ".psd.csv",
                             "--bands", "5-10,10-100,100-1000", "--velocity", path, path + ".png"], None)]
            if arguments.old:
                runs.append(("old", [sys.executable, arguments.old, "--peaks", "3", path, path + ".old.png"],
                             int(arguments.old_limit_gb * 2 ** 30)))
            for name, command, limit in runs:
                print(f"  {name} ...", file=sys.stderr)
                status, memory, wall, errors = run_measured(command, limit)
                result = "ok" if status == 0 else f"exit {status}: {last_line(errors)}"
                whole = f"{rows / wall:,.0f}" if status == 0 else "-"
                lines.append(f"| {describe_length(seconds)} | {rows:,} | {size / 1e6:,.0f} MB | {name} | "
                             f"{memory / 2 ** 20:,.0f} MiB | {whole} | {reading_rate(errors)} | {result} |")
            for name in os.listdir(folder):
                if not arguments.keep and name.startswith(os.path.basename(path)):
                    os.remove(os.path.join(folder, name))
    finally:
        if not arguments.keep:
            for name in os.listdir(folder):
                os.remove(os.path.join(folder, name))
            os.rmdir(folder)
    print("\n".join(lines))


def reading_rate(errors):
    """The rows per second plot-capture says it read, or "-"."""
    for line in errors.splitlines():
        if line.startswith("plot-capture: read ") and line.endswith(" rows/s"):
            return line.rsplit(": ", 1)[1][:-len(" rows/s")]
    return "-"


def last_line(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1][-80:] if lines else "no message"


if __name__ == "__main__":
    main(sys.argv[1:])
