"""Exceptions of the mv620 package and the library's result codes they carry."""

from __future__ import annotations

import enum
from typing import Optional


class Result(enum.IntEnum):
    """The library's negative results, as the C header names them.

    Get_DataPoint answers -1 to -4 instead of a sample; the status query answers -5 to -7
    instead of a status byte.
    """

    NO_BLOCKS = -1  #: no block has been transferred since the latest start
    CHANNEL_OFF = -2  #: the channel is off
    NOT_YET = -3  #: the sample's block has not been transferred yet
    OVERWRITTEN = -4  #: older than the 15 newest blocks, or its block could not be read
    NO_ANSWER = -5  #: no instrument answered (also: an acquisition runs, so nothing was asked)
    STATUS_THREE = -6  #: the instrument reported status 3
    STATUS_BELOW_90 = -7  #: the instrument reported a status below 90 (other than 3)


_EXPLANATION = {
    Result.NO_BLOCKS: "no block has been transferred since the acquisition started",
    Result.CHANNEL_OFF: "the channel is off",
    Result.NOT_YET: "the sample has not been acquired yet",
    Result.OVERWRITTEN: (
        "the sample was overwritten (it is older than the 15 newest blocks, "
        "or its block could not be read from the instrument)"
    ),
    Result.NO_ANSWER: "no instrument answered (none attached, or an acquisition is running)",
    Result.STATUS_THREE: "the instrument reported status 3",
    Result.STATUS_BELOW_90: "the instrument reported a status below 90",
}


def explain(code: int) -> str:
    """A short explanation of one of the library's negative results."""
    try:
        return _EXPLANATION[Result(code)]
    except ValueError:
        return f"result {code}"


class MV620Error(Exception):
    """A call into the library failed.

    ``code`` is what the library returned: a :class:`Result` member for its negative results
    (for instance ``Result.OVERWRITTEN`` from a read), the plain number for the other failures
    (0 from a refused start or a download the instrument did not confirm), or ``None`` when the
    package itself found the fault (no block from the instrument for too long).  ``function``
    names the C function that returned it.
    """

    def __init__(self, message: str, code: Optional[int] = None, function: Optional[str] = None):
        super().__init__(message)
        if code is not None and code < 0:
            try:
                code = Result(code)
            except ValueError:
                pass
        self.code = code
        self.function = function


class LibraryError(OSError):
    """The library could not be found or loaded (the message says which file and why)."""


class ImageError(ValueError):
    """A configuration image is malformed; the message names the record and what is wrong."""


class ReadError(MV620Error):
    """Not every sample asked for could be read.  ``samples`` holds those read before the first
    that failed (numpy uint16, from the index asked for), ``code`` the library's reason for that
    one."""

    def __init__(self, message: str, samples, code: Optional[int] = None,
                 function: Optional[str] = None):
        super().__init__(message, code, function)
        self.samples = samples

    @property
    def samples_read(self) -> int:
        return len(self.samples)


class StreamEnded(MV620Error):
    """A stream ended before it was asked to, after it had delivered every sample read.

    ``silent`` is True when the instrument sent no block for the stream's timeout (the
    acquisition was then stopped), False when the library ended the acquisition by itself (the
    instrument stopped answering, for instance when it was unplugged).
    """

    def __init__(self, message: str, silent: bool, code: Optional[int] = None,
                 function: Optional[str] = None):
        super().__init__(message, code, function)
        self.silent = silent
