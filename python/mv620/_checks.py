"""Checks and constants that several modules share: channels, rates, indices, counts.

This module imports nothing of the package (nor numpy, so that the command-line tool starts
quickly), so any module may use it without forming a circle.
"""

from __future__ import annotations

import numbers
import threading

CHANNELS = range(40)
#: The rates the instrument takes, in samples per 10 scan passes; 0 switches a channel off.
RATES = (10, 5, 2, 1)
INDEX_LIMIT = 1 << 32  # sample indices are unsigned 32-bit numbers

#: Held while the package has the process in another directory (during a download).  Threads
#: that resolve relative paths while a download may run can hold it around their file calls.
cwd_lock = threading.RLock()


def _whole(value) -> bool:
    # numpy's integers count as numbers.Integral too; True and False do not count here.
    return not isinstance(value, bool) and isinstance(value, numbers.Integral)


def check_channel(channel) -> int:
    if not _whole(channel) or not 0 <= channel <= 39:
        raise ValueError(f"channel {channel!r} is not a channel: channels are 0 to 39")
    return int(channel)


def check_rate(rate) -> int:
    if not _whole(rate) or rate not in RATES + (0,):
        raise ValueError(f"rate {rate!r} is not one the instrument takes: rates are 10, 5, 2 "
                         "and 1 samples per 10 scan passes, or 0 to switch the channel off")
    return int(rate)


def check_index(index, what: str = "sample index") -> int:
    if not _whole(index) or not 0 <= index < INDEX_LIMIT:
        raise ValueError(f"{what} {index!r} is out of range: indices are 0 to {INDEX_LIMIT - 1}")
    return int(index)


def check_count(count) -> int:
    if not _whole(count) or not 0 <= count <= 0x7FFFFFFF:
        raise ValueError(f"count {count!r} is out of range: counts are 0 to {0x7FFFFFFF}")
    return int(count)


def c_index(index: int) -> int:
    """An unsigned 32-bit sample index as the int the library takes (wrapping)."""
    index %= INDEX_LIMIT
    return index - INDEX_LIMIT if index >= 1 << 31 else index


def plural(count: int, word: str) -> str:
    """'1 word', '2 words'."""
    return f"{count} {word}" if count == 1 else f"{count} {word}s"
