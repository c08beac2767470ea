"""How fast recordings go to disk, and how much memory they take.

    MV620_SIM_LIBRARY=build/src/libMV620ACQm-sim.so python3 python/bench/record_bench.py

Three measurements, with four channels at rate 10 on the simulated instrument:

1. The library's own streaming rate: blocks per second its acquisition thread transfers from the
   unpaced simulated instrument while nobody reads them.
2. End to end, per format (CSV, HDF5, .npz): an Acquisition streams into a Recorder, in this
   process, from the unpaced simulated instrument, which is let run at most 14 blocks ahead of
   the reader so that nothing is lost: the blocks per second recorded are what reading,
   assembling and writing sustain together.  Every value written is then checked against the
   identify pattern.
3. Peak memory (the maximum resident set size) of ``mv620 record`` runs of 15 s and of 60 s at
   the simulated instrument's default pace, each a process of its own; every value of each
   recording is then checked.

Targets: CSV 40 blocks/s or more, HDF5 200 blocks/s or more; every peak under 100 MiB, and the
60 s peak within 1.2 times the 15 s one.  ``--quick`` shortens the runs (for a look, not for the
figures).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import numpy as np  # noqa: E402

import mv620  # noqa: E402
from mv620.sim import identify_value  # noqa: E402

RATES = {0: 10, 1: 10, 2: 10, 3: 10}
LEAD = 14  # blocks the instrument may run ahead of the reader: fewer than the ring keeps


def fresh_instrument():
    instrument = mv620.Instrument(sim=True)
    instrument.stop()
    instrument.sim.reset()
    instrument.sim.set_virtual_clock(True)
    instrument.sim.set_rate(0)
    return instrument


def library_rate(seconds: float) -> float:
    instrument = fresh_instrument()
    with instrument.acquire(RATES):
        time.sleep(0.2)
        first, began = instrument.blocks_transferred, time.monotonic()
        time.sleep(seconds)
        blocks, ended = instrument.blocks_transferred, time.monotonic()
    return (blocks - first) / (ended - began)


def recorded_rate(suffix: str, blocks: int, folder: Path) -> float:
    instrument = fresh_instrument()
    instrument.sim.ready_never_from(LEAD)
    path = folder / f"bench{suffix}"
    with instrument.acquire(RATES) as acquisition:
        began = time.monotonic()
        with mv620.Recorder(path, RATES, started=acquisition.started_at) as recorder:
            for chunk in acquisition.stream(blocks=blocks):
                recorder.add(chunk)
                instrument.sim.ready_never_from(min(blocks, chunk.blocks + LEAD))
        elapsed = time.monotonic() - began
    assert not recorder.lost_count, recorder.first_losses[:3]
    check(path, blocks)
    path.unlink()
    return blocks / elapsed


# Runs the command line in a child that, as it exits, writes its own peak resident set size
# (VmHWM: the high-water mark of this program's memory alone; the rusage of a child would also
# count the memory of this process, from which it was forked).
_CHILD = """
import atexit, runpy, sys
def report(path=sys.argv[1]):
    with open("/proc/self/status") as status, open(path, "w") as out:
        out.write(next(l for l in status if l.startswith("VmHWM:")).split()[1])
atexit.register(report)
sys.argv = ["mv620"] + sys.argv[2:]
runpy.run_module("mv620", run_name="__main__")
"""


def peak_memory(suffix: str, seconds: float, folder: Path) -> tuple:
    """The peak resident set size in MiB of one ``mv620 record`` run, and its blocks."""
    output, report = folder / f"memory{suffix}", folder / "peak"
    command = [sys.executable, "-c", _CHILD, str(report), "--sim", "record", "-r", "0-3=10",
               "--duration", str(seconds), "-o", str(output), "--no-progress"]
    environment = {**os.environ, "PYTHONPATH": str(HERE.parent)}
    result = subprocess.run(command, env=environment, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"mv620 record failed: {result.stderr}")
    blocks = int(result.stdout.splitlines()[-1].split()[0])
    check(output, blocks)
    output.unlink()
    return int(report.read_text()) / 1024, blocks


def check(path: Path, blocks: int) -> None:
    """Every value of the recording is the identify pattern's, none lost, and each channel has
    exactly the samples of the blocks recorded."""
    recording = mv620.load(path)
    for channel in RATES:
        samples = recording[channel]
        assert len(samples) == blocks * 8000, (path, channel, len(samples))
        assert recording.valid(channel).all(), (path, channel)
        np.testing.assert_array_equal(samples, identify_value(channel, np.arange(len(samples))))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="short runs, for a look")
    parser.add_argument("--skip-memory", action="store_true", help="only the rates")
    options = parser.parse_args()
    short = options.quick
    with tempfile.TemporaryDirectory(prefix="mv620-bench-") as name:
        folder = Path(name)
        print(f"library streaming alone: {library_rate(1 if short else 3):8.0f} blocks/s")
        for suffix, blocks, target in ((".csv", 100 if short else 400, 40),
                                       (".h5", 300 if short else 2000, 200),
                                       (".npz", 300 if short else 2000, None)):
            rate = recorded_rate(suffix, blocks, folder)
            goal = f"(target {target} or more)" if target else ""
            print(f"recording to {suffix:<4} {rate:8.0f} blocks/s over {blocks} blocks {goal}")
        if options.skip_memory:
            return 0
        durations = (3, 6) if short else (15, 60)
        for suffix in (".csv", ".h5", ".npz"):
            peaks = [peak_memory(suffix, seconds, folder) for seconds in durations]
            (low, low_blocks), (high, high_blocks) = peaks
            print(f"peak memory {suffix:<4} {durations[0]} s ({low_blocks} blocks): "
                  f"{low:6.1f} MiB; {durations[1]} s ({high_blocks} blocks): {high:6.1f} MiB; "
                  f"ratio {high / low:.2f} (targets: under 100 MiB, ratio 1.2 or less)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
