"""``mv620 view``: the instrument live in a local web page.

:mod:`.server` serves the page and its WebSocket, :mod:`.session` owns the instrument on one
thread, :mod:`.reduce` turns samples into the min/max columns the page draws, :mod:`.protocol`
checks what the page sends, and :mod:`.device` is the one place that calls the package's
instrument, acquisition and recorder.  The page itself is plain HTML, CSS and JavaScript in
``static/``.
"""

import sys
from pathlib import Path


def add_arguments(parser, port_type) -> None:
    """The options of ``mv620 view`` (beside those of every command)."""
    parser.add_argument("-r", "--rate", action="append", default=[], metavar="CHANNELS=RATE",
                        help="channels to have on at first, as for record")
    parser.add_argument("--address", default="127.0.0.1",
                        help="the address to listen on (default 127.0.0.1: this machine only)")
    parser.add_argument("--port", type=port_type, default=0,
                        help="the port (default: a free one)")
    parser.add_argument("--folder", default=".",
                        help="where the page's recordings go (default: here)")
    parser.add_argument("--no-browser", action="store_true",
                        help="only print the page's address")


def run(options, open_instrument, rates) -> int:
    """``mv620 view``: serves until Ctrl-C.  ValueError for a folder that is not there;
    ImportError without aiohttp (Debian's python3-aiohttp), which only this command needs."""
    folder = Path(options.folder)
    if not folder.is_dir():
        raise ValueError(f"--folder {folder}: no such folder")
    from .server import is_loopback, serve

    instrument = open_instrument()
    if not is_loopback(options.address):
        print(f"mv620 view: listening on {options.address}: whoever reaches it with the address "
              "below (its token included) controls the instrument", file=sys.stderr)
    serve(instrument, options.address, options.port, folder, not options.no_browser, rates,
          lambda url: print(f"mv620 view: open {url} (Ctrl-C ends)", flush=True))
    print("mv620 view: stopped; the acquisition is stopped", file=sys.stderr)
    return 0
