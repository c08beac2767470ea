"""Recordings written to disk as they are acquired, with memory bounded whatever the duration.

A :class:`Recorder` takes the chunks of a stream (:class:`~mv620.chunk.Chunk`: each channel's
new samples with the index of the first, the losses found, the count of blocks and the host's
arrival time) and writes them to a file of the format its name asks for::

    with mv620.Recorder("rec.h5", acquisition.rates, started=acquisition.started_at) as rec:
        for chunk in acquisition.stream(duration=3600):
            rec.add(chunk)
    # rec.path is the file; rec.ending says how it ended

The file is created when the Recorder is made, as a hidden temporary file beside the target
(``.rec.h5.XXXX.part``), so a path that cannot be written fails before anything is recorded; it
is renamed to the target by :meth:`Recorder.close`, so the target name never holds a half-written
file.  Leaving the ``with`` block closes it, also on an exception: what was recorded is kept.
A write that fails (a full disk) ends the recording: the file keeps every row or sample written
before, and :meth:`Recorder.add` raises :class:`RecorderFull`.

Formats, by suffix (python/README.md describes each file in full):

- ``.csv``: written as it goes.  By default one row per scan pass in which a channel is sampled:
  ``pass,host_seconds_estimate,channel0_rate10,...``; a cell is empty where its channel was not
  sampled in that pass (or the sample was lost).  ``layout="index"`` writes the older layout,
  one row per sample index: ``sample,channel0,...``.
- ``.h5`` (or ``.hdf5``): HDF5, one chunked, gzip-compressed, growing dataset per channel,
  appended as it goes; the rates, the scan schedule and the loss ledger alongside.
- ``.npz``: numpy's archive.  The samples are spooled to temporary files beside the target as
  they come, and the archive is assembled from them at the end.

Every sample gets its scan pass from the schedule (a channel with divider d is sampled on every
d-th pass), the exact common order of all channels' samples.  How long a pass takes is the
instrument's business and not known here: ``host_seconds_estimate`` is estimated from the
host's arrival time of each block, interpolated over the passes, and is only that, an estimate.
"""

from __future__ import annotations

import errno
import os
import shutil
import tempfile
import zipfile
from pathlib import Path
from typing import Dict, List, Mapping, Optional, Union

import numpy as np

try:
    import resource  # POSIX: the limit on a file's size
except ImportError:  # Windows has none
    resource = None

from ._checks import check_channel, check_rate, cwd_lock
from ._schedule import BLOCK_SAMPLES, DIVIDER, SCAN_ORDER, Schedule
from .chunk import REASON_CODES, Chunk, Loss

FORMATS = (".csv", ".h5", ".hdf5", ".npz")
LAYOUTS = ("pass", "index")
TIME_COLUMN = "host_seconds_estimate"
HDF5_FORMAT = "mv620 recording 1"
# Room kept free for closing an HDF5 file properly before the disk is full, per dataset (HDF5's
# cache of chunks, 1 MiB each) and once more for the metadata.
_HDF5_CLOSING_ROOM = 1 << 20


def output_format(path: Union[str, os.PathLike]) -> str:
    """The format a file name asks for, by its suffix (.h5 and .hdf5 give ".h5"); ValueError
    for any other."""
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"{path}: unknown format {suffix or '(no suffix)'!s}; "
                         "name the file .csv, .h5 or .npz")
    return ".h5" if suffix == ".hdf5" else suffix


class RecorderFull(OSError):
    """A write failed (the disk is full, or the file reached its size limit); the file keeps
    what was written before, and the recorder takes nothing more."""

    def __str__(self) -> str:
        return self.strerror or super().__str__()


