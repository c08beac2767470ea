"""The instrument as the view uses it, through the package's own API.

The whole view reaches the package through this module alone: the Instrument's calls, an
Acquisition started with the rates set at the moment, its streaming reader's chunks, the
library's trigger search, and the recorder of ``mv620 record``.  Should those change shape, only
this module changes.

Threads: a :class:`Device`, its :class:`Stream` and :class:`Recorder` belong to the server's
instrument thread; :meth:`Device.inputs` and :meth:`Device.set_line` may also be called
meanwhile from it while a stream runs.
"""

from __future__ import annotations

import math
from pathlib import Path
from typing import Callable, Dict, Optional, Tuple

from .._schedule import DIVIDER
from ..acquisition import Acquisition, Chunk
from ..errors import MV620Error
from ..instrument import Instrument, TriggerMode
from ..recording import RecordingBuilder

LINE_NUMBERS = {"autozero": 0, "odd-cal": 1, "even-cal": 2, "free": 3}
EDGE_MODES = {"rising": TriggerMode.RISING, "falling": TriggerMode.FALLING}


class Refused(Exception):
    """The instrument cannot do that now; the text says why."""


class Absent(Exception):
    """No instrument answered."""


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
        """Starts an acquisition with the rates set now; MV620Error when the library refuses."""
        acquisition = Acquisition(self.instrument, None)
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


class Recorder:
    """A recording of a stream from the sample the recorder was made at, saved with the
    recorder of ``mv620 record``.  It is made at a stream's start, so that indices in the file
    are the indices since the start."""

    def __init__(self, stream: Stream, path: Path):
        self.path = path
        self._ends = {c: 0 for c in stream.rates}
        self._blocks = 0
        self.rates = dict(stream.rates)
        self._builder = RecordingBuilder(self)

    # RecordingBuilder asks its acquisition for these; they stop where the recording stops.
    def next_index(self, channel: int) -> int:
        return self._ends[channel]

    @property
    def blocks(self) -> int:
        return self._blocks

    def add(self, chunk: Chunk) -> None:
        self._builder.add(chunk)
        for channel, samples in chunk.samples.items():
            self._ends[channel] = max(self._ends[channel], chunk.first[channel] + len(samples))
        for loss in chunk.lost:
            self._ends[loss.channel] = max(self._ends[loss.channel], loss.stop)
        self._blocks = chunk.blocks

    def save(self) -> Dict[str, int]:
        """Writes the file (this may take a while: call it off the instrument thread); returns
        what it holds."""
        recording = self._builder.finish()
        recording.save(self.path)
        return {"blocks": recording.blocks or 0,
                "samples": sum(len(s) for s in recording.samples.values()),
                "lost": recording.lost_count()}

