"""Recordings held in memory: the samples of an acquisition per channel, saved and read back.

Every channel's samples are kept from index 0 to where the recording ended, whatever its rate;
samples that were lost hold 0 in the array, are listed in :attr:`Recording.losses` and are
False in :meth:`Recording.valid`.  :meth:`Recording.passes` gives each sample's scan pass, the
axis all channels share.

:meth:`Recording.save` writes CSV, HDF5 or .npz through a :class:`~mv620.recorder.Recorder`
(python/README.md describes the files); :func:`load` reads any of them back, also the older
CSV layout of one row per sample index.
"""

from __future__ import annotations

import io
import os
import re
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ._checks import check_channel, cwd_lock
from ._schedule import DIVIDER, Schedule
from .chunk import REASON_CODES, Chunk, Loss, LossReason
from .recorder import TIME_COLUMN, Recorder, output_format


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
    (None where unknown, as after reading a CSV of the index layout), the blocks recorded, and
    ``arrivals``: (blocks, host seconds since the start) pairs, the host's arrival time of the
    blocks (empty where not known)."""

    def __init__(self, samples: Dict[int, np.ndarray], losses: Iterable[Loss] = (),
                 rates: Optional[Dict[int, Optional[int]]] = None, blocks: Optional[int] = None,
                 arrivals: Sequence[Tuple[int, float]] = ()):
        self.samples = {int(c): np.asarray(s, dtype=np.uint16) for c, s in sorted(samples.items())}
        self.losses: List[Loss] = sorted(losses, key=lambda l: (l.channel, l.start))
        self.rates = {c: (rates or {}).get(c) for c in self.samples}
        self.blocks = blocks
        self.arrivals = [(int(b), float(t)) for b, t in arrivals]

    @property
    def channels(self) -> List[int]:
        return list(self.samples)

    def __getitem__(self, channel: int) -> np.ndarray:
        return self.samples[channel]

    @property
    def schedule(self) -> Optional[Schedule]:
        """The scan schedule of the recording's rates, or None when a rate is unknown."""
        if any(r is None for r in self.rates.values()) or not self.rates:
            return None
        return Schedule(self.rates)

    def passes(self, channel: int) -> np.ndarray:
        """The scan pass (from 1) of each of ``channel``'s samples: the exact common order of
        all channels' samples.  ValueError when the channel's rate is unknown."""
        rate = self.rates.get(channel)
        if rate is None:
            raise ValueError(f"channel {channel}: its rate is not known, nor its scan passes")
        return (np.arange(len(self.samples[channel]), dtype=np.int64) + 1) * DIVIDER[rate]

    def host_seconds(self, channel: int) -> Optional[np.ndarray]:
        """The host's estimate of the seconds from the start to each of ``channel``'s samples,
        interpolated from the blocks' arrival times; None when those are not known.  It is
        the host's estimate: the instrument's own sample clock is not known to the library."""
        schedule = self.schedule
        if schedule is None or not self.arrivals:
            return None
        known_passes = [0] + [schedule.pass_after_blocks(b) for b, _ in self.arrivals]
        known_seconds = [0.0] + [t for _, t in self.arrivals]
        return np.interp(self.passes(channel), known_passes, known_seconds)

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

    def save(self, path: Union[str, os.PathLike], layout: str = "pass") -> Path:
        """Writes the recording as CSV, HDF5 (.h5) or .npz, by the file's suffix, through a
        temporary file beside it.  ``layout`` applies to CSV: "pass" (one row per scan pass;
        the index layout when a rate is unknown) or "index" (one row per sample index)."""
        recorder = Recorder(path, self.rates, layout=layout,
                            started=0.0 if self.arrivals else None)
        with recorder:
            for blocks, seconds in self.arrivals:
                recorder.add(Chunk(blocks, {}, {}, (), seconds))
            for channel, samples in self.samples.items():
                start = 0
                for loss in (l for l in self.losses if l.channel == channel):
                    recorder.add(Chunk(0, {channel: start}, {channel: samples[start:loss.start]}))
                    recorder.add(Chunk(0, {}, {}, (loss,)))
                    start = max(start, loss.stop)
                recorder.add(Chunk(self.blocks or 0, {channel: start},
                                   {channel: samples[start:]}))
        return recorder.path

    @classmethod
    def load(cls, path: Union[str, os.PathLike]) -> "Recording":
        """Reads a recording saved as CSV, HDF5 or .npz."""
        kind = output_format(path)
        with cwd_lock:
            path = Path(os.path.abspath(path))
        if kind == ".npz":
            return cls._read_npz(path)
        if kind == ".h5":
            return cls._read_hdf5(path)
        return cls._read_csv(path)

    @classmethod
    def _read_npz(cls, path: Path) -> "Recording":
        try:
            with np.load(path, allow_pickle=False) as data:
                channels = [int(c) for c in data["channels"]]
                rates = {c: (int(r) or None) for c, r in zip(channels, data["rates"])}
                samples = {c: data[f"channel{c}"] for c in channels}
                losses = [Loss(int(c), int(a), int(b), REASON_CODES[int(r)])
                          for c, a, b, r in data["losses"]]
                blocks = int(data["blocks"])
                arrivals = data["arrivals"] if "arrivals" in data.files else ()
        except (ValueError, KeyError, IndexError, zipfile.BadZipFile) as error:
            raise ValueError(f"{path} is not a recording: {error}") from None
        return cls(samples, losses, rates, None if blocks < 0 else blocks, arrivals)

    @classmethod
    def _read_hdf5(cls, path: Path) -> "Recording":
        import h5py  # optional: only HDF5 recordings need it (Debian: python3-h5py)

        try:
            with h5py.File(path, "r") as f:
                channels = [int(c) for c in f.attrs["channels"]]
                rates = {c: (int(r) or None) for c, r in zip(channels, f.attrs["rates"])}
                samples = {c: f[f"channel{c}"][:] for c in channels}
                losses = [Loss(int(c), int(a), int(b), REASON_CODES[int(r)])
                          for c, a, b, r in f["losses"][:]]
                blocks = int(f.attrs.get("blocks", -1))
                arrivals = f["arrivals"][:]
        except (OSError, KeyError, ValueError, IndexError) as error:
            raise ValueError(f"{path} is not a recording: {error}") from None
        return cls(samples, losses, rates, None if blocks < 0 else blocks, arrivals)

    @classmethod
    def _read_csv(cls, path: Path) -> "Recording":
        with open(path) as f:
            header = f.readline().strip().split(",")
            text = f.read()
        by_pass = header[:1] == ["pass"]
        names = header[2:] if by_pass and header[1:2] == [TIME_COLUMN] else header[1:]
        pattern = r"channel(\d+)_rate(\d+)" if by_pass else r"channel(\d+)"
        found = [re.fullmatch(pattern, name) for name in names]
        if header[:1] not in (["pass"], ["sample"]) or not all(found):
            raise ValueError(f"{path} is not a recording: its first line is not "
                             "'pass,host_seconds_estimate,channel<c>_rate<r>,...' or "
                             "'sample,channel<c>,...'")
        channels = [check_channel(int(m.group(1))) for m in found]
        rates = {c: int(m.group(2)) for c, m in zip(channels, found)} if by_pass else {}
        if any(r not in DIVIDER for r in rates.values()):
            raise ValueError(f"{path} is not a recording: a channel's rate is not 10, 5, 2 or 1")
        # Empty cells (no sample there) become -1; then numpy's own parser reads the table.
        text = re.sub(r"(?<=,)(?=,|\n|\Z)", "-1", text)
        try:
            table = np.loadtxt(io.StringIO(text), delimiter=",", dtype=np.float64, ndmin=2) \
                if text.strip() else np.zeros((0, len(header)))
        except ValueError as error:
            raise ValueError(f"{path} is not a recording: {error}") from None
        if table.shape[1] != len(header):
            raise ValueError(f"{path}: rows do not have {len(header)} columns")
        keys = table[:, 0].astype(np.int64)
        cells = table[:, len(header) - len(channels):].astype(np.int64)
        if (cells > 65535).any() or (cells < -1).any():
            raise ValueError(f"{path} is not a recording: it holds values outside 0 to 65535")
        samples, losses = {}, []
        for k, channel in enumerate(channels):
            column = cells[:, k]
            if by_pass:
                divider = DIVIDER[rates[channel]]
                present = column >= 0
                if (keys[present] % divider).any():
                    raise ValueError(f"{path}: channel {channel} has a sample in a scan pass "
                                     "its rate does not sample")
                indices = keys[present] // divider - 1
                end = int(indices.max()) + 1 if len(indices) else 0
                values = np.full(end, -1, dtype=np.int64)
                values[indices] = column[present]
            else:
                present = column >= 0
                indices = keys[present]
                end = int(indices.max()) + 1 if len(indices) else 0
                values = np.full(end, -1, dtype=np.int64)
                values[indices] = column[present]
            missing = values < 0
            samples[channel] = np.where(missing, 0, values).astype(np.uint16)
            # Runs of missing cells before the channel's last sample are losses.
            edges = np.flatnonzero(np.diff(np.concatenate(([0], missing.view(np.int8), [0]))))
            for start, stop in zip(edges[::2], edges[1::2]):
                losses.append(Loss(channel, int(start), int(stop), LossReason.UNKNOWN))
        return cls(samples, losses, rates or None)


