// mv620 view in a real browser: Debian's chromium, headless, driven by playwright-core,
// against the simulated instrument (serve_sim.py).
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const here = path.dirname(fileURLToPath(import.meta.url));
const packageRoot = path.resolve(here, "..", "..");
const python = process.env.MV620_PYTHON || "/usr/bin/python3";
const WAIT = 60_000; // only against a hang: every wait is for an event

export const CHROMIUM_ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
  "--no-first-run", "--disable-background-networking", "--disable-component-update",
  "--disable-sync"];

let browser;

// Playwright cannot fetch a browser of its own here: it drives Debian's chromium, which it
// starts with a fresh profile folder of its own (removed when the browser closes).
export function launch() {
  return chromium.launch({
    executablePath: process.env.MV620_CHROMIUM || "/usr/bin/chromium",
    args: CHROMIUM_ARGS,
  });
}

before(async () => { browser = await launch(); });

after(async () => { await browser?.close(); });

// A fresh server with the simulated instrument; `ask` talks to the simulator's side.
export async function startServer(rates = [], environment = {}) {
  const folder = mkdtempSync(path.join(os.tmpdir(), "mv620-view-"));
  const child = spawn(python, [path.join(here, "serve_sim.py"), folder, ...rates], {
    env: { ...process.env, PYTHONPATH: packageRoot, PYTHONDONTWRITEBYTECODE: "1", ...environment },
    stdio: ["pipe", "pipe", "inherit"],
  });
  const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const next = async () => {
    const { value, done } = await lines.next();
    if (done) throw new Error("the server ended");
    return JSON.parse(value);
  };
  const ended = new Promise((resolve) => child.on("exit", resolve));
  const first = await next();
  return {
    url: first.url, folder: first.folder, base: first.url.split("/?")[0],
    token: new URL(first.url).searchParams.get("token"),
    async ask(command) { child.stdin.write(JSON.stringify(command) + "\n"); return next(); },
    async stop() {
      child.stdin.end();
      const last = await next().catch(() => null);
      await ended;
      rmSync(folder, { recursive: true, force: true });
      return last;
    },
  };
}

async function withServer(rates, work, environment) {
  const server = await startServer(rates, environment);
  const context = await browser.newContext();
  try {
    await work(server, context);
  } finally {
    await context.close();
    await server.stop();
  }
}

async function openPage(context, server) {
  const page = await context.newPage();
  const response = await page.goto(server.url);
  assert.equal(response.status(), 200);
  await page.waitForFunction(() => window.mv620view?.role && window.mv620view.state,
    null, { timeout: WAIT });
  return page;
}

const identify = (channel, n) => channel * 1637 + (n % 1637);

// Every column the page received last matches the identify pattern over its samples.
function checkIdentify(frame, state) {
  let checked = 0;
  for (const [channel, { columns, low, high }] of Object.entries(frame.channels)) {
    const n = state.view.per_column[channel];
    assert.ok(n >= 1, `channel ${channel} has a column width`);
    columns.forEach((column, k) => {
      const a = (column * n) % 1637;
      const wraps = n >= 1637 || a + n - 1 >= 1637;
      const expected = wraps ? [identify(channel, 0), identify(channel, 1636)]
        : [identify(channel, column * n), identify(channel, column * n + n - 1)];
      assert.deepEqual([low[k], high[k]], expected, `channel ${channel}, column ${column}`);
      checked += 1;
    });
  }
  return checked;
}

// Waits for a frame that carries columns, made after `state` (the same epoch).
async function frameWithColumns(page) {
  await page.waitForFunction(() => {
    const view = window.mv620view;
    const frame = view.lastFrame;
    return frame && frame.header.epoch === view.state.epoch &&
      Object.values(frame.channels).some((c) => c.columns.length > 0);
  }, null, { timeout: WAIT });
  return page.evaluate(() => ({ frame: window.mv620view.lastFrame, state: window.mv620view.state }));
}

async function paintedPixels(page) {
  return page.evaluate(() => {
    const canvas = document.getElementById("traces");
    const data = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
    let painted = 0;
    for (let k = 0; k < data.length; k += 4) {
      if (data[k] > 60 || data[k + 1] > 60 || data[k + 2] > 60) painted += 1;
    }
    return painted;
  });
}

async function setRate(page, channel, rate) {
  await page.selectOption(`#rate-${channel}`, String(rate));
  await page.waitForFunction(([c, r]) => window.mv620view.state.rates[c] === r, [channel, rate],
    { timeout: WAIT });
}

async function start(page) {
  await page.click("#start");
  await page.waitForFunction(() => window.mv620view.state.running, null, { timeout: WAIT });
}