class Recorder:
    """Writes the chunks of a stream to ``path`` as they come (see the module's description).

    ``rates`` maps each channel of the stream to its rate (10, 5, 2, 1; None where unknown, which
    allows only the index layout of CSV).  ``started`` is the host's clock
    (``time.monotonic()``) at the acquisition's start, from which the time estimate counts;
    ``Acquisition.started_at`` gives it (a recorder made before the acquisition starts may be
    given it afterwards, as ``recorder.started``, before the first chunk).  ``layout`` ("pass"
    or "index") applies to CSV.

    Call :meth:`add` with each chunk, then :meth:`close` (or use ``with``).  One thread at a
    time.
    """

    def __init__(self, path: Union[str, os.PathLike], rates: Mapping[int, Optional[int]], *,
                 started: Optional[float] = None, layout: str = "pass"):
        self.format = output_format(path)
        if layout not in LAYOUTS:
            raise ValueError(f"layout {layout!r} is unknown: layouts are pass and index")
        self.rates: Dict[int, Optional[int]] = {
            check_channel(c): (None if r is None else check_rate(r))
            for c, r in sorted(rates.items())}
        if not self.rates or 0 in self.rates.values():
            raise ValueError("a recording needs at least one channel, each with a rate")
        known = all(r is not None for r in self.rates.values())
        self.schedule = Schedule(self.rates) if known else None
        if layout == "pass" and self.schedule is None:
            if self.format == ".csv":
                layout = "index"  # without rates there are no passes
        self.layout = layout
        self.started = started
        self.blocks = 0
        #: Samples lost per channel, runs of lost samples in all, and the first runs (for a
        #: report; the file holds them all).  Memory stays bounded: the rest go to the file.
        self.lost: Dict[int, int] = {c: 0 for c in self.rates}
        self.loss_runs = 0
        self.first_losses: List[Loss] = []
        # The latest arrivals as (scan pass at the end of the blocks, host seconds), from which
        # the time of the passes being written is estimated; the file holds them all.
        self._times: List[tuple] = []
        self.ends: Dict[int, int] = {c: 0 for c in self.rates}
        self.ending: Optional[str] = None
        self.closed = False
        self.failed: Optional[OSError] = None
        with cwd_lock:
            self.path = Path(os.path.abspath(path))
        try:
            handle, temporary = tempfile.mkstemp(prefix=f".{self.path.name}.", suffix=".part",
                                                 dir=self.path.parent)
        except OSError as error:  # named by the target, not by the temporary name
            raise OSError(error.errno, error.strerror, str(self.path)) from None
        self.temporary = Path(temporary)
        try:
            if hasattr(os, "fchmod"):  # the permissions a new file gets, not mkstemp's 0600
                os.fchmod(handle, 0o666 & ~_umask())
            sink = {".csv": _CsvSink if layout == "pass" else _IndexCsvSink, ".h5": _Hdf5Sink,
                    ".npz": _NpzSink}[self.format]
            self._sink = sink(self, handle)
        except BaseException:
            os.close(handle)
            self.temporary.unlink(missing_ok=True)
            raise

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, kind, value, traceback) -> bool:
        if not self.closed:
            self.close(None if value is None else str(value) or type(value).__name__)
        return False

    @property
    def channels(self) -> List[int]:
        return list(self.rates)

    @property
    def lost_count(self) -> int:
        return sum(self.lost.values())

    def host_seconds(self, passes: np.ndarray) -> Optional[np.ndarray]:
        """The host's estimate of the seconds from the start to each scan pass of ``passes``
        (passes being written now: at or after the oldest arrival kept), interpolated between
        the arrivals of the blocks; None while none is known."""
        if not self._times:
            return None
        known_passes, known_seconds = zip(*self._times)
        return np.interp(passes, known_passes, known_seconds)

    def add(self, chunk: Chunk) -> None:
        """Writes what ``chunk`` brings.  Channels it does not name bring nothing; samples must
        follow on from what the channel had (a gap between is taken as lost).  Raises
        :class:`RecorderFull` when a write fails; the file then keeps what came before."""
        if self.closed:
            raise ValueError("the recorder is closed")
        if self.failed is not None:
            raise RecorderFull(self.failed.errno, f"writing {self.path.name} failed before: "
                               f"{self.failed.strerror or self.failed}", str(self.path))
        try:
            if chunk.blocks > self.blocks:
                self.blocks = chunk.blocks
                if self.started is not None and chunk.arrival is not None:
                    self._arrived(chunk.blocks, chunk.arrival - self.started)
            for loss in chunk.lost:
                if loss.channel not in self.ends:
                    raise ValueError(f"channel {loss.channel} is not one of the recording's")
                self.lost[loss.channel] += loss.count
                self.loss_runs += 1
                if len(self.first_losses) < 100:
                    self.first_losses.append(loss)
                self.ends[loss.channel] = max(self.ends[loss.channel], loss.stop)
            self._sink.ledger(chunk.lost)
            for channel, samples in chunk.samples.items():
                if channel not in self.ends:
                    raise ValueError(f"channel {channel} is not one of the recording's")
                first = chunk.first[channel]
                if first < self.ends[channel] and len(samples):
                    raise ValueError(f"channel {channel}: samples from {first} again; "
                                     f"the recording has them up to {self.ends[channel]}")
                self._sink.add(channel, first, np.asarray(samples, dtype=np.uint16))
                self.ends[channel] = max(self.ends[channel], first + len(samples))
            self._sink.advanced()
        except OSError as error:
            self.failed = error
            self._sink.failed()
            raise RecorderFull(error.errno, f"writing {self.path.name} failed: "
                               f"{error.strerror or error}", str(self.path)) from None

    def _arrived(self, blocks: int, seconds: float) -> None:
        self._sink.arrival(blocks, seconds)
        if self.schedule is not None:
            if not self._times:
                self._times.append((0, 0.0))  # the start
            self._times.append((self.schedule.pass_after_blocks(blocks), seconds))
            del self._times[:-64]  # enough for the rows still to be written

    def close(self, ending: Optional[str] = None) -> Path:
        """Finishes the file, renames it to its target and returns the target's path.
        ``ending`` (a few words: how the recording ended) is kept in HDF5 and .npz files.
        Closing twice is harmless.  Should finishing fail, the temporary file is removed and
        the error raised."""
        if self.closed:
            return self.path
        self.closed = True
        self.ending = ending
        try:
            self._sink.finish()
            _sync(self.temporary)  # on disk before it takes the target's name
            os.replace(self.temporary, self.path)
        except BaseException:
            self._sink.abandon()
            self.temporary.unlink(missing_ok=True)
            raise
        return self.path

    def discard(self) -> None:
        """Drops the recording: removes the temporary file, leaves the target as it was."""
        if not self.closed:
            self.closed = True
            self._sink.abandon()
            self.temporary.unlink(missing_ok=True)


