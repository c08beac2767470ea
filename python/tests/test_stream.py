"""The streaming reader: what is new, what was lost, and stopping.

The simulated instrument delivers blocks as fast as they are read; ready_never_from bounds the
stream, so each test decides exactly how far the instrument runs ahead of the reader.
"""

import numpy as np
import pytest

import mv620
from mv620 import Loss, LossReason, Result
from mv620.sim import identify_value

from conftest import wait_until

FOUR = {0: 10, 1: 5, 2: 2, 3: 1}


def check_identify(channel, first, samples):
    np.testing.assert_array_equal(
        samples, identify_value(channel, np.arange(first, first + len(samples))))


def library_window(instrument, acquisition, channel):
    """The library's own answer, found without the reader's schedule: the first index it can
    read and the first it has not acquired yet, in the acquisition's index count."""
    origin = acquisition.boundary * instrument.modulus(channel)

    def answer(index):
        samples, reason = instrument.read_available(channel, index - origin, 1)
        return reason if reason is not None else 0

    def first(predicate, low, high):  # the first index in [low, high) meeting the predicate
        while low < high:
            middle = (low + high) // 2
            if predicate(answer(middle)):
                high = middle
            else:
                low = middle + 1
        return low

    end = first(lambda a: a == Result.NOT_YET, origin, origin + 10 ** 7)
    return first(lambda a: a != Result.OVERWRITTEN, origin, end), end


@pytest.mark.parametrize("rates", [
    {0: 10, 1: 10, 2: 10, 3: 10},  # one block per cycle: the boundary moves every 16 blocks
    FOUR,  # nine blocks per cycle
])
def test_a_reader_that_keeps_up_gets_every_sample_of_many_blocks(instrument, rates):
    blocks = 100
    instrument.sim.ready_never_from(10)
    got = {c: [] for c in rates}
    with instrument.acquire(rates) as acquisition:
        for chunk in acquisition.stream(blocks=blocks):
            assert not chunk.lost
            for channel, samples in chunk.samples.items():
                assert chunk.first[channel] == sum(len(s) for s in got[channel])
                got[channel].append(samples)
            # Let the instrument run ahead by at most 14 blocks of what has been read.
            instrument.sim.ready_never_from(min(blocks, chunk.blocks + 14))
        assert not acquisition.running and acquisition.losses == []
        for channel in rates:
            samples = np.concatenate(got[channel])
            check_identify(channel, 0, samples)
            assert len(samples) == library_window(instrument, acquisition, channel)[1]
        if len(rates) == 4 and rates[3] == 10:
            assert acquisition.boundary == blocks // 16
    # Each block went over the wire once: no read failed or was repeated.
    reads = instrument.sim.request_stats(mv620.sim.IOCTL_BULK_READ)
    assert instrument.sim.blocks_delivered() >= blocks
    assert reads.issued == reads.succeeded == instrument.sim.blocks_delivered()


def test_a_slow_reader_reports_exactly_the_samples_the_ring_overwrote(instrument):
    instrument.sim.ready_never_from(10)
    with instrument.acquire(FOUR) as acquisition:
        wait_until(lambda: instrument.blocks_transferred == 10, "10 blocks")
        assert not acquisition.poll().lost  # fewer than 15 blocks: nothing overwritten yet
        before = {c: acquisition.next_index(c) for c in FOUR}
        for channel in FOUR:
            assert before[channel] == library_window(instrument, acquisition, channel)[1]
        # The reader sleeps while the instrument delivers 30 more blocks: 15 of them are gone.
        instrument.sim.ready_never_from(40)
        wait_until(lambda: instrument.blocks_transferred == 40, "40 blocks")
        chunk = acquisition.poll()
        assert chunk.blocks == 40
        for channel in FOUR:
            resume, end = library_window(instrument, acquisition, channel)
            assert resume > before[channel]
            assert [l for l in chunk.lost if l.channel == channel] == [
                Loss(channel, before[channel], resume, LossReason.OVERTAKEN)]
            assert chunk.first[channel] == resume
            assert chunk.first[channel] + len(chunk.samples[channel]) == end
            check_identify(channel, resume, chunk.samples[channel])
        assert acquisition.losses == list(chunk.lost)


