"""The library's functions through Instrument, against the simulated instrument."""

import os

import numpy as np
import pytest

import mv620
from mv620 import Result
from mv620._schedule import Schedule
from mv620.sim import identify_value

from conftest import wait_until

FOUR = {0: 10, 1: 5, 2: 2, 3: 1}


def acquire_blocks(instrument, rates, blocks):
    """Acquires exactly ``blocks`` blocks and stops; they all stay readable up to 15."""
    instrument.set_rates(rates, others_off=True)
    instrument.sim.ready_never_from(blocks)
    instrument.start()
    wait_until(lambda: instrument.blocks_transferred == blocks, f"{blocks} blocks")
    instrument.stop()


@pytest.mark.parametrize("call, message", [
    (lambda i: i.set_rate(40, 10), "channels are 0 to 39"),
    (lambda i: i.set_rate(-1, 10), "channels are 0 to 39"),
    (lambda i: i.set_rate(0, 3), "rates are 10, 5, 2 and 1"),
    (lambda i: i.set_rates({0: 10, 1: 7}), "rates are 10, 5, 2 and 1"),
    (lambda i: i.read(0, -1, 5), "indices are 0 to 4294967295"),
    (lambda i: i.trigger(0, 0, 10, "sideways", 100), "modes are rising, falling"),
    (lambda i: i.trigger(0, 0, 10, "rising", 70000), "levels are 0 to 65535"),
    (lambda i: i.set_line(4, True), "lines are 0 autozero"),
    (lambda i: i.input(7), "inputs are 0 to 6"),
])
def test_bad_arguments_are_refused_before_any_call(instrument, call, message):
    with pytest.raises(ValueError, match=message):
        call(instrument)
    # The library would have applied channel 40 to channel 0, cut rate 3 down to 2, or set a
    # line: nothing of that happened.
    assert instrument.rates() == {}
    assert instrument.sim.output_lines() == 0


def test_rates_are_reported_back_as_the_instrument_takes_them(instrument):
    assert instrument.set_rates(FOUR) == FOUR
    assert instrument.set_rate(5, 0) == 0
    assert instrument.rates() == FOUR


@pytest.mark.parametrize("rates", [
    FOUR,
    {0: 5, 1: 2},
    {21: 1},
    {**{c: 10 for c in range(39)}, 39: 1},  # the longest schedule: 391 blocks per cycle
], ids=["10-5-2-1", "5-2", "one", "39+1"])
def test_every_sample_read_in_bulk_is_the_one_asked_for(instrument, rates):
    # The reader's scan schedule says exactly where each channel's samples end.
    acquire_blocks(instrument, rates, 12)
    schedule = Schedule(rates)
    for channel in rates:
        assert instrument.modulus(channel) == schedule.modulus(channel)
        count = schedule.samples_before(channel, 12)
        samples = instrument.read(channel, 0, count)
        assert samples.dtype == np.uint16
        np.testing.assert_array_equal(samples, identify_value(channel, np.arange(count)))
        # The schedule's count is exact: the next sample is not there yet.
        with pytest.raises(mv620.MV620Error) as caught:
            instrument.read(channel, count - 3, 4)
        assert caught.value.code is Result.NOT_YET


@pytest.mark.parametrize("blocks, channel, index, code", [
    (0, 0, 0, Result.NO_BLOCKS),
    (2, 5, 0, Result.CHANNEL_OFF),
    (2, 0, 10 ** 6, Result.NOT_YET),
    (20, 0, 0, Result.OVERWRITTEN),
])
def test_a_sample_that_cannot_be_read_raises_with_the_library_code(
        instrument, blocks, channel, index, code):
    if blocks:
        acquire_blocks(instrument, FOUR, blocks)
    else:
        instrument.set_rates(FOUR)
        instrument.start()
    with pytest.raises(mv620.MV620Error) as caught:
        instrument.sample(channel, index)
    assert caught.value.code is code and caught.value.function == "Get_DataPoint"
    samples, reason = instrument.read_available(channel, index, 10)
    assert len(samples) == 0 and reason is code


def test_moving_the_boundary_shifts_indices_by_the_modulus(instrument):
    rates = {0: 10, 7: 10}  # one block per cycle: the boundary steps by 16 blocks
    acquire_blocks(instrument, rates, 20)
    schedule = Schedule(rates)
    for channel in rates:
        index = schedule.samples_before(channel, 17) + 5
        before = instrument.sample(channel, index)
        instrument.set_boundary(1)
        assert instrument.sample(channel, index - instrument.modulus(channel)) == before
        assert before == identify_value(channel, index)
        instrument.set_boundary(0)


@pytest.mark.parametrize("channel, mode, level, index", [
    (0, "rising", 1000, 1000),  # values 0, 1, ... 1636, 0, 1, ...
    (1, mv620.TriggerMode.FALLING, 2000, 1637),  # 3273 falls to 1637 at index 1637
    (1, "at-or-above", 1637, 1),  # the first sample is never tested
    (0, "at-or-below", 5, 1),
    (0, "falling", 10, None),  # its only fall ends at 0, which does not count
])
def test_the_trigger_search_gives_the_value_and_index(instrument, channel, mode, level, index):
    acquire_blocks(instrument, FOUR, 2)
    found = instrument.trigger(channel, 0, 4000, mode, level)
    np.testing.assert_array_equal(found.samples, identify_value(channel, np.arange(4000)))
    assert found.index == index
    assert found.value == (None if index is None else identify_value(channel, index))