def _sync(path: Path) -> None:
    """Has the system write the file at ``path`` to disk, where it can (Windows wants it opened
    for writing, which its permissions may not allow: then the rename goes ahead unsynced)."""
    try:
        handle = os.open(path, os.O_RDONLY if os.name == "posix" else os.O_RDWR)
    except OSError:
        return
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


# ---- CSV ----------------------------------------------------------------------------------------

def _digits(values: np.ndarray, width: int, blank_zeros: bool = True) -> np.ndarray:
    """Non-negative integers as ASCII digits, right-aligned in ``width`` columns (a uint8 array
    of shape (n, width)); leading zeros become spaces unless ``blank_zeros`` is False."""
    out = np.empty((len(values), width), dtype=np.uint8)
    rest = values.astype(np.int64, copy=True)
    for column in range(width - 1, -1, -1):
        out[:, column] = rest % 10 + 48
        rest //= 10
    if blank_zeros and width > 1:
        out[:, :-1][np.logical_and.accumulate(out[:, :-1] == 48, axis=1)] = 32
    return out


# Every sample value's cell, five ASCII columns right-aligned: looked up, not computed.
_SAMPLE_CELLS = _digits(np.arange(65536), 5)


def _width(largest: int) -> int:
    return max(1, len(str(int(largest))))


