"""The MV620 instrument as a Python object: every function of the library, typed and checked.

One :class:`Instrument` stands for the library loaded in this process and the instrument behind
it.  The library keeps one state for the whole process (the rates, one acquisition, the
boundary), so every Instrument made on the same library file shares it.

Threads: the methods that change state (:meth:`Instrument.set_rate`, :meth:`~Instrument.start`,
:meth:`~Instrument.stop`, :meth:`~Instrument.set_boundary`, and a running
:class:`~mv620.acquisition.Acquisition`) belong to one thread at a time.  Reads, the trigger
search, lines, inputs and the status query may be called from any thread.  See
:meth:`Instrument.download` for what a download does to the process's current directory.
"""

from __future__ import annotations

import enum
import os
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, Mapping, Optional, Tuple, Union

import numpy as np

from . import _image, _loader
from ._checks import (CHANNELS, INDEX_LIMIT, RATES, c_index, check_channel, check_count,
                      check_index, check_rate, cwd_lock)
from ._clib import INT_P
from ._signals import deferred_interrupt
from .acquisition import Acquisition
from .errors import MV620Error, ReadError, Result, explain
from .sim import Simulator

__all__ = ["CHANNELS", "INDEX_LIMIT", "RATES", "Instrument", "Line", "Status", "StatusKind",
           "Trigger", "TriggerMode", "cwd_lock"]

IMAGE_FILE_NAME = "acq620m_2189.idm"  # the name the library opens in the current directory


class _Closed:
    """Stands for the library's functions once an Instrument is closed."""

    def __getattr__(self, name):
        raise RuntimeError("the instrument is closed")


class TriggerMode(enum.IntEnum):
    """Trigger conditions of :meth:`Instrument.trigger` (L is the level)."""

    RISING = 0  #: previous sample below L, this one at or above it
    FALLING = 1  #: previous sample above L, this one at or below it
    AT_OR_ABOVE = 2  #: this sample at or above L
    AT_OR_BELOW = 3  #: this sample at or below L


class Line(enum.IntEnum):
    """The instrument's output lines."""

    AUTOZERO = 0
    ODD_CALIBRATION = 1
    EVEN_CALIBRATION = 2
    FREE = 3


class StatusKind(enum.Enum):
    REPORTED = "reported"  #: a status value 90 to 127
    THREE = "status 3"  #: the instrument reported status 3
    BELOW_90 = "below 90"  #: the instrument reported a status below 90 (other than 3)


@dataclass(frozen=True)
class Status:
    """What the instrument answered to the status query.

    ``code`` is the library's result: the status value 90 to 127, or Result.STATUS_THREE (-6)
    or Result.STATUS_BELOW_90 (-7).  (No answer at all raises MV620Error instead.)
    """

    code: int

    @property
    def kind(self) -> StatusKind:
        if self.code == Result.STATUS_THREE:
            return StatusKind.THREE
        if self.code == Result.STATUS_BELOW_90:
            return StatusKind.BELOW_90
        return StatusKind.REPORTED

    @property
    def value(self) -> Optional[int]:
        """The status value 90 to 127, or None for status 3 and statuses below 90."""
        return self.code if self.kind is StatusKind.REPORTED else None

    def __str__(self) -> str:
        if self.kind is StatusKind.REPORTED:
            return f"status {self.code}"
        return explain(self.code)


@dataclass(frozen=True)
class Trigger:
    """The outcome of a trigger search.

    ``value`` is the first triggering sample's value and ``index`` its sample index, or both
    None when no sample triggered (a triggering sample of value 0 does not count, and the first
    sample of the run is never tested).  ``samples`` holds the run as read: it ends early at the
    first sample that could not be read.
    """

    value: Optional[int]
    index: Optional[int]
    samples: np.ndarray


def _pointer(array: np.ndarray):
    return array.ctypes.data_as(INT_P)


