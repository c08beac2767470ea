"""Recordings written as they are acquired: the files, the shared time axis, and every ending."""

import resource
import signal
import subprocess
import sys
import time

import h5py
import numpy as np
import pytest

import mv620
from mv620 import Chunk, Loss, LossReason
from mv620._schedule import DIVIDER, Schedule
from mv620.sim import identify_value

from conftest import PACKAGE_ROOT, interruptible

FOUR = {0: 10, 1: 5, 2: 2, 3: 1}
BOUNDED = ["--sim", "--sim-rate", "0", "--sim-blocks", "3"]


def ending_line(result_stderr):
    """The one line that says how a recording ended (after the line announcing it)."""
    assert "Traceback" not in result_stderr
    lines = [l for l in result_stderr.strip().splitlines() if l.startswith("mv620: ")]
    assert len(lines) == 1, result_stderr
    assert result_stderr.strip().splitlines()[-1] == lines[0]
    return lines[0]


def check_recording(path, rates, blocks=None):
    """The file reads back with every channel's samples in the identify pattern (lost ones
    aside); returns the recording."""
    recording = mv620.load(path)
    assert recording.channels == sorted(rates)
    schedule = Schedule(rates)
    for channel in rates:
        samples, valid = recording[channel], recording.valid(channel)
        expected = identify_value(channel, np.arange(len(samples)))
        np.testing.assert_array_equal(samples[valid], expected[valid])
        if blocks is not None:
            assert len(samples) == schedule.samples_before(channel, blocks)
            assert valid.all()
    return recording


def no_temporary_left(folder):
    assert not [p.name for p in folder.iterdir() if p.name.endswith(".part")]


# ---- the files ----------------------------------------------------------------------------------

def test_csv_has_a_row_per_scan_pass_with_each_sample_in_its_pass(cli):
    result = cli(*BOUNDED, "record", "-r", "0=10,1=5,2=2,3=1", "--blocks", "3", "-o", "r.csv")
    assert result.returncode == 0, result.stderr
    schedule = Schedule(FOUR)
    counts = {c: schedule.samples_before(c, 3) for c in FOUR}
    with open(cli.folder / "r.csv") as f:
        header = f.readline().strip().split(",")
    assert header == ["pass", "host_seconds_estimate", "channel0_rate10", "channel1_rate5",
                      "channel2_rate2", "channel3_rate1"]
    table = np.genfromtxt(cli.folder / "r.csv", delimiter=",", skip_header=1,
                          filling_values=-1)
    passes = table[:, 0].astype(np.int64)
    # Channel 0 is sampled in every pass: one row per pass, in order, from the first.
    np.testing.assert_array_equal(passes, np.arange(1, counts[0] + 1))
    seconds = table[:, 1]
    assert (seconds >= 0).all() and (np.diff(seconds) >= 0).all()
    for k, (channel, rate) in enumerate(FOUR.items()):
        column = table[:, 2 + k].astype(np.int64)
        divider = DIVIDER[rate]
        index = passes // divider - 1
        sampled = (passes % divider == 0) & (index < counts[channel])
        np.testing.assert_array_equal(column[sampled], identify_value(channel, index[sampled]))
        assert (column[~sampled] == -1).all()  # empty where the channel was not sampled
    recording = check_recording(cli.folder / "r.csv", FOUR, blocks=3)
    assert recording.rates == FOUR


@pytest.mark.parametrize("suffix", [".csv", ".h5", ".npz"])
def test_each_format_keeps_every_sample_of_a_recording(cli, suffix):
    result = cli(*BOUNDED, "record", "-r", "0=10,1=5,2=2,3=1", "--blocks", "3",
                 "-o", f"r{suffix}")
    assert result.returncode == 0, result.stderr
    recording = check_recording(cli.folder / f"r{suffix}", FOUR, blocks=3)
    no_temporary_left(cli.folder)
    if suffix != ".csv":
        assert recording.rates == FOUR and recording.blocks == 3
        assert recording.arrivals and recording.arrivals[-1][0] == 3
        seconds = recording.host_seconds(0)
        assert (np.diff(seconds) >= 0).all() and seconds[-1] <= recording.arrivals[-1][1]


