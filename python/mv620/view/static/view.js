// mv620 view: the page. One WebSocket to the server that owns the instrument; JSON text for
// state and replies, binary frames of min/max columns for the traces (see session.py).
"use strict";

const COLOURS = ["#4fa3ff", "#ffb454", "#7bd88f", "#ff6e9c", "#c79bff", "#5ee0e6", "#ffe066",
                 "#ff8a5b"];
const LINE_NAMES = ["autozero", "odd-cal", "even-cal", "free"];
const RATES = [0, 1, 2, 5, 10];
const $ = (id) => document.getElementById(id);

// What the page has received, for a person and for the browser tests.
const view = window.mv620view = {
  state: null, role: null, lastFrame: null, frames: 0, drawn: 0, messages: [],
  sendRaw: (text) => socket.send(text),
};
const traces = new Map(); // channel -> {low, high, has} rings indexed by column % width
let width = 0;            // columns on the canvas (one CSS pixel each)
let latest = -1;          // the newest column received
let epoch = -1;
let paused = false;
let dirty = true;
let triggers = [];        // marks received, newest last
let socket = null;
// A control the user just changed keeps what it shows until the server reports the change
// done: states published meanwhile (for earlier commands) do not move it back.
const pending = new Map(); // element id -> the value asked for

function settled(id, value) {
  if (!pending.has(id)) return true;
  if (pending.get(id) !== value) return false;
  pending.delete(id);
  return true;
}

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function showNotice(text) {
  const notice = $("notice");
  notice.textContent = text || "";
  notice.hidden = !text;
}

function setResult(id, text, kind) {
  const element = $(id);
  element.textContent = text;
  element.className = "result" + (kind ? " " + kind : "");
}

// ---- the connection ----------------------------------------------------------------------

function connect() {
  const token = new URLSearchParams(location.search).get("token") || "";
  socket = new WebSocket(`ws://${location.host}/ws?token=${encodeURIComponent(token)}`);
  socket.binaryType = "arraybuffer";
  socket.onopen = () => { setBadge("link", "online", "good"); sendView(); };
  socket.onclose = () => {
    setBadge("link", "offline: the server stopped or the connection broke", "bad");
    view.role = null;
    applyRole();
  };
  socket.onmessage = (event) => {
    if (typeof event.data === "string") onMessage(JSON.parse(event.data));
    else onFrame(event.data);
  };
}

function onMessage(message) {
  view.messages.push(message);
  if (view.messages.length > 200) view.messages.shift();
  switch (message.type) {
    case "hello":
      view.role = message.role;
      applyRole();
      if (message.role === "control") sendView();
      break;
    case "state": onState(message); break;
    case "inputs": showInputs(message.inputs); break;
    case "error":
      pending.clear(); // a refused change: show what the server has
      showNotice("Error: " + message.message);
      break;
    case "lost": showNotice(message.message); break;
    case "status":
      if (message.refused) setResult("status-result", message.refused, "bad");
      else if (message.absent) setResult("status-result", message.text, "bad");
      else setResult("status-result", message.text, "good");
      break;
    case "download": onDownload(message); break;
    case "record":
      if (message.state === "saved") {
        setResult("record-result", `Saved ${message.path}: ${message.blocks} blocks, ` +
                  `${message.samples.toLocaleString()} samples, ${message.lost} lost` +
                  (message.message ? ` (${message.message})` : ""), message.message ? "bad" : "good");
      } else {
        setResult("record-result", `Not saved: ${message.message}`, "bad");
      }
      break;
  }
}

function setBadge(id, text, kind) {
  const badge = $(id);
  badge.textContent = text;
  badge.className = "badge" + (kind ? " " + kind : "");
}

function applyRole() {
  const control = view.role === "control";
  setBadge("role", view.role === null ? "not connected" :
           control ? "in control" : "watching: another page controls the instrument",
           control ? "good" : "bad");
  for (const element of document.querySelectorAll(".control")) element.disabled = !control;
  if (view.state) onState(view.state);
}

// ---- state -------------------------------------------------------------------------------

