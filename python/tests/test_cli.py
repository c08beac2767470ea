"""The mv620 command end to end, through subprocess, against the simulated instrument."""

import signal
import subprocess
import sys

import numpy as np
import pytest

import mv620
from mv620._schedule import Schedule
from mv620.sim import identify_value

from conftest import interruptible

# The instrument delivers exactly the blocks recorded, as fast as they are read: no machine is
# too slow for that to be lost.
BOUNDED = ["--sim", "--sim-rate", "0", "--sim-blocks", "3"]
RATES = {0: 10, 1: 5, 2: 2, 3: 1}


def one_line_error(result):
    assert result.returncode != 0
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("mv620: "), result.stderr
    return lines[0]


def check_png(path):
    import matplotlib.image

    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    pixels = matplotlib.image.imread(str(path))
    assert pixels.ndim == 3 and pixels.shape[0] > 100 and pixels.shape[1] > 100
    assert pixels.min() < pixels.max()  # something is drawn


def test_record_to_csv_by_index_with_a_plot_and_read_it_back(cli):
    result = cli(*BOUNDED, "record", "-r", "0=10", "-r", "1=5,2=2", "--rate", "3=1",
                 "--blocks", "3", "-o", "rec.csv", "--layout", "index", "--plot", "rec.png")
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    schedule = Schedule(RATES)
    counts = {c: schedule.samples_before(c, 3) for c in RATES}
    lines = (cli.folder / "rec.csv").read_text().splitlines()
    assert lines[0] == "sample,channel0,channel1,channel2,channel3"
    assert len(lines) == 1 + counts[0]
    table = np.genfromtxt(cli.folder / "rec.csv", delimiter=",", skip_header=1,
                          filling_values=-1, dtype=np.int64)
    np.testing.assert_array_equal(table[:, 0], np.arange(counts[0]))
    for k, channel in enumerate(RATES, start=1):
        np.testing.assert_array_equal(table[:counts[channel], k],
                                      identify_value(channel, np.arange(counts[channel])))
        assert (table[counts[channel]:, k] == -1).all()  # empty cells after the channel's end
    for channel in RATES:  # the summary per channel
        assert f"{counts[channel]:>10}          0" in result.stdout
    check_png(cli.folder / "rec.png")


def test_npz_recording_and_the_plot_command(cli):
    result = cli(*BOUNDED, "--pattern", "sine", "record", "-r", "0-1=10", "--blocks", "3",
                 "-o", "rec.npz")
    assert result.returncode == 0, result.stderr
    with np.load(cli.folder / "rec.npz") as data:
        assert list(data["channels"]) == [0, 1] and list(data["rates"]) == [10, 10]
        assert len(data["channel0"]) == 48000 and data["losses"].shape == (0, 4)
        n = np.arange(48000)
        sine = 32768 + np.round(32767 * np.sin(2 * np.pi * (n % 100) / 100))
        np.testing.assert_array_equal(data["channel0"], sine)
    result = cli("plot", "rec.npz", "-o", "out.png", "--channels", "1", "--samples", "100:600")
    assert result.returncode == 0, result.stderr
    check_png(cli.folder / "out.png")


@pytest.mark.parametrize("args, env, message", [
    (["record", "-r", "40=10", "--blocks", "1", "-o", "r.csv"], {}, "channels are 0 to 39"),
    (["record", "-r", "0=3", "--blocks", "1", "-o", "r.csv"], {}, "rates are 10, 5, 2 and 1"),
    (["record", "-r", "0=10", "-o", "r.csv"], {}, "--blocks N or --duration"),
    (["record", "-r", "0=10", "--blocks", "1", "-o", "r.txt"], {}, ".csv, .h5 or .npz"),
    (["record", "-r", "0=10", "--blocks", "1", "-o", "r.csv"], {"MV620SIM_DEVICE": "absent"},
     "no instrument answered"),
    (["download", "missing.idm"], {}, "missing.idm: no such file"),
    (["download", "bad.idm"], {}, "record 1"),
    (["lines", "sideways=on"], {}, "lines are autozero"),
    (["plot", "missing.csv"], {}, "no such file"),
    (["plot", "bad.idm"], {}, ".csv, .h5 or .npz"),
    (["plot", "bad.npz"], {}, "is not a recording"),
    (["--sim-rate", "9999999999", "status"], {}, "out of range"),
    (["frobnicate"], {}, "invalid choice"),
])
def test_user_errors_are_one_line_without_a_traceback(cli, args, env, message):
    (cli.folder / "bad.idm").write_bytes(b"12345\r\n")
    (cli.folder / "bad.npz").write_bytes(b"not a zip file")
    error = one_line_error(cli("--sim", *args, env=env))
    assert message in error
    assert not (cli.folder / "r.csv").exists()