test("the page loads with the token, and without it every request gets 403", async () => {
  await withServer([], async (server, context) => {
    for (const address of [server.base + "/", `${server.base}/?token=wrong`,
      `${server.base}/static/view.js`, `${server.base}/ws`]) {
      const response = await context.request.get(address);
      assert.equal(response.status(), 403, address);
    }
    const page = await openPage(context, server);
    assert.equal(await page.title(), "MV620 live");
    assert.equal(await page.textContent("#role"), "in control");
  });
});

test("channels enabled and started draw traces that match the identify pattern", async () => {
  await withServer([], async (server, context) => {
    const page = await openPage(context, server);
    await setRate(page, 0, 10);
    await setRate(page, 9, 5);
    await page.selectOption("#window", "1");
    await start(page);
    let checked = 0;
    while (checked < 200) {
      const { frame, state } = await frameWithColumns(page);
      assert.equal(frame.header.lost, 0);
      assert.deepEqual(state.running_rates, { 0: 10, 9: 5 });
      checked += checkIdentify(frame, state);
      const frames = await page.evaluate(() => window.mv620view.frames);
      await page.waitForFunction((n) => window.mv620view.frames > n, frames, { timeout: WAIT });
    }
    await page.waitForFunction(() => window.mv620view.drawn > 2, null, { timeout: WAIT });
    assert.ok(await paintedPixels(page) > 500, "the traces are drawn");
    assert.notEqual(await page.textContent("#blocks"), "0");
    // Pause freezes the drawing, not the acquisition.
    await page.click("#pause");
    const drawn = await page.evaluate(() => window.mv620view.drawn);
    const frames = await page.evaluate(() => window.mv620view.frames);
    await page.waitForFunction((n) => window.mv620view.frames > n + 10, frames, { timeout: WAIT });
    assert.equal(await page.evaluate(() => window.mv620view.drawn), drawn);
    await page.click("#pause");
    await page.waitForFunction((n) => window.mv620view.drawn > n, drawn, { timeout: WAIT });
  });
});

test("a rate change takes effect at the next start", async () => {
  await withServer(["2=10"], async (server, context) => {
    const page = await openPage(context, server);
    await start(page);
    await setRate(page, 2, 1);
    await page.waitForFunction(() =>
      document.getElementById("rates-note").textContent.includes("next start"), null,
    { timeout: WAIT });
    const { state } = await frameWithColumns(page);
    assert.deepEqual(state.running_rates, { 2: 10 });
    // The status is not asked while streaming, and the page says why.
    await page.click("#status");
    await page.waitForFunction(() =>
      document.getElementById("status-result").textContent.includes("Stop the acquisition first"),
    null, { timeout: WAIT });
    await page.click("#stop");
    await page.waitForFunction(() => !window.mv620view.state.running, null, { timeout: WAIT });
    await start(page);
    const found = await frameWithColumns(page);
    assert.deepEqual(found.state.running_rates, { 2: 1 });
    assert.ok(checkIdentify(found.frame, found.state) > 0);
  });
});

test("the trigger's crossings are marked on the trace", async () => {
  await withServer(["6=10"], async (server, context) => {
    const page = await openPage(context, server);
    const level = identify(6, 500); // rising through it at n = 500 + 1637 k
    await page.selectOption("#trigger-channel", "6");
    await page.fill("#trigger-level", String(level));
    await page.click("#trigger-apply");
    await page.waitForFunction(() => window.mv620view.state.trigger, null, { timeout: WAIT });
    await start(page);
    await page.waitForFunction(() => window.mv620view.lastFrame?.header.triggers.length > 0,
      null, { timeout: WAIT });
    const { marks, perColumn } = await page.evaluate(() => ({
      marks: window.mv620view.lastFrame.header.triggers,
      perColumn: window.mv620view.state.view.per_column["6"],
    }));
    for (const mark of marks) {
      assert.equal(mark.index % 1637, 500);
      assert.equal(mark.value, level);
      assert.equal(mark.column, Math.floor(mark.index / perColumn));
    }
    assert.match(await page.textContent("#trigger-seen"), /trigger: channel 6, sample/);
    // The marks are drawn in their own colour.
    await page.waitForFunction((n) => window.mv620view.drawn > n,
      await page.evaluate(() => window.mv620view.drawn), { timeout: WAIT });
    const marked = await page.evaluate(() => {
      const canvas = document.getElementById("traces");
      const data = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
      let count = 0;
      for (let k = 0; k < data.length; k += 4) {
        if (data[k] === 255 && data[k + 1] === 207 && data[k + 2] === 102) count += 1;
      }
      return count;
    });
    assert.ok(marked > 20, `${marked} pixels of trigger marks`);
  });
});