class _CsvSink:
    """Rows are assembled from the channels' samples and written once every channel has passed
    them.  By scan pass, all channels advance together, so the samples not yet written, which
    wait in ``pending``, are at most about a poll's worth."""

    def __init__(self, recorder: Recorder, handle: int):
        self.recorder = recorder
        self.file = os.fdopen(handle, "wb", buffering=0)
        self.by_pass = recorder.layout == "pass"
        self.pending: Dict[int, list] = {c: [] for c in recorder.rates}
        self.written_key = 1 if self.by_pass else 0  # rows before this key are written
        self.good = 0  # bytes of whole rows in the file
        self.timed = self.by_pass
        if self.by_pass:
            columns = ["pass"] + ([TIME_COLUMN] if self.timed else []) + \
                [f"channel{c}_rate{r}" for c, r in recorder.rates.items()]
        else:
            columns = ["sample"] + [f"channel{c}" for c in recorder.rates]
        self._write((",".join(columns) + "\n").encode())

    def _key(self, channel: int, index):
        if self.by_pass:
            return self.recorder.schedule.sample_pass(channel, index)
        return index

    def _write(self, data) -> None:
        view = memoryview(data)
        while view:
            done = self.file.write(view)
            view = view[done:]
        self.good = self.file.tell()

    def add(self, channel: int, first: int, samples: np.ndarray) -> None:
        if len(samples):
            self.pending[channel].append(
                (np.arange(first, first + len(samples), dtype=np.int64), samples))

    def advanced(self) -> None:
        # Every channel has delivered (or lost) its samples up to its end: the rows before the
        # smallest key of a sample still to come are complete.
        ends = self.recorder.ends
        self._emit(min(self._key(c, ends[c]) for c in ends))

    def _rows(self, start: int, stop: int) -> np.ndarray:
        """The keys of the rows from ``start`` to ``stop``: the scan passes in which a channel
        has a sample (a pass whose every sample was lost has no row)."""
        keys = []
        for channel, pieces in self.pending.items():
            for indices, _ in pieces:
                found = self._key(channel, indices)
                keys.append(found[(found >= start) & (found < stop)])
        return np.unique(np.concatenate(keys)) if keys else np.zeros(0, dtype=np.int64)

    def _emit(self, stop: int) -> None:
        start = self.written_key
        if stop <= start:
            return
        keys = self._rows(start, stop)
        self.written_key = stop
        if not len(keys):
            return
        fields = [_digits(keys, _width(keys[-1]))]
        if self.timed:
            seconds = self.recorder.host_seconds(keys)
            fields.append(_comma(len(keys)))
            if seconds is not None:
                micro = np.round(np.maximum(seconds, 0) * 1e6).astype(np.int64)
                whole = micro // 1000000
                fields += [_digits(whole, _width(whole.max())), _dot(len(keys)),
                           _digits(micro % 1000000, 6, blank_zeros=False)]
        for channel in self.recorder.rates:
            fields += [_comma(len(keys)), self._cells(channel, keys, stop)]
        fields.append(np.full((len(keys), 1), 10, dtype=np.uint8))
        table = np.concatenate(fields, axis=1).ravel()
        self._write(table[table != 32].tobytes())

    def _cells(self, channel: int, keys: np.ndarray, stop: int) -> np.ndarray:
        """The channel's cells of the rows ``keys`` (all below ``stop``), as ASCII: its digits,
        or blanks where it has no sample."""
        cells = np.full((len(keys), 5), 32, dtype=np.uint8)
        pieces = self.pending[channel]
        if pieces:
            indices = np.concatenate([i for i, _ in pieces])
            values = np.concatenate([v for _, v in pieces])
            sample_keys = self._key(channel, indices)
            now = sample_keys < stop
            cells[np.searchsorted(keys, sample_keys[now])] = _SAMPLE_CELLS[values[now]]
            later = ~now
            self.pending[channel] = [(indices[later], values[later])] if later.any() else []
        return cells

    def ledger(self, losses) -> None:
        pass  # CSV keeps no ledger: lost samples are empty cells

    def arrival(self, blocks: int, seconds: float) -> None:
        pass  # CSV keeps the estimate per row, not the arrivals

    def failed(self) -> None:
        # Keep whole rows only: cut off what a failed write left half done.
        try:
            self.file.truncate(self.good)
        except OSError:
            pass

    def finish(self) -> None:
        if self.recorder.failed is None:
            ends = self.recorder.ends
            self._emit(max(self._key(c, ends[c] - 1) for c in ends) + 1)
        self.file.close()

    def abandon(self) -> None:
        self.file.close()


