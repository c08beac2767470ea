"""Recordings: the samples of an acquisition per channel, saved as CSV or .npz and read back.

Every channel's samples are kept from index 0 to where the recording ended, whatever its rate;
samples that were lost hold 0 in the array, are listed in :attr:`Recording.losses` and are
False in :meth:`Recording.valid`.

CSV: a header ``sample,channel0,channel3,...``, then one row per sample index: the index, then
each channel's sample with that index, or nothing where the channel has no such sample (it
ended earlier, or the sample was lost).  Read it back with numpy::

    data = numpy.genfromtxt("rec.csv", delimiter=",", names=True)   # empty cells become nan
    channel0 = data["channel0"]

.npz: the arrays ``channel<c>`` (uint16), ``channels`` and ``rates``, ``losses`` (one row per
loss: channel, first index, one past the last, reason 0 overtaken / 1 unreadable / 2 unknown)
and ``blocks``; ``numpy.load("rec.npz")["channel0"]`` gives channel 0.
"""

from __future__ import annotations

import io
import os
import re
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Union

import numpy as np

from .acquisition import Chunk, Loss, LossReason
from .instrument import check_channel, cwd_lock

FORMATS = (".csv", ".npz")
_REASON_CODES = [LossReason.OVERTAKEN, LossReason.UNREADABLE, LossReason.UNKNOWN]


def output_format(path: Union[str, os.PathLike]) -> str:
    """The format a file name asks for, by its suffix; ValueError for any other."""
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"{path}: unknown format {suffix or '(no suffix)'!s}; "
                         "name the file .csv or .npz")
    return suffix


@dataclass(frozen=True)
class ChannelSummary:
    channel: int
    rate: Optional[int]
    samples: int  # samples recorded (lost ones not counted)
    lost: int
    minimum: Optional[int]
    maximum: Optional[int]
    mean: Optional[float]