def load(path: Union[str, os.PathLike]) -> Recording:
    """Reads a recording saved as CSV, HDF5 or .npz."""
    return Recording.load(path)


class RecordingBuilder:
    """Collects the chunks of a stream into a Recording held in memory."""

    def __init__(self, rates: Mapping[int, int], started: Optional[float] = None):
        self.rates = dict(rates)
        self.started = started
        self.pieces: Dict[int, List] = {c: [] for c in self.rates}
        self.losses: List[Loss] = []
        self.arrivals: List[Tuple[int, float]] = []

    def add(self, chunk: Chunk) -> None:
        for channel, samples in chunk.samples.items():
            if len(samples):
                self.pieces[channel].append((chunk.first[channel], samples))
        self.losses.extend(chunk.lost)
        if self.started is not None and chunk.arrival is not None and \
                (not self.arrivals or chunk.blocks > self.arrivals[-1][0]):
            self.arrivals.append((chunk.blocks, chunk.arrival - self.started))

    def finish(self, ends: Mapping[int, int], blocks: Optional[int] = None) -> Recording:
        """The recording, each channel up to index ``ends[c]`` (exclusive)."""
        samples = {}
        for channel, pieces in self.pieces.items():
            dense = np.zeros(ends[channel], dtype=np.uint16)
            for first, piece in pieces:
                dense[first:first + len(piece)] = piece
            samples[channel] = dense
        return Recording(samples, self.losses, self.rates, blocks, self.arrivals)
