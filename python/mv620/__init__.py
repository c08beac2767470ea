"""mv620: Python access to the MV620 40-channel USB data-acquisition instrument.

A thin layer over the MV620ACQm library (loaded with ctypes) that reads samples straight into
numpy arrays, turns the library's result codes into exceptions and drives the simulated
instrument so programs can be tested without hardware.
"""

from .errors import ImageError, LibraryError, MV620Error, Result
from .instrument import (RATES, Instrument, Line, Status, StatusKind, Trigger, TriggerMode,
                         cwd_lock)
from .sim import Pattern, Presence, Simulator

__version__ = "1.0.0.1"

__all__ = [
    "ImageError", "Instrument", "LibraryError", "Line", "MV620Error", "Pattern", "Presence",
    "RATES", "Result", "Simulator", "Status", "StatusKind", "Trigger", "TriggerMode",
    "cwd_lock",
]
