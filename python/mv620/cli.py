"""mv620: the MV620 instrument at the terminal.

    mv620 [--sim [--pattern P]] status
    mv620 [--sim] record --rate 0=10 --rate 3=1 --blocks 40 -o rec.csv [--plot rec.png]
    mv620 plot rec.csv -o rec.png
    mv620 [--sim] download config.idm
    mv620 [--sim] lines autozero=on odd-cal=off
    mv620 [--sim] inputs
    mv620 [--sim] view [--rate 0-3=10] [--no-browser]

Every error is one line on standard error and a non-zero exit status: 1 for a fault of the
instrument, the library or a file, 2 for a mistake on the command line, 3 when the instrument
stopped sending during a recording, 130 after Ctrl-C.  A recording that ends any of these ways
keeps what was recorded, and the line says where.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import time
from pathlib import Path
from typing import Dict, List, Optional

from . import __version__, _image, _interrupted_early
from ._signals import deferred_interrupt
from ._checks import check_channel, check_rate, plural
from .errors import ImageError, LibraryError, MV620Error, StreamEnded

PROG = "mv620"
EXIT_FAULT = 1
EXIT_USAGE = 2
EXIT_STOPPED = 3  # a recording ended because the instrument stopped sending
EXIT_INTERRUPTED = 130
PLOT_SUFFIXES = (".png", ".svg", ".pdf")
RECORDING_SUFFIXES = (".csv", ".h5", ".hdf5", ".npz")
LINE_NAMES = {"autozero": 0, "odd-cal": 1, "even-cal": 2, "free": 3}


class UsageError(Exception):
    """A mistake on the command line (exit status 2)."""


class Fault(Exception):
    """A fault outside the command line: the instrument, a file (exit status 1)."""


class Interrupted(Exception):
    """Ctrl-C; the message says what was kept (exit status 130)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line instead of argparse's usage block
        raise UsageError(f"{message} (see {self.prog} --help)")


# ---- parsing values ---------------------------------------------------------------------------

def _whole(text: str, what: str, low: int = 0) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise UsageError(f"{what} {text!r} is not a whole number") from None
    if value < low:
        raise UsageError(f"{what} {value} must be at least {low}")
    return value


def _channels(text: str, what: str) -> List[int]:
    """'3', '0-3' or '0,2,5-7' as a list of channels 0 to 39."""
    found: List[int] = []
    for part in text.split(","):
        low, dash, high = part.strip().partition("-")
        first = _whole(low, what) if low else None
        last = _whole(high, what) if dash else first
        if first is None or last is None or last < first:
            raise UsageError(f"{what} {part!r} is not a channel or a range such as 0-3")
        for channel in range(first, last + 1):
            try:
                found.append(check_channel(channel))
            except ValueError as error:
                raise UsageError(str(error)) from None
    return found


def parse_rates(items: List[str]) -> Dict[int, int]:
    """--rate values: CHANNELS=RATE, several separated by commas or given again."""
    rates: Dict[int, int] = {}
    for item in items:
        for part in item.split(","):
            channels, equals, rate_text = part.partition("=")
            if not equals:
                raise UsageError(f"--rate {part!r}: write CHANNEL=RATE, for instance 0=10 or 0-3=5")
            rate = _whole(rate_text.strip(), f"--rate {part}: rate")
            try:
                check_rate(rate)
            except ValueError as error:
                raise UsageError(f"--rate {part}: {error}") from None
            for channel in _channels(channels, f"--rate {part}: channel"):
                if channel in rates:
                    raise UsageError(f"--rate: channel {channel} is given twice")
                rates[channel] = rate
    if not any(rates.values()):
        raise UsageError("no channel to record: give --rate CHANNEL=RATE (rates 10, 5, 2, 1)")
    return {c: r for c, r in sorted(rates.items()) if r}


def _span(text: str, what: str):
    """START:STOP (either may be left out) as (start, stop)."""
    start, colon, stop = text.partition(":")
    if not colon:
        raise UsageError(f"{what} {text!r}: write START:STOP, for instance 0:1000")
    first = _whole(start, f"{what} start") if start.strip() else 0
    last = _whole(stop, f"{what} stop") if stop.strip() else 1 << 62
    if last <= first:
        raise UsageError(f"{what} {text}: STOP must be above START")
    return first, last


