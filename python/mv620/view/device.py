"""The instrument as the view uses it, through the package's own API.

The whole view reaches the package through this module alone: the Instrument's calls, an
Acquisition started with the rates set at the moment, its streaming reader's chunks, the
library's trigger search, and the recorder of ``mv620 record``.  Should those change shape, only
this module changes.

Threads: a :class:`Device`, its :class:`Stream` and :class:`Recording` belong to the server's
instrument thread; :meth:`Device.inputs` and :meth:`Device.set_line` may also be called
meanwhile from it while a stream runs.  A :class:`Recording` the thread has let go of may be
closed on another thread.
"""

from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Callable, Dict, Mapping, Optional, Tuple

from .._schedule import DIVIDER
from ..acquisition import Acquisition
from ..chunk import Chunk
from ..errors import MV620Error
from ..instrument import Instrument, TriggerMode
from ..recorder import Recorder, RecorderFull, output_format

LINE_NUMBERS = {"autozero": 0, "odd-cal": 1, "even-cal": 2, "free": 3}
EDGE_MODES = {"rising": TriggerMode.RISING, "falling": TriggerMode.FALLING}


class Refused(Exception):
    """The instrument cannot do that now; the text says why."""


class Absent(Exception):
    """No instrument answered."""


class Unrecordable(Exception):
    """A recording cannot be made; the text says why."""


class Full(Exception):
    """Writing the recording failed (the disk is full); the text says so."""


class Device:
    def __init__(self, instrument: Instrument):
        self.instrument = instrument

    @property
    def simulated(self) -> bool:
        return self.instrument.simulated

    def rates(self) -> Dict[int, int]:
        """Every channel's rate as the library reports it (0: off)."""
        return {c: self.instrument.rate(c) for c in range(40)}

    def set_rate(self, channel: int, rate: int) -> int:
        return self.instrument.set_rate(channel, rate)

    def status(self) -> Tuple[Optional[int], str]:
        """The status value (None for the statuses without one) and its text; Absent when no
        instrument answers."""
        try:
            status = self.instrument.status()
        except MV620Error as error:
            raise Absent(str(error)) from None
        return status.value, str(status)

    def present(self) -> bool:
        try:
            self.status()
        except Absent:
            return False
        return True

    def set_line(self, line: str, on: bool) -> None:
        self.instrument.set_line(LINE_NUMBERS[line], on)

    def inputs(self) -> Tuple[bool, ...]:
        return self.instrument.inputs()

    def download(self, path: Path, progress: Callable[[int, int], None]):
        """Downloads the image file; returns (words, packets)."""
        image = self.instrument.download(path, progress)
        return image.words, image.packets

    def start(self) -> "Stream":
        """Starts an acquisition with the rates set now; MV620Error when the library refuses.
        Its losses go to the page and a recording's file as the chunks bring them, and are not
        also kept here, so that a stream of any length takes bounded memory."""
        acquisition = Acquisition(self.instrument, None, keep_losses=False)
        acquisition.start()
        return Stream(self.instrument, acquisition)


class Stream:
    """A running acquisition and its reader."""

    def __init__(self, instrument: Instrument, acquisition: Acquisition):
        self._instrument = instrument
        self._acquisition = acquisition
        self.rates: Dict[int, int] = dict(acquisition.rates)
        #: Scan passes after which every channel's sampling repeats.
        self.period = math.lcm(*(DIVIDER[r] for r in self.rates.values()))

    @property
    def running(self) -> bool:
        return self._acquisition.running

    @property
    def blocks(self) -> int:
        return self._acquisition.blocks

    @property
    def started_at(self) -> Optional[float]:
        """The host's clock (time.monotonic()) at the start."""
        return self._acquisition.started_at

    @property
    def lost(self) -> int:
        return self._acquisition.lost_count

    def poll(self) -> Chunk:
        return self._acquisition.poll()

    def stop(self) -> None:
        self._acquisition.stop()

    def trigger(self, channel: int, first: int, count: int, edge: str,
                level: int) -> Optional[Tuple[int, int]]:
        """The library's search over samples ``first`` to ``first + count - 1`` of ``channel``
        (indices from the start; just read, so still in the ring): the first sample crossing
        ``level`` on ``edge``, as (index, value), or None."""
        acquisition = self._acquisition
        origin = acquisition.boundary * acquisition.schedule.modulus(channel)
        if first < origin:
            count -= origin - first
            first = origin
        if count < 2:
            return None
        found = self._instrument.trigger(channel, first - origin, count, EDGE_MODES[edge], level)
        if found.index is None:
            return None
        return origin + found.index, found.value


class Recording:
    """A recording to a file by the recorder of ``mv620 record``, written as the chunks come,
    so memory stays bounded whatever its length.

    The file is opened when the recording is made, before its acquisition starts: a folder
    that cannot be written, a format without its module (HDF5 needs h5py), or a name that
    exists fails then, before anything is recorded (:class:`Unrecordable`).  Until the file is
    closed it is a hidden temporary file beside the target; :meth:`close` gives it its name
    with whatever was recorded, however the recording ended."""

    def __init__(self, path: Path, rates: Mapping[int, int]):
        self.path = path
        try:
            output_format(path)
        except ValueError as error:
            raise Unrecordable(str(error)) from None
        if os.path.lexists(path):
            raise Unrecordable(f"{path.name} exists in {path.parent}; choose another name")
        try:
            self._recorder = Recorder(path, {c: r for c, r in rates.items() if r})
        except OSError as error:
            raise Unrecordable(f"cannot record to {path.name} in {path.parent}: "
                               f"{error.strerror or error}") from None
        except ImportError as error:
            raise Unrecordable(f"cannot record to {path.name}: {error}") from None
        self.samples = 0

    def begin(self, stream: Stream) -> None:
        """Records ``stream``, just started (its indices count from its start, as in the file).
        Unrecordable when it runs other rates than the file was opened for."""
        if stream.rates != self._recorder.rates:
            raise Unrecordable("the acquisition runs other rates than the recording was opened "
                               "for; start the recording again")
        self._recorder.started = stream.started_at

    @property
    def blocks(self) -> int:
        return self._recorder.blocks

    def add(self, chunk: Chunk) -> None:
        """Writes ``chunk``; :class:`Full` when a write fails (the file then keeps what was
        written before, and takes nothing more)."""
        try:
            self._recorder.add(chunk)
        except RecorderFull as error:
            raise Full(str(error)) from None
        self.samples += chunk.sample_count

    def close(self, ending: str) -> Dict[str, int]:
        """Finishes the file and gives it its name (this may take a while for .npz, which is
        assembled now: call it off the instrument thread); ``ending`` says how the recording
        ended, and is kept in HDF5 and .npz files.  Returns what the file holds."""
        recorder = self._recorder
        recorder.close(ending)
        return {"blocks": recorder.blocks, "samples": self.samples, "lost": recorder.lost_count}

    def discard(self) -> None:
        """Drops the file: nothing was recorded."""
        self._recorder.discard()

