"""mv620 view's cost: the server's CPU and the bytes it sends a page while streaming.

Runs ``mv620 --sim view`` (the simulated instrument at its default pace of 320,000 samples/s,
10 blocks/s) in its own process and connects to it as the page does: the same WebSocket, the
same view message (the page's width in columns and its window), then Start.  After a warm-up it
measures, over the run:

- the server process's CPU time (user + system, all its threads: the web server, the instrument
  thread and the library's acquisition thread) as a share of one core;
- the bytes the page receives: WebSocket payloads plus their frame headers.

Targets, four channels at the default window: under 20 % of a core, under 200 kB/s.

    MV620_SIM_LIBRARY=build/src/libMV620ACQm-sim.so PYTHONPATH=python \\
        python3 python/bench/view_bench.py [--seconds 20]
"""

import argparse
import asyncio
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import aiohttp

PACKAGE = Path(__file__).resolve().parent.parent
# (what, --rate of the server, the page's window in seconds, its width in columns)
CASES = [
    ("4 channels at rate 10, 1 s window (the default)", "0-3=10", 1, 1200),
    ("4 channels at rate 10, 50 ms window (the narrowest)", "0-3=10", 0.05, 1200),
    ("4 channels at rate 10, 10 s window", "0-3=10", 10, 1200),
    ("40 channels at rate 10, 1 s window", "0-39=10", 1, 1200),
]


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def frame_overhead(size: int) -> int:
    return 2 + (2 if 126 <= size < 65536 else 8 if size >= 65536 else 0)


async def measure(url: str, pid: int, window: float, columns: int, warmup: float,
                  seconds: float):
    base, token = url.split("/?token=")
    async with aiohttp.ClientSession() as client:
        socket = await client.ws_connect(f"{base}/ws?token={token}", origin=base,
                                         max_msg_size=0)
        await socket.send_str(json.dumps({"op": "view", "window": window, "columns": columns}))
        await socket.send_str(json.dumps({"op": "start"}))
        counted = False
        received = frames = 0
        began = cpu_began = None
        last_header = None
        start = time.monotonic()
        while True:
            message = await socket.receive(timeout=30)
            now = time.monotonic()
            if not counted and now - start >= warmup:
                counted, began, cpu_began = True, now, cpu_seconds(pid)
            data = message.data
            if message.type == aiohttp.WSMsgType.BINARY:
                size = len(data)
                length = int.from_bytes(data[:4], "little")
                last_header = json.loads(data[4:4 + length])
                frames += counted
            elif message.type == aiohttp.WSMsgType.TEXT:
                size = len(data.encode())
            else:
                raise RuntimeError(f"the server closed the page: {message}")
            if counted:
                received += size + frame_overhead(size)
                if now - began >= seconds:
                    break
        elapsed = time.monotonic() - began
        cpu = cpu_seconds(pid) - cpu_began
        await socket.send_str(json.dumps({"op": "stop"}))
        await socket.close()
    return {"cpu": cpu / elapsed, "bytes_per_s": received / elapsed, "frames_per_s":
            frames / elapsed, "blocks_per_s": last_header["blocks_per_s"],
            "lost": last_header["lost"]}


def run_case(rate: str, window: float, columns: int, warmup: float, seconds: float):
    environment = {**os.environ, "PYTHONPATH": str(PACKAGE)}
    environment.pop("MV620SIM_RATE", None)  # the default pace
    server = subprocess.Popen(
        [sys.executable, "-m", "mv620", "--sim", "view", "--no-browser", "--rate", rate],
        env=environment, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        url = re.search(r"http://\S+", server.stdout.readline()).group(0)
        return asyncio.run(measure(url, server.pid, window, columns, warmup, seconds))
    finally:
        server.terminate()
        server.wait(30)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=20.0, help="measured time per case")
    parser.add_argument("--warmup", type=float, default=3.0)
    parser.add_argument("--all", action="store_true", help="also the other windows and 40 "
                                                           "channels")
    options = parser.parse_args()
    print(f"{'case':<52} {'CPU':>7} {'to page':>11} {'frames/s':>9} {'blocks/s':>9} "
          f"{'lost':>5}")
    ok = True
    for k, (what, rate, window, columns) in enumerate(CASES if options.all else CASES[:1]):
        found = run_case(rate, window, columns, options.warmup, options.seconds)
        print(f"{what:<52} {found['cpu']:>6.1%} {found['bytes_per_s'] / 1000:>7.1f} kB/s "
              f"{found['frames_per_s']:>9.1f} {found['blocks_per_s']:>9.1f} {found['lost']:>5}",
              flush=True)
        if k == 0:
            ok = found["cpu"] < 0.20 and found["bytes_per_s"] < 200_000
    print("targets (default case): CPU under 20 % of a core, under 200 kB/s: "
          + ("met" if ok else "NOT MET"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
