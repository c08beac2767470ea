"""Controls of the simulated instrument, for programs and tests that run without hardware.

The simulated build of the library (MV620ACQm-sim) answers the library's driver requests from
a model of the instrument.  :class:`Simulator` sets that model up, injects faults and shows
what the library sent it.  Get one as ``Instrument(sim=True).sim``.
"""

from __future__ import annotations

import ctypes
import enum
from dataclasses import dataclass
from typing import List, Optional

from . import _clib


class Pattern(enum.IntEnum):
    """Sample patterns; n is the channel's n-th sample since the start, c the channel."""

    IDENTIFY = 0  #: c * 1637 + (n mod 1637): every sample tells its channel and index
    SINE = 1  #: a sine of period 100 * (c + 1) samples around 32768
    RAMP = 2  #: (n * 64 * (c + 1)) mod 65536


class Presence(enum.IntEnum):
    PRESENT = 0  #: the instrument
    ABSENT = 1  #: nothing at the driver's device (like a pulled cable)
    FOREIGN = 2  #: another device, which answers like the instrument


class PacketFate(enum.IntEnum):
    NONE = 0  #: no such packet in the log
    ACCEPTED = 1
    WRITE_FAILED = 2
    BAD_CHECKSUM = 3


def identify_value(channel: int, index):
    """The value the identify pattern gives sample ``index`` (an int or numpy array) of
    ``channel``."""
    return channel * 1637 + index % 1637


@dataclass(frozen=True)
class Packet:
    fate: PacketFate
    data: bytes  # the 64 bytes written

    @property
    def code(self) -> int:
        return self.data[0]


@dataclass(frozen=True)
class Request:
    """One driver control request the library issued."""

    code: int
    handle: int
    in_length: int
    out_length: int
    bytes_returned: int
    succeeded: bool
    refused: bool  # malformed, unknown code, or a handle that was not open
    data: bytes  # its first (up to 16) input bytes


@dataclass(frozen=True)
class RequestStats:
    issued: int
    succeeded: int
    refused: int


@dataclass(frozen=True)
class Message:
    """One window message the library sent."""

    window: Optional[int]
    message: int
    w_param: int
    l_param: int


# Keys of Simulator.request_stats: the driver's control codes, then opens, closes and requests
# with an unknown code.
IOCTL_GET_DESCRIPTOR = 0x222004
IOCTL_VENDOR_REQUEST = 0x222059
IOCTL_BULK_READ = 0x22204E
IOCTL_BULK_WRITE = 0x222051
IOCTL_ABORT_PIPE = 0x22203D
IOCTL_RESET_PIPE = 0x222035
STATS_OPEN = 1
STATS_CLOSE = 2
STATS_UNKNOWN_CODE = 3


