"""The page's messages to the server, checked before anything acts on them.

Every message is a JSON object with an ``op``; :func:`parse` returns it as a :class:`Command`
with checked values, or raises :class:`ProtocolError` with a sentence for the page.  Nothing
that fails here reaches the instrument.
"""

from __future__ import annotations

import base64
import binascii
import json
import re
from dataclasses import dataclass, field
from typing import Any, Dict

RATES = (0, 1, 2, 5, 10)
#: Time windows the page offers, in seconds.
WINDOWS = (0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 30, 60)
MIN_COLUMNS, MAX_COLUMNS = 16, 4096
LINES = ("autozero", "odd-cal", "even-cal", "free")
EDGES = ("rising", "falling")
MAX_IMAGE_BYTES = 1 << 20
#: Largest message the server reads (an image, base64, with room for the rest).
MAX_MESSAGE_BYTES = MAX_IMAGE_BYTES * 4 // 3 + 4096
# A recording's file name: one plain name in the recordings folder, in a format of the recorder
# of mv620 record: .csv, .h5 (or .hdf5) or .npz.
_RECORD_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._ -]{0,119}\.(csv|h5|hdf5|npz)")


class ProtocolError(ValueError):
    """A message the server does not act on; the text says why."""


@dataclass(frozen=True)
class Command:
    op: str
    args: Dict[str, Any] = field(default_factory=dict)

    def __getitem__(self, key):
        return self.args[key]


def _whole(message, key, low, high):
    value = message.get(key)
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ProtocolError(f"{key} must be a whole number from {low} to {high}, not {value!r}")
    return value


def _choice(message, key, choices):
    value = message.get(key)
    if isinstance(value, bool) or value not in choices:
        shown = ", ".join(str(c) for c in choices)
        raise ProtocolError(f"{key} must be one of {shown}, not {value!r}")
    return value


def _flag(message, key):
    value = message.get(key)
    if not isinstance(value, bool):
        raise ProtocolError(f"{key} must be true or false, not {value!r}")
    return value


def _keys(message, *allowed):
    extra = sorted(set(message) - {"op", *allowed})
    if extra:
        raise ProtocolError(f"unknown field {extra[0]!r} in {message['op']!r}")


def parse(text) -> Command:
    """Checks one message from the page (its text) and returns what it asks for."""
    if not isinstance(text, str):
        raise ProtocolError("messages are JSON text")
    try:
        message = json.loads(text)
    except (ValueError, RecursionError):
        raise ProtocolError("the message is not JSON") from None
    if not isinstance(message, dict) or not isinstance(message.get("op"), str):
        raise ProtocolError("a message is a JSON object with an 'op'")
    op = message["op"]
    if op in ("start", "stop", "status"):
        _keys(message)
        return Command(op)
    if op == "rate":
        _keys(message, "channel", "rate")
        return Command(op, {"channel": _whole(message, "channel", 0, 39),
                            "rate": _choice(message, "rate", RATES)})
    if op == "view":
        _keys(message, "window", "columns")
        window = message.get("window")
        if isinstance(window, bool) or not isinstance(window, (int, float)) \
                or not any(abs(window - w) < 1e-9 for w in WINDOWS):
            raise ProtocolError(f"window must be one of {', '.join(map(str, WINDOWS))} seconds, "
                                f"not {window!r}")
        return Command(op, {"window": float(window),
                            "columns": _whole(message, "columns", MIN_COLUMNS, MAX_COLUMNS)})
    if op == "trigger":
        _keys(message, "channel", "level", "edge")
        if message.get("channel") is None:
            return Command(op, {"channel": None})
        return Command(op, {"channel": _whole(message, "channel", 0, 39),
                            "level": _whole(message, "level", 0, 65535),
                            "edge": _choice(message, "edge", EDGES)})
    if op == "line":
        _keys(message, "line", "on")
        return Command(op, {"line": _choice(message, "line", LINES),
                            "on": _flag(message, "on")})
    if op == "download":
        _keys(message, "name", "data")
        name = message.get("name")
        if not isinstance(name, str) or not 0 < len(name) <= 255:
            raise ProtocolError("name must be the image's file name")
        data = message.get("data")
        if not isinstance(data, str) or len(data) > MAX_IMAGE_BYTES * 4 // 3 + 4:
            raise ProtocolError(f"data must be the image in base64, at most {MAX_IMAGE_BYTES} "
                                "bytes")
        try:
            image = base64.b64decode(data, validate=True)
        except (binascii.Error, ValueError):
            raise ProtocolError("data is not base64") from None
        if not image:
            raise ProtocolError("the image is empty")
        return Command(op, {"name": name, "image": image})
    if op == "record":
        action = _choice(message, "action", ("start", "stop"))
        if action == "stop":
            _keys(message, "action")
            return Command(op, {"action": action})
        _keys(message, "action", "file")
        name = message.get("file")
        if not isinstance(name, str) or not _RECORD_NAME.fullmatch(name) or ".." in name:
            raise ProtocolError("file must be a plain file name ending .csv, .h5 or .npz "
                                "(letters, digits, '.', '_', '-' and spaces; no folders)")
        return Command(op, {"action": action, "file": name})
    raise ProtocolError(f"unknown op {op!r}")
