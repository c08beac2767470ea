"""An acquisition as a context manager, and its streaming reader.

::

    with instrument.acquire({0: 10, 3: 1}) as acquisition:   # or Acquisition(library, ...)
        for chunk in acquisition.stream(blocks=40):
            for channel, samples in chunk.samples.items():
                ...                       # the new samples, numpy uint16
        print(acquisition.losses)         # samples the ring overwrote before they were read

How the reader knows what is new.  The acquisition thread of the library counts blocks
(Get_Blocks_Transferred) and keeps the 15 newest readable.  From the rates the acquisition was
started with, the reader keeps the instrument's scan schedule (:mod:`mv620._schedule`), which
says exactly how many of each channel's samples the first b blocks hold.  After each count of
blocks it reads every channel from where it stopped to the end of the newest block, in one bulk
call per channel.

Lost samples.  When the reader falls more than 15 blocks behind, the ring has overwritten what
it had not read: the samples of the channel from where it stopped to the first sample of the
oldest readable block (block count - 15) are lost, and reading resumes there.  A block the
instrument could not deliver (both reads failed) reads as overwritten too; its samples are lost
for that reason.  Each loss is a :class:`Loss` (channel, first and one-past-last index, reason)
in the chunk that found it and in :attr:`Acquisition.losses`.  For every channel, each index
from 0 to where the reader stands is either in exactly one chunk or in exactly one loss.

Long recordings.  Sample indices here are Python integers counted from the start; they do not
wrap.  The library's indices are unsigned 32-bit and counted from a boundary, which the reader
moves forward in its steps of 16 cycles as it goes (Set_Sample_Boundary), so the indices it
passes stay small and never wrap.  What remains is the library's 32-bit count of blocks, which
the reader extends past its wrap by counting the difference at each poll: a recording stays
correct for 2**32 blocks (about 13 years at 10 blocks per second).  While a stream runs the
boundary belongs to it: read the acquisition's samples through it, not by index from another
thread.

How it ends.  Besides the ways asked for (a count of blocks, a duration, a condition, a stop), a
stream ends by itself in two ways, each after it has delivered every sample the ring still
holds, by raising :class:`~mv620.errors.StreamEnded`: when no block comes for ``timeout``
seconds (a silent instrument), and when the library has ended the acquisition by itself (the
instrument stopped answering, as when it is unplugged).  The library shows the latter only
through Get_Current_DataPoint, which answers 0 once its acquisition thread has ended although
blocks were transferred since the boundary; the reader asks it whenever a poll finds no new
block, so it notices within the library's own second of unanswered polls.
"""

from __future__ import annotations

import atexit
import time
from typing import Callable, Dict, Iterator, List, Mapping, Optional, Tuple

import numpy as np

from ._checks import CHANNELS, INDEX_LIMIT, c_index, check_channel, check_rate
from ._clib import INT_P
from ._schedule import BLOCK_SAMPLES, READABLE_BLOCKS, Schedule
from ._signals import deferred_interrupt
from .chunk import Chunk, Loss, LossReason
from .errors import MV620Error, Result, StreamEnded, explain
from .recording import Recording, RecordingBuilder

_EMPTY = np.zeros(0, dtype=np.uint16)
# Acquisitions running now, stopped when the interpreter exits should a program not have.
_running: set = set()


@atexit.register
def _stop_at_exit() -> None:
    for acquisition in list(_running):
        try:
            acquisition.stop()
        except Exception:  # noqa: BLE001 - leaving anyway
            pass


