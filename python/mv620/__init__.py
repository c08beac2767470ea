"""mv620: Python access to the MV620 40-channel USB data-acquisition instrument.

A thin layer over the MV620ACQm library (loaded with ctypes) that reads samples straight into
numpy arrays, turns the library's result codes into exceptions, runs acquisitions as context
managers with a streaming reader that reports every lost sample, and drives the simulated
instrument so programs can be tested without hardware::

    import mv620

    with mv620.Instrument(sim=True) as instrument:       # the simulated instrument
        with instrument.acquire({0: 10, 1: 5}) as acquisition:
            recording = acquisition.record(blocks=10)
    recording.save("rec.csv")

Long recordings go to disk as they are acquired through :class:`Recorder`.  The command-line
tool is ``mv620`` (or ``python3 -m mv620``).  python/README.md tells the whole story.

The names below are loaded when first used, so that ``import mv620`` is quick and the
command-line tool answers Ctrl-C with one line at any moment, also while numpy is still loading.
"""

import importlib
import os
import signal
import sys

__version__ = "1.0.0.1"


def _interrupted_early(signum, frame):
    os.write(2, b"mv620: interrupted\n")
    os._exit(130)


def _run_as_the_tool() -> bool:
    """Whether this process is the command-line tool: python3 -m mv620, or the mv620 script."""
    argv = getattr(sys, "orig_argv", [])
    if "-m" in argv[:-1] and argv[argv.index("-m") + 1] == "mv620":
        return True
    return bool(sys.argv) and os.path.basename(sys.argv[0]) in ("mv620", "mv620.exe",
                                                                 "mv620-script.py")


# Until the tool's main() takes over (it handles Ctrl-C from then on), Ctrl-C while the tool's
# modules load ends it with one line and status 130.  Only in the tool's own process: a program
# that imports the package keeps its handling of Ctrl-C.
if _run_as_the_tool() and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
    signal.signal(signal.SIGINT, _interrupted_early)

# Public name -> the module that defines it.
_WHERE = {
    "Acquisition": "acquisition",
    "Chunk": "chunk", "Loss": "chunk", "LossReason": "chunk",
    "ImageError": "errors", "LibraryError": "errors", "MV620Error": "errors",
    "ReadError": "errors", "Result": "errors", "StreamEnded": "errors",
    "RATES": "_checks", "cwd_lock": "_checks",
    "Instrument": "instrument", "Line": "instrument", "Status": "instrument",
    "StatusKind": "instrument", "Trigger": "instrument", "TriggerMode": "instrument",
    "Recorder": "recorder", "RecorderFull": "recorder",
    "Recording": "recording", "load": "recording",
    "Pattern": "sim", "Presence": "sim", "Simulator": "sim",
}

__all__ = sorted(_WHERE)


def __getattr__(name):
    module = _WHERE.get(name)
    if module is None:
        raise AttributeError(f"module 'mv620' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(list(globals()) + __all__)