def test_hdf5_datasets_grow_compressed_with_the_schedule_and_ledger_beside(cli):
    result = cli(*BOUNDED, "record", "-r", "0=10,3=1", "--blocks", "3", "-o", "r.h5")
    assert result.returncode == 0, result.stderr
    with h5py.File(cli.folder / "r.h5", "r") as f:
        for channel, rate in ((0, 10), (3, 1)):
            dataset = f[f"channel{channel}"]
            assert dataset.maxshape == (None,) and dataset.chunks is not None
            assert dataset.compression == "gzip" and dataset.dtype == np.uint16
            assert (dataset.attrs["rate"], dataset.attrs["divider"]) == (rate, DIVIDER[rate])
        assert list(f.attrs["channels"]) == [0, 3] and list(f.attrs["rates"]) == [10, 1]
        assert f.attrs["scan_order"][16] == 0 and f.attrs["period_passes"] == 10
        assert f["losses"].shape == (0, 4) and f["arrivals"].shape[1] == 2
        assert f.attrs["ending"] == "done" and f.attrs["blocks"] == 3


@pytest.mark.parametrize("suffix, layout", [
    (".csv", "pass"), (".csv", "index"), (".h5", "pass"), (".npz", "pass")])
def test_chunks_with_losses_read_back_as_recorded(tmp_path, suffix, layout):
    rates = {0: 10, 7: 2}
    path = tmp_path / f"rec{suffix}"
    with mv620.Recorder(path, rates, layout=layout, started=100.0) as recorder:
        assert not path.exists()  # written beside it until closed
        recorder.add(Chunk(1, {0: 0, 7: 0}, {0: np.arange(0, 10, dtype=np.uint16),
                                             7: np.arange(0, 2, dtype=np.uint16)}, (), 100.5))
        recorder.add(Chunk(2, {0: 15, 7: 4}, {0: np.arange(15, 20, dtype=np.uint16),
                                              7: np.arange(4, 6, dtype=np.uint16)},
                           (Loss(0, 10, 15), Loss(7, 2, 4, LossReason.UNREADABLE)), 101.0))
        # Channel 7 gets further than channel 0: rows wait until both have passed them.
        recorder.add(Chunk(3, {0: 20, 7: 6}, {0: np.arange(20, 21, dtype=np.uint16),
                                              7: np.arange(6, 9, dtype=np.uint16)}, (), 101.5))
    assert recorder.path == path and path.exists()
    no_temporary_left(tmp_path)
    back = mv620.load(path)
    expected = {0: np.arange(21), 7: np.arange(9)}
    expected[0][10:15] = 0
    expected[7][2:4] = 0
    for channel in rates:
        np.testing.assert_array_equal(back[channel], expected[channel])
        assert back.valid(channel).sum() == len(expected[channel]) - (5 if channel == 0 else 2)
    assert [(l.channel, l.start, l.stop) for l in back.losses] == [(0, 10, 15), (7, 2, 4)]
    if suffix != ".csv":
        assert back.losses[1].reason is LossReason.UNREADABLE
        assert back.arrivals == [(1, 0.5), (2, 1.0), (3, 1.5)]
    if layout == "pass":
        # Channel 7 (divider 5) sample 1 was taken in pass 10, with channel 0's sample 9.
        assert back.passes(7)[1] == back.passes(0)[9] == 10


@pytest.mark.parametrize("suffix", [".csv", ".h5", ".npz"])
def test_extreme_values_and_late_indices_keep_every_digit(tmp_path, suffix):
    # Values with zeros inside and at either end, from a sample index past 10 million.
    values = np.array([0, 9, 10, 100, 1000, 10000, 65535, 60006], dtype=np.uint16)
    first = 12_345_678
    path = tmp_path / f"rec{suffix}"
    with mv620.Recorder(path, {4: 5}) as recorder:
        recorder.add(Chunk(1, {4: 0}, {4: np.zeros(0, dtype=np.uint16)},
                           (Loss(4, 0, first),)))
        recorder.add(Chunk(2, {4: first}, {4: values}))
    back = mv620.load(path)
    np.testing.assert_array_equal(back[4][first:], values)
    assert not back.valid(4)[:first].any() and back.valid(4)[first:].all()
    assert back.passes(4)[first] == (first + 1) * 2


def test_the_host_time_of_a_block_end_is_its_arrival(tmp_path):
    rates = {0: 10, 1: 1}
    schedule = Schedule(rates)
    path = tmp_path / "rec.h5"
    with mv620.Recorder(path, rates, started=50.0) as recorder:
        for block, arrival in ((1, 50.25), (2, 50.5), (3, 51.5)):
            recorder.add(Chunk(block, {c: schedule.samples_before(c, block - 1) for c in rates},
                               {c: identify_value(c, np.arange(
                                   schedule.samples_before(c, block - 1),
                                   schedule.samples_before(c, block))).astype(np.uint16)
                                for c in rates}, (), arrival))
    back = mv620.load(path)
    seconds = back.host_seconds(0)
    for block, expected in ((1, 0.25), (2, 0.5), (3, 1.5)):
        last = schedule.samples_before(0, block) - 1  # channel 0's last sample of the block
        assert seconds[last] == pytest.approx(expected, abs=1e-3)
    assert (np.diff(seconds) >= 0).all() and seconds[0] > 0
    # Both channels' samples of one pass get the same estimate.
    np.testing.assert_array_equal(back.host_seconds(1), seconds[9::10][:len(back[1])])