function onState(state) {
  view.state = state;
  const control = view.role === "control";
  const running = state.running;
  setBadge("instrument", `${state.simulated ? "simulated " : ""}instrument: ` +
           {present: "present", lost: "lost", unknown: "not asked yet"}[state.instrument],
           state.instrument === "present" ? "good" : state.instrument === "lost" ? "bad" : "");
  if (state.instrument === "lost" || state.notice) showNotice(state.notice);
  else if (running) showNotice("");
  $("start").disabled = !control || running;
  $("stop").disabled = !control || !running;
  $("download").disabled = !control || running || state.downloading;
  // Rates: what the page set; the running ones until the next start.
  const differ = running && state.rates.some((rate, c) => rate !== (state.running_rates[c] || 0));
  $("rates-note").textContent = differ ? "changed: takes effect at the next start" : "";
  state.rates.forEach((rate, channel) => {
    const select = $(`rate-${channel}`);
    if (settled(select.id, rate)) select.value = String(rate);
    select.parentElement.classList.toggle("on", rate > 0);
  });
  state.lines.forEach((on, line) => {
    const box = $(`line-${line}`);
    if (!settled(box.id, on)) return;
    box.indeterminate = on === null;
    box.checked = on === true;
  });
  if (state.inputs) showInputs(state.inputs);
  const recording = state.recording;
  $("record").textContent = recording ? "Stop recording" : "Record";
  $("record-file").disabled = !control || Boolean(recording);
  if (recording) setResult("record-result", `Recording to ${recording.file} in ${state.folder}`);
  if (state.epoch !== epoch) {
    epoch = state.epoch;
    traces.clear();
    triggers = [];
    latest = -1;
    dirty = true;
  }
  const seconds = state.view.seconds_per_column;
  $("axis-left").textContent = seconds ? `−${formatSeconds(seconds * width)}` : "";
}

function formatSeconds(seconds) {
  return seconds >= 1 ? `${seconds.toFixed(seconds >= 10 ? 0 : 1)} s` :
    `${(seconds * 1000).toFixed(0)} ms`;
}

function showInputs(inputs) {
  inputs.forEach((active, bit) => {
    const lamp = $(`input-${bit}`);
    lamp.classList.toggle("active", active);
    lamp.title = `input ${bit}: ${active ? "active" : "inactive"}` +
      (bit === 3 ? " (the library reads it as input 6)" : "");
  });
}

// ---- frames ------------------------------------------------------------------------------

function onFrame(buffer) {
  const length = new DataView(buffer).getUint32(0, true);
  const header = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  if (header.epoch !== epoch) return; // made before the page's latest view change
  const values = new Uint16Array(buffer, 4 + length);
  const received = {};
  let at = 0;
  for (const entry of header.channels) {
    const columns = [], low = [], high = [];
    let trace = traces.get(entry.channel);
    if (!trace || trace.low.length !== width) {
      trace = {low: new Uint16Array(width), high: new Uint16Array(width),
               has: new Uint8Array(width), end: -1};
      traces.set(entry.channel, trace);
    }
    for (const [first, count] of entry.segments) {
      for (let k = 0; k < count; k++) {
        const column = first + k, lo = values[at + k], hi = values[at + count + k];
        columns.push(column); low.push(lo); high.push(hi);
        // Columns skipped since the last one received hold nothing (lost samples).
        for (let gap = Math.max(trace.end + 1, column - width + 1); gap < column; gap++) {
          trace.has[gap % width] = 0;
        }
        const slot = column % width;
        trace.low[slot] = lo; trace.high[slot] = hi; trace.has[slot] = 1;
        trace.end = Math.max(trace.end, column);
        latest = Math.max(latest, column);
      }
      at += 2 * count;
    }
    received[entry.channel] = {columns, low, high};
  }
  if (header.triggers.length) {
    triggers.push(...header.triggers);
    triggers.splice(0, Math.max(0, triggers.length - 256));
    const mark = header.triggers.at(-1);
    $("trigger-seen").textContent = `trigger: channel ${mark.channel}, sample ` +
      `${mark.index.toLocaleString()}, value ${mark.value}`;
  }
  view.lastFrame = {header, channels: received};
  view.frames += 1;
  $("blocks").textContent = header.blocks.toLocaleString();
  $("lost").textContent = header.lost.toLocaleString();
  $("blocks-per-s").textContent = header.blocks_per_s.toFixed(1);
  $("samples-per-s").textContent = Math.round(header.samples_per_s).toLocaleString();
  if (header.recording) {
    setResult("record-result", `Recording to ${header.recording.file}: ` +
              `${header.recording.blocks} blocks`);
  }
  dirty = true;
}