def test_no_library_is_one_line(cli):
    result = cli("status", env={"MV620_LIBRARY": str(cli.folder / "none.so")})
    assert "MV620_LIBRARY" in one_line_error(result)


@pytest.mark.parametrize("silent", [False, True])
def test_ctrl_c_keeps_the_recording_and_stops(cli, silent):
    # The instrument paced at 10 blocks a second, or silent (Ctrl-C must not wait for it).
    pace = ["--sim-blocks", "0"] if silent else []
    process = subprocess.Popen(
        [sys.executable, "-m", "mv620", "--sim", *pace, "record", "-r", "0=10", "-r", "3=1",
         "--duration", "600", "-o", "rec.csv", "--progress"],
        cwd=cli.folder, env=cli.environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        preexec_fn=interruptible)
    try:
        # Interrupt once the acquisition runs (the tool says so when it starts) and, from the
        # paced instrument, once the progress bar shows two blocks read.
        seen = b""
        wanted = b"recording channels 0, 3" if silent else b"| 2 blocks,"
        while wanted not in seen:
            more = process.stderr.read1(4096)
            assert more, seen
            seen += more
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
        out, err = out.decode(), (seen + err).decode()
    finally:
        process.kill()
    assert process.returncode == 130
    assert "Traceback" not in err
    assert err.strip().splitlines()[-1].startswith("mv620: interrupted: the ")
    recording = mv620.load(cli.folder / "rec.csv")
    assert recording.channels == [0, 3]
    assert (len(recording[0]) == 0) == silent
    for channel in (0, 3):
        samples, valid = recording[channel], recording.valid(channel)
        expected = identify_value(channel, np.arange(len(samples)))
        np.testing.assert_array_equal(samples[valid], expected[valid])
    assert "written to rec.csv" in out


def test_status_lines_inputs_and_download(cli):
    result = cli("--sim", "status")
    assert result.returncode == 0 and "status: 90" in result.stdout
    result = cli("--sim", "lines", "autozero=on", "3=on", "even-cal=off")
    assert result.returncode == 0
    assert "lines now: autozero on, odd-cal off, even-cal off, free on" in result.stdout
    result = cli("--sim", "inputs", env={"MV620SIM_INPUTS": "1"})
    assert result.returncode == 0
    assert "input 0: inactive" in result.stdout and "input 1: active" in result.stdout
    (cli.folder / "conf.idm").write_bytes(b"".join(
        f"{r}\r\n".encode() for r in ["001E", "4000", "0000"] + ["1234"] * 30))
    result = cli("--sim", "download", "conf.idm")
    assert result.returncode == 0, result.stderr
    assert "30 words in 2 packets" in result.stdout


def test_the_package_installs_offline_with_its_console_script(cli, tmp_path):
    import shutil

    from conftest import PACKAGE_ROOT

    source = tmp_path / "source"
    shutil.copytree(PACKAGE_ROOT, source, ignore=shutil.ignore_patterns(
        "tests", "build", "*.egg-info", "__pycache__", ".pytest_cache"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, timeout=300)
    installed = subprocess.run(
        [str(venv / "bin" / "pip"), "install", "--no-index", "--no-build-isolation",
         "--disable-pip-version-check", str(source)],
        capture_output=True, text=True, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    environment = cli.environment()
    del environment["PYTHONPATH"]
    result = subprocess.run([str(venv / "bin" / "mv620"), "--sim", "status"], env=environment,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and "status: 90" in result.stdout, result.stderr
