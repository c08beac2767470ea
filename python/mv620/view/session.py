"""The instrument's side of the view: one thread that owns the instrument.

It runs the controlling page's commands one after the other, reads the stream every 50 ms,
reduces each channel to min/max columns and publishes a frame, reads the inputs, and notices
a silent or lost instrument.  What it publishes goes to every page: JSON text for state and
replies, binary frames for the traces (see :func:`encode_frame`).

Threads: :meth:`Session.submit`, :meth:`~Session.release`, :meth:`~Session.shutdown` and
:attr:`Session.state_text` are for the server's thread; everything else runs on the session's
own thread, which alone calls the instrument and writes a recording as the chunks come (a
recording that ended is finished on a thread of its own, which the session no longer touches).
"""

from __future__ import annotations

import json
import os
import queue
import struct
import tempfile
import threading
import time
from collections import deque
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple, Union

from ..errors import ImageError, MV620Error
from .device import Absent, Device, Full, Recording, Stream, Unrecordable
from .protocol import Command, LINES
from .reduce import (NOMINAL_SAMPLES_PER_SECOND, ColumnReducer, Segment, passes_per_column,
                     samples_per_column)

TICK = 0.05  # seconds between frames: 20 a second
INPUTS_EVERY = 0.25
#: A running stream with no new block for this long has lost its instrument (or it fell silent).
SILENT_AFTER = 2.0
MAX_MARKS = 32  # trigger marks per frame
STATUS_WHILE_RUNNING = ("The status is not asked while the acquisition runs: the library then "
                        "answers 'no instrument' without asking. Stop the acquisition first.")

Publish = Callable[[Union[str, bytes]], None]


def encode_frame(header: dict, segments: Dict[int, List[Segment]]) -> bytes:
    """A binary frame: the header's length (uint32, little-endian), the header as JSON (padded
    with spaces to an even length), then for each channel of ``header["channels"]`` in order,
    for each of its segments, the columns' minima then their maxima as uint16 little-endian."""
    parts = []
    listing = []
    for channel, pieces in segments.items():
        spans = []
        for segment in pieces:
            low, high = segment.arrays()
            parts += [low.astype("<u2"), high.astype("<u2")]
            spans.append([segment.first, len(low)])
        listing.append({"channel": channel, "segments": spans})
    text = json.dumps({**header, "channels": listing}, separators=(",", ":")).encode()
    if len(text) % 2:
        text += b" "
    return struct.pack("<I", len(text)) + text + b"".join(p.tobytes() for p in parts)