class Acquisition:
    """A continuous acquisition with the given rates, started on entering a ``with`` block (or
    by :meth:`start`) and always stopped on leaving it.

    ``library`` is the loaded library (``Instrument.library``; :meth:`Instrument.acquire` makes
    one for you).  ``rates`` maps channels to rates (10, 5, 2, 1); every other channel is
    switched off.  None keeps the rates set now.  ``timeout`` is how long :meth:`stream` waits
    for a block before it ends with StreamEnded (None: for ever).  ``keep_losses`` False keeps
    :attr:`losses` empty (the chunks still carry them), so that a stream of any length takes
    bounded memory.  Only one acquisition runs per library at a time.
    """

    def __init__(self, library, rates: Optional[Mapping[int, int]] = None, *,
                 timeout: Optional[float] = 10.0, interval: float = 0.01,
                 keep_losses: bool = True):
        # An Instrument is taken too, for its library (as programs written before did).
        self.library = getattr(library, "library", library)
        self._c = self.library.c
        # Checked now, so that a bad channel or rate never reaches the library.
        self._requested = None if rates is None else \
            {check_channel(c): check_rate(r) for c, r in rates.items()}
        self.timeout = timeout
        self.interval = interval
        self.rates: Dict[int, int] = {}
        self.schedule: Optional[Schedule] = None
        self.keep_losses = keep_losses
        self.losses: List[Loss] = []
        self._lost = 0
        self.delivered: Dict[int, int] = {}
        self.running = False
        self.started = False
        self._next: Dict[int, int] = {}
        self._boundary = 0
        self._blocks = 0
        self._blocks32 = 0
        self._undelivered: Optional[Chunk] = None
        self._buffer = np.empty(READABLE_BLOCKS * BLOCK_SAMPLES, dtype=np.int32)
        self._buffer_pointer = self._buffer.ctypes.data_as(INT_P)
        #: The host's clock (time.monotonic()) at the start, and at each poll that found blocks
        #: new: (blocks, arrival) pairs, the latest moment by which that many had arrived.
        self.started_at: Optional[float] = None
        self.ended_by_library = False

    # ---- start and stop -----------------------------------------------------------------------

    def __enter__(self) -> "Acquisition":
        self.start()
        return self

    def __exit__(self, *exc) -> bool:
        self.stop()
        return False

    def start(self) -> None:
        """Sets the rates and starts.  Raises MV620Error when the library refuses (no channel
        on) and RuntimeError when another acquisition of this package runs on the library."""
        library, c = self.library, self._c
        if self.started:
            raise RuntimeError("this acquisition has already been started; make a new one")
        if library.acquisition is not None and library.acquisition.running:
            raise RuntimeError("another acquisition runs on this library; stop it first")
        if self._requested is not None:
            for channel in CHANNELS:
                c.Set_Sample_Rate(channel, self._requested.get(channel, 0))
        if not c.Start_Acquisition(None):
            raise MV620Error("the acquisition did not start: no channel is on", 0,
                             "Start_Acquisition")
        self.started_at = time.monotonic()
        self.started = self.running = True
        library.acquisition = self
        _running.add(self)
        try:
            self.rates = {ch: r for ch in CHANNELS if (r := c.Get_Sample_Rate(ch))}
            self.schedule = Schedule(self.rates)
            for channel in self.rates:
                expected = self.schedule.modulus(channel) % INDEX_LIMIT
                actual = c.Get_Sample_Modulus(channel) % INDEX_LIMIT
                if actual != expected:
                    raise MV620Error(f"channel {channel}: the library's modulus is {actual}, "
                                     f"the scan schedule gives {expected}", actual,
                                     "Get_Sample_Modulus")
        except BaseException:
            self.stop()
            raise
        self._next = {c: 0 for c in self.rates}
        self.delivered = {c: 0 for c in self.rates}

    def stop(self) -> None:
        """Stops the acquisition (the instrument's last blocks stay readable: :meth:`poll` and
        :meth:`stream` still deliver them).  Stopping twice is harmless."""
        if self.running:
            self.running = False
            _running.discard(self)
            if self._c.Stop_Acquisition() != 0:
                raise MV620Error("waiting for the acquisition thread to end failed", -1,
                                 "Stop_Acquisition")

    @property
    def channels(self) -> Tuple[int, ...]:
        return tuple(self.rates)

    @property
    def blocks(self) -> int:
        """Blocks transferred since the start, as of the latest poll (does not wrap)."""
        return self._blocks

    @property
    def boundary(self) -> int:
        """The boundary the library's indices count from now (in steps of 16 cycles)."""
        return self._boundary

    @property
    def lost_count(self) -> int:
        """Samples lost so far, all channels together."""
        return self._lost

    def next_index(self, channel: int) -> int:
        """The index of ``channel``'s next sample to be delivered."""
        return self._next[channel]

    # ---- reading ------------------------------------------------------------------------------

    def poll(self, blocks: Optional[int] = None) -> Chunk:
        """Reads what is new: every channel's samples from where the reader stands to the end of
        the newest block transferred (or of block ``blocks`` - 1, whichever comes first).

        Ctrl-C is held back until the poll is done; a chunk read when it came is returned by the
        next poll, so nothing read is dropped.
        """
        if not self.started:
            raise RuntimeError("the acquisition has not been started")
        with deferred_interrupt() as held:
            if self._undelivered is not None:
                chunk, self._undelivered = self._undelivered, None
            else:
                chunk = self._read_new(blocks)
            if held.pending:
                self._undelivered = chunk
        return chunk

    def _count_blocks(self) -> int:
        now = self._c.Get_Blocks_Transferred() % INDEX_LIMIT
        self._blocks += (now - self._blocks32) % INDEX_LIMIT
        self._blocks32 = now
        return self._blocks

    def _read_new(self, limit: Optional[int]) -> Chunk:
        c = self._c
        schedule = self.schedule
        blocks = self._count_blocks()
        arrival = time.monotonic()
        firsts: Dict[int, int] = {}
        news: Dict[int, np.ndarray] = {}
        lost: List[Loss] = []
        for channel in self.rates:
            reach = blocks if limit is None else min(blocks, limit)
            end = schedule.samples_before(channel, reach)
            origin = self._boundary * schedule.modulus(channel)
            position = self._next[channel]
            first = None
            pieces: List[np.ndarray] = []
            while position < end:
                oldest = schedule.samples_before(channel, blocks - READABLE_BLOCKS)
                if position < oldest:
                    if pieces:
                        break  # reported by the next poll, before the samples it finds
                    stop = min(oldest, end)
                    lost.append(Loss(channel, position, stop, LossReason.OVERTAKEN))
                    position = stop
                    continue
                want = min(end - position, len(self._buffer))
                got = c.Get_Data_Samples(self._buffer_pointer, channel,
                                         c_index(position - origin), want)
                if got:
                    if first is None:
                        first = position
                    pieces.append(self._buffer[:got].astype(np.uint16))
                    position += got
                if got == want:
                    continue
                reason = c.Get_DataPoint(channel, c_index(position - origin))
                if reason >= 0:
                    continue
                blocks = self._count_blocks()
                if reason != Result.OVERWRITTEN:
                    raise MV620Error(
                        f"channel {channel}, sample {position}: the library answers "
                        f"'{explain(reason)}' for a sample of a block it has transferred; its "
                        "scan schedule differs from the reader's", reason, "Get_DataPoint")
                block = schedule.block_of(channel, position)
                if block >= blocks - READABLE_BLOCKS:
                    # Inside the readable window: a block the instrument could not deliver.
                    if pieces:
                        break
                    stop = min(schedule.samples_before(channel, block + 1), end)
                    lost.append(Loss(channel, position, stop, LossReason.UNREADABLE))
                    position = stop
                # Else the ring overtook the reader during the read: the window test above
                # reports it.
            firsts[channel] = first if first is not None else position
            news[channel] = np.concatenate(pieces) if len(pieces) > 1 else \
                (pieces[0] if pieces else _EMPTY)
            self._next[channel] = position
            self.delivered[channel] += len(news[channel])
        if self.keep_losses:
            self.losses.extend(lost)
        self._lost += sum(loss.count for loss in lost)
        self._move_boundary()
        return Chunk(blocks, firsts, news, tuple(lost), arrival)

    def _move_boundary(self) -> None:
        # Keep the library's indices small: count them from the latest boundary (a step of 16
        # cycles) that lies at or before every channel's next sample.
        schedule = self.schedule
        boundary = min(self._next[c] // schedule.modulus(c) for c in self.rates)
        if boundary > self._boundary:
            self._c.Set_Sample_Boundary(boundary)
            self._boundary = boundary

    def _complete(self, blocks: int) -> bool:
        return all(self._next[c] >= self.schedule.samples_before(c, blocks) for c in self.rates)

    def _ended_by_itself(self) -> bool:
        """Whether the library's acquisition thread has ended although nobody stopped it: it
        answers 0 to Get_Current_DataPoint although blocks came since the boundary."""
        if self._blocks <= self._boundary * self.schedule.boundary_blocks():
            return False  # 0 either way: cannot tell yet
        return self._c.Get_Current_DataPoint(next(iter(self.rates))) == 0

    def stream(self, blocks: Optional[int] = None, duration: Optional[float] = None,
               until: Optional[Callable[[], bool]] = None) -> Iterator[Chunk]:
        """Yields a :class:`Chunk` each time new samples (or losses) are found.

        With ``blocks``, ends once every sample of the first ``blocks`` blocks has been
        delivered or reported lost; with ``duration`` (seconds), once that time has passed and
        what came until then is delivered; with ``until``, once it returns True (it is asked
        before every poll, also while no block comes).  Each way the acquisition is then
        stopped.  Without any it runs until the acquisition is stopped (call :meth:`stop` from
        the loop) and then delivers what the ring still holds.

        Raises :class:`~mv620.errors.StreamEnded`, once it has delivered what the ring still
        holds, when no block arrives for ``timeout`` seconds (``silent`` True) or the library
        ended the acquisition by itself (``silent`` False).
        """
        if blocks is not None and (isinstance(blocks, bool) or not isinstance(blocks, int)
                                   or blocks < 1):
            raise ValueError(f"blocks {blocks!r} must be a whole number of at least 1")
        if duration is not None and not duration > 0:
            raise ValueError(f"duration {duration!r} must be a positive number of seconds")
        began = time.monotonic()
        changed, seen = began, self._blocks
        ending: Optional[StreamEnded] = None
        while True:
            now = time.monotonic()
            if self.running and ((duration is not None and now - began >= duration)
                                 or (until and until())):
                self.stop()
            # Stopped before this poll, which then reads the last blocks (unless it hands over
            # a chunk held back by Ctrl-C first).
            final = not self.running and self._undelivered is None
            chunk = self.poll(blocks)
            if chunk:
                yield chunk
            if blocks is not None and self._complete(blocks):
                self.stop()
                return
            if final:
                if ending is not None:
                    raise ending
                return
            if not self.running:
                continue
            if chunk.blocks != seen:
                changed, seen = now, chunk.blocks
            elif self._ended_by_itself():
                self.ended_by_library = True
                ending = StreamEnded(
                    f"the library ended the acquisition after {seen} blocks: the instrument "
                    "stopped answering", False, None, "Get_Current_DataPoint")
                self.stop()
                continue
            elif self.timeout is not None and now - changed > self.timeout:
                ending = StreamEnded(f"no block from the instrument for {self.timeout:g} s",
                                     True, Result.NO_BLOCKS if seen == 0 else None,
                                     "Get_Blocks_Transferred")
                self.stop()
                continue
            if not chunk:
                time.sleep(self.interval)

    def record(self, blocks: Optional[int] = None, duration: Optional[float] = None,
               progress=None) -> Recording:
        """Streams (see :meth:`stream`) into a :class:`~mv620.recording.Recording` held in
        memory (for long recordings write to a file as you go with
        :class:`~mv620.recorder.Recorder`).  ``progress(chunk, acquisition)`` is called after
        each chunk."""
        builder = RecordingBuilder(self.rates, self.started_at)
        for chunk in self.stream(blocks, duration):
            builder.add(chunk)
            if progress is not None:
                progress(chunk, self)
        recorded = self.blocks if blocks is None else min(blocks, self.blocks)
        return builder.finish(self._next, recorded)
