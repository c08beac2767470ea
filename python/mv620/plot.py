"""Plots of recordings as image files, with matplotlib's non-interactive Agg canvas.

Only matplotlib's object interface is used (Figure and the Agg canvas), never pyplot, so
plotting here changes no backend or global state of a program that also plots on screen.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterable, Optional, Tuple, Union

import numpy as np

from .instrument import cwd_lock

# Above this many samples a channel is drawn as the min/max envelope of this many buckets.
_MAX_POINTS = 4000


def _envelope(samples: np.ndarray, valid: np.ndarray, start: int = 0):
    """Index and value arrays to draw (``samples[0]`` has index ``start``): the samples
    themselves, or for long channels the minimum and maximum of each of _MAX_POINTS buckets
    (lost samples left out, gaps as NaN)."""
    values = np.where(valid, samples.astype(float), np.nan)
    if len(values) <= 2 * _MAX_POINTS:
        return start + np.arange(len(values)), values
    size = -(-len(values) // _MAX_POINTS)
    padded = np.full(size * _MAX_POINTS, np.nan)
    padded[:len(values)] = values
    buckets = padded.reshape(_MAX_POINTS, size)
    empty = np.all(np.isnan(buckets), axis=1)
    safe = np.where(empty[:, None], 0.0, buckets)
    low = np.where(empty, np.nan, np.nanmin(np.where(np.isnan(buckets), np.inf, safe), axis=1))
    high = np.where(empty, np.nan, np.nanmax(np.where(np.isnan(buckets), -np.inf, safe), axis=1))
    starts = start + np.arange(_MAX_POINTS) * size
    x = np.repeat(starts, 2) + np.tile([0, size // 2], _MAX_POINTS)
    y = np.column_stack((low, high)).ravel()
    return x, y


def plot_recording(recording, path: Union[str, os.PathLike],
                   channels: Optional[Iterable[int]] = None, title: Optional[str] = None,
                   samples: Optional[Tuple[int, int]] = None) -> Path:
    """Writes a PNG (or any format matplotlib knows by the suffix) of ``recording``: one panel
    per channel, sample index across, value up, lost samples shaded.  ``samples`` = (start,
    stop) shows only those sample indices of each channel."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    chosen = list(recording.channels if channels is None else channels)
    for channel in chosen:
        if channel not in recording.samples:
            raise ValueError(f"channel {channel} is not in the recording "
                             f"(it has {', '.join(map(str, recording.channels)) or 'none'})")
    if not chosen:
        raise ValueError("the recording has no channels to plot")
    figure = Figure(figsize=(10, 1.9 * len(chosen) + 0.8), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(chosen), 1, squeeze=False)[:, 0]
    for axis, channel in zip(axes, chosen):
        values = recording.samples[channel]
        start, stop = (0, len(values)) if samples is None else samples
        x, y = _envelope(values[start:stop], recording.valid(channel)[start:stop], start)
        axis.plot(x, y, linewidth=0.7, color="tab:blue")
        for loss in recording.losses:
            if loss.channel == channel and loss.stop > start and loss.start < stop:
                axis.axvspan(max(loss.start, start), min(loss.stop, stop), color="tab:red",
                             alpha=0.25, linewidth=0)
        rate = recording.rates.get(channel)
        label = f"channel {channel}" + (f", rate {rate}" if rate else "")
        axis.set_ylabel(label)
        axis.set_xlim(start, max(start + 1, min(stop, len(values))))
        axis.grid(True, linewidth=0.3)
    axes[-1].set_xlabel("sample index")
    if title:
        figure.suptitle(title)
    with cwd_lock:
        path = Path(os.path.abspath(path))
    figure.savefig(path, dpi=100)
    return path
