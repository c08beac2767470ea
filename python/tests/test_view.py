"""mv620 view's server: the min/max reduction, what the page may send, who may connect, and
the session against the simulated instrument."""

import asyncio
import json
import queue
import re
import resource
import signal
import struct
import subprocess
import sys

import numpy as np
import pytest
from aiohttp import WSMsgType
from aiohttp.test_utils import TestClient, TestServer

import mv620
from mv620.sim import identify_value
from mv620.view import protocol
from mv620.view.device import Device
from mv620.view.protocol import Command, ProtocolError, parse
from mv620.view.reduce import ColumnReducer, passes_per_column, samples_per_column
from mv620.view.server import Hub, make_app
from mv620.view.session import Session

from conftest import interruptible, wait_until

# ---- the reduction ----------------------------------------------------------------------------


def reduce_all(per_column, pieces):
    reducer = ColumnReducer(per_column)
    columns = {}
    for first, samples in pieces:
        reducer.feed(first, samples)
        for segment in reducer.take(1 << 30):
            low, high = segment.arrays()
            for k in range(len(low)):
                assert segment.first + k not in columns, "a column sent twice"
                columns[segment.first + k] = (int(low[k]), int(high[k]))
    return columns


@pytest.mark.parametrize("per_column", [1, 7, 160, 1637])
@pytest.mark.parametrize("gaps", [False, True])
def test_min_max_per_column_is_exact(per_column, gaps):
    generator = np.random.default_rng(per_column)
    values = generator.integers(0, 65536, 20000).astype(np.uint16)
    present = np.ones(len(values), dtype=bool)
    pieces, position = [], 0
    while position < len(values):
        size = int(generator.integers(1, 3000))
        if gaps and generator.random() < 0.3:  # lost samples: never fed
            present[position:position + size] = False
        else:
            pieces.append((position, values[position:position + size]))
        position += size
    end = pieces[-1][0] + len(pieces[-1][1])
    columns = reduce_all(per_column, pieces)
    # Every column that ended before the last sample fed and holds a sample, and no other.
    expected = {}
    for column in range(end // per_column):
        span = slice(column * per_column, (column + 1) * per_column)
        kept = values[span][present[span]]
        if len(kept):
            expected[column] = (int(kept.min()), int(kept.max()))
    assert columns == expected


def test_a_frame_keeps_only_the_newest_columns_the_page_can_show():
    reducer = ColumnReducer(10)
    reducer.feed(0, np.arange(500, dtype=np.uint16))
    reducer.feed(600, np.arange(600, 1000, dtype=np.uint16))  # 500 to 599 lost
    segments = reducer.take(55)  # columns 45 to 99 fit; 50 to 59 have no sample
    assert [(s.first, s.count) for s in segments] == [(45, 5), (60, 40)]
    low, high = segments[0].arrays()
    assert list(low) == [450, 460, 470, 480, 490] and list(high) == [459, 469, 479, 489, 499]
    assert reducer.take(55) == []
    reducer.feed(1000, np.arange(1000, 1003, dtype=np.uint16))
    assert reducer.take(55) == []  # column 100 is not complete


@pytest.mark.parametrize("rates", [{0: 10}, {0: 10, 1: 5, 2: 2, 3: 1}, {c: 10 for c in range(40)},
                                   {5: 2}])
@pytest.mark.parametrize("window, columns", [(0.05, 1000), (1, 1000), (60, 16), (10, 4096)])
def test_a_column_spans_the_same_passes_on_every_channel(rates, window, columns):
    passes = passes_per_column(rates, window, columns)
    per_column = samples_per_column(rates, passes)
    dividers = {10: 1, 5: 2, 2: 5, 1: 10}
    for channel, rate in rates.items():
        assert per_column[channel] * dividers[rate] == passes
    # As wide as asked, or one schedule period wider at most.
    wanted = window * 320_000 * 10 / sum(rates.values()) / columns
    assert wanted <= passes + 1e-9 and (passes <= wanted + 10 or passes <= 10)


# ---- what the page may send ----------------------------------------------------------------

@pytest.mark.parametrize("message, found", [
    ({"op": "rate", "channel": 39, "rate": 5}, {"channel": 39, "rate": 5}),
    ({"op": "view", "window": 0.5, "columns": 16}, {"window": 0.5, "columns": 16}),
    ({"op": "trigger", "channel": None}, {"channel": None}),
    ({"op": "trigger", "channel": 2, "level": 65535, "edge": "falling"},
     {"channel": 2, "level": 65535, "edge": "falling"}),
    ({"op": "line", "line": "odd-cal", "on": True}, {"line": "odd-cal", "on": True}),
    ({"op": "download", "name": "a.idm", "data": "AAEC"}, {"name": "a.idm", "image": b"\0\1\2"}),
    ({"op": "record", "action": "start", "file": "run 1.csv"},
     {"action": "start", "file": "run 1.csv"}),
    ({"op": "record", "action": "start", "file": "long run.h5"},
     {"action": "start", "file": "long run.h5"}),
    ({"op": "start"}, {}),
])
def test_good_messages_are_taken_with_their_values(message, found):
    command = parse(json.dumps(message))
    assert command.op == message["op"] and command.args == found


@pytest.mark.parametrize("text, complaint", [
    ("not json", "not JSON"),
    ("[1, 2]", "JSON object"),
    ('{"op": 3}', "JSON object"),
    ('{"op": "format disk"}', "unknown op"),
    ('{"op": "start", "force": true}', "unknown field 'force'"),
    ('{"op": "rate", "channel": 40, "rate": 10}', "channel"),
    ('{"op": "rate", "channel": -1, "rate": 10}', "channel"),
    ('{"op": "rate", "channel": true, "rate": 10}', "channel"),
    ('{"op": "rate", "channel": 1.0, "rate": 10}', "channel"),
    ('{"op": "rate", "channel": 1, "rate": 3}', "rate"),
    ('{"op": "rate", "channel": 1}', "rate"),
    ('{"op": "view", "window": 0.3, "columns": 100}', "window"),
    ('{"op": "view", "window": 1, "columns": 15}', "columns"),
    ('{"op": "view", "window": 1, "columns": 100000}', "columns"),
    ('{"op": "trigger", "channel": 1, "level": 65536, "edge": "rising"}', "level"),
    ('{"op": "trigger", "channel": 1, "level": 5, "edge": "sideways"}', "edge"),
    ('{"op": "line", "line": "self-destruct", "on": true}', "line"),
    ('{"op": "line", "line": "free", "on": 1}', "on"),
    ('{"op": "download", "name": "a.idm", "data": "not base64!"}', "base64"),
    ('{"op": "download", "name": "a.idm", "data": ""}', "empty"),
    ('{"op": "download", "name": "", "data": "AAEC"}', "name"),
    ('{"op": "record", "action": "start", "file": "../../etc/passwd.csv"}', "plain file name"),
    ('{"op": "record", "action": "start", "file": "/tmp/x.csv"}', "plain file name"),
    ('{"op": "record", "action": "start", "file": "x.exe"}', "plain file name"),
    ('{"op": "record", "action": "start", "file": "a..csv"}', "plain file name"),
    ('{"op": "record", "action": "pause"}', "action"),
    ("[" * 100000 + "]" * 100000, "not JSON"),
])
def test_bad_messages_are_refused_with_a_reason(text, complaint):
    with pytest.raises(ProtocolError, match=re.escape(complaint)):
        parse(text)


def test_an_image_too_large_is_refused():
    data = "A" * (protocol.MAX_IMAGE_BYTES * 4 // 3 + 8)
    with pytest.raises(ProtocolError, match="at most"):
        parse(json.dumps({"op": "download", "name": "big.idm", "data": data}))


# ---- the session against the simulated instrument ------------------------------------------

def decode_frame(data):
    length = struct.unpack("<I", data[:4])[0]
    header = json.loads(data[4:4 + length])
    values = np.frombuffer(data[4 + length:], dtype="<u2")
    columns, at = {}, 0
    for entry in header["channels"]:
        for first, count in entry["segments"]:
            low, high = values[at:at + count], values[at + count:at + 2 * count]
            at += 2 * count
            for k in range(count):
                columns.setdefault(entry["channel"], {})[first + k] = (int(low[k]), int(high[k]))
    assert at == len(values)
    return header, columns


class Pages:
    """What the session published, as a page receives it."""

    def __init__(self):
        self.messages = queue.Queue()

    def __call__(self, message):
        self.messages.put(message)

    def next(self, kind, deadline=60.0, where=lambda message: True):
        """The next published message of ``kind`` ("frame" for a binary frame) that ``where``
        accepts."""
        while True:
            try:
                message = self.messages.get(timeout=deadline)
            except queue.Empty:
                pytest.fail(f"no {kind} message came")
            if isinstance(message, bytes):
                if kind == "frame":
                    found = decode_frame(message)
                    if where(found):
                        return found
                continue
            found = json.loads(message)
            if found["type"] == kind and where(found):
                return found


def open_session(instrument, folder):
    instrument.sim.set_rate(320_000)  # the instrument's own pace
    pages = Pages()
    running = Session(Device(instrument), folder, pages)
    running.pages = pages
    running.start()
    pages.next("state")
    return running


@pytest.fixture
def session(instrument, tmp_path):
    running = open_session(instrument, tmp_path)
    yield running
    running.shutdown()


def check_identify_columns(state, columns):
    per_column = {int(c): n for c, n in state["view"]["per_column"].items()}
    assert set(columns) <= set(per_column)
    for channel, found in columns.items():
        n = per_column[channel]
        for column, (low, high) in found.items():
            values = identify_value(channel, np.arange(column * n, (column + 1) * n))
            assert (low, high) == (values.min(), values.max()), (channel, column)


def started(session, rates, window=1, columns=500):
    for channel, rate in rates.items():
        session.submit(Command("rate", {"channel": channel, "rate": rate}))
    session.submit(Command("view", {"window": window, "columns": columns}))
    session.submit(Command("start"))
    return session.pages.next("state", where=lambda s: s["running"])


def test_frames_carry_each_column_of_the_identify_pattern(session):
    state = started(session, {0: 10, 7: 5, 39: 1})
    assert state["running_rates"] == {"0": 10, "7": 5, "39": 1}
    seen = {}
    while sum(len(c) for c in seen.values()) < 300:
        header, columns = session.pages.next("frame")
        assert header["epoch"] == state["epoch"] and header["lost"] == 0
        check_identify_columns(state, columns)
        for channel, found in columns.items():
            seen.setdefault(channel, {}).update(found)
    assert set(seen) == {0, 7, 39}


@pytest.mark.parametrize("edge, offset", [("rising", 1000), ("falling", 0)])
def test_the_trigger_marks_each_crossing_the_page_will_show(session, edge, offset):
    # Channel 5's identify pattern rises through this level at n = 1000 + 1637 k and falls
    # through it (from 5 * 1637 + 1636 to 5 * 1637) at n = 1637 k.
    level = 5 * 1637 + 1000
    session.submit(Command("trigger", {"channel": 5, "level": level, "edge": edge}))
    state = started(session, {5: 10, 6: 10}, window=0.5, columns=400)
    per_column = state["view"]["per_column"]["5"]
    marks = []
    while len(marks) < 20:
        header, _ = session.pages.next("frame")
        for mark in header["triggers"]:
            assert mark["column"] == mark["index"] // per_column
            assert mark["value"] == (level if edge == "rising" else 5 * 1637)
            marks.append(mark["index"])
    # The window shows more than a poll brings, so every crossing is marked, in order (the
    # first sample, n = 0, is never tested).
    first = 1 if offset == 0 else 0
    assert marks == [offset + 1637 * k for k in range(first, first + len(marks))]


def test_the_status_is_refused_while_streaming_and_says_why(session):
    started(session, {0: 10})
    session.submit(Command("status"))
    assert "Stop the acquisition first" in session.pages.next("status")["refused"]
    session.submit(Command("stop"))
    session.submit(Command("status"))
    assert session.pages.next("status") == {"type": "status", "value": 90, "text": "status 90"}


@pytest.mark.parametrize("name", ["run.npz", "run.csv", "run.h5"])
def test_a_recording_holds_the_identify_pattern_from_the_start(session, tmp_path, name):
    started(session, {0: 10, 2: 5})
    session.submit(Command("record", {"action": "start", "file": name}))
    state = session.pages.next("state", where=lambda s: s["recording"])
    assert state["running"]
    session.pages.next("frame", where=lambda f: f[0]["recording"] and f[0]["blocks"] >= 5)
    session.submit(Command("record", {"action": "stop"}))
    saved = session.pages.next("record")
    assert saved["state"] == "saved" and saved["lost"] == 0 and saved["blocks"] >= 5
    assert saved["path"] == str(tmp_path / name)
    recording = mv620.load(tmp_path / name)
    assert recording.rates == {0: 10, 2: 5}
    for channel in (0, 2):
        samples = recording[channel]
        assert len(samples) >= 5 * 32000 // 3
        assert (samples == identify_value(channel, np.arange(len(samples)))).all()
    assert saved["samples"] == len(recording[0]) + len(recording[2])
    # The acquisition goes on; a second file of the same name is refused.
    assert session.stream is not None
    session.submit(Command("record", {"action": "start", "file": name}))
    assert "exists" in session.pages.next("error")["message"]


def test_a_recording_is_written_as_it_goes_to_a_hidden_file_named_at_the_end(session, tmp_path):
    started(session, {0: 10, 1: 10, 2: 10, 3: 10})
    session.submit(Command("record", {"action": "start", "file": "growing.csv"}))
    sizes = []
    for blocks in (2, 6):
        session.pages.next("frame", where=lambda f: (f[0]["recording"] or {}).get(
            "blocks", 0) >= blocks)
        partial = list(tmp_path.glob(".growing.csv.*.part"))
        assert len(partial) == 1 and not (tmp_path / "growing.csv").exists()
        sizes.append(partial[0].stat().st_size)
    # On disk already as the recording goes: a block is 8000 scan passes of the four channels,
    # a row of at least 30 bytes each, and all but the newest block's rows are complete.
    assert sizes[0] < sizes[1] and sizes[1] >= 5 * 8000 * 30
    session.submit(Command("record", {"action": "stop"}))
    assert session.pages.next("record")["state"] == "saved"
    assert (tmp_path / "growing.csv").stat().st_size >= sizes[1]
    assert not list(tmp_path.glob(".*.part"))


def test_a_name_taken_or_a_folder_not_writable_is_refused_before_recording(instrument,
                                                                        tmp_path):
    folder = tmp_path / "recordings"
    folder.mkdir()
    (folder / "taken.csv").write_text("kept as it is\n")
    session = open_session(instrument, folder)
    try:
        state = started(session, {0: 10})
        session.submit(Command("record", {"action": "start", "file": "taken.csv"}))
        assert "taken.csv exists" in session.pages.next("error")["message"]
        folder.joinpath("taken.csv").unlink()
        folder.rmdir()  # now nothing can be written there
        session.submit(Command("record", {"action": "start", "file": "new.npz"}))
        refused = session.pages.next("error")
        assert refused["op"] == "record"
        assert "cannot record to new.npz" in refused["message"]
        assert "No such file or directory" in refused["message"]
        # The acquisition that ran goes on, not restarted, and nothing records.
        after = session.pages.next("state")
        assert after["running"] and after["epoch"] == state["epoch"]
        assert after["recording"] is None
        header, _ = session.pages.next("frame")
        assert header["epoch"] == state["epoch"] and header["recording"] is None
    finally:
        session.shutdown()
    assert not folder.exists()


def unplugged(session, instrument):
    instrument.sim.unplug_after_blocks(instrument.sim.blocks_delivered() + 3)
    session.pages.next("lost")


@pytest.mark.parametrize("end, ending", [
    (lambda s, i: s.submit(Command("record", {"action": "stop"})), "stopped from the page"),
    (lambda s, i: s.submit(Command("stop")), "the acquisition was stopped from the page"),
    (lambda s, i: s.release(), "the controlling page closed"),
    (lambda s, i: s.shutdown(), "the server stopped"),
    (unplugged, "no block came from the instrument for 2 s"),
], ids=["stop recording", "stop", "page closed", "server stopped", "instrument lost"])
def test_every_ending_keeps_what_was_recorded_and_says_how_it_ended(session, instrument,
                                                                    tmp_path, end, ending):
    started(session, {3: 10, 4: 1})
    session.submit(Command("record", {"action": "start", "file": "kept.npz"}))
    session.pages.next("frame", where=lambda f: (f[0]["recording"] or {}).get("blocks", 0) >= 2)
    end(session, instrument)
    saved = session.pages.next("record")
    assert saved["state"] == "saved" and saved["ending"] == ending
    with np.load(tmp_path / "kept.npz") as held:
        assert str(held["ending"]) == ending
        assert int(held["blocks"]) == saved["blocks"] >= 2
        for channel in (3, 4):
            samples = held[f"channel{channel}"]
            assert len(samples) >= 2 * 32000 * {3: 10, 4: 1}[channel] // 11
            assert (samples == identify_value(channel, np.arange(len(samples)))).all()
    assert not list(tmp_path.glob(".*"))


def test_closing_the_page_stops_the_acquisition_and_keeps_the_recording(session, instrument,
                                                                        tmp_path):
    started(session, {1: 10})
    session.submit(Command("record", {"action": "start", "file": "kept.csv"}))
    session.pages.next("frame", where=lambda f: f[0]["recording"] and f[0]["blocks"] >= 2)
    session.release()
    state = session.pages.next("state", where=lambda s: not s["running"])
    assert "closed" in state["notice"]
    assert session.pages.next("record")["state"] == "saved"
    assert (tmp_path / "kept.csv").is_file()
    wait_until(lambda: instrument.sim.open_handles() == 0, "the instrument to be released")


def test_an_unplug_is_shown_and_a_start_after_the_replug_streams_again(session, instrument):
    instrument.sim.unplug_after_blocks(3)
    started(session, {0: 10})
    lost = session.pages.next("lost")
    assert "gone" in lost["message"]
    assert not session.pages.next("state")["running"]
    session.submit(Command("start"))
    assert "No instrument answered" in session.pages.next("lost")["message"]
    instrument.sim.replug()
    session.submit(Command("start"))
    state = session.pages.next("state", where=lambda s: s["running"])
    assert state["instrument"] == "present"
    _, columns = session.pages.next("frame", where=lambda f: f[1])
    check_identify_columns(state, columns)


# ---- who may connect ---------------------------------------------------------------------------

TOKEN = "secret-token"


@pytest.fixture
def serve(instrument, tmp_path):
    """Runs ``check(client)`` against the server's application on a loopback port."""

    def run(check):
        async def main():
            hub = Hub()
            loop = asyncio.get_running_loop()
            hub.session = Session(Device(instrument), tmp_path,
                                  lambda m: loop.call_soon_threadsafe(hub.send_all, m))
            hub.session.start()
            hosts = set()
            server = TestServer(make_app(hub, TOKEN, hosts), host="127.0.0.1")
            async with TestClient(server) as client:
                hosts.add(f"127.0.0.1:{server.port}")
                try:
                    await check(client)
                finally:
                    hub.session.shutdown()

        asyncio.run(main())

    return run


def own_origin(client):
    return f"http://127.0.0.1:{client.port}"


async def receive_json(socket, kind):
    while True:
        message = await socket.receive(timeout=30)
        assert message.type in (WSMsgType.TEXT, WSMsgType.BINARY), message
        if message.type == WSMsgType.TEXT:
            found = json.loads(message.data)
            if found["type"] == kind:
                return found


@pytest.mark.parametrize("path", ["/", "/static/view.js", "/static/view.css", "/ws",
                                  "/nowhere"])
@pytest.mark.parametrize("token", [None, "", "secret-tokeN", "secret-token-and-more"])
def test_every_request_without_the_token_gets_403(serve, path, token):
    async def check(client):
        query = "" if token is None else f"?token={token}"
        response = await client.get(path + query, headers={"Origin": own_origin(client)})
        assert response.status == 403

    serve(check)


def test_the_page_with_the_token_and_no_cors(serve):
    async def check(client):
        response = await client.get(f"/?token={TOKEN}",
                                    headers={"Origin": "http://evil.example"})
        assert response.status == 200
        page = await response.text()
        assert f"static/view.js?token={TOKEN}" in page
        assert not [h for h in response.headers if h.lower().startswith("access-control")]
        assert "frame-ancestors 'none'" in response.headers["Content-Security-Policy"]
        assert response.headers["Referrer-Policy"] == "no-referrer"
        response = await client.options(f"/?token={TOKEN}", headers={
            "Origin": "http://evil.example", "Access-Control-Request-Method": "GET"})
        assert response.status >= 400
        assert not [h for h in response.headers if h.lower().startswith("access-control")]
        response = await client.get(f"/static/view.js?token={TOKEN}")
        assert response.status == 200
        assert response.headers["Content-Type"].startswith("application/javascript")

    serve(check)


@pytest.mark.parametrize("origin, host", [
    ("http://evil.example", None),
    ("http://127.0.0.1:1", None),  # another local server
    ("null", None),
    (None, None),
    ("http://rebound.example", "rebound.example"),  # a renamed address (DNS rebinding)
])
def test_a_foreign_origin_or_host_cannot_open_the_websocket(serve, origin, host):
    async def check(client):
        headers = {"Host": host} if host else {}
        if origin:
            headers["Origin"] = origin
        with pytest.raises(Exception) as refused:
            await client.ws_connect(f"/ws?token={TOKEN}", headers=headers)
        assert "403" in str(refused.value)
        # The same with the server's own Origin is let in.
        socket = await client.ws_connect(f"/ws?token={TOKEN}", origin=own_origin(client))
        await socket.close()

    serve(check)


def test_a_second_page_only_watches_and_a_bad_message_gets_an_error(serve):
    async def check(client):
        first = await client.ws_connect(f"/ws?token={TOKEN}", origin=own_origin(client))
        assert (await receive_json(first, "hello"))["role"] == "control"
        second = await client.ws_connect(f"/ws?token={TOKEN}", origin=own_origin(client))
        assert (await receive_json(second, "hello"))["role"] == "viewer"
        await second.send_str(json.dumps({"op": "line", "line": "free", "on": True}))
        assert "only watches" in (await receive_json(second, "error"))["message"]
        for bad in ("{", '{"op": "rate", "channel": 99, "rate": 10}'):
            await first.send_str(bad)
            assert (await receive_json(first, "error"))["message"]
        await first.send_bytes(b"\0\1")
        assert "JSON text" in (await receive_json(first, "error"))["message"]
        # The server still works: a good command is carried out.
        await first.send_str(json.dumps({"op": "rate", "channel": 4, "rate": 5}))
        while (await receive_json(first, "state"))["rates"][4] != 5:
            pass
        # When the controlling page goes, the watching one takes over.
        await first.close()
        assert (await receive_json(second, "hello"))["role"] == "control"
        await second.close()

    serve(check)


# ---- the command -------------------------------------------------------------------------------

class ViewProcess:
    """``mv620 --sim view`` in a process of its own, in the cli's folder, and a page's socket to
    it; ``limit`` caps the size of the files it writes (a full disk)."""

    def __init__(self, cli, *args, limit=None):
        def prepare():
            interruptible()
            if limit:
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        self.folder = cli.folder
        self.process = subprocess.Popen(
            [sys.executable, "-m", "mv620", "--sim", "view", "--no-browser", *args],
            cwd=cli.folder, env=cli.environment(), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, preexec_fn=prepare)
        line = self.process.stdout.readline()
        url = re.search(r"http://127\.0\.0\.1:\d+/\?token=\S+", line).group(0)
        self.base, self.token = url.split("/?token=")

    def drive(self, page):
        """Runs ``page(socket)`` with a socket of the controlling page."""
        async def main():
            import aiohttp

            async with aiohttp.ClientSession() as client:
                socket = await client.ws_connect(f"{self.base}/ws?token={self.token}",
                                                 origin=self.base)
                await page(socket)

        asyncio.run(asyncio.wait_for(main(), 120))  # only against a hang

    def interrupt(self):
        """Ctrl-C; returns the exit status and standard error."""
        self.process.send_signal(signal.SIGINT)
        return self.process.wait(timeout=60), self.process.stderr.read()

    def kill(self):
        self.process.kill()
        self.process.wait()


async def until_running(socket):
    while not (await receive_json(socket, "state"))["running"]:
        pass


async def until_recorded(socket, blocks):
    """Waits for a frame of a recording that holds ``blocks`` blocks."""
    while True:
        message = await socket.receive(timeout=30)
        assert message.type in (WSMsgType.TEXT, WSMsgType.BINARY), message
        if message.type == WSMsgType.BINARY:
            header, _ = decode_frame(message.data)
            if (header["recording"] or {}).get("blocks", 0) >= blocks:
                return


def test_ctrl_c_stops_the_acquisition_keeps_the_recording_and_ends_the_server(cli):
    view = ViewProcess(cli, "--rate", "0-3=10")
    try:
        async def page(socket):
            await socket.send_str(json.dumps({"op": "record", "action": "start",
                                              "file": "interrupted.npz"}))
            await until_running(socket)
            await until_recorded(socket, 2)
            view.process.send_signal(signal.SIGINT)
            ends = (WSMsgType.CLOSE, WSMsgType.CLOSING, WSMsgType.CLOSED)
            while (await socket.receive(timeout=30)).type not in ends:
                pass
            assert socket.closed

        view.drive(page)
        assert view.process.wait(timeout=60) == 0
        assert "acquisition is stopped" in view.process.stderr.read()
    finally:
        view.kill()
    with np.load(cli.folder / "interrupted.npz") as held:
        assert str(held["ending"]) == "the server stopped" and int(held["blocks"]) >= 2
        for channel in range(4):
            samples = held[f"channel{channel}"]
            assert len(samples) >= 2 * 8000
            assert (samples == identify_value(channel, np.arange(len(samples)))).all()
    assert not list(cli.folder.glob(".*"))


def test_a_full_disk_ends_the_recording_with_whole_rows_and_the_acquisition_goes_on(cli):
    # Room for more than the ring holds (15 blocks of 16,000 rows of about 30 bytes), so that
    # the first write, however many blocks it brings, fits.
    limit = 10_000_000
    view = ViewProcess(cli, "--rate", "0=10", "--rate", "1=10", limit=limit)
    try:
        async def page(socket):
            await socket.send_str(json.dumps({"op": "record", "action": "start",
                                              "file": "full.csv"}))
            ended = await receive_json(socket, "record")
            assert ended["state"] == "saved", ended
            assert "writing full.csv failed: File too large" in ended["message"]
            assert "keeps what was written before" in ended["message"]
            # The acquisition goes on without a recording (a command has the state sent).
            await socket.send_str(json.dumps({"op": "rate", "channel": 9, "rate": 0}))
            state = await receive_json(socket, "state")
            assert state["running"] and state["recording"] is None

        view.drive(page)
        assert view.interrupt()[0] == 0
    finally:
        view.kill()
    text = (cli.folder / "full.csv").read_text()
    assert text.endswith("\n") and len(text) <= limit
    rows = text.splitlines()
    assert rows[0] == "pass,host_seconds_estimate,channel0_rate10,channel1_rate10"
    assert len(rows) > 1000
    passes = np.array([int(row.split(",")[0]) for row in rows[1:]])
    assert (passes == np.arange(1, len(rows))).all()
    for column, channel in ((2, 0), (3, 1)):
        values = np.array([int(row.split(",")[column]) for row in rows[1:]])
        assert (values == identify_value(channel, passes - 1)).all()
    assert not list(cli.folder.glob(".*"))