def test_a_block_the_instrument_could_not_deliver_is_reported_lost(instrument):
    instrument.sim.fail_block_read(5, times=2)  # the read and its retry both fail
    instrument.sim.ready_never_from(8)
    with instrument.acquire(FOUR) as acquisition:
        recording = acquisition.record(blocks=8)
    for channel in FOUR:
        (loss,) = [l for l in recording.losses if l.channel == channel]
        assert loss.reason is LossReason.UNREADABLE
        # The library reads the samples around the loss and not one inside it.
        assert instrument.sample(channel, loss.start - 1) == identify_value(channel, loss.start - 1)
        assert instrument.sample(channel, loss.stop) == identify_value(channel, loss.stop)
        for index in (loss.start, loss.stop - 1):
            with pytest.raises(mv620.MV620Error):
                instrument.sample(channel, index)
        valid = recording.valid(channel)
        assert not valid[loss.start:loss.stop].any() and valid.sum() == len(valid) - loss.count
        check_identify(channel, 0, recording[channel][:loss.start])
        check_identify(channel, loss.stop, recording[channel][loss.stop:])


def test_leaving_the_block_stops_the_acquisition(instrument):
    with pytest.raises(RuntimeError, match="in the block"):
        with instrument.acquire(FOUR) as acquisition:
            wait_until(lambda: instrument.blocks_transferred > 0, "a block")
            raise RuntimeError("in the block")
    assert not acquisition.running
    assert instrument.status().code == 90  # refused while an acquisition runs


def test_stopping_from_the_loop_delivers_what_the_ring_still_holds(instrument):
    instrument.sim.ready_never_from(6)
    with instrument.acquire(FOUR) as acquisition:
        chunks = []
        for chunk in acquisition.stream():
            chunks.append(chunk)
            if len(chunks) == 1:
                wait_until(lambda: instrument.blocks_transferred == 6, "6 blocks")
                acquisition.stop()
    for channel in FOUR:
        delivered = sum(len(c.samples[channel]) for c in chunks)
        assert delivered == library_window(instrument, acquisition, channel)[1]


@pytest.mark.parametrize("rates, error, code", [
    ({}, mv620.MV620Error, 0),  # no channel on: the library refuses the start
    ({0: 3}, ValueError, None),
])
def test_a_start_that_cannot_be_made(instrument, rates, error, code):
    with pytest.raises(error) as caught:
        with instrument.acquire(rates):
            pass
    if code is not None:
        assert caught.value.code == code and caught.value.function == "Start_Acquisition"


def test_a_silent_instrument_ends_the_stream_with_an_error(instrument):
    instrument.sim.ready_never_from(0)
    with instrument.acquire(FOUR, timeout=0.2) as acquisition:
        with pytest.raises(mv620.MV620Error, match="no block") as caught:
            list(acquisition.stream())
    assert caught.value.code is Result.NO_BLOCKS


def test_one_acquisition_at_a_time_and_no_download_meanwhile(instrument, tmp_path):
    image = tmp_path / "image.idm"
    image.write_bytes(b"0001\r\n4000\r\n0000\r\n1234\r\n")
    with instrument.acquire(FOUR):
        with pytest.raises(RuntimeError, match="another acquisition"):
            with instrument.acquire(FOUR):
                pass
        with pytest.raises(mv620.MV620Error, match="acquisition runs"):
            instrument.download(image)


@pytest.mark.parametrize("suffix", [".csv", ".npz"])
def test_a_recording_with_losses_reads_back_as_it_was_saved(tmp_path, suffix):
    samples = {0: np.arange(100, dtype=np.uint16), 7: np.arange(40, dtype=np.uint16) * 1000}
    losses = [Loss(0, 0, 3, LossReason.OVERTAKEN), Loss(0, 50, 60, LossReason.UNREADABLE),
              Loss(7, 10, 12, LossReason.OVERTAKEN)]
    for loss in losses:
        samples[loss.channel][loss.start:loss.stop] = 0
    recording = mv620.Recording(samples, losses, {0: 10, 7: 2}, blocks=3)
    back = mv620.load(recording.save(tmp_path / f"rec{suffix}"))
    assert back.channels == [0, 7]
    for channel in back.channels:
        np.testing.assert_array_equal(back[channel], samples[channel])
        np.testing.assert_array_equal(back.valid(channel), recording.valid(channel))
    if suffix == ".npz":  # it keeps everything
        assert (back.losses, back.rates, back.blocks) == (losses, {0: 10, 7: 2}, 3)
    else:  # the losses' places, not their reasons
        assert [(l.channel, l.start, l.stop) for l in back.losses] == \
            [(l.channel, l.start, l.stop) for l in losses]