test("the line switches reach the instrument", async () => {
  await withServer([], async (server, context) => {
    const page = await openPage(context, server);
    assert.equal((await server.ask({ do: "lines" })).lines, 0);
    await page.check("#line-0");
    await page.check("#line-3");
    await page.waitForFunction(() => window.mv620view.state.lines[3] === true, null,
      { timeout: WAIT });
    assert.equal((await server.ask({ do: "lines" })).lines, 0b1001);
    await page.uncheck("#line-0");
    await page.check("#line-1");
    await page.waitForFunction(() => window.mv620view.state.lines[1] === true, null,
      { timeout: WAIT });
    assert.equal((await server.ask({ do: "lines" })).lines, 0b1010);
  });
});

test("the inputs update live", async () => {
  await withServer([], async (server, context) => {
    const page = await openPage(context, server);
    const lamps = () => page.evaluate(() => [...Array(7).keys()].map(
      (bit) => document.getElementById(`input-${bit}`).classList.contains("active")));
    await page.waitForFunction(() => window.mv620view.state.inputs, null, { timeout: WAIT });
    assert.deepEqual(await lamps(), [true, true, true, true, true, true, true]);
    await server.ask({ do: "inputs", bits: 0b1000101 }); // inactive: 0, 2 and 6 (3 reads 6)
    await page.waitForFunction(() =>
      !document.getElementById("input-0").classList.contains("active"), null, { timeout: WAIT });
    assert.deepEqual(await lamps(), [false, true, false, false, true, true, false]);
  });
});

const IMAGE = ["0003", "4100", "0000", "1234", "ABCD", "0001", "0004", "0020", "0000", "1234",
  "0056", "ABCD", "00EF", "FFFF", "0000", "0000"].map((r) => r + "\r\n").join("");

test("a download shows its progress and its result", async () => {
  await withServer([], async (server, context) => {
    const page = await openPage(context, server);
    await page.setInputFiles("#image", {
      name: "config.idm", mimeType: "application/octet-stream", buffer: Buffer.from(IMAGE),
    });
    await page.click("#download");
    await page.waitForFunction(() =>
      document.getElementById("download-result").textContent.startsWith("Downloaded"), null,
    { timeout: WAIT });
    const progress = await page.evaluate(() => window.mv620view.messages
      .filter((m) => m.type === "download" && m.state === "progress"));
    assert.ok(progress.length >= 1);
    const bar = await page.evaluate(() => {
      const element = document.getElementById("download-progress");
      return { hidden: element.hidden, value: element.value, max: element.max };
    });
    assert.deepEqual(bar, { hidden: false, value: progress.at(-1).total, max: progress.at(-1).total });
    assert.match(await page.textContent("#download-result"), /config\.idm: \d+ words in \d+ packets/);
    await page.setInputFiles("#image", {
      name: "broken.idm", mimeType: "application/octet-stream", buffer: Buffer.from("nonsense\r\n"),
    });
    await page.click("#download");
    await page.waitForFunction(() =>
      document.getElementById("download-result").textContent.startsWith("Download failed"),
    null, { timeout: WAIT });
  });
});

test("a recording from the page writes a file whose values match the pattern", async () => {
  await withServer(["0=10", "5=2"], async (server, context) => {
    const page = await openPage(context, server);
    await page.fill("#record-file", "from the page.csv");
    await page.click("#record");
    await page.waitForFunction(() => (window.mv620view.lastFrame?.header.recording?.blocks ?? 0) >= 3,
      null, { timeout: WAIT });
    await page.click("#record");
    await page.waitForFunction(() =>
      document.getElementById("record-result").textContent.startsWith("Saved"), null,
    { timeout: WAIT });
    // The recorder of mv620 record: a row per scan pass; channel 0 (divider 1) takes sample
    // k in pass k + 1, channel 5 (rate 2, divider 5) in pass 5 (k + 1).
    const rows = readFileSync(path.join(server.folder, "from the page.csv"), "utf8")
      .trim().split("\n");
    assert.equal(rows[0], "pass,host_seconds_estimate,channel0_rate10,channel5_rate2");
    assert.ok(rows.length > 3 * 32000 / 2);
    let fifth = 0;
    rows.slice(1).forEach((row, k) => {
      const [pass, , first, second] = row.split(",").map((cell) => cell.trim());
      const n = Number(pass);
      assert.equal(n, k + 1, row);
      assert.equal(Number(first), identify(0, n - 1), row);
      if (second !== "") {
        assert.equal(n % 5, 0, row);
        assert.equal(Number(second), identify(5, n / 5 - 1), row);
        fifth += 1;
      }
    });
    assert.ok(fifth > 3 * 32000 / 2 / 6, `${fifth} samples of channel 5`);
    // The acquisition goes on after the recording; the name now taken is refused, on the page.
    assert.equal(await page.evaluate(() => window.mv620view.state.running), true);
    await page.click("#record");
    await page.waitForFunction(() => window.mv620view.messages
      .some((m) => m.type === "error" && m.op === "record" && /exists/.test(m.message)),
    null, { timeout: WAIT });
    assert.equal(await page.evaluate(() => window.mv620view.state.recording), null);
  });
});