// ---- drawing -----------------------------------------------------------------------------

function draw() {
  requestAnimationFrame(draw);
  if (paused || !dirty) return;
  dirty = false;
  const canvas = $("traces");
  const context = canvas.getContext("2d");
  const height = canvas.height;
  context.fillStyle = "#0b0e12";
  context.fillRect(0, 0, canvas.width, height);
  const channels = [...traces.keys()].sort((a, b) => a - b);
  if (!channels.length || latest < 0) return;
  const lane = height / channels.length;
  const x = (column) => width - 1 - (latest - column);
  context.font = "11px system-ui, sans-serif";
  channels.forEach((channel, k) => {
    const trace = traces.get(channel);
    const top = k * lane;
    // Autoscale the lane to what it shows.
    let lowest = 65535, highest = 0;
    for (let column = Math.max(0, latest - width + 1); column <= trace.end; column++) {
      const slot = column % width;
      if (!trace.has[slot]) continue;
      lowest = Math.min(lowest, trace.low[slot]);
      highest = Math.max(highest, trace.high[slot]);
    }
    if (lowest > highest) { lowest = 0; highest = 65535; }
    const pad = Math.max(8, (highest - lowest) * 0.08);
    const bottom = lowest - pad, span = highest - lowest + 2 * pad;
    const y = (value) => top + 3 + (lane - 6) * (1 - (value - bottom) / span);
    context.strokeStyle = "#2c3540";
    context.beginPath(); context.moveTo(0, top + 0.5); context.lineTo(width, top + 0.5);
    context.stroke();
    context.fillStyle = COLOURS[k % COLOURS.length];
    for (let column = Math.max(0, latest - width + 1); column <= trace.end; column++) {
      const slot = column % width;
      if (!trace.has[slot]) continue;
      const yHigh = y(trace.high[slot]), yLow = y(trace.low[slot]);
      context.fillRect(x(column), yHigh, 1, Math.max(1, yLow - yHigh));
    }
    const trigger = view.state && view.state.trigger;
    if (trigger && trigger.channel === channel) {
      context.strokeStyle = "rgba(255,207,102,.6)";
      context.setLineDash([4, 4]);
      context.beginPath(); context.moveTo(0, y(trigger.level)); context.lineTo(width, y(trigger.level));
      context.stroke();
      context.setLineDash([]);
    }
    for (const mark of triggers) {
      if (mark.channel !== channel || latest - mark.column >= width) continue;
      context.strokeStyle = "#ffcf66";
      context.beginPath(); context.moveTo(x(mark.column) + .5, top); context.lineTo(x(mark.column) + .5, top + lane);
      context.stroke();
      context.fillStyle = "#ffcf66";
      context.beginPath(); context.arc(x(mark.column), y(mark.value), 3.5, 0, 2 * Math.PI); context.fill();
    }
    context.fillStyle = COLOURS[k % COLOURS.length];
    const rate = view.state && view.state.running_rates ? view.state.running_rates[channel] : null;
    context.fillText(`ch ${channel}${rate ? `  rate ${rate}` : ""}   ${lowest} to ${highest}`, 6, top + 13);
  });
  view.drawn += 1;
}

function resize() {
  const box = $("canvas-box");
  const columns = Math.max(16, Math.min(4096, Math.floor(box.clientWidth)));
  const canvas = $("traces");
  canvas.height = Math.max(100, box.clientHeight);
  if (columns !== width) {
    width = columns;
    canvas.width = width;
    sendView();
  }
  dirty = true;
}

function sendView() {
  if (view.role === "control" && width) {
    send({op: "view", window: Number($("window").value), columns: width});
  }
}