class Simulator:
    """The simulated instrument behind a loaded MV620ACQm-sim library.

    Setters raise ValueError when the simulator refuses an argument as out of range.
    """

    def __init__(self, library):
        self._c = library.c

    @staticmethod
    def _taken(result: int, what: str) -> None:
        if not result:
            raise ValueError(f"the simulated instrument refused {what}")

    @staticmethod
    def _int(value, what: str) -> int:
        """A whole number the simulator's C interface can take (a 32-bit int)."""
        if isinstance(value, bool) or not isinstance(value, int) \
                or not -(1 << 31) <= value < 1 << 31:
            raise ValueError(f"{what} {value!r} is out of range for the simulated instrument")
        return value

    # ---- set-up -------------------------------------------------------------------------------

    def reset(self) -> None:
        """A healthy present instrument with the test defaults: identify pattern, rate 0 (a
        block is always ready), status 90, inputs 0, lines off, no faults, empty logs, virtual
        clock off."""
        self._c.MV620Sim_Reset()

    def set_presence(self, presence: Presence) -> None:
        self._taken(self._c.MV620Sim_SetPresence(int(presence)), f"presence {presence!r}")

    def set_pattern(self, pattern) -> None:
        """A Pattern or its name (identify, sine, ramp); applies to blocks not yet started."""
        if isinstance(pattern, str):
            try:
                pattern = Pattern[pattern.upper()]
            except KeyError:
                raise ValueError(f"pattern {pattern!r} is unknown: patterns are identify, sine "
                                 "and ramp") from None
        self._taken(self._c.MV620Sim_SetPattern(int(pattern)), f"pattern {pattern!r}")

    def set_rate(self, samples_per_second: int) -> None:
        """Pacing: aggregate samples per second (a block each 32000 samples of real time); 0: a
        block is always ready, as fast as the library reads."""
        rate = self._int(samples_per_second, "rate")
        self._taken(self._c.MV620Sim_SetRate(rate), f"rate {rate}")

    def set_status_byte(self, status: int) -> None:
        status = self._int(status, "status byte")
        self._taken(self._c.MV620Sim_SetStatusByte(status), f"status byte {status}")

    def set_inputs(self, bits: int) -> None:
        """Inputs 0 to 6 as bits 0 to 6 of the port (a set bit reads as inactive)."""
        bits = self._int(bits, "inputs")
        self._taken(self._c.MV620Sim_SetInputs(bits), f"inputs {bits}")

    def set_virtual_clock(self, on: bool, start: int = 65536) -> None:
        """On: the library's busy waits (100 ms per packet, the 1 s autozero) take no real
        time."""
        self._taken(self._c.MV620Sim_SetVirtualClock(int(bool(on)), start), "the clock")

    # ---- faults -------------------------------------------------------------------------------

    def fail_block_read(self, block: int, times: int = 1) -> None:
        """The next ``times`` reads of block ``block`` fail (2 or more: the block is lost)."""
        block, times = self._int(block, "block"), self._int(times, "times")
        self._taken(self._c.MV620Sim_FailBlockRead(block, times), f"block {block}")

    def short_block_read(self, block: int, bytes_: int) -> None:
        block, bytes_ = self._int(block, "block"), self._int(bytes_, "bytes")
        self._taken(self._c.MV620Sim_ShortBlockRead(block, bytes_), f"block {block}")

    def ready_never_from(self, block: Optional[int]) -> None:
        """From block ``block`` on the ready bit is never set: the stream ends after exactly that
        many blocks.  None clears."""
        block = -1 if block is None else self._int(block, "block")
        self._taken(self._c.MV620Sim_ReadyNeverFrom(block), f"block {block}")

    def unplug_after_blocks(self, blocks: Optional[int]) -> None:
        """Unplugs once ``blocks`` blocks in all have been delivered; None disarms."""
        blocks = -1 if blocks is None else self._int(blocks, "blocks")
        self._taken(self._c.MV620Sim_UnplugAfterBlocks(blocks), f"{blocks} blocks")

    def replug(self) -> None:
        self._c.MV620Sim_Replug()

    def fail_packet_write(self, code: int, nth: int = 0) -> None:
        """Writes of packets with command ``code`` fail: every one (0), the nth from now, or
        none any more (-1)."""
        code, nth = self._int(code, "code"), self._int(nth, "nth")
        self._taken(self._c.MV620Sim_FailPacketWrite(code, nth), f"code {code}")

    def fail_response_read(self, code: int, nth: int = 0) -> None:
        """Reads of responses to command ``code`` fail, as for fail_packet_write."""
        code, nth = self._int(code, "code"), self._int(nth, "nth")
        self._taken(self._c.MV620Sim_FailResponseRead(code, nth), f"code {code}")

    def set_wrong_echo(self, on: bool) -> None:
        self._c.MV620Sim_SetWrongEcho(int(bool(on)))

    # ---- inspection ---------------------------------------------------------------------------

    def packet_count(self) -> int:
        """Packets the library wrote since the reset."""
        return self._c.MV620Sim_GetPacketCount()

    def packet(self, index: int) -> Optional[Packet]:
        """Logged packet ``index``, or None when it is not (or no longer) in the log."""
        buffer = (ctypes.c_ubyte * _clib.SIM_PACKET_LENGTH)()
        fate = self._c.MV620Sim_GetPacket(index, buffer)
        if fate == PacketFate.NONE:
            return None
        return Packet(PacketFate(fate), bytes(buffer))

    def packets(self, since: int = 0) -> List[Packet]:
        """The logged packets from index ``since`` on."""
        found = (self.packet(i) for i in range(since, self.packet_count()))
        return [p for p in found if p is not None]

    def _data_packets_since(self, since: int) -> int:
        # Configuration data packets (command 17) written since packet `since`.
        return sum(1 for p in self.packets(since) if p.code == 17)

    def request_count(self) -> int:
        """Driver control requests the library issued since the reset (not opens and closes)."""
        return self._c.MV620Sim_GetRequestCount()

    def request(self, index: int) -> Optional[Request]:
        """Logged request ``index``, or None when it is not (or no longer) in the log."""
        raw = _clib.SimRequest()
        if not self._c.MV620Sim_GetRequest(index, ctypes.byref(raw)):
            return None
        return Request(raw.code, raw.handle, raw.inLength, raw.outLength, raw.bytesReturned,
                       bool(raw.result), bool(raw.refused), bytes(raw.in_)[:raw.inLength])

    def request_stats(self, key: int) -> RequestStats:
        """Counters of one control code (IOCTL_*) or of STATS_OPEN / STATS_CLOSE /
        STATS_UNKNOWN_CODE."""
        raw = _clib.SimRequestStats()
        self._c.MV620Sim_GetRequestStats(key, ctypes.byref(raw))
        return RequestStats(raw.issued, raw.succeeded, raw.refused)

    def message_count(self) -> int:
        """Window messages (download progress) the library sent since the reset."""
        return self._c.MV620Sim_GetMessageCount()

    def message(self, index: int) -> Optional[Message]:
        raw = _clib.SimMessage()
        if not self._c.MV620Sim_GetMessage(index, ctypes.byref(raw)):
            return None
        return Message(raw.window, raw.message, raw.wParam, raw.lParam)

    def checksum_errors(self) -> int:
        return self._c.MV620Sim_GetChecksumErrors()

    def pending_responses(self) -> int:
        return self._c.MV620Sim_GetPendingResponses()

    def output_lines(self) -> int:
        """Output lines 0 to 3 as bits 0 to 3."""
        return self._c.MV620Sim_GetOutputLines()

    def config_word(self, address: int) -> Optional[int]:
        """The configuration word at ``address``, or None when never written."""
        value = self._c.MV620Sim_GetConfigWord(address)
        return None if value < 0 else value

    def config_word_width(self, address: int) -> int:
        return self._c.MV620Sim_GetConfigWordWidth(address)

    def blocks_delivered(self) -> int:
        """Data blocks the library read whole since the reset."""
        return self._c.MV620Sim_GetBlocksDelivered()

    def open_handles(self) -> int:
        return self._c.MV620Sim_GetOpenHandles()

    def malformed_requests(self) -> int:
        return self._c.MV620Sim_GetMalformedRequests()

    def protocol_errors(self) -> int:
        return self._c.MV620Sim_GetProtocolErrors()