def _trigger_mode(mode) -> TriggerMode:
    if isinstance(mode, str):
        try:
            return TriggerMode[mode.upper().replace("-", "_")]
        except KeyError:
            pass
    elif not isinstance(mode, bool) and isinstance(mode, (int, np.integer)):
        try:
            return TriggerMode(mode)
        except ValueError:
            pass
    names = ", ".join(m.name.lower().replace("_", "-") for m in TriggerMode)
    raise ValueError(f"trigger mode {mode!r} is unknown: modes are {names} (0 to 3)")


def _line(line) -> Line:
    if isinstance(line, str):
        key = line.upper().replace("-", "_")
        aliases = {"ODD_CAL": "ODD_CALIBRATION", "EVEN_CAL": "EVEN_CALIBRATION"}
        key = aliases.get(key, key)
        if key in Line.__members__:
            return Line[key]
        if key.isdigit():
            line = int(key)
    if not isinstance(line, bool) and isinstance(line, (int, np.integer)) and 0 <= line <= 3:
        return Line(int(line))
    raise ValueError(f"line {line!r} is not an output line: lines are 0 autozero, "
                     "1 odd-cal, 2 even-cal, 3 free")


class Instrument:
    """The library (found as :func:`mv620._loader.locate` describes) and its instrument.

    ``library`` names the library file; otherwise the environment variable MV620_LIBRARY
    (MV620_SIM_LIBRARY with ``sim=True``) or the installed library is used.  ``sim=True``
    selects the simulated instrument's library, whose controls are then in :attr:`sim`.

    Use it in a ``with`` statement, or call :meth:`close` when done: that stops an acquisition
    of this package that still runs on the library.  The library itself stays loaded for the
    process (other Instruments may share it).
    """

    def __init__(self, library: Optional[Union[str, os.PathLike]] = None, *, sim: bool = False):
        self._library = _loader.load(library, sim)
        self._c = self._library.c
        self.sim = Simulator(self._library) if self._library.simulated else None

    def __enter__(self) -> "Instrument":
        return self

    def __exit__(self, *exc) -> bool:
        self.close()
        return False

    def close(self) -> None:
        """Stops the acquisition of this package that runs on the library, if any; afterwards
        every call of this Instrument raises RuntimeError.  Closing twice is harmless."""
        if isinstance(self._c, _Closed):
            return
        running = self._library.acquisition
        try:
            if running is not None and running.running:
                running.stop()
        finally:
            self._c = _Closed()

    @property
    def closed(self) -> bool:
        return isinstance(self._c, _Closed)

    @property
    def library(self):
        """The loaded library (what :class:`~mv620.acquisition.Acquisition` takes)."""
        return self._library

    def __repr__(self) -> str:
        kind = "simulated instrument" if self.simulated else "instrument"
        return f"<mv620.Instrument {kind} via {self.path}>"

    @property
    def path(self) -> str:
        """The library file loaded (or the name the system's loader resolved)."""
        return self._library.path

    @property
    def simulated(self) -> bool:
        """Whether the library is the simulated instrument's build."""
        return self._library.simulated

    # ---- channel rates --------------------------------------------------------------------

    def set_rate(self, channel: int, rate: int) -> int:
        """Sets ``channel``'s rate (10, 5, 2, 1, or 0 for off) and returns the rate the library
        now reports for it.  The instrument takes the new rate at the next start."""
        channel, rate = check_channel(channel), check_rate(rate)
        self._c.Set_Sample_Rate(channel, rate)
        return self.rate(channel)

    def set_rates(self, rates: Mapping[int, int], *, others_off: bool = False) -> Dict[int, int]:
        """Sets several rates (checked all first) and returns each channel's rate as reported.
        With ``others_off`` every channel not named is switched off."""
        checked = {check_channel(c): check_rate(r) for c, r in rates.items()}
        if others_off:
            checked = {**{c: 0 for c in CHANNELS}, **checked}
        for channel, rate in checked.items():
            self._c.Set_Sample_Rate(channel, rate)
        return {channel: self.rate(channel) for channel in checked}

    def rate(self, channel: int) -> int:
        """``channel``'s rate: 10, 5, 2, 1, or 0 when off."""
        return self._c.Get_Sample_Rate(check_channel(channel))

    def rates(self) -> Dict[int, int]:
        """The rates of the channels that are on."""
        return {c: r for c in CHANNELS if (r := self._c.Get_Sample_Rate(c))}

    # ---- acquisition ----------------------------------------------------------------------

    def acquire(self, rates: Optional[Mapping[int, int]] = None, **options):
        """An :class:`~mv620.acquisition.Acquisition` to use in a ``with`` statement: it sets
        ``rates`` (other channels off), starts, and stops when the block ends."""
        if self.closed:
            raise RuntimeError("the instrument is closed")
        return Acquisition(self._library, rates, **options)

    def start(self) -> None:
        """Starts a continuous acquisition with the rates set now (a running one is stopped
        first).  Raises MV620Error when the library refuses: no channel is on."""
        if not self._c.Start_Acquisition(None):
            raise MV620Error("the acquisition did not start: no channel is on", 0,
                             "Start_Acquisition")

    def stop(self) -> None:
        """Stops the acquisition; its last 15 blocks stay readable."""
        if self._c.Stop_Acquisition() != 0:
            raise MV620Error("waiting for the acquisition thread to end failed", -1,
                             "Stop_Acquisition")

    @property
    def blocks_transferred(self) -> int:
        """Blocks transferred since the latest start (an unsigned 32-bit count that wraps)."""
        return self._c.Get_Blocks_Transferred() % INDEX_LIMIT

    def current_count(self, channel: int) -> int:
        """While an acquisition runs, a lower count of ``channel``'s samples transferred since
        the boundary; 0 when none runs."""
        return self._c.Get_Current_DataPoint(check_channel(channel))

    def modulus(self, channel: int) -> int:
        """Samples of ``channel`` in 16 cycles of the scan schedule: how far its indices shift
        when the boundary moves by one."""
        return self._c.Get_Sample_Modulus(check_channel(channel)) % INDEX_LIMIT

    def set_boundary(self, boundary: int) -> None:
        """Makes sample indices count from cycle 16 x ``boundary`` of the acquisition."""
        if isinstance(boundary, bool) or not isinstance(boundary, (int, np.integer)) \
                or not 0 <= boundary <= 0x7FFFFFFF:
            raise ValueError(f"boundary {boundary!r} is out of range: 0 to {0x7FFFFFFF}")
        self._c.Set_Sample_Boundary(int(boundary))

    # ---- reading samples ------------------------------------------------------------------

    def sample(self, channel: int, index: int) -> int:
        """Sample ``index`` of ``channel`` (0 to 65535); MV620Error with the library's code when
        it cannot be read."""
        channel, index = check_channel(channel), check_index(index)
        value = self._c.Get_DataPoint(channel, c_index(index))
        if value < 0:
            raise MV620Error(f"channel {channel}, sample {index}: {explain(value)}", value,
                             "Get_DataPoint")
        return value

    def read_available(self, channel: int, first: int, count: int,
                       out: Optional[np.ndarray] = None) -> Tuple[np.ndarray, Optional[Result]]:
        """Reads up to ``count`` samples of ``channel`` from index ``first`` in one bulk call.

        Returns the samples read (a view of ``out`` when given: an int32 array of at least
        ``count`` entries; else a new int32 array) and, when the run ended early, the library's
        reason for the first sample it could not read.
        """
        channel, first, count = check_channel(channel), check_index(first), check_count(count)
        if out is None:
            out = np.empty(count, dtype=np.int32)
        elif out.dtype != np.int32 or out.ndim != 1 or len(out) < count \
                or not out.flags.c_contiguous:
            raise ValueError("out must be a contiguous one-dimensional int32 array of at least "
                             f"{count} entries")
        done = 0
        while done < count:
            got = self._c.Get_Data_Samples(_pointer(out[done:]), channel, c_index(first + done),
                                           count - done)
            done += got
            if done == count:
                break
            reason = self._c.Get_DataPoint(channel, c_index(first + done))
            if reason < 0:
                return out[:done], Result(reason)
            # The sample arrived between the two calls: read on.
        return out[:count], None

    def read(self, channel: int, first: int, count: int) -> np.ndarray:
        """Samples ``first`` to ``first + count - 1`` of ``channel`` as a numpy uint16 array,
        read in bulk.  Raises :class:`~mv620.errors.ReadError` (an MV620Error), with the
        library's code for the first sample that could not be read and the samples read before
        it (``error.samples``), when not all of them can be."""
        samples, reason = self.read_available(channel, first, count)
        if reason is not None:
            index = (first + len(samples)) % INDEX_LIMIT
            raise ReadError(f"channel {channel}: read {len(samples)} of {count} samples from "
                            f"index {first}; sample {index}: {explain(reason)}",
                            samples.astype(np.uint16), reason, "Get_Data_Samples")
        return samples.astype(np.uint16)

    def trigger(self, channel: int, first: int, count: int, mode, level: int) -> Trigger:
        """Searches samples ``first`` .. ``first + count - 1`` of ``channel`` for the first one,
        from the second on, that meets ``mode`` (a TriggerMode, its number, or its name such as
        "rising") against ``level`` (0 to 65535)."""
        channel, first, count = check_channel(channel), check_index(first), check_count(count)
        mode = _trigger_mode(mode)
        if isinstance(level, bool) or not isinstance(level, (int, np.integer)) \
                or not 0 <= level <= 65535:
            raise ValueError(f"trigger level {level!r} is out of range: levels are 0 to 65535")
        buffer = np.full(count, -1, dtype=np.int32)
        value = self._c.Get_Trigger(_pointer(buffer), channel, c_index(first), count, int(mode),
                                    int(level))
        stored = int(np.argmax(buffer < 0)) if count and buffer[-1] < 0 else count
        samples = buffer[:stored].astype(np.uint16)
        if value == 0:
            return Trigger(None, None, samples)
        v = samples.astype(np.int64)
        previous = np.concatenate(([-1], v[:-1]))
        hits = {
            TriggerMode.RISING: (previous < level) & (v >= level),
            TriggerMode.FALLING: (previous > level) & (v <= level),
            TriggerMode.AT_OR_ABOVE: v >= level,
            TriggerMode.AT_OR_BELOW: v <= level,
        }[mode]
        hits[0] = False
        hits &= v != 0
        at = int(np.argmax(hits))
        if not hits[at] or v[at] != value:
            raise MV620Error(f"the trigger search returned {value}, which is not the first "
                             "triggering sample of the run it read", value, "Get_Trigger")
        return Trigger(value, (first + at) % INDEX_LIMIT, samples)

    # ---- status, lines and inputs ---------------------------------------------------------

    def status(self) -> Status:
        """Asks the instrument for its status.  Raises MV620Error (Result.NO_ANSWER) when no
        instrument answers; the library also answers so, without asking, while an acquisition
        runs."""
        code = self._c.Get_MV620ACQ_Status()
        if code == Result.NO_ANSWER:
            raise MV620Error(explain(code), code, "Get_MV620ACQ_Status")
        return Status(code)

    def set_line(self, line, on: bool) -> None:
        """Switches an output line (a Line, 0 to 3, or a name: autozero, odd-cal, even-cal,
        free).  The library confirms nothing: it reports success also with no instrument."""
        line = _line(line)
        functions = {
            Line.AUTOZERO: (self._c.Do_AZ_On, self._c.Do_AZ_Off),
            Line.ODD_CALIBRATION: (self._c.Do_Odd_Cal_On, self._c.Do_Odd_Cal_Off),
            Line.EVEN_CALIBRATION: (self._c.Do_Even_Cal_On, self._c.Do_Even_Cal_Off),
        }
        if line in functions:
            functions[line][0 if on else 1]()
        elif on:
            self._c.Do_Output_On(int(line))
        else:
            self._c.Do_Output_Off(int(line))

    def autozero_pulse(self) -> None:
        """The autozero line on for one second, then off (keeps this thread busy meanwhile)."""
        self._c.Do_Autozero()

    def input(self, bit: int) -> bool:
        """Whether digital input ``bit`` (0 to 6) is active; the inputs are active low.  The
        library reads input 3 as a copy of input 6, and every input as inactive when the port
        cannot be read (no instrument)."""
        if isinstance(bit, bool) or not isinstance(bit, (int, np.integer)) or not 0 <= bit <= 6:
            raise ValueError(f"input {bit!r} is not a digital input: inputs are 0 to 6")
        return bool(self._c.Get_Digital_Input(int(bit)))

    def inputs(self) -> Tuple[bool, ...]:
        """Inputs 0 to 6, as :meth:`input` reads them."""
        return tuple(self.input(bit) for bit in range(7))

    # ---- configuration download -----------------------------------------------------------

    def check_image(self, image: Union[str, os.PathLike]) -> "_image.Image":
        """Reads and checks a configuration image file without downloading it."""
        return _image.read_image(Path(image))[1]

    def download(self, image: Union[str, os.PathLike],
                 progress: Optional[Callable[[int, int], None]] = None) -> "_image.Image":
        """Downloads the configuration image file ``image`` (any path) into the instrument.

        The image is checked first (ImageError names a malformed record).  The library reads
        the image only under its fixed name in the current directory, so the package copies it
        into a private temporary directory and makes that the process's current directory for
        the length of the library's call (about 0.1 s per data packet), under :data:`cwd_lock`,
        and always changes back, also on an error or Ctrl-C (the library's call cannot be cut
        short: Ctrl-C takes effect when it returns).  While it runs, **other threads of the
        process see that temporary directory as their current directory**: they must not open
        files by relative path then, or must hold :data:`cwd_lock` around doing so (the
        package's own file functions do).

        ``progress(done, total)`` is called on this thread with the data packets sent: counted
        exactly on the simulated instrument, estimated from the library's pace of one packet
        per 0.1 s otherwise.  Returns the checked image; raises MV620Error when the instrument
        does not confirm the download (no instrument, a failed transfer or a wrong echo) or an
        acquisition of this package runs.
        """
        path = Path(image)
        data, parsed = _image.read_image(path)
        running = self._library.acquisition
        if running is not None and running.running:
            raise MV620Error("cannot download while an acquisition runs; stop it first", 0,
                             "LV_Download")
        total = parsed.packets
        counter = self.sim._data_packets_since if self.sim is not None else None
        result = []

        def call():
            result.append(self._c.LV_Download())

        with cwd_lock, tempfile.TemporaryDirectory(prefix="mv620-download-") as folder:
            with open(os.path.join(folder, IMAGE_FILE_NAME), "wb") as copy:
                copy.write(data)
            start_packet = self.sim.packet_count() if self.sim is not None else 0
            started = time.monotonic()
            worker = threading.Thread(target=call, name="mv620-download", daemon=True)
            # Ctrl-C waits for the library's call: the directory changes back only after it.
            with deferred_interrupt(), _working_directory(folder):
                worker.start()
                try:
                    while worker.is_alive():
                        worker.join(0.05)
                        if progress is not None:
                            if counter is not None:
                                done = counter(start_packet)
                            else:
                                done = int((time.monotonic() - started - 0.2) / 0.1)
                            progress(max(0, min(done, total - 1)), total)
                finally:
                    worker.join()
        if not result or result[0] != 1:
            raise MV620Error("the instrument did not confirm the download (no instrument, a "
                             "failed transfer or a wrong echo)", result[0] if result else 0,
                             "LV_Download")
        if progress is not None:
            progress(total, total)
        return parsed


class _working_directory:
    """Makes ``folder`` the current directory and always changes back to the one before, by its
    open handle where the system has one (so a renamed folder is still found)."""

    def __init__(self, folder: str):
        self.folder = folder

    def __enter__(self):
        if hasattr(os, "fchdir"):
            self.previous = os.open(".", os.O_RDONLY)
        else:
            self.previous = os.getcwd()
        try:
            os.chdir(self.folder)
        except BaseException:
            self._back()
            raise
        return self

    def _back(self):
        if isinstance(self.previous, int):
            try:
                os.fchdir(self.previous)
            finally:
                os.close(self.previous)
        else:
            os.chdir(self.previous)

    def __exit__(self, *exc):
        self._back()
        return False