class Session:
    def __init__(self, device: Device, folder: Path, publish: Publish,
                 rates: Optional[Dict[int, int]] = None):
        self.device = device
        self.folder = Path(os.path.abspath(folder))
        self.publish = publish
        self.queue: "queue.Queue" = queue.Queue()
        self.rates = [0] * 40  # as the page set them; given to the library at the next start
        for channel, rate in (rates or {}).items():
            self.rates[channel] = rate
        self.stream: Optional[Stream] = None
        self.recording: Optional[Recording] = None
        self.window, self.columns = 1.0, 1000
        self.view: Dict = {}
        self.reducers: Dict[int, ColumnReducer] = {}
        self.epoch = 0
        self.trigger: Optional[Dict] = None
        self.lines: List[Optional[bool]] = [None] * 4  # unknown until switched here
        self.inputs: Optional[List[bool]] = None
        self.instrument = "unknown"
        self.notice = ""
        self.downloading = False
        #: Recordings being finished, each on its thread: (its file, the thread).
        self._saves: List[Tuple[Path, threading.Thread]] = []
        self._pace: deque = deque(maxlen=41)  # (time, blocks, samples) over the last ~2 s
        self._changed = 0.0
        self._seen_blocks = 0
        self._delivered = 0
        self._inputs_at = 0.0
        #: The latest state as JSON, for pages that connect (replaced whole, never changed).
        self.state_text = self._state_text()
        self._thread = threading.Thread(target=self._run, name="mv620-view", daemon=True)

    # ---- called from the server's thread ----------------------------------------------------

    def start(self) -> None:
        self._thread.start()

    def submit(self, command: Command) -> None:
        self.queue.put(command)

    def release(self) -> None:
        """The controlling page went away: stop the acquisition (keeping a recording)."""
        self.queue.put(Command("release"))

    def shutdown(self, timeout: float = 30.0) -> None:
        """Stops the acquisition, finishes a recording that runs, and ends the thread (a
        recording being finished is waited for, however long that takes)."""
        if self._thread.is_alive():
            self.queue.put(Command("quit"))
            self._thread.join(timeout)
        self._wait_for_saves()

    # ---- the thread -----------------------------------------------------------------------

    def _run(self) -> None:
        self._guarded(lambda _: self._set_rates_now(), None)
        self._guarded(self._read_inputs, time.monotonic())
        self._publish_state()
        due = time.monotonic()
        while True:
            try:
                command = self.queue.get(timeout=max(0.0, due - time.monotonic()))
            except queue.Empty:
                command = None
            if command is not None:
                if command.op == "quit":
                    self._end_stream("the server stopped", "the server stopped")
                    self._finish_recording("the server stopped")
                    self._wait_for_saves()
                    return
                self._guarded(self._handle, command)
            now = time.monotonic()
            if now >= due:
                due = now + TICK
                self._guarded(self._tick, now)

    def _guarded(self, work, argument) -> None:
        try:
            work(argument)
        except Exception as error:  # noqa: BLE001 - the page hears of it; the thread goes on
            self._error(f"{type(error).__name__}: {error}")

    def _error(self, message: str, op: str = "") -> None:
        self.publish(json.dumps({"type": "error", "op": op, "message": message}))

    def _state_text(self) -> str:
        stream = self.stream
        return json.dumps({
            "type": "state",
            "simulated": self.device.simulated,
            "running": stream is not None,
            "rates": self.rates,
            "running_rates": {str(c): r for c, r in stream.rates.items()} if stream else None,
            "view": {"window": self.window, "columns": self.columns, **self.view},
            "epoch": self.epoch,
            "trigger": self.trigger,
            "lines": self.lines,
            "inputs": self.inputs,
            "instrument": self.instrument,
            "notice": self.notice,
            "recording": {"file": self.recording.path.name} if self.recording else None,
            "folder": str(self.folder),
            "downloading": self.downloading,
        })

    def _publish_state(self) -> None:
        self.state_text = self._state_text()
        self.publish(self.state_text)

    # ---- commands ---------------------------------------------------------------------------

    def _handle(self, command: Command) -> None:
        op = command.op
        if op == "rate":
            self.rates[command["channel"]] = command["rate"]
            if self.stream is None:
                self._set_rates_now()
        elif op == "start":
            if self.stream is not None:
                return self._error("the acquisition already runs", op)
            self._start()
        elif op == "stop":
            self._end_stream("", "the acquisition was stopped from the page")
        elif op == "release":
            self._end_stream("the controlling page closed; the acquisition was stopped"
                             if self.stream is not None else "", "the controlling page closed")
        elif op == "view":
            self.window, self.columns = command["window"], command["columns"]
            self._new_view()
        elif op == "trigger":
            self.trigger = None if command["channel"] is None else dict(command.args)
        elif op == "line":
            self.device.set_line(command["line"], command["on"])
            self.lines[LINES.index(command["line"])] = command["on"]
        elif op == "status":
            return self._status()
        elif op == "download":
            return self._download(command["name"], command["image"])
        elif op == "record":
            if command["action"] == "start":
                self._record(command["file"])
            else:
                self._finish_recording("stopped from the page")
        self._publish_state()

    def _set_rates_now(self) -> None:
        for channel, rate in enumerate(self.rates):
            self.device.set_rate(channel, rate)

    def _start(self) -> bool:
        if not any(self.rates):
            self._error("no channel is on: give a channel a rate first", "start")
            return False
        try:
            self.device.status()
        except Absent:
            self._lost("No instrument answered. Connect it and switch it on, then press Start.")
            return False
        self.instrument = "present"
        self._set_rates_now()
        try:
            self.stream = self.device.start()
        except MV620Error as error:
            self._error(str(error), "start")
            return False
        self.notice = ""
        now = time.monotonic()
        self._changed, self._seen_blocks, self._delivered = now, 0, 0
        self._pace.clear()
        self._new_view()
        return True

    def _new_view(self) -> None:
        """Columns for the running stream and the page's window: the page starts its traces
        afresh (a new epoch)."""
        self.epoch += 1
        self.reducers = {}
        self.view = {}
        stream = self.stream
        if stream is None:
            return
        passes = passes_per_column(stream.rates, self.window, self.columns)
        per_column = samples_per_column(stream.rates, passes)
        self.reducers = {c: ColumnReducer(n) for c, n in per_column.items()}
        passes_per_second = NOMINAL_SAMPLES_PER_SECOND * 10 / sum(stream.rates.values())
        self.view = {"passes": passes, "per_column": {str(c): n for c, n in per_column.items()},
                     "seconds_per_column": passes / passes_per_second}

    def _end_stream(self, notice: str, ending: str) -> None:
        """Stops the acquisition; a recording gets what the ring still holds and is finished,
        ``ending`` saying why it ended."""
        stream, self.stream = self.stream, None
        if stream is None:
            return
        failed = None
        try:
            try:
                stream.stop()
            except MV620Error as error:
                notice = notice or str(error)
                ending = f"{ending}: {error}" if ending else str(error)
            # What the ring still holds belongs to a recording.
            if self.recording is not None:
                try:
                    self.recording.add(stream.poll())
                except MV620Error as error:
                    notice = notice or str(error)
                    ending = f"{ending}: {error}" if ending else str(error)
                except Full as error:
                    ending, failed = str(error), error
        finally:
            self._finish_recording(ending, failed)
            self.notice = notice
            self._new_view()
            self._publish_state()

    def _lost(self, notice: str) -> None:
        self.instrument = "lost"
        self.notice = notice
        self.publish(json.dumps({"type": "lost", "message": notice}))
        self._publish_state()

    def _status(self) -> None:
        if self.stream is not None:
            self.publish(json.dumps({"type": "status", "refused": STATUS_WHILE_RUNNING}))
            return
        try:
            value, text = self.device.status()
        except Absent as error:
            self.publish(json.dumps({"type": "status", "absent": True, "text": str(error)}))
            self.instrument = "lost"
        else:
            self.publish(json.dumps({"type": "status", "value": value, "text": text}))
            self.instrument = "present"
            self.notice = ""
        self._publish_state()

    def _download(self, name: str, image: bytes) -> None:
        def say(**what):
            self.publish(json.dumps({"type": "download", "name": name, **what}))

        if self.stream is not None:
            return say(state="failed", message="Stop the acquisition first: the instrument "
                                               "takes no download while it streams.")
        self.downloading = True
        self._publish_state()
        shown = [-1]

        def progress(done, total):
            if done != shown[0]:
                shown[0] = done
                say(state="progress", done=done, total=total)

        try:
            with tempfile.TemporaryDirectory(prefix="mv620-view-") as folder:
                path = Path(folder) / "image.idm"
                path.write_bytes(image)
                words, packets = self.device.download(path, progress)
        except (ImageError, MV620Error) as error:
            say(state="failed", message=str(error))
        else:
            say(state="done", words=words, packets=packets)
        finally:
            self.downloading = False
            self._publish_state()

    def _record(self, name: str) -> None:
        if self.recording is not None:
            return self._error(f"already recording to {self.recording.path.name}", "record")
        if not any(self.rates):
            return self._error("no channel is on: give a channel a rate first", "record")
        path = self.folder / name
        if any(saving == path and thread.is_alive() for saving, thread in self._saves):
            return self._error(f"{name} is still being written; choose another name", "record")
        # The file is opened first: a name that exists or a folder that cannot be written is
        # refused before anything is recorded, and a running acquisition goes on.
        try:
            recording = Recording(path, {c: r for c, r in enumerate(self.rates) if r})
        except Unrecordable as error:
            return self._error(str(error), "record")
        # A recording starts with its acquisition, so that its indices are those since the
        # start, as with mv620 record.
        if self.stream is not None:
            self._end_stream("", "")
        if not self._start():
            return recording.discard()
        try:
            recording.begin(self.stream)
        except Unrecordable as error:
            recording.discard()
            return self._error(str(error), "record")
        self.recording = recording

    def _finish_recording(self, ending: str, failed: Optional[Full] = None) -> None:
        """Finishes the recording, if one runs, on a thread of its own (a .npz file is assembled
        then, which may take a while, and the stream must go on being read meanwhile); the page
        hears what the file holds.  ``failed``: a write failed, and the file keeps what was
        written before."""
        recording, self.recording = self.recording, None
        if recording is None:
            return

        def finish():
            try:
                held = recording.close(ending)
            except Exception as error:  # noqa: BLE001 - told to the page
                self.publish(json.dumps({"type": "record", "state": "failed",
                                         "file": recording.path.name, "message": str(error)}))
            else:
                note = {} if failed is None else \
                    {"message": f"{failed}; the file keeps what was written before"}
                self.publish(json.dumps({"type": "record", "state": "saved",
                                         "file": recording.path.name,
                                         "path": str(recording.path), "ending": ending,
                                         **held, **note}))

        # Not a daemon: should the process end meanwhile, it still waits for the file.
        finishing = threading.Thread(target=finish, name="mv620-view-save")
        finishing.start()
        self._saves = [(p, t) for p, t in self._saves if t.is_alive()] + \
            [(recording.path, finishing)]

    def _wait_for_saves(self) -> None:
        for _, finishing in list(self._saves):
            finishing.join()

    # ---- every tick -------------------------------------------------------------------------

    def _tick(self, now: float) -> None:
        if now - self._inputs_at >= INPUTS_EVERY and not self.downloading:
            self._read_inputs(now)
        stream = self.stream
        if stream is None:
            return
        try:
            chunk = stream.poll()
        except MV620Error as error:
            return self._end_stream(f"reading stopped: {error}", f"reading stopped: {error}")
        if self.recording is not None:
            try:
                self.recording.add(chunk)
            except Full as error:  # the acquisition goes on; the file keeps what it has
                self._finish_recording(str(error), error)
                self._publish_state()
        for channel, samples in chunk.samples.items():
            self.reducers[channel].feed(chunk.first[channel], samples)
            self._delivered += len(samples)
        marks = self._search_trigger(chunk)
        if chunk.blocks != self._seen_blocks:
            self._changed, self._seen_blocks = now, chunk.blocks
        elif now - self._changed > SILENT_AFTER:
            return self._silent()
        self._pace.append((now, chunk.blocks, self._delivered))
        then, blocks, samples = self._pace[0]
        span = now - then
        header = {
            "epoch": self.epoch,
            "blocks": chunk.blocks,
            "lost": stream.lost,
            "blocks_per_s": (chunk.blocks - blocks) / span if span > 0 else 0.0,
            "samples_per_s": (self._delivered - samples) / span if span > 0 else 0.0,
            "triggers": marks,
            "recording": {"file": self.recording.path.name,
                          "blocks": self.recording.blocks} if self.recording else None,
        }
        segments = {c: r.take(self.columns) for c, r in self.reducers.items()}
        self.publish(encode_frame(header, segments))

    def _search_trigger(self, chunk) -> List[Dict]:
        """The crossings of the trigger level among the new samples the page will show (the
        newest ``columns`` columns' worth), each found by the library's search, at most
        MAX_MARKS of them."""
        trigger = self.trigger
        if trigger is None or trigger["channel"] not in chunk.samples:
            return []
        channel = trigger["channel"]
        per_column = self.reducers[channel].per_column
        first = chunk.first[channel]
        end = first + len(chunk.samples[channel])
        # From the sample before, so that a crossing between two polls is found too (the
        # search never tests the first sample it reads).
        start = max(0, first - 1, end - per_column * self.columns)
        marks = []
        while end - start >= 2 and len(marks) < MAX_MARKS:
            hit = self.stream.trigger(channel, start, end - start, trigger["edge"],
                                      trigger["level"])
            if hit is None:
                break
            index, value = hit
            marks.append({"channel": channel, "index": index, "value": value,
                          "column": index // per_column})
            start = index
        return marks

    def _silent(self) -> None:
        self._end_stream("", f"no block came from the instrument for {SILENT_AFTER:g} s")
        if self.device.present():
            self.notice = (f"No block came from the instrument for {SILENT_AFTER:g} s; the "
                           "acquisition was stopped.")
            self._publish_state()
        else:
            self._lost("The instrument is gone (unplugged or switched off). Plug it back in, "
                       "then press Start.")

    def _read_inputs(self, now: float) -> None:
        self._inputs_at = now
        inputs = list(self.device.inputs())
        if inputs != self.inputs:
            self.inputs = inputs
            self.publish(json.dumps({"type": "inputs", "inputs": inputs}))
            self.state_text = self._state_text()