class Recording:
    """Samples per channel (numpy uint16, from index 0), their losses, the channels' rates
    (None where unknown, as after reading a CSV) and the blocks recorded."""

    def __init__(self, samples: Dict[int, np.ndarray], losses: Iterable[Loss] = (),
                 rates: Optional[Dict[int, Optional[int]]] = None, blocks: Optional[int] = None):
        self.samples = {int(c): np.asarray(s, dtype=np.uint16) for c, s in sorted(samples.items())}
        self.losses: List[Loss] = sorted(losses, key=lambda l: (l.channel, l.start))
        self.rates = {c: (rates or {}).get(c) for c in self.samples}
        self.blocks = blocks

    @property
    def channels(self) -> List[int]:
        return list(self.samples)

    def __getitem__(self, channel: int) -> np.ndarray:
        return self.samples[channel]

    def valid(self, channel: int) -> np.ndarray:
        """A boolean array, False where the channel's sample was lost."""
        mask = np.ones(len(self.samples[channel]), dtype=bool)
        for loss in self.losses:
            if loss.channel == channel:
                mask[loss.start:loss.stop] = False
        return mask

    def lost_count(self, channel: Optional[int] = None) -> int:
        return sum(l.count for l in self.losses if channel is None or l.channel == channel)

    def summary(self) -> List[ChannelSummary]:
        rows = []
        for channel, samples in self.samples.items():
            kept = samples[self.valid(channel)]
            rows.append(ChannelSummary(
                channel, self.rates.get(channel), len(kept), self.lost_count(channel),
                int(kept.min()) if len(kept) else None, int(kept.max()) if len(kept) else None,
                float(kept.mean()) if len(kept) else None))
        return rows

    # ---- files ----------------------------------------------------------------------------------

    def save(self, path: Union[str, os.PathLike]) -> Path:
        """Writes the recording as CSV or .npz, by the file's suffix."""
        kind = output_format(path)
        with cwd_lock:
            path = Path(os.path.abspath(path))
        if kind == ".npz":
            arrays = {f"channel{c}": s for c, s in self.samples.items()}
            losses = np.array([[l.channel, l.start, l.stop, _REASON_CODES.index(l.reason)]
                               for l in self.losses], dtype=np.int64).reshape(-1, 4)
            with open(path, "wb") as f:
                np.savez_compressed(
                    f, channels=np.array(self.channels, dtype=np.int64),
                    rates=np.array([self.rates[c] or 0 for c in self.channels], dtype=np.int64),
                    losses=losses, blocks=np.int64(-1 if self.blocks is None else self.blocks),
                    **arrays)
        else:
            self._write_csv(path)
        return path

    def _write_csv(self, path: Path) -> None:
        rows = max((len(s) for s in self.samples.values()), default=0)
        columns = []
        for channel, samples in self.samples.items():
            text = np.full(rows, "", dtype=object)
            text[:len(samples)] = samples.astype(str)
            text[:len(samples)][~self.valid(channel)] = ""
            columns.append(text)
        header = ",".join(["sample"] + [f"channel{c}" for c in self.samples])
        step = 65536
        with open(path, "w", newline="") as f:
            f.write(header + "\n")
            for begin in range(0, rows, step):
                stop = min(rows, begin + step)
                parts = [np.arange(begin, stop).astype(str).astype(object)]
                parts += [column[begin:stop] for column in columns]
                lines = parts[0]
                for part in parts[1:]:
                    lines = lines + "," + part
                f.write("\n".join(lines) + "\n")

    @classmethod
    def load(cls, path: Union[str, os.PathLike]) -> "Recording":
        """Reads a recording saved as CSV or .npz."""
        kind = output_format(path)
        with cwd_lock:
            path = Path(os.path.abspath(path))
        if kind == ".npz":
            try:
                with np.load(path, allow_pickle=False) as data:
                    channels = [int(c) for c in data["channels"]]
                    rates = {c: (int(r) or None) for c, r in zip(channels, data["rates"])}
                    samples = {c: data[f"channel{c}"] for c in channels}
                    losses = [Loss(int(c), int(a), int(b), _REASON_CODES[int(r)])
                              for c, a, b, r in data["losses"]]
                    blocks = int(data["blocks"])
            except (ValueError, KeyError, IndexError, zipfile.BadZipFile) as error:
                raise ValueError(f"{path} is not a recording: {error}") from None
            return cls(samples, losses, rates, None if blocks < 0 else blocks)
        return cls._read_csv(path)

    @classmethod
    def _read_csv(cls, path: Path) -> "Recording":
        with open(path) as f:
            header = f.readline().strip().split(",")
            if not header or header[0] != "sample" or not all(
                    h.startswith("channel") and h[7:].isdigit() for h in header[1:]):
                raise ValueError(f"{path} is not a recording: its first line is not "
                                 "'sample,channel<c>,...'")
            text = f.read()
        channels = [check_channel(int(h[7:])) for h in header[1:]]
        # Empty cells (no sample there) become -1; then numpy's own parser reads the table.
        text = re.sub(r"(?<=,)(?=,|\n|\Z)", "-1", text)
        try:
            table = np.loadtxt(io.StringIO(text), delimiter=",", dtype=np.int64, ndmin=2) \
                if text.strip() else np.zeros((0, len(header)), dtype=np.int64)
        except ValueError as error:
            raise ValueError(f"{path} is not a recording: {error}") from None
        if table.shape[1] != len(header):
            raise ValueError(f"{path}: rows do not have {len(header)} columns")
        if (table[:, 1:] > 65535).any() or (table[:, 1:] < -1).any():
            raise ValueError(f"{path} is not a recording: it holds values outside 0 to 65535")
        samples, losses = {}, []
        for k, channel in enumerate(channels):
            column = table[:, k + 1]
            present = np.flatnonzero(column >= 0)
            end = int(present[-1]) + 1 if len(present) else 0
            values = column[:end]
            missing = values < 0
            samples[channel] = np.where(missing, 0, values).astype(np.uint16)
            # Runs of missing cells before the channel's last sample are losses.
            edges = np.flatnonzero(np.diff(np.concatenate(([0], missing.view(np.int8), [0]))))
            for start, stop in zip(edges[::2], edges[1::2]):
                losses.append(Loss(channel, int(start), int(stop), LossReason.UNKNOWN))
        return cls(samples, losses)


def load(path: Union[str, os.PathLike]) -> Recording:
    """Reads a recording saved as CSV or .npz."""
    return Recording.load(path)


class RecordingBuilder:
    """Collects the chunks of an acquisition's stream into a Recording."""

    def __init__(self, acquisition):
        self.acquisition = acquisition
        self.pieces: Dict[int, List] = {c: [] for c in acquisition.rates}
        self.losses: List[Loss] = []

    def add(self, chunk: Chunk) -> None:
        for channel, samples in chunk.samples.items():
            if len(samples):
                self.pieces[channel].append((chunk.first[channel], samples))
        self.losses.extend(chunk.lost)

    def finish(self, blocks: Optional[int] = None) -> Recording:
        acquisition = self.acquisition
        samples = {}
        for channel, pieces in self.pieces.items():
            end = acquisition.next_index(channel)
            dense = np.zeros(end, dtype=np.uint16)
            for first, piece in pieces:
                dense[first:first + len(piece)] = piece
            samples[channel] = dense
        recorded = acquisition.blocks if blocks is None else min(blocks, acquisition.blocks)
        return Recording(samples, self.losses, dict(acquisition.rates), recorded)
