"""The instrument's scan schedule: where each channel's samples lie in the sample stream.

The instrument visits its 40 channels in a fixed scan order; a channel with divider d (rate 10,
5, 2, 1 gives divider 1, 2, 5, 10) is sampled on every d-th scan pass.  Its sample stream holds
only the samples taken, in the order taken, cut into blocks of 32000 samples.  The library turns
a channel's sample index into a block and an offset from the same schedule; it offers no call
that says how many of a channel's samples a given block holds, so the streaming reader keeps
this model of the schedule to know, from the count of blocks transferred alone, exactly which
samples are new and which ones the ring has already overwritten.  The reader checks the model
against the library's modulus at every start, and stops with an error should the library ever
answer "not yet" for a sample that the model places in a block already transferred.
"""

from __future__ import annotations

import math
from bisect import bisect_left
from typing import Dict, Mapping, Tuple

CHANNELS = 40
BLOCK_SAMPLES = 32000
# Blocks the library keeps readable: the 15 newest (the 16th ring slot is being refilled).
READABLE_BLOCKS = 15
# The boundary moves indices by 16 cycles at a time.
BOUNDARY_CYCLES = 16

# Channel visited at each scan position of every pass.
SCAN_ORDER = (
    3, 31, 8, 36, 13, 17, 26, 22,
    4, 32, 9, 37, 14, 18, 27, 23,
    0, 28, 5, 33, 10, 38, 15, 19,
    1, 29, 6, 34, 11, 39, 24, 20,
    2, 30, 7, 35, 12, 16, 25, 21,
)  # fmt: skip

# Rate (samples per 10 scan passes) -> divider (sampled on every n-th pass).
DIVIDER = {10: 1, 5: 2, 2: 5, 1: 10}


class Schedule:
    """The scan schedule of one set of channel rates (only channels that are on).

    All counts are exact Python integers: sample indices and block numbers here count from the
    start of the acquisition and never wrap.
    """

    def __init__(self, rates: Mapping[int, int]):
        self.rates: Dict[int, int] = {c: r for c, r in sorted(rates.items()) if r}
        if not self.rates:
            raise ValueError("no channel is on")
        dividers = {c: DIVIDER[r] for c, r in self.rates.items()}
        period_passes = math.lcm(*dividers.values())
        # Period positions of each channel's samples within one schedule period.
        positions: Dict[int, list] = {c: [] for c in dividers}
        slot_passes = []  # the pass (1 to period_passes) of each period position
        slot = 0
        for scan_pass in range(1, period_passes + 1):
            for channel in SCAN_ORDER:
                divider = dividers.get(channel)
                if divider and scan_pass % divider == 0:
                    positions[channel].append(slot)
                    slot_passes.append(scan_pass)
                    slot += 1
        self.dividers: Dict[int, int] = dividers
        self.period_passes = period_passes
        self.slot_passes: Tuple[int, ...] = tuple(slot_passes)
        self.slots_per_period = slot
        self.positions: Dict[int, Tuple[int, ...]] = {c: tuple(p) for c, p in positions.items()}
        cycle_samples = math.lcm(BLOCK_SAMPLES, slot)
        self.blocks_per_cycle = cycle_samples // BLOCK_SAMPLES
        self.samples_per_cycle = {
            c: len(p) * (cycle_samples // slot) for c, p in self.positions.items()}

    @property
    def channels(self) -> Tuple[int, ...]:
        return tuple(self.rates)

    def modulus(self, channel: int) -> int:
        """Samples of ``channel`` in 16 cycles: what Get_Sample_Modulus answers."""
        return BOUNDARY_CYCLES * self.samples_per_cycle[channel]

    def boundary_blocks(self) -> int:
        """Blocks by which one step of the boundary moves the origin of indices."""
        return BOUNDARY_CYCLES * self.blocks_per_cycle

    def samples_before(self, channel: int, block: int) -> int:
        """How many samples of ``channel`` lie in blocks 0 to ``block``-1: the index of its
        first sample in ``block`` or later."""
        if block <= 0:
            return 0
        positions = self.positions[channel]
        periods, rest = divmod(block * BLOCK_SAMPLES, self.slots_per_period)
        return periods * len(positions) + bisect_left(positions, rest)

    def block_of(self, channel: int, index: int) -> int:
        """The block that holds sample ``index`` of ``channel``."""
        positions = self.positions[channel]
        period, k = divmod(index, len(positions))
        return (period * self.slots_per_period + positions[k]) // BLOCK_SAMPLES

    def sample_pass(self, channel: int, index):
        """The scan pass (counted from 1) in which sample ``index`` (an int or a numpy array) of
        ``channel`` was taken: a channel with divider d is sampled in passes d, 2d, 3d..."""
        return (index + 1) * self.dividers[channel]

    def pass_at(self, position: int) -> int:
        """The scan pass (from 1) of the sample at ``position`` of the stream (all channels
        together, counted from 0 at the start)."""
        period, rest = divmod(position, self.slots_per_period)
        return period * self.period_passes + self.slot_passes[rest]

    def pass_after_blocks(self, blocks: int) -> int:
        """The scan pass of the last sample of the first ``blocks`` blocks (0 for none)."""
        return self.pass_at(blocks * BLOCK_SAMPLES - 1) if blocks > 0 else 0
