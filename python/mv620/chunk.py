"""What a stream of samples is made of: chunks of new samples and the losses found.

An :class:`~mv620.acquisition.Acquisition` yields chunks; a
:class:`~mv620.recorder.Recorder` and a :class:`~mv620.recording.Recording` take them.  Nothing
here reads the instrument, so a program may also build chunks itself (to replay a recording, or
in tests).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Mapping, Optional, Tuple

import numpy as np


class LossReason(enum.Enum):
    OVERTAKEN = "the ring overtook the reader"
    UNREADABLE = "the instrument could not deliver its block"
    UNKNOWN = "reason not recorded"  # read back from CSV, which does not keep the reason


#: Codes of the reasons in files (.npz, HDF5): 0 overtaken, 1 unreadable, 2 unknown.
REASON_CODES = (LossReason.OVERTAKEN, LossReason.UNREADABLE, LossReason.UNKNOWN)


@dataclass(frozen=True)
class Loss:
    """Samples ``start`` to ``stop - 1`` of ``channel`` were lost, for ``reason``."""

    channel: int
    start: int
    stop: int
    reason: LossReason = LossReason.OVERTAKEN

    @property
    def count(self) -> int:
        return self.stop - self.start

    def __str__(self) -> str:
        what = f"sample {self.start}" if self.count == 1 else \
            f"samples {self.start} to {self.stop - 1}"
        why = "" if self.reason is LossReason.UNKNOWN else f" ({self.reason.value})"
        return f"channel {self.channel}: {what} lost{why}"


@dataclass(frozen=True)
class Chunk:
    """What one poll of the reader found.

    For each channel of the acquisition, ``samples[c]`` holds its new samples (numpy uint16,
    possibly empty) from index ``first[c]`` on; ``lost`` the losses found, each of which ends
    before (at or below) the first new sample of its channel.  ``blocks`` is the count of blocks
    transferred that the poll read against, and ``arrival`` the host's clock
    (``time.monotonic()``) when the poll saw that count: the latest moment by which those blocks
    had arrived.
    """

    blocks: int
    first: Mapping[int, int]
    samples: Mapping[int, np.ndarray]
    lost: Tuple[Loss, ...] = ()
    arrival: Optional[float] = None

    @property
    def sample_count(self) -> int:
        return sum(len(s) for s in self.samples.values())

    @property
    def lost_count(self) -> int:
        return sum(loss.count for loss in self.lost)

    def __bool__(self) -> bool:
        return self.sample_count > 0 or bool(self.lost)
