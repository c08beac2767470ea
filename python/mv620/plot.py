"""Plots of recordings as image files, with matplotlib's non-interactive Agg canvas.

Only matplotlib's object interface is used (Figure and the Agg canvas), never pyplot, so
plotting here changes no backend or global state of a program that also plots on screen.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterable, Optional, Tuple, Union

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from ._checks import cwd_lock

# Above this many samples a channel is drawn as the min/max envelope of this many buckets.
_MAX_POINTS = 4000


def _envelope(x: np.ndarray, samples: np.ndarray, valid: np.ndarray):
    """The x and value arrays to draw: the samples themselves, or for long channels the minimum
    and maximum of each of _MAX_POINTS buckets (lost samples left out, gaps as NaN)."""
    values = np.where(valid, samples.astype(float), np.nan)
    if len(values) <= 2 * _MAX_POINTS:
        return x, values
    size = -(-len(values) // _MAX_POINTS)
    padded = np.full(size * _MAX_POINTS, np.nan)
    padded[:len(values)] = values
    buckets = padded.reshape(_MAX_POINTS, size)
    empty = np.all(np.isnan(buckets), axis=1)
    safe = np.where(empty[:, None], 0.0, buckets)
    low = np.where(empty, np.nan, np.nanmin(np.where(np.isnan(buckets), np.inf, safe), axis=1))
    high = np.where(empty, np.nan, np.nanmax(np.where(np.isnan(buckets), -np.inf, safe), axis=1))
    starts = np.arange(_MAX_POINTS) * size
    half = np.minimum(starts + size // 2, len(x) - 1)
    at = np.column_stack((x[np.minimum(starts, len(x) - 1)], x[half])).ravel()
    return at, np.column_stack((low, high)).ravel()


def plot_recording(recording, path: Union[str, os.PathLike],
                   channels: Optional[Iterable[int]] = None, title: Optional[str] = None,
                   samples: Optional[Tuple[int, int]] = None,
                   passes: Optional[Tuple[int, int]] = None) -> Path:
    """Writes a PNG (or any format matplotlib knows by the suffix) of ``recording``: one panel
    per channel, value up, lost samples shaded, across the scan pass: the axis all panels share
    (the sample index where the rates are not known).  ``samples`` = (start, stop) shows only
    those sample indices of each channel, ``passes`` = (start, stop) only those scan passes.
    ValueError when a channel is not in the recording or the range holds none of its
    samples."""
    chosen = list(recording.channels if channels is None else channels)
    for channel in chosen:
        if channel not in recording.samples:
            raise ValueError(f"channel {channel} is not in the recording "
                             f"(it has {', '.join(map(str, recording.channels)) or 'none'})")
    if not chosen:
        raise ValueError("the recording has no channels to plot")
    by_pass = all(recording.rates.get(c) for c in chosen)
    if passes is not None and not by_pass:
        raise ValueError("the recording does not say its rates, so it has no scan passes: "
                         "use --samples")
    panels = []
    for channel in chosen:
        values = recording.samples[channel]
        x = recording.passes(channel) if by_pass else np.arange(len(values), dtype=np.int64)
        if samples is not None:
            start, stop = samples[0], min(samples[1], len(values))
        elif passes is not None:
            start, stop = np.searchsorted(x, passes[0]), np.searchsorted(x, passes[1])
        else:
            start, stop = 0, len(values)
        if start >= stop:
            what = f"samples {samples[0]}:{samples[1]}" if samples is not None else \
                f"passes {passes[0]}:{passes[1]}" if passes is not None else "it"
            has = f"samples 0 to {len(values) - 1}" + (
                f", passes {x[0]} to {x[-1]}" if by_pass else "") if len(values) else "none"
            raise ValueError(f"channel {channel} has no sample in {what} (it has {has})")
        panels.append((channel, start, stop, x))
    figure = Figure(figsize=(10, 1.9 * len(chosen) + 0.8), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(chosen), 1, squeeze=False, sharex=by_pass)[:, 0]
    for axis, (channel, start, stop, x) in zip(axes, panels):
        values = recording.samples[channel]
        valid = recording.valid(channel)
        xs, ys = _envelope(x[start:stop], values[start:stop], valid[start:stop])
        axis.plot(xs, ys, linewidth=0.7, color="tab:blue")
        for loss in recording.losses:
            if loss.channel == channel and loss.stop > start and loss.start < stop:
                first, last = max(loss.start, start), min(loss.stop, stop) - 1
                axis.axvspan(x[first], x[last] + 1, color="tab:red", alpha=0.25, linewidth=0)
        rate = recording.rates.get(channel)
        axis.set_ylabel(f"channel {channel}" + (f", rate {rate}" if rate else ""))
        axis.grid(True, linewidth=0.3)
    if by_pass:
        low = min(x[start] for _, start, _, x in panels)
        high = max(x[stop - 1] for _, _, stop, x in panels)
        axes[-1].set_xlim(low, max(high, low + 1))
        axes[-1].set_xlabel("scan pass (the order in which the instrument took the samples)")
    else:
        axes[-1].set_xlabel("sample index")
    if title:
        figure.suptitle(title)
    with cwd_lock:
        path = Path(os.path.abspath(path))
    figure.savefig(path, dpi=100)
    return path
