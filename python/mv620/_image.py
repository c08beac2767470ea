"""Checking a configuration image before it is handed to the library.

The library checks the whole image too and sends nothing of a malformed one, but it can only
answer 0.  This check applies the same rules and says which record is wrong, and it counts the
data packets the download will send, for a progress bar.

An image is a run of 6-byte records, each four hexadecimal digits and CR LF.  A section is a
count record (FFFF ends the image), an address word (bits 13-0 the first word's address, bit 14
set for 16-bit words, clear for 24-bit words), an unused record, then its data records: one per
16-bit word, two per 24-bit word, the count lowered by 2 per 24-bit word (an odd count takes one
record more).  The end of the file between two sections also ends the image.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import List

from .errors import ImageError

RECORD_BYTES = 6
END_MARKER = 0xFFFF
MAX_IMAGE_BYTES = 16 * 1024 * 1024
WORDS_PER_PACKET = {16: 27, 24: 18}
_HEX = set(b"0123456789abcdefABCDEF")


@dataclass(frozen=True)
class Section:
    address: int  # first word's address, 0 to 0x3FFF
    width: int  # 16 or 24
    words: int  # data words

    @property
    def packets(self) -> int:
        per = WORDS_PER_PACKET[self.width]
        return -(-self.words // per)


@dataclass(frozen=True)
class Image:
    sections: List[Section]

    @property
    def words(self) -> int:
        return sum(s.words for s in self.sections)

    @property
    def packets(self) -> int:
        return sum(s.packets for s in self.sections)


def check_image(data: bytes, name: str = "the image") -> Image:
    """Parses ``data`` as a configuration image; raises ImageError naming the fault."""
    if not data:
        raise ImageError(f"{name} is empty")
    if len(data) > MAX_IMAGE_BYTES:
        raise ImageError(f"{name} is larger than {MAX_IMAGE_BYTES} bytes")
    position = 0

    def record(what: str):
        nonlocal position
        if position >= len(data):
            return None
        raw = data[position:position + RECORD_BYTES]
        number = position // RECORD_BYTES + 1
        position += RECORD_BYTES
        if len(raw) < RECORD_BYTES or not set(raw[:4]) <= _HEX or raw[4:] != b"\r\n":
            raise ImageError(f"{name}: record {number} ({what}, byte {position - RECORD_BYTES}) "
                             "is not four hexadecimal digits and CR LF")
        return int(raw[:4], 16)

    def required(what: str, fault: str) -> int:
        value = record(what)
        if value is None:
            raise ImageError(f"{name} ends {fault}")
        return value

    sections: List[Section] = []
    while position < len(data):
        count = record("a section's count")
        if count is None or count == END_MARKER:
            break
        address_word = required("an address word", "inside a section's header")
        required("a header's third record", "inside a section's header")
        width = 16 if address_word & 0x4000 else 24
        remaining = count
        words = 0
        while remaining > 0:
            required("a data record", "inside a section's data")
            if width == 24:
                required("a data record", "inside a section's data")
                remaining -= 2
            else:
                remaining -= 1
            words += 1
        sections.append(Section(address_word & 0x3FFF, width, words))
    image = Image(sections)
    if image.words == 0:
        raise ImageError(f"{name} holds no data words")
    return image


def read_image(path: Path) -> tuple:
    """The bytes of the image file at ``path`` and its parsed form."""
    path = Path(path)
    if path.stat().st_size > MAX_IMAGE_BYTES:
        raise ImageError(f"{path} is larger than {MAX_IMAGE_BYTES} bytes")
    data = path.read_bytes()
    return data, check_image(data, str(path))