class _IndexCsvSink(_CsvSink):
    """One row per sample index.  A faster channel runs ahead of a slower one by ever more rows
    as the recording goes, so each channel's samples wait for their row in a spool file beside
    the target (as int32, -1 where lost), not in memory."""

    def __init__(self, recorder: Recorder, handle: int):
        super().__init__(recorder, handle)
        self.spools = {c: tempfile.TemporaryFile(dir=recorder.path.parent)
                       for c in recorder.rates}
        self.spooled = {c: 0 for c in recorder.rates}  # indices in the spool: 0 to this

    def _emit(self, stop: int) -> None:
        # A piece at a time: the slower channels may release many rows at once.
        while self.written_key < stop:
            super()._emit(min(stop, self.written_key + (1 << 16)))

    def _rows(self, start: int, stop: int) -> np.ndarray:
        """The indices from ``start`` to ``stop`` at which a channel has a sample (an index
        whose every sample was lost has no row)."""
        found = np.zeros(stop - start, dtype=bool)
        for channel, spool in self.spools.items():
            count = max(0, min(stop, self.spooled[channel]) - start)
            if count:
                spool.seek(4 * start)
                found[:count] |= np.frombuffer(spool.read(4 * count), dtype="<i4") >= 0
        return start + np.flatnonzero(found)

    def add(self, channel: int, first: int, samples: np.ndarray) -> None:
        spool = self.spools[channel]
        spool.seek(0, os.SEEK_END)
        if first > self.spooled[channel]:
            spool.write(np.full(first - self.spooled[channel], -1, dtype="<i4").tobytes())
        spool.write(samples.astype("<i4").tobytes())
        self.spooled[channel] = first + len(samples)

    def _cells(self, channel: int, keys: np.ndarray, stop: int) -> np.ndarray:
        cells = np.full((len(keys), 5), 32, dtype=np.uint8)
        start = int(keys[0])
        count = max(0, min(stop, self.spooled[channel]) - start)
        if count:
            spool = self.spools[channel]
            spool.seek(4 * start)
            values = np.frombuffer(spool.read(4 * count), dtype="<i4")
            here = keys[keys < start + count] - start
            values = values[here]
            taken = values >= 0
            cells[:len(here)][taken] = _SAMPLE_CELLS[values[taken]]
        return cells

    def finish(self) -> None:
        try:
            super().finish()
        finally:
            self.abandon()

    def abandon(self) -> None:
        for spool in self.spools.values():
            spool.close()
        self.file.close()


def _comma(rows: int) -> np.ndarray:
    return np.full((rows, 1), ord(","), dtype=np.uint8)


def _dot(rows: int) -> np.ndarray:
    return np.full((rows, 1), ord("."), dtype=np.uint8)


# ---- HDF5 ---------------------------------------------------------------------------------------

def _room_left(path: Path, size: int) -> int:
    """Bytes the file at ``path`` (now ``size`` bytes) may still grow by: the free space of its
    file system, and the process's limit on file size."""
    room = shutil.disk_usage(path).free
    if resource is not None:
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
        if limit != resource.RLIM_INFINITY:
            room = min(room, limit - size)
    return room