def _input_path(text: str) -> Path:
    path = Path(text)
    if path.is_dir():
        raise Fault(f"{path} is a folder, not a file")
    if not path.is_file():
        raise Fault(f"{path}: no such file")
    return path


def _output_path(text: str, suffixes, what: str) -> Path:
    path = Path(text)
    if path.suffix.lower() not in suffixes:
        names = ".csv, .h5 or .npz" if suffixes == RECORDING_SUFFIXES else " or ".join(suffixes)
        raise UsageError(f"{what} {text}: name the file {names}")
    folder = path.parent if str(path.parent) else Path(".")
    if not folder.is_dir():
        raise UsageError(f"{what} {text}: no folder {folder}")
    if path.is_dir():
        raise UsageError(f"{what} {text} is a folder")
    if not os.access(folder, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise UsageError(f"{what} {text}: cannot write there")
    return path


def _loading():
    """Around the imports of numpy, matplotlib, h5py and tqdm, which the commands load only when
    they need them, so that the tool starts at once: Ctrl-C meanwhile is held back until the
    import is done (numpy turns a KeyboardInterrupt in its import into an ImportError), then
    raised as KeyboardInterrupt."""
    return deferred_interrupt()


# ---- the instrument ---------------------------------------------------------------------------

def open_instrument(options):
    with _loading():
        from .instrument import Instrument

    if not options.sim:
        for flag, value in (("--pattern", options.pattern), ("--sim-rate", options.sim_rate),
                            ("--sim-blocks", options.sim_blocks)):
            if value is not None:
                raise UsageError(f"{flag} applies to the simulated instrument: add --sim")
    instrument = Instrument(options.library, sim=options.sim)
    sim = instrument.sim
    if options.sim and sim is not None:
        if options.pattern is not None:
            sim.set_pattern(options.pattern)
        if options.sim_rate is not None:
            sim.set_rate(options.sim_rate)
        if options.sim_blocks is not None:
            sim.ready_never_from(options.sim_blocks)
    return instrument


def require_instrument(instrument):
    """The instrument's status; a Fault when none answers."""
    try:
        return instrument.status()
    except MV620Error:
        raise Fault("no instrument answered (is it connected and powered?)") from None


def _progress_bar(show: bool, total, unit: str, description: str):
    if not show:
        return None
    try:
        with _loading():
            from tqdm import tqdm
    except ImportError:  # the package is there on Debian (python3-tqdm); go on without a bar
        return None
    # The text right of the bar is the description, set as the work goes on.
    return tqdm(total=total, unit=unit, desc="", file=sys.stderr, dynamic_ncols=True,
                bar_format=description + " {percentage:3.0f}%|{bar}| {desc}")


def _show_progress(options) -> bool:
    if options.progress is not None:
        return options.progress
    return sys.stderr.isatty()


# ---- commands ---------------------------------------------------------------------------------

def command_status(options) -> int:
    instrument = open_instrument(options)
    kind = "simulated instrument" if instrument.simulated else "instrument"
    print(f"library: {instrument.path} ({kind})")
    status = require_instrument(instrument)
    print(f"status: {status.value if status.value is not None else status}")
    return 0


class _Tally:
    """Samples, minimum, maximum and sum of one channel's samples, counted as they stream."""

    def __init__(self):
        self.samples, self.minimum, self.maximum, self.total = 0, None, None, 0

    def add(self, samples) -> None:
        if len(samples):
            low, high = int(samples.min()), int(samples.max())
            self.minimum = low if self.minimum is None else min(self.minimum, low)
            self.maximum = high if self.maximum is None else max(self.maximum, high)
            self.total += int(samples.sum(dtype="int64"))
            self.samples += len(samples)


def command_record(options) -> int:
    """Records to a file written as the samples come.  However the recording ends, what was
    recorded is kept in the file, one line on standard error says how it ended, and the exit
    status tells it: 0 done, 130 Ctrl-C, 3 the instrument stopped (silent, unplugged, or the
    library ended the acquisition), 1 a fault (the disk full, the library's error)."""
    rates = parse_rates(options.rate)
    if (options.blocks is None) == (options.duration is None):
        raise UsageError("give either --blocks N or --duration SECONDS")
    if options.duration is not None and not options.duration > 0:
        raise UsageError(f"--duration {options.duration:g} must be more than 0 seconds")
    if options.timeout is not None and not options.timeout > 0:
        raise UsageError(f"--timeout {options.timeout:g} must be more than 0 seconds")
    output = _output_path(options.output, RECORDING_SUFFIXES, "output")
    plot = _output_path(options.plot, PLOT_SUFFIXES, "--plot") if options.plot else None
    if options.layout != "pass" and output.suffix.lower() != ".csv":
        raise UsageError("--layout applies to CSV recordings")
    with _loading():
        from .recorder import Recorder, RecorderFull

    # From here on Ctrl-C only asks the recording to stop: the stream then stops the
    # acquisition, delivers what the ring still holds and ends, and the file is finished.
    stop_asked = []

    def on_interrupt(signum, frame):
        stop_asked.append(signum)

    previous = signal.signal(signal.SIGINT, on_interrupt)
    try:
        instrument = open_instrument(options)
        require_instrument(instrument)
        if stop_asked:
            raise Interrupted("interrupted before recording began")
        # Opened before the acquisition starts: a path that cannot be written fails first.
        recorder = Recorder(output, rates, layout=options.layout)
        tallies = {c: _Tally() for c in rates}
        ending, status = None, 0
        began = time.monotonic()
        try:
            with instrument.acquire(rates, timeout=options.timeout,
                                    keep_losses=False) as acquisition:
                recorder.started = acquisition.started_at
                what = f"{options.blocks} blocks" if options.blocks else \
                    f"{options.duration:g} s"
                print(f"recording channels {', '.join(map(str, acquisition.channels))} for "
                      f"{what} into {output} (Ctrl-C stops and keeps what was recorded)",
                      file=sys.stderr, flush=True)
                bar = _progress_bar(_show_progress(options),
                                    options.blocks if options.blocks else options.duration,
                                    "block" if options.blocks else "s", "recording")
                try:
                    for chunk in acquisition.stream(options.blocks, options.duration,
                                                    until=lambda: bool(stop_asked)):
                        recorder.add(chunk)
                        for channel, samples in chunk.samples.items():
                            tallies[channel].add(samples)
                        if bar is not None:
                            _show_bar(bar, options, acquisition, chunk, began)
                finally:
                    if bar is not None:
                        bar.close()
        except StreamEnded as error:
            ending, status = error, EXIT_STOPPED
        except RecorderFull as error:
            ending, status = error, EXIT_FAULT
        except MV620Error as error:
            ending, status = error, EXIT_FAULT
        finally:
            # Also on any other error: keep what was recorded.
            if options.blocks:  # the library may have counted a block more than was asked
                recorder.blocks = min(recorder.blocks, options.blocks)
            recorder.close(str(ending) if ending else
                           ("interrupted" if stop_asked else "done"))
        seconds = time.monotonic() - began
        if plot is not None and status == 0:
            with _loading():
                from .plot import plot_recording
                from .recording import load

            plot_recording(load(output), plot, title=str(output))
    finally:
        signal.signal(signal.SIGINT, previous)
    blocks = recorder.blocks
    _print_summary(recorder, tallies, blocks, output, seconds, plot if status == 0 else None)
    kept = f"what was written before is in {output}" if isinstance(ending, RecorderFull) else \
        f"the {plural(blocks, 'block')} recorded until then {'is' if blocks == 1 else 'are'} " \
        f"in {output}"
    if stop_asked:
        raise Interrupted(f"interrupted: {kept}")
    if ending is not None:
        _error(f"error: {ending}; {kept}" if status == EXIT_FAULT else f"{ending}; {kept}")
    return status


def _show_bar(bar, options, acquisition, chunk, began: float) -> None:
    elapsed = time.monotonic() - began
    done = sum(acquisition.delivered.values())
    bar.n = min(chunk.blocks, options.blocks) if options.blocks else \
        min(elapsed, options.duration)
    bar.set_description_str(
        f"{min(chunk.blocks, options.blocks or chunk.blocks)} blocks, "
        f"{done / max(elapsed, 1e-3):,.0f} samples/s, "
        f"{acquisition.lost_count:,} lost", refresh=True)


def _print_summary(recorder, tallies, blocks: int, output: Path, seconds: float,
                   plot: Optional[Path]) -> None:
    print(f"{'channel':>7} {'rate':>4} {'samples':>10} {'lost':>10} {'min':>6} {'max':>6} "
          f"{'mean':>9}")

    def show(value, layout):
        return format(value, layout) if value is not None else "-"

    for channel, tally in tallies.items():
        lost = recorder.lost[channel]
        mean = tally.total / tally.samples if tally.samples else None
        print(f"{channel:>7} {recorder.rates[channel]:>4} {tally.samples:>10} {lost:>10} "
              f"{show(tally.minimum, '>6')} {show(tally.maximum, '>6')} {show(mean, '>9.1f')}")
    for loss in recorder.first_losses[:10]:
        print(f"lost: {loss}")
    if recorder.loss_runs > 10:
        print(f"lost: ... and {recorder.loss_runs - 10} more runs (see the recording)")
    print(f"{plural(blocks, 'block')} in {seconds:.1f} s written to {output}"
          + (f"; plot in {plot}" if plot else ""))


def command_plot(options) -> int:
    source = _input_path(options.recording)
    if source.suffix.lower() not in RECORDING_SUFFIXES:
        raise UsageError(f"{source}: a recording is a .csv, .h5 or .npz file")
    target = _output_path(options.output or str(source.with_suffix(".png")), PLOT_SUFFIXES,
                          "output")
    channels = _channels(options.channels, "--channels") if options.channels else None
    if options.samples and options.passes:
        raise UsageError("give --samples or --passes, not both")
    span = _span(options.samples, "--samples") if options.samples else None
    passes = _span(options.passes, "--passes") if options.passes else None
    with _loading():
        from .plot import plot_recording
        from .recording import Recording

    try:
        recording = Recording.load(source)
    except ValueError as error:
        raise Fault(str(error)) from None
    try:
        plot_recording(recording, target, channels, title=options.title or str(source),
                       samples=span, passes=passes)
    except ValueError as error:
        raise UsageError(str(error)) from None
    print(f"plot of {source} written to {target}")
    return 0


def command_download(options) -> int:
    source = _input_path(options.image)
    try:
        image = _image.read_image(source)[1]
    except ImageError as error:
        raise Fault(str(error)) from None
    instrument = open_instrument(options)
    require_instrument(instrument)
    bar = _progress_bar(_show_progress(options), image.packets, "packet", "downloading")

    def progress(done, total):
        if bar is not None:
            bar.n = done
            bar.set_description_str(f"{done}/{total} packets", refresh=True)

    try:
        instrument.download(source, progress)
    finally:
        if bar is not None:
            bar.close()
    where = "the simulated instrument" if instrument.simulated else "the instrument"
    print(f"downloaded {source} into {where}: {plural(image.words, 'word')} in "
          f"{plural(image.packets, 'packet')}")
    return 0


def _parse_assignment(text: str):
    name, equals, state = text.partition("=")
    name, state = name.strip().lower(), state.strip().lower()
    if name.isdigit() and 0 <= int(name) <= 3:
        line = int(name)
    elif name in LINE_NAMES:
        line = LINE_NAMES[name]
    else:
        raise UsageError(f"line {name!r} is unknown: lines are autozero, odd-cal, even-cal, free "
                         "(or 0 to 3)")
    if not equals or state not in ("on", "off"):
        raise UsageError(f"{text!r}: write LINE=on or LINE=off")
    return line, state == "on"


def command_lines(options) -> int:
    switches = [_parse_assignment(a) for a in options.assignments]
    if not switches and not options.pulse:
        raise UsageError("nothing to switch: give LINE=on|off (autozero, odd-cal, even-cal, "
                         "free) or --autozero-pulse")
    instrument = open_instrument(options)
    require_instrument(instrument)
    names = {v: k for k, v in LINE_NAMES.items()}
    for line, on in switches:
        instrument.set_line(line, on)
        print(f"{names[line]} {'on' if on else 'off'}")
    if options.pulse:
        instrument.autozero_pulse()
        print("autozero pulsed for 1 s")
    if instrument.sim is not None:
        bits = instrument.sim.output_lines()
        print("lines now: " + ", ".join(
            f"{names[k]} {'on' if bits >> k & 1 else 'off'}" for k in range(4)))
    return 0


def command_inputs(options) -> int:
    instrument = open_instrument(options)
    require_instrument(instrument)
    for bit, active in enumerate(instrument.inputs()):
        note = " (read as input 6)" if bit == 3 else ""
        print(f"input {bit}: {'active' if active else 'inactive'}{note}")
    return 0


def command_view(options) -> int:
    from .view import run

    rates = parse_rates(options.rate) if options.rate else {}
    return run(options, lambda: open_instrument(options), rates)


# ---- the command line -------------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    main = _Parser(prog=PROG,
                   description="Record, plot and control the MV620 data-acquisition instrument.",
                   epilog="Each command has its own --help.")
    _add_shared_options(main, None)
    main.set_defaults(sim=False, progress=None)
    main.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = main.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    p = commands.add_parser("status", help="the instrument's status")
    p.set_defaults(run=command_status)

    p = commands.add_parser("record",
                            help="record channels to a CSV, HDF5 or .npz file",
                            description="Record channels with a progress bar, then print a "
                                        "summary per channel.  However the recording ends, "
                                        "what was recorded is kept.  Exit status: 0 done, 1 a "
                                        "fault (the disk full, the library's error), 3 the "
                                        "instrument stopped sending (silent or unplugged), "
                                        "130 Ctrl-C.")
    p.add_argument("-r", "--rate", action="append", default=[], metavar="CHANNELS=RATE",
                   help="a channel (or range such as 0-3) and its rate: 10, 5, 2 or 1 samples "
                        "per 10 scan passes; repeat for more channels")
    p.add_argument("-b", "--blocks", type=lambda t: _whole(t, "--blocks", 1), metavar="N",
                   help="record N blocks of 32000 samples (all channels together)")
    p.add_argument("-t", "--duration", type=float, metavar="SECONDS",
                   help="record for this long")
    p.add_argument("-o", "--output", required=True, metavar="FILE",
                   help="the recording: FILE.csv, FILE.h5 (HDF5) or FILE.npz, written as the "
                        "samples come (through a hidden temporary file beside it)")
    p.add_argument("--layout", choices=("pass", "index"), default="pass",
                   help="CSV rows: one per scan pass, the axis all channels share (default), "
                        "or one per sample index, each channel's n-th sample in row n")
    p.add_argument("--timeout", type=float, default=10.0, metavar="SECONDS",
                   help="end the recording when no block comes for this long (default 10)")
    p.add_argument("--plot", metavar="FILE.png", help="also plot the recording to this file")
    p.set_defaults(run=command_record)

    p = commands.add_parser("plot", help="plot a recording to a PNG")
    p.add_argument("recording", metavar="FILE", help="a recording (.csv, .h5 or .npz)")
    p.add_argument("-o", "--output", metavar="FILE.png",
                   help="the image (default: FILE with .png)")
    p.add_argument("-c", "--channels", metavar="LIST", help="channels to plot, such as 0,2-3")
    p.add_argument("-s", "--samples", metavar="START:STOP",
                   help="only these sample indices of each channel, such as 0:1000")
    p.add_argument("-p", "--passes", metavar="START:STOP",
                   help="only these scan passes (the axis the channels share)")
    p.add_argument("--title", help="the plot's title (default: the file's name)")
    p.set_defaults(run=command_plot)

    p = commands.add_parser("download",
                            help="download a configuration image into the instrument")
    p.add_argument("image", metavar="IMAGE", help="the configuration image file (any name)")
    p.set_defaults(run=command_download)

    p = commands.add_parser("lines", help="switch the output lines")
    p.add_argument("assignments", nargs="*", metavar="LINE=on|off",
                   help="autozero, odd-cal, even-cal, free (or 0 to 3) = on or off")
    p.add_argument("--autozero-pulse", dest="pulse", action="store_true",
                   help="the autozero line on for one second, then off")
    p.set_defaults(run=command_lines)

    p = commands.add_parser("inputs", help="read the digital inputs")
    p.set_defaults(run=command_inputs)

    p = commands.add_parser("view", help="see the instrument live in a web page",
                            description="Serve a live page of the instrument on this machine and "
                                        "open it in the browser.")
    from .view import add_arguments

    add_arguments(p, lambda t: _whole(t, "--port"))
    p.set_defaults(run=command_view)
    for command in commands.choices.values():
        _add_shared_options(command, argparse.SUPPRESS)
    return main


