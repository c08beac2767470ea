"""The web server of ``mv620 view``: the page, its files and one WebSocket, on loopback.

Who may talk to it:

- It listens on 127.0.0.1 unless the user names another address.
- Every HTTP request, the WebSocket included, must carry the random token of the URL it
  printed (``?token=``); without it the answer is 403.  On loopback the ``Host`` must be the
  loopback address it listens on (a page of another site reached through a renamed address,
  DNS rebinding, gets 403 too).
- A WebSocket's ``Origin`` must be this server itself; pages of other origins get 403.
- No CORS header is ever sent, and every answer forbids framing and caching.
- The first page connected controls the instrument; pages that connect meanwhile only watch
  (their commands are answered with an error) and the oldest of them takes control when the
  controlling page goes.
- Every command is checked (:mod:`.protocol`); a bad one gets an error message, never more.
"""

from __future__ import annotations

import asyncio
import hmac
import ipaddress
import json
import secrets
import signal
import webbrowser
from pathlib import Path
from typing import Callable, List, Optional

from aiohttp import WSMsgType, web

from .device import Device
from .protocol import MAX_MESSAGE_BYTES, ProtocolError, parse
from .session import Session

STATIC = Path(__file__).resolve().parent / "static"
FILES = {"view.js": "application/javascript", "view.css": "text/css",
         "index.html": "text/html"}
HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
                               "img-src 'self' data:; connect-src 'self'; "
                               "frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
    "X-Frame-Options": "DENY",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}
FORBIDDEN = "403: this page needs the token of the address mv620 view printed"


def is_loopback(address: str) -> bool:
    try:
        return ipaddress.ip_address(address).is_loopback
    except ValueError:
        return address == "localhost"


class Hub:
    """The pages connected, and which one controls."""

    def __init__(self):
        self.pages: List[web.WebSocketResponse] = []
        self.controller: Optional[web.WebSocketResponse] = None
        self.session: Optional[Session] = None
        #: The server is stopping (Ctrl-C): the pages it closes did not go away by themselves.
        self.closing = False

    def send_all(self, message) -> None:
        for page in list(self.pages):
            if not page.closed:
                asyncio.ensure_future(_send(page, message))


async def _send(page: web.WebSocketResponse, message) -> None:
    try:
        if isinstance(message, bytes):
            await page.send_bytes(message)
        else:
            await page.send_str(message)
    except (ConnectionError, RuntimeError):
        pass  # the page is going; its handler cleans up


def make_app(hub: Hub, token: str, hosts: Optional[set] = None) -> web.Application:
    """The application: ``hosts`` (when given) are the Host values accepted, updated once the
    port is known."""
    expected = token.encode()

    @web.middleware
    async def guard(request: web.Request, handler):
        given = request.query.get("token", "").encode()
        if not hmac.compare_digest(given, expected) or \
                (hosts is not None and request.host not in hosts):
            response = web.Response(status=403, text=FORBIDDEN)
        else:
            try:
                response = await handler(request)
            except web.HTTPException as error:
                response = web.Response(status=error.status, text=error.text)
        if not response.prepared:
            response.headers.update(HEADERS)
        return response

    async def page(request: web.Request):
        text = (STATIC / "index.html").read_text().replace("{{token}}", token)
        return web.Response(text=text, content_type="text/html")

    async def static(request: web.Request):
        name = request.match_info["name"]
        if name not in FILES:
            raise web.HTTPNotFound()
        return web.Response(body=(STATIC / name).read_bytes(), content_type=FILES[name])

    async def socket(request: web.Request):
        origin = request.headers.get("Origin")
        if origin != f"http://{request.host}":
            return web.Response(status=403, text="403: a page of another origin")
        page = web.WebSocketResponse(max_msg_size=MAX_MESSAGE_BYTES)
        await page.prepare(request)
        hub.pages.append(page)
        role = "control" if hub.controller is None else "viewer"
        if role == "control":
            hub.controller = page
        await page.send_str(json.dumps({"type": "hello", "role": role}))
        await page.send_str(hub.session.state_text)
        try:
            async for message in page:
                if message.type != WSMsgType.TEXT:
                    await _reply_error(page, "messages are JSON text")
                    continue
                if page is not hub.controller:
                    await _reply_error(page, "this page only watches: another page controls "
                                             "the instrument")
                    continue
                try:
                    command = parse(message.data)
                except ProtocolError as error:
                    await _reply_error(page, str(error))
                    continue
                hub.session.submit(command)
        finally:
            hub.pages.remove(page)
            if page is hub.controller:
                hub.controller = None
                if not hub.closing:
                    hub.session.release()
                if hub.pages:
                    hub.controller = hub.pages[0]
                    await _send(hub.controller, json.dumps({"type": "hello", "role": "control"}))
        return page

    app = web.Application(middlewares=[guard], client_max_size=MAX_MESSAGE_BYTES)
    app.router.add_get("/", page)
    app.router.add_get("/ws", socket)
    app.router.add_get("/static/{name}", static)
    return app


async def _reply_error(page, message: str) -> None:
    await page.send_str(json.dumps({"type": "error", "message": message}))


def serve(instrument, address: str = "127.0.0.1", port: int = 0, folder: Path = Path("."),
          open_browser: bool = True, rates=None,
          announce: Callable[[str], None] = print) -> None:
    """Serves the view of ``instrument`` until Ctrl-C (or SIGTERM), then stops the acquisition,
    writes a recording that runs and returns."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    token = secrets.token_urlsafe(32)
    hub = Hub()
    hub.session = Session(Device(instrument), folder,
                          lambda message: loop.call_soon_threadsafe(hub.send_all, message),
                          rates)
    hosts = set() if is_loopback(address) else None
    runner = web.AppRunner(make_app(hub, token, hosts), handle_signals=False, access_log=None)
    loop.run_until_complete(runner.setup())
    site = web.TCPSite(runner, address, port)
    loop.run_until_complete(site.start())
    port = runner.addresses[0][1]
    shown = f"[{address}]" if ":" in address else address
    if hosts is not None:
        hosts.update({f"{shown}:{port}", f"localhost:{port}"})
    hub.session.start()
    url = f"http://{shown}:{port}/?token={token}"
    announce(url)
    if open_browser:
        webbrowser.open(url)

    stop = asyncio.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(signum, stop.set)
        except (NotImplementedError, RuntimeError, ValueError):
            pass  # Windows, or not the main thread: Ctrl-C arrives as KeyboardInterrupt
    try:
        loop.run_until_complete(stop.wait())
    except KeyboardInterrupt:
        pass
    finally:
        hub.closing = True
        for page in list(hub.pages):
            loop.run_until_complete(page.close(message=b"the server stopped"))
        hub.session.shutdown()
        loop.run_until_complete(runner.cleanup())
        loop.close()