def _umask() -> int:
    """The process's umask, read without changing it where the system tells it."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def schedule_attributes(schedule: Schedule) -> dict:
    return {
        "scan_order": np.array(SCAN_ORDER, dtype=np.int64),
        "period_passes": schedule.period_passes,
        "slots_per_period": schedule.slots_per_period,
        "block_samples": BLOCK_SAMPLES,
    }


class _Hdf5Sink:
    def __init__(self, recorder: Recorder, handle: int):
        import h5py  # optional: only HDF5 recordings need it (Debian: python3-h5py)

        os.close(handle)
        self.recorder = recorder
        self.file = h5py.File(recorder.temporary, "w")
        rates = recorder.rates
        self.file.attrs.update({
            "format": HDF5_FORMAT,
            "channels": np.array(list(rates), dtype=np.int64),
            "rates": np.array([r or 0 for r in rates.values()], dtype=np.int64),
            "dividers": np.array([DIVIDER.get(r, 0) for r in rates.values()], dtype=np.int64),
            "pass": "sample k of a channel with divider d was taken in scan pass (k + 1) * d",
            "losses": "the dataset losses: channel, first index, one past the last, "
                      "reason (0 overtaken, 1 unreadable, 2 unknown)",
            "arrivals": "the dataset arrivals: blocks transferred, the host's seconds since the "
                        "start when that count was seen (a host estimate, not the instrument's "
                        "clock)",
        })
        if recorder.schedule is not None:
            self.file.attrs.update(schedule_attributes(recorder.schedule))
        self.datasets = {}
        for channel, rate in rates.items():
            dataset = self.file.create_dataset(
                f"channel{channel}", shape=(0,), maxshape=(None,), dtype="<u2",
                chunks=(1 << 16,), compression="gzip", compression_opts=1, shuffle=True)
            dataset.attrs.update({"channel": channel, "rate": rate or 0,
                                  "divider": DIVIDER.get(rate, 0)})
            self.datasets[channel] = dataset
        self.ledger_rows = self.file.create_dataset("losses", shape=(0, 4), maxshape=(None, 4),
                                               dtype="<i8", chunks=(1024, 4))
        self.arrivals = self.file.create_dataset("arrivals", shape=(0, 2), maxshape=(None, 2),
                                                 dtype="<f8", chunks=(1024, 2))
        self.new_losses: List[list] = []
        self.new_arrivals: List[tuple] = []

    def add(self, channel: int, first: int, samples: np.ndarray) -> None:
        if not len(samples):
            return
        # Stop while the file can still be closed properly: room for this piece uncompressed,
        # for the chunks HDF5 holds in its cache (flushed at the close) and for its metadata.
        size = self.file.id.get_filesize()
        if _room_left(self.recorder.temporary, size) < \
                2 * len(samples) + _HDF5_CLOSING_ROOM * (len(self.datasets) + 1):
            raise OSError(errno.ENOSPC, "no room left on the disk")
        dataset = self.datasets[channel]
        end = first + len(samples)
        had = dataset.shape[0]
        dataset.resize((end,))
        if first > had:
            dataset[had:first] = 0  # lost samples hold 0
        dataset[first:end] = samples

    def ledger(self, losses) -> None:
        self.new_losses += [[l.channel, l.start, l.stop, REASON_CODES.index(l.reason)]
                            for l in losses]

    def arrival(self, blocks: int, seconds: float) -> None:
        self.new_arrivals.append((blocks, seconds))

    def advanced(self) -> None:
        for dataset, rows in ((self.ledger_rows, self.new_losses),
                              (self.arrivals, self.new_arrivals)):
            if rows:
                had = dataset.shape[0]
                dataset.resize((had + len(rows), dataset.shape[1]))
                dataset[had:] = rows
                rows.clear()

    def failed(self) -> None:
        pass

    def finish(self) -> None:
        recorder = self.recorder
        if recorder.failed is None:
            self.advanced()
        for channel, dataset in self.datasets.items():
            # A channel whose last samples were lost ends with zeros up to its end.
            if dataset.shape[0] < recorder.ends[channel] and recorder.failed is None:
                had = dataset.shape[0]
                dataset.resize((recorder.ends[channel],))
                dataset[had:] = 0
        self.file.attrs["blocks"] = recorder.blocks
        self.file.attrs["ending"] = recorder.ending or ""
        self.file.close()

    def abandon(self) -> None:
        try:
            self.file.close()
        except Exception:  # noqa: BLE001 - dropping it anyway
            pass


# ---- npz ----------------------------------------------------------------------------------------

class _NpzSink:
    """Samples go to one anonymous spool file per channel beside the target; the archive is
    written from them at the end, a piece at a time."""

    def __init__(self, recorder: Recorder, handle: int):
        self.recorder = recorder
        self.handle = handle
        self.spools = {c: tempfile.TemporaryFile(dir=recorder.path.parent)
                       for c in recorder.rates}
        self.lengths = {c: 0 for c in recorder.rates}
        # The loss ledger (int64 rows of 4) and the arrivals (float64 rows of 2) as they come.
        self.ledger_spool = tempfile.TemporaryFile(dir=recorder.path.parent)
        self.arrival_spool = tempfile.TemporaryFile(dir=recorder.path.parent)

    def ledger(self, losses) -> None:
        if losses:
            self.ledger_spool.write(np.array(
                [[l.channel, l.start, l.stop, REASON_CODES.index(l.reason)] for l in losses],
                dtype="<i8").tobytes())

    def arrival(self, blocks: int, seconds: float) -> None:
        self.arrival_spool.write(np.array([blocks, seconds], dtype="<f8").tobytes())

    def add(self, channel: int, first: int, samples: np.ndarray) -> None:
        spool = self.spools[channel]
        if first > self.lengths[channel]:
            spool.write(bytes(2 * (first - self.lengths[channel])))  # lost samples hold 0
        spool.write(samples.astype("<u2").tobytes())
        self.lengths[channel] = first + len(samples)

    def advanced(self) -> None:
        pass

    def failed(self) -> None:
        pass

    def finish(self) -> None:
        recorder = self.recorder
        rates = recorder.rates
        small = {
            "channels": np.array(list(rates), dtype=np.int64),
            "rates": np.array([r or 0 for r in rates.values()], dtype=np.int64),
            "blocks": np.int64(recorder.blocks),
            "ending": np.array(recorder.ending or ""),
        }
        with os.fdopen(self.handle, "wb") as target, \
                zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as archive:
            self.handle = None
            for name, array in small.items():
                with archive.open(f"{name}.npy", "w") as member:
                    np.lib.format.write_array(member, array, allow_pickle=False)
            for name, spool, columns, kind in (("losses", self.ledger_spool, 4, "<i8"),
                                               ("arrivals", self.arrival_spool, 2, "<f8")):
                rows = spool.tell() // (8 * columns)
                self._copy(archive, name, spool, kind, (rows, columns))
            for channel, spool in self.spools.items():
                if recorder.failed is None and self.lengths[channel] < recorder.ends[channel]:
                    spool.write(bytes(2 * (recorder.ends[channel] - self.lengths[channel])))
                    self.lengths[channel] = recorder.ends[channel]
                self._copy(archive, f"channel{channel}", spool, "<u2", (self.lengths[channel],))

    @staticmethod
    def _copy(archive: zipfile.ZipFile, name: str, spool, kind: str, shape: tuple) -> None:
        """Writes the array in ``spool`` (raw, of ``kind`` and ``shape``) as NAME.npy, a piece
        at a time, then closes the spool."""
        with archive.open(f"{name}.npy", "w", force_zip64=True) as member:
            np.lib.format.write_array_header_1_0(
                member, {"descr": kind, "fortran_order": False, "shape": shape})
            spool.seek(0)
            while piece := spool.read(1 << 20):
                member.write(piece)
        spool.close()

    def abandon(self) -> None:
        for spool in (*self.spools.values(), self.ledger_spool, self.arrival_spool):
            spool.close()
        if self.handle is not None:
            os.close(self.handle)
            self.handle = None
