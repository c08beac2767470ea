"""mv620: Python access to the MV620 40-channel USB data-acquisition instrument.

A thin layer over the MV620ACQm library (loaded with ctypes) that reads samples straight into
numpy arrays, turns the library's result codes into exceptions, runs acquisitions as context
managers with a streaming reader that reports every lost sample, and drives the simulated
instrument so programs can be tested without hardware::

    import mv620

    instrument = mv620.Instrument(sim=True)          # the simulated instrument
    with instrument.acquire({0: 10, 1: 5}) as acquisition:
        recording = acquisition.record(blocks=10)
    recording.save("rec.csv")

The command-line tool is ``mv620`` (or ``python3 -m mv620``).
"""

from .acquisition import Acquisition, Chunk, Loss, LossReason
from .errors import ImageError, LibraryError, MV620Error, Result
from .instrument import (RATES, Instrument, Line, Status, StatusKind, Trigger, TriggerMode,
                         cwd_lock)
from .recording import Recording, load
from .sim import Pattern, Presence, Simulator

__version__ = "1.0.0.1"

__all__ = [
    "Acquisition", "Chunk", "ImageError", "Instrument", "LibraryError", "Line", "Loss",
    "LossReason", "MV620Error", "Pattern", "Presence", "RATES", "Recording", "Result",
    "Simulator", "Status", "StatusKind", "Trigger", "TriggerMode", "cwd_lock", "load",
]