def _add_shared_options(parser, default) -> None:
    """Options every command takes, before or after the command's name.  The command's own copy
    defaults to SUPPRESS, so that it leaves a value given before the command alone."""
    group = parser.add_argument_group("options of every command")
    group.add_argument("--sim", action="store_true", default=default,
                       help="use the simulated instrument (no hardware)")
    group.add_argument("--pattern", choices=("identify", "sine", "ramp"), default=default,
                       help="the simulated instrument's signal (default: identify, or "
                            "MV620SIM_PATTERN)")
    group.add_argument("--sim-rate", type=lambda t: _whole(t, "--sim-rate"), default=default,
                       metavar="N", help="the simulated instrument's pace in samples per second, "
                                         "all channels together (0: as fast as read)")
    group.add_argument("--sim-blocks", type=lambda t: _whole(t, "--sim-blocks"),
                       default=default, metavar="N",
                       help="the simulated instrument falls silent after N blocks")
    group.add_argument("--library", default=default, metavar="PATH",
                       help="the MV620ACQm library to load (default: MV620_LIBRARY, "
                            "MV620_SIM_LIBRARY with --sim, or the installed one)")
    group.add_argument("--progress", dest="progress", action="store_true", default=default,
                       help="show progress bars (default: when writing to a terminal)")
    group.add_argument("--no-progress", dest="progress", action="store_false", default=default,
                       help="never show progress bars")