@pytest.mark.parametrize("byte, code, kind", [
    (90, 90, mv620.StatusKind.REPORTED),
    (127, 127, mv620.StatusKind.REPORTED),
    (3, Result.STATUS_THREE, mv620.StatusKind.THREE),
    (89, Result.STATUS_BELOW_90, mv620.StatusKind.BELOW_90),
    (200, Result.STATUS_BELOW_90, mv620.StatusKind.BELOW_90),
])
def test_status(instrument, byte, code, kind):
    instrument.sim.set_status_byte(byte)
    status = instrument.status()
    assert status.code == code and status.kind is kind
    assert status.value == (byte if kind is mv620.StatusKind.REPORTED else None)


@pytest.mark.parametrize("situation", ["absent", "acquiring"])
def test_no_answer_to_the_status_query_raises(instrument, situation):
    if situation == "absent":
        instrument.sim.set_presence(mv620.Presence.ABSENT)
    else:
        instrument.set_rates(FOUR)
        instrument.sim.ready_never_from(0)
        instrument.start()
    with pytest.raises(mv620.MV620Error) as caught:
        instrument.status()
    assert caught.value.code is Result.NO_ANSWER


def test_lines_and_the_autozero_pulse(instrument):
    for line, name in enumerate(["autozero", "odd-cal", "even-cal", "free"]):
        instrument.set_line(name, True)
        assert instrument.sim.output_lines() == (2 << line) - 1
    instrument.set_line(mv620.Line.ODD_CALIBRATION, False)
    instrument.set_line(3, False)
    assert instrument.sim.output_lines() == 0b0101
    instrument.autozero_pulse()
    assert instrument.sim.output_lines() == 0b0100


def test_inputs_are_active_low_and_input_3_reads_input_6(instrument):
    instrument.sim.set_inputs(0b1000101)  # inputs 0, 2 and 6 high: inactive
    assert instrument.inputs() == (False, True, False, False, True, True, False)


# The worked example: three 16-bit words at 0x0100, two 24-bit words at 0x0020, end marker.
IMAGE = b"".join(f"{r}\r\n".encode() for r in (
    "0003 4100 0000 1234 ABCD 0001 0004 0020 0000 1234 0056 ABCD 00EF FFFF 0000 0000".split()))


def test_download_from_any_path_leaves_the_current_directory(instrument, tmp_path, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    # A file of the library's fixed name here must not be the one downloaded.
    (work / "acq620m_2189.idm").write_bytes(IMAGE.replace(b"1234", b"5555"))
    image = tmp_path / "images" / "my config.idm"
    image.parent.mkdir()
    image.write_bytes(IMAGE)
    seen = []
    parsed = instrument.download(image, lambda done, total: seen.append((done, total)))
    assert os.getcwd() == str(work)
    assert (parsed.words, parsed.packets) == (5, 2) and seen[-1] == (2, 2)
    assert all(done <= total == 2 for done, total in seen)
    packets = instrument.sim.packets()
    assert [p.code for p in packets] == [16, 17, 17]  # the announcement, two data packets
    assert packets[1].data[4:14] == bytes([1, 0, 0, 3, 0x12, 0x34, 0xAB, 0xCD, 0x00, 0x01])
    words = {a: instrument.sim.config_word(a) for a in (0x100, 0x101, 0x102, 0x20, 0x21)}
    assert words == {0x100: 0x1234, 0x101: 0xABCD, 0x102: 0x0001, 0x20: 0x123456,
                     0x21: 0xABCDEF}


@pytest.mark.parametrize("fault, error, message", [
    ("missing", FileNotFoundError, "missing.idm"),
    ("malformed", mv620.ImageError, "record 5"),
    ("empty", mv620.ImageError, "is empty"),
    ("wrong echo", mv620.MV620Error, "did not confirm"),
    ("absent", mv620.MV620Error, "did not confirm"),
])
def test_a_failed_download_raises_and_changes_back(instrument, tmp_path, monkeypatch,
                                                   fault, error, message):
    monkeypatch.chdir(tmp_path)
    image = tmp_path / ("missing.idm" if fault == "missing" else "image.idm")
    if fault == "malformed":
        image.write_bytes(IMAGE.replace(b"ABCD\r\n", b"ABCD\n\r", 1))
    elif fault == "empty":
        image.write_bytes(b"")
    elif fault != "missing":
        image.write_bytes(IMAGE)
    if fault == "wrong echo":
        instrument.sim.set_wrong_echo(True)
    if fault == "absent":
        instrument.sim.set_presence(mv620.Presence.ABSENT)
    with pytest.raises(error, match=message):
        instrument.download(image)
    assert os.getcwd() == str(tmp_path)
    assert instrument.sim.config_word(0x100) is None or fault == "wrong echo"