def test_a_recorder_refuses_samples_it_has_and_leaves_the_target_alone_when_discarded(
        tmp_path):
    path = tmp_path / "rec.csv"
    path.write_text("kept\n")
    recorder = mv620.Recorder(path, {0: 10})
    recorder.add(Chunk(1, {0: 0}, {0: np.arange(10, dtype=np.uint16)}))
    with pytest.raises(ValueError, match="again"):
        recorder.add(Chunk(1, {0: 5}, {0: np.arange(10, dtype=np.uint16)}))
    recorder.discard()
    assert path.read_text() == "kept\n"
    no_temporary_left(tmp_path)


def test_leaving_the_block_on_an_error_keeps_the_recording_and_says_why(tmp_path):
    path = tmp_path / "rec.h5"
    with pytest.raises(RuntimeError):
        with mv620.Recorder(path, {0: 10}) as recorder:
            recorder.add(Chunk(1, {0: 0}, {0: np.arange(10, dtype=np.uint16)}))
            raise RuntimeError("the program failed")
    with h5py.File(path, "r") as f:
        assert f.attrs["ending"] == "the program failed" and len(f["channel0"]) == 10


# ---- endings ------------------------------------------------------------------------------------

@pytest.mark.parametrize("suffix", [".csv", ".h5"])
def test_a_silent_instrument_keeps_what_came(cli, suffix):
    result = cli(*BOUNDED, "record", "-r", "0=10,3=1", "--blocks", "10", "--timeout", "1",
                 "-o", f"r{suffix}")
    assert result.returncode == 3
    line = ending_line(result.stderr)
    assert "no block from the instrument for 1 s" in line and "3 blocks" in line
    check_recording(cli.folder / f"r{suffix}", {0: 10, 3: 1}, blocks=3)
    no_temporary_left(cli.folder)