def _error(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line ``argv`` (default: the program's) and returns the exit status."""
    try:
        if signal.getsignal(signal.SIGINT) is _interrupted_early:
            # From here on Ctrl-C raises KeyboardInterrupt, handled below (and in record).
            signal.signal(signal.SIGINT, signal.default_int_handler)
        options = build_parser().parse_args(argv)
        return options.run(options)
    except UsageError as error:
        _error(f"error: {error}")
        return EXIT_USAGE
    except Interrupted as error:
        _error(str(error))
        return EXIT_INTERRUPTED
    except KeyboardInterrupt:
        _error("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (mv620 status | head): nothing left to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAULT
    except Exception as error:  # noqa: BLE001 - every error ends as one line
        return _report(error)


def _report(error: Exception) -> int:
    if isinstance(error, (Fault, MV620Error, LibraryError, ImageError)):
        _error(f"error: {error}")
        return EXIT_FAULT
    if isinstance(error, OSError):
        where = f"{error.filename}: " if error.filename else ""
        _error(f"error: {where}{error.strerror or error}")
        return EXIT_FAULT
    if isinstance(error, ValueError):
        _error(f"error: {error}")
        return EXIT_USAGE
    if isinstance(error, ImportError):
        _error(f"error: {error}; install the Debian package python3-{error.name or '...'}")
        return EXIT_FAULT
    if os.environ.get("MV620_DEBUG"):
        raise error
    _error(f"internal error: {type(error).__name__}: {error} (MV620_DEBUG=1 shows where)")
    return EXIT_FAULT


if __name__ == "__main__":
    sys.exit(main())