test("an unplug is shown and a start after the replug streams again", async () => {
  await withServer(["1=10"], async (server, context) => {
    const page = await openPage(context, server);
    await start(page);
    await frameWithColumns(page);
    await server.ask({ do: "unplug" });
    await page.waitForFunction(() => window.mv620view.state.instrument === "lost", null,
      { timeout: WAIT });
    assert.match(await page.textContent("#notice"), /gone/);
    assert.match(await page.textContent("#instrument"), /lost/);
    assert.equal(await page.evaluate(() => window.mv620view.state.running), false);
    await server.ask({ do: "replug" });
    await start(page);
    const { frame, state } = await frameWithColumns(page);
    assert.equal(state.instrument, "present");
    assert.ok(checkIdentify(frame, state) > 0);
  });
});

test("a bad message gets an error and the server goes on", async () => {
  await withServer([], async (server, context) => {
    const page = await openPage(context, server);
    for (const bad of ["not json", '{"op": "rate", "channel": 77, "rate": 10}',
      '{"op": "line", "line": "free", "on": "yes"}', '{"op": "record", "action": "start", "file": "../x.csv"}']) {
      const count = await page.evaluate(() => window.mv620view.messages.length);
      await page.evaluate((text) => window.mv620view.sendRaw(text), bad);
      await page.waitForFunction((n) => window.mv620view.messages.slice(n)
        .some((m) => m.type === "error"), count, { timeout: WAIT });
      assert.match(await page.textContent("#notice"), /^Error: /);
    }
    await setRate(page, 4, 2);
    assert.equal((await server.ask({ do: "lines" })).lines, 0);
  });
});

test("a page of another origin cannot open the WebSocket", async () => {
  await withServer([], async (server, context) => {
    // The upgrade itself, with a foreign Origin and with the right one.
    const upgrade = (origin) => context.request.get(`${server.base}/ws?token=${server.token}`, {
      headers: { Origin: origin, Connection: "Upgrade", Upgrade: "websocket",
        "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==" },
      failOnStatusCode: false,
    }).then((r) => r.status()).catch(() => 101);
    assert.equal(await upgrade("http://evil.example"), 403);
    // A page of another site that knows the token still cannot connect.
    const foreign = http.createServer((request, response) => {
      response.setHeader("Content-Type", "text/html");
      response.end(`<script>
        const socket = new WebSocket("${server.base.replace("http", "ws")}/ws?token=${server.token}");
        socket.onopen = () => { window.outcome = "open"; };
        socket.onclose = () => { window.outcome = window.outcome || "refused"; };
      </script>`);
    });
    await new Promise((resolve) => foreign.listen(0, "127.0.0.1", resolve));
    try {
      const page = await context.newPage();
      await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
      await page.waitForFunction(() => window.outcome, null, { timeout: WAIT });
      assert.equal(await page.evaluate(() => window.outcome), "refused");
    } finally {
      foreign.close();
    }
  });
});

test("a second page only watches, and takes control when the first closes", async () => {
  await withServer(["0=10"], async (server, context) => {
    const first = await openPage(context, server);
    await start(first);
    const second = await openPage(context, server);
    assert.equal(await second.evaluate(() => window.mv620view.role), "viewer");
    assert.match(await second.textContent("#role"), /watching/);
    assert.equal(await second.isDisabled("#stop"), true);
    assert.equal(await second.isDisabled("#rate-0"), true);
    await frameWithColumns(second); // it sees the traces
    await second.evaluate(() => window.mv620view.sendRaw('{"op": "stop"}'));
    await second.waitForFunction(() => window.mv620view.messages
      .some((m) => m.type === "error" && m.message.includes("only watches")), null,
    { timeout: WAIT });
    assert.equal(await first.evaluate(() => window.mv620view.state.running), true);
    await first.close();
    await second.waitForFunction(() => window.mv620view.role === "control" &&
      !window.mv620view.state.running, null, { timeout: WAIT });
    assert.equal(await second.isDisabled("#start"), false);
  });
});

test("Ctrl-C stops the acquisition and releases the instrument", async () => {
  const server = await startServer(["0=10"]);
  const context = await browser.newContext();
  try {
    const page = await openPage(context, server);
    await start(page);
    await frameWithColumns(page);
    const last = await server.stop(); // as Ctrl-C does
    assert.deepEqual(last, { ended: true, handles: 0 });
    await page.waitForFunction(() => document.getElementById("link").textContent.startsWith("offline"),
      null, { timeout: WAIT });
  } finally {
    await context.close();
  }
});
