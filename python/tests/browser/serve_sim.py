"""mv620 view against the simulated instrument, for the browser tests.

Prints one JSON line, {"url": ..., "folder": ...}, once the page is served; then takes one JSON
command per line on standard input and answers each with one JSON line, from the simulator's
side of the instrument:

    {"do": "lines"}              -> {"lines": bits 0 to 3 of the output lines}
    {"do": "inputs", "bits": n}  -> {} (inputs 0 to 6; a set bit reads as inactive)
    {"do": "unplug"} / {"do": "replug"} -> {} (the unplug comes after the next block)
    {"do": "handles"}            -> {"handles": connections the library holds open}

Ends, as mv620 view does on Ctrl-C, on SIGINT or SIGTERM or when standard input closes.
Arguments: the recordings folder, then CHANNEL=RATE for channels to have on at first.
"""

import json
import os
import signal
import sys
import threading
from pathlib import Path

import mv620
from mv620.view.server import serve


def answer(instrument, command):
    sim = instrument.sim
    what = command.get("do")
    if what == "lines":
        return {"lines": sim.output_lines()}
    if what == "inputs":
        sim.set_inputs(command["bits"])
    elif what == "unplug":
        sim.unplug_after_blocks(sim.blocks_delivered() + 1)
    elif what == "replug":
        sim.replug()
    elif what == "handles":
        return {"handles": sim.open_handles()}
    else:
        return {"error": f"unknown command {what!r}"}
    return {}


def main():
    folder = Path(sys.argv[1])
    rates = {int(c): int(r) for c, r in (a.split("=") for a in sys.argv[2:])}
    instrument = mv620.Instrument(sim=True)

    def commands():
        for line in sys.stdin:
            print(json.dumps(answer(instrument, json.loads(line))), flush=True)
        os.kill(os.getpid(), signal.SIGINT)

    def ready(url):
        print(json.dumps({"url": url, "folder": str(folder.resolve())}), flush=True)
        threading.Thread(target=commands, daemon=True).start()

    serve(instrument, folder=folder, open_browser=False, rates=rates, announce=ready)
    print(json.dumps({"ended": True, "handles": instrument.sim.open_handles()}), flush=True)


if __name__ == "__main__":
    main()