// ---- controls ----------------------------------------------------------------------------

function build() {
  const channels = $("channels"), trigger = $("trigger-channel");
  for (let channel = 0; channel < 40; channel++) {
    const label = document.createElement("label");
    label.textContent = String(channel);
    const select = document.createElement("select");
    select.id = `rate-${channel}`;
    select.className = "control";
    select.title = `channel ${channel}: samples per 10 scan passes (0: off)`;
    for (const rate of RATES) select.add(new Option(String(rate), String(rate)));
    select.onchange = () => {
      pending.set(select.id, Number(select.value));
      send({op: "rate", channel, rate: Number(select.value)});
    };
    label.append(select);
    channels.append(label);
    trigger.add(new Option(String(channel), String(channel)));
  }
  LINE_NAMES.forEach((name, line) => {
    const label = document.createElement("label");
    label.className = "switch";
    const box = document.createElement("input");
    box.type = "checkbox";
    box.id = `line-${line}`;
    box.className = "control";
    box.onchange = () => {
      pending.set(box.id, box.checked);
      send({op: "line", line: name, on: box.checked});
    };
    label.append(box, name);
    $("lines").append(label);
  });
  const inputs = $("inputs");
  inputs.append("inputs");
  for (let bit = 0; bit < 7; bit++) {
    const lamp = document.createElement("span");
    lamp.className = "lamp";
    lamp.id = `input-${bit}`;
    lamp.textContent = String(bit);
    inputs.append(lamp);
  }
  $("start").onclick = () => { showNotice(""); send({op: "start"}); };
  $("stop").onclick = () => send({op: "stop"});
  $("pause").onclick = () => {
    paused = !paused;
    $("pause").textContent = paused ? "Resume" : "Pause";
    dirty = true;
  };
  $("window").onchange = sendView;
  $("trigger-apply").onclick = () => {
    const channel = $("trigger-channel").value;
    const level = Number($("trigger-level").value);
    if (channel !== "" && !(Number.isInteger(level) && level >= 0 && level <= 65535)) {
      showNotice("The trigger level is a whole number from 0 to 65535.");
      return;
    }
    send(channel === "" ? {op: "trigger", channel: null} :
      {op: "trigger", channel: Number(channel), level, edge: $("trigger-edge").value});
  };
  $("status").onclick = () => { setResult("status-result", "asking…"); send({op: "status"}); };
  $("record-file").value = `recording-${new Date().toISOString().slice(0, 19)
    .replace(/[-:]/g, "").replace("T", "-")}.csv`;
  $("record").onclick = () => {
    if (view.state && view.state.recording) send({op: "record", action: "stop"});
    else send({op: "record", action: "start", file: $("record-file").value.trim()});
  };
  $("download").onclick = startDownload;
  window.addEventListener("resize", resize);
}

function startDownload() {
  const file = $("image").files[0];
  if (!file) { setResult("download-result", "Choose a configuration image first.", "bad"); return; }
  const reader = new FileReader();
  reader.onload = () => {
    const bytes = new Uint8Array(reader.result);
    let text = "";
    for (let k = 0; k < bytes.length; k += 0x8000) {
      text += String.fromCharCode.apply(null, bytes.subarray(k, k + 0x8000));
    }
    setResult("download-result", `Sending ${file.name}…`);
    send({op: "download", name: file.name, data: btoa(text)});
  };
  reader.readAsArrayBuffer(file);
}

function onDownload(message) {
  const bar = $("download-progress");
  if (message.state === "progress") {
    bar.hidden = false;
    bar.max = message.total;
    bar.value = message.done;
    setResult("download-result", `Downloading ${message.name}: ${message.done} of ` +
              `${message.total} packets`);
  } else if (message.state === "done") {
    bar.value = bar.max;
    setResult("download-result", `Downloaded ${message.name}: ${message.words} words in ` +
              `${message.packets} packets`, "good");
  } else {
    bar.hidden = true;
    setResult("download-result", `Download failed: ${message.message}`, "bad");
  }
}

build();
resize();
connect();
requestAnimationFrame(draw);