def test_an_unplugged_instrument_ends_the_recording_without_waiting_for_the_timeout(cli):
    # The simulated instrument of the same process is told to unplug after 5 blocks; the
    # timeout is long enough that only noticing the library's own end can stop it in time.
    driver = ("import sys, mv620; from mv620 import cli; "
              "mv620.Instrument(sim=True).sim.unplug_after_blocks(5); "
              "sys.exit(cli.main(sys.argv[1:]))")
    result = subprocess.run(
        [sys.executable, "-c", driver, "--sim", "--sim-rate", "0", "record", "-r", "0=10",
         "--blocks", "50", "--timeout", "600", "-o", "r.npz"],
        cwd=cli.folder, env={**cli.environment(), "MV620SIM_VIRTUAL_CLOCK": "1"},
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 3, result.stderr
    assert "the library ended the acquisition after 5 blocks" in ending_line(result.stderr)
    check_recording(cli.folder / "r.npz", {0: 10}, blocks=5)


def test_the_stream_notices_the_library_ending_the_acquisition(instrument):
    instrument.sim.unplug_after_blocks(4)
    with instrument.acquire(FOUR, timeout=600) as acquisition:
        delivered = {c: 0 for c in FOUR}
        with pytest.raises(mv620.StreamEnded) as caught:
            for chunk in acquisition.stream():
                for channel, samples in chunk.samples.items():
                    delivered[channel] += len(samples)
    assert caught.value.silent is False and acquisition.ended_by_library
    schedule = Schedule(FOUR)
    assert delivered == {c: schedule.samples_before(c, 4) for c in FOUR}


@pytest.mark.parametrize("suffix, channels, limit, blocks", [
    (".csv", "0-3", 3 << 20, 400),
    # HDF5 compresses the pattern well: one channel, many blocks.
    (".h5", "0", 5 << 19, 20000),
])
def test_a_full_disk_keeps_a_whole_file_of_what_was_written(cli, suffix, channels, limit,
                                                            blocks):
    def small_files():  # the size limit stands for a full disk
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    result = cli("--sim", "--sim-rate", "0", "record", "-r", f"{channels}=10", "--blocks",
                 str(blocks), "-o", f"r{suffix}", preexec_fn=small_files)
    assert result.returncode == 1, result.stderr
    line = ending_line(result.stderr)
    assert line.startswith("mv620: error: ") and f"is in r{suffix}" in line
    recording = check_recording(cli.folder / f"r{suffix}",
                                {c: 10 for c in range(4 if channels == "0-3" else 1)})
    assert 0 < len(recording[0]) < blocks * 8000
    assert (cli.folder / f"r{suffix}").stat().st_size <= limit
    no_temporary_left(cli.folder)


@pytest.mark.parametrize("delay", [0.1, 2.0])
@pytest.mark.parametrize("suffix", [".csv", ".h5"])
def test_ctrl_c_at_any_moment_is_one_line_and_130(cli, delay, suffix):
    process = subprocess.Popen(
        [sys.executable, "-m", "mv620", "--sim", "record", "-r", "0=10,3=1", "--duration",
         "600", "-o", f"r{suffix}"],
        cwd=cli.folder, env=cli.environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, preexec_fn=interruptible)
    try:
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 130, err
    assert ending_line(err).startswith("mv620: interrupted")
    path = cli.folder / f"r{suffix}"
    if path.exists():  # once recording began: a whole file of what was recorded
        check_recording(path, {0: 10, 3: 1})
    else:  # before: nothing was recorded, and the tool said so
        assert "recording channels" not in err
    no_temporary_left(cli.folder)


def test_an_unwritable_path_fails_before_recording(cli):
    result = cli(*BOUNDED, "record", "-r", "0=10", "--blocks", "3", "-o", "/proc/r.csv")
    assert result.returncode == 1
    assert "recording channels" not in result.stderr
    assert "/proc" in ending_line(result.stderr)


# ---- the instrument, plots, images ---------------------------------------------------------------

def test_read_errors_carry_the_samples_read_before(instrument):
    instrument.sim.ready_never_from(1)
    with instrument.acquire({0: 10}) as acquisition:
        for _ in acquisition.stream(blocks=1):
            pass
    with pytest.raises(mv620.ReadError) as caught:
        instrument.read(0, 31990, 100)  # block 1 never came: 10 of them can be read
    assert caught.value.code is mv620.Result.NOT_YET
    np.testing.assert_array_equal(caught.value.samples, identify_value(0, np.arange(31990,
                                                                                     32000)))


def test_a_closed_instrument_stops_its_acquisition_and_refuses_calls(sim_library_path):
    with mv620.Instrument(sim_library_path) as instrument:
        instrument.sim.reset()
        acquisition = instrument.acquire({0: 10})
        acquisition.start()
    assert not acquisition.running and instrument.closed
    with pytest.raises(RuntimeError, match="closed"):
        instrument.rates()
    with pytest.raises(RuntimeError, match="closed"):
        instrument.acquire({0: 10})
    instrument.close()  # again: harmless


@pytest.mark.parametrize("span, message", [
    (["--samples", "40000:50000"], "channel 0 has no sample in samples 40000:50000"),
    (["--passes", "500000:600000"], "channel 0 has no sample in passes 500000:600000"),
])
def test_plotting_outside_the_recording_is_a_one_line_error(cli, span, message):
    assert cli(*BOUNDED, "record", "-r", "0=1", "--blocks", "1", "-o", "r.h5").returncode == 0
    result = cli("plot", "r.h5", *span)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr and len(result.stderr.strip().splitlines()) == 1
    assert message in result.stderr
    assert not (cli.folder / "r.png").exists()


def test_the_readme_image_downloads_and_a_folder_is_named_a_folder(cli):
    example = PACKAGE_ROOT / "examples" / "minimal.idm"
    assert example.read_bytes().decode() in (PACKAGE_ROOT / "README.md").read_text() \
        .replace("\n", "\r\n")
    result = cli("--sim", "download", str(example))
    assert result.returncode == 0, result.stderr
    assert "1 word in 1 packet" in result.stdout
    result = cli("--sim", "download", str(cli.folder))
    assert result.returncode == 1 and "is a folder" in result.stderr


def test_no_module_of_the_package_imports_one_that_imports_it_back():
    import ast

    imports = {}
    for path in (PACKAGE_ROOT / "mv620").glob("*.py"):
        found = set()
        for node in ast.walk(ast.parse(path.read_text())):  # also inside functions
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                if node.module:
                    found.add(node.module.split(".")[0])
                else:
                    found.update(alias.name for alias in node.names)
        imports[path.stem] = found - {path.stem}
    assert imports["_checks"] == set() and imports["chunk"] == set()

    def reaches(start, target, seen=()):
        return any(m == target or (m not in seen and reaches(m, target, seen + (m,)))
                   for m in imports.get(start, ()))

    circles = [m for m in imports if reaches(m, m)]
    assert circles == []
