"""Min/max per screen column: what the page draws, whatever the sample rate.

The time axis of the page counts scan passes, the instrument's own clock: a column spans the
same number of passes on every channel, so the channels' columns line up.  That number is a
multiple of every divider in use, so a channel with divider d has exactly ``passes / d`` samples
in every column, and column j of a channel holds its samples ``j * per_column`` to
``(j + 1) * per_column - 1``.  The server sends each column once, as it completes; the page
keeps the newest columns in a ring.
"""

from __future__ import annotations

import math
from typing import Dict, List, Mapping, Tuple

import numpy as np

from .._schedule import DIVIDER

#: The aggregate pace the window's seconds are reckoned at: 10 blocks of 32000 samples a second.
NOMINAL_SAMPLES_PER_SECOND = 320_000


def passes_per_column(rates: Mapping[int, int], window: float, columns: int,
                      samples_per_second: int = NOMINAL_SAMPLES_PER_SECOND) -> int:
    """Scan passes per column for ``columns`` columns across ``window`` seconds: the nearest
    multiple of the dividers' common period at or above what the window asks (at least one
    period)."""
    on = {c: r for c, r in rates.items() if r}
    if not on or columns < 1 or not window > 0:
        raise ValueError("passes_per_column needs a channel on, columns and a window")
    period = math.lcm(*(DIVIDER[r] for r in on.values()))
    passes_per_second = samples_per_second * 10 / sum(on.values())
    wanted = window * passes_per_second / columns
    return max(1, math.ceil(wanted / period - 1e-9)) * period


def samples_per_column(rates: Mapping[int, int], passes: int) -> Dict[int, int]:
    """Each channel's samples in a column of ``passes`` scan passes."""
    return {c: passes // DIVIDER[r] for c, r in rates.items() if r}


def column_min_max(samples: np.ndarray, per_column: int) -> Tuple[np.ndarray, np.ndarray]:
    """The minimum and maximum of each whole run of ``per_column`` samples (a trailing partial
    run is left out)."""
    whole = len(samples) // per_column
    runs = samples[:whole * per_column].reshape(whole, per_column)
    return runs.min(axis=1), runs.max(axis=1)


class Segment:
    """Columns ``first`` to ``first + len(low) - 1`` of one channel."""

    __slots__ = ("first", "low", "high")

    def __init__(self, first: int, low: List[np.ndarray], high: List[np.ndarray]):
        self.first, self.low, self.high = first, low, high

    @property
    def count(self) -> int:
        return sum(len(part) for part in self.low)

    def arrays(self) -> Tuple[np.ndarray, np.ndarray]:
        return np.concatenate(self.low), np.concatenate(self.high)


class ColumnReducer:
    """Turns one channel's samples, fed in order by index (gaps allowed where samples were
    lost), into the min and max of each completed column.

    A column with samples missing is sent with the samples it has; columns with none are not
    sent at all (the page leaves them blank).
    """

    def __init__(self, per_column: int):
        if per_column < 1:
            raise ValueError("a column holds at least one sample")
        self.per_column = per_column
        self.column = 0  # the column being filled
        self.low = self.high = None  # its extremes so far, None while it is empty
        self.segments: List[Segment] = []

    def _emit(self, column: int, low: np.ndarray, high: np.ndarray) -> None:
        last = self.segments[-1] if self.segments else None
        if last is not None and last.first + last.count == column:
            last.low.append(low)
            last.high.append(high)
        else:
            self.segments.append(Segment(column, [low], [high]))

    def feed(self, first: int, samples: np.ndarray) -> None:
        """Samples ``first`` to ``first + len(samples) - 1``; ``first`` is at or past the end
        of what was fed before."""
        if not len(samples):
            return
        per = self.per_column
        column, offset = divmod(first, per)
        if column != self.column:  # samples were lost up to a later column
            if self.low is not None:
                self._emit(self.column, np.array([self.low], np.uint16),
                           np.array([self.high], np.uint16))
            self.column, self.low, self.high = column, None, None
        head = samples[:per - offset]
        low, high = int(head.min()), int(head.max())
        if self.low is not None:
            low, high = min(low, self.low), max(high, self.high)
        if len(head) < per - offset:
            self.low, self.high = low, high
            return
        self._emit(self.column, np.array([low], np.uint16), np.array([high], np.uint16))
        self.column += 1
        rest = samples[per - offset:]
        lows, highs = column_min_max(rest, per)
        if len(lows):
            self._emit(self.column, lows.astype(np.uint16), highs.astype(np.uint16))
            self.column += len(lows)
        tail = rest[len(lows) * per:]
        self.low, self.high = (int(tail.min()), int(tail.max())) if len(tail) else (None, None)

    def take(self, keep: int) -> List[Segment]:
        """The columns completed since the last take, only those among the newest ``keep``
        columns (older ones would scroll off the page before it drew them)."""
        segments, self.segments = self.segments, []
        oldest = self.column - keep
        kept = []
        for segment in segments:
            end = segment.first + segment.count
            if end <= oldest:
                continue
            if segment.first < oldest:
                low, high = segment.arrays()
                cut = oldest - segment.first
                segment = Segment(oldest, [low[cut:]], [high[cut:]])
            kept.append(segment)
        return kept
