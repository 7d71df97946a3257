// velkarin-view's page: the /ws socket's samples into plots (drawn at most `fps` times a second,
// so that a flood of samples never keeps the page busy), the counts, and the controls, whose
// every action goes to the server, which checks it again before anything reaches a motor.
"use strict";

const params = new URLSearchParams(location.search);
const token = params.get("token") || "";
const $ = (sel, root = document) => root.querySelector(sel);
// Row columns, as the server sends them.
const T = 0, STATUS = 1, Q = 2, DQ = 3, TAU = 4, T_MOS = 5, T_ROTOR = 6, Q_T = 7, DQ_T = 8, TAU_T = 9;
const KEEP_S = 30; // the longest plot window
const SILENT_AFTER = 3; // missed replies in a row that make a motor "not answering"
const CHARTS = [
  { name: "position", unit: "rad", labels: ["t", "target", "measured"], cols: [Q_T, Q] },
  { name: "velocity", unit: "rad/s", labels: ["t", "target", "measured"], cols: [DQ_T, DQ] },
  { name: "torque", unit: "N·m", labels: ["t", "commanded", "measured"], cols: [TAU_T, TAU] },
  { name: "temperature", unit: "°C", labels: ["t", "t_mos", "t_rotor"], cols: [T_MOS, T_ROTOR] },
];
const COUNTS = ["sent", "answered", "timeouts", "late", "send_failures", "consecutive_misses",
  "latency_p50_s", "latency_p99_s", "latency_max_s"];

let hello = null;
let cards = [];
let paused = false;
let socket = null;

function note(text, error = false) {
  const li = document.createElement("li");
  li.textContent = `${new Date().toLocaleTimeString()} ${text}`;
  if (error) li.className = "error";
  const list = $("#messages");
  list.prepend(li);
  while (list.children.length > 6) list.lastChild.remove();
}

function send(message) {
  if (!socket || socket.readyState !== WebSocket.OPEN) return note("not connected: nothing sent", true);
  socket.send(JSON.stringify({ ...message, token }));
}

function hex(n) { return "0x" + n.toString(16); }
function fmt(x, digits = 4) { return x === null || x === undefined ? "–" : typeof x === "number" ? +x.toFixed(digits) : x; }

// ---- one motor's card --------------------------------------------------------------------

class Card {
  constructor(motor) {
    this.motor = motor;
    this.rows = [];
    this.el = $("#motor-card").content.firstElementChild.cloneNode(true);
    this.el.dataset.motor = motor.index;
    $(".title", this.el).textContent = `motor ${hex(motor.id)} on ${motor.iface}` +
      (motor.model ? ` (${motor.model})` : "") + `, master ${hex(motor.master_id)}`;
    $(".note", this.el).textContent = motor.note || "";
    this.el.querySelectorAll("[data-do]").forEach((b) =>
      b.addEventListener("click", () => send({ type: b.dataset.do, motor: motor.index })));
    $(".set-mode", this.el).addEventListener("click", () =>
      send({ type: "mode", motor: motor.index, mode: $(".mode", this.el).value }));
    $(".set-signal", this.el).addEventListener("click", () => this.sendSignal());
    this.registerTable();
    this.mode = null;
    this.fieldInputs = {};
  }

  // Dygraph sizes a plot by its box, so the card must be in the page before its charts are made.
  mount(parent) {
    parent.append(this.el);
    this.charts = CHARTS.map((spec) => this.chart(spec));
  }

  chart(spec) {
    const box = document.createElement("div");
    box.className = "chart";
    box.innerHTML = `<div class="plot"></div><div class="axis">${spec.name} (${spec.unit}) ` +
      `<label><input type="checkbox" class="auto" checked> auto</label> ` +
      `<input type="number" class="lo" step="any" placeholder="min"> <input type="number" class="hi" step="any" placeholder="max"></div>`;
    $(".charts", this.el).append(box);
    const graph = new Dygraph($(".plot", box), [[0, null, null]], {
      labels: spec.labels, legend: "always", labelsSeparateLines: false, strokeWidth: 1.4,
      colors: spec.name === "temperature" ? ["#e65100", "#6a1b9a"] : ["#9e9e9e", "#1565c0"],
      drawGrid: true, animatedZooms: false, xRangePad: 0, labelsKMB: false,
    });
    return { spec, graph, box };
  }

  setMode(mode) {
    if (mode === this.mode) return;
    this.mode = mode;
    $(".mode", this.el).value = mode || "mit";
    const box = $(".fields", this.el);
    box.innerHTML = "";
    this.fieldInputs = {};
    if (!mode) return;
    for (const [name, [lo, hi]] of Object.entries(fieldBounds(mode, this.motor.limits))) {
      const label = document.createElement("span");
      label.textContent = name;
      const range = Object.assign(document.createElement("input"), { type: "range", min: lo, max: hi, step: (hi - lo) / 1000, value: 0 });
      const number = Object.assign(document.createElement("input"), { type: "number", min: lo, max: hi, step: "any", value: 0 });
      const span = document.createElement("span");
      span.textContent = `[${fmt(lo, 3)}, ${fmt(hi, 3)}]`;
      range.className = `field-${name}`;
      number.className = `value-${name}`;
      const changed = (from, to) => { to.value = from.value; this.sendFields(); };
      range.addEventListener("input", () => changed(range, number));
      number.addEventListener("change", () => changed(number, range));
      box.append(label, range, number, span);
      this.fieldInputs[name] = { range, number };
    }
  }

  // Slider moves are sent at most every 50 ms, the last one always.
  sendFields() {
    if (this.fieldTimer) return;
    this.fieldTimer = setTimeout(() => {
      this.fieldTimer = null;
      const fields = {};
      for (const [name, { number }] of Object.entries(this.fieldInputs)) fields[name] = Number(number.value);
      send({ type: "setpoint", motor: this.motor.index, mode: this.mode, fields });
    }, 50);
  }

  sendSignal() {
    const shape = $(".shape", this.el).value;
    const message = { type: "signal", motor: this.motor.index, shape };
    for (const k of ["amplitude", "frequency", "offset"]) message[k] = Number($(`.${k}`, this.el).value);
    send(message);
  }

  control(state) {
    this.setMode(state.mode);
    this.enabled = state.enabled;
    if (!state.mode) return;
    for (const [name, value] of Object.entries(state.fields[state.mode])) {
      const input = this.fieldInputs[name];
      if (input && document.activeElement !== input.range && document.activeElement !== input.number && !this.fieldTimer) {
        input.range.value = value;
        input.number.value = +value.toFixed(4);
      }
    }
    if (document.activeElement === null || !this.el.contains(document.activeElement)) {
      $(".shape", this.el).value = state.signal ? state.signal.shape : "off";
    }
  }

  add(rows) {
    for (const r of rows) this.rows.push(r);
    const last = this.rows.length ? this.rows[this.rows.length - 1][T] : 0;
    let cut = 0;
    while (cut < this.rows.length && this.rows[cut][T] < last - KEEP_S) cut++;
    if (cut) this.rows.splice(0, cut);
  }

  draw(windowS) {
    if (!this.rows.length) return;
    const end = this.rows[this.rows.length - 1][T];
    let first = this.rows.length - 1;
    while (first > 0 && this.rows[first - 1][T] >= end - windowS) first--;
    const shown = this.rows.slice(first);
    for (const { spec, graph, box } of this.charts) {
      const auto = $(".auto", box).checked;
      const lo = parseFloat($(".lo", box).value), hi = parseFloat($(".hi", box).value);
      graph.updateOptions({
        file: shown.map((r) => [r[T], r[spec.cols[0]], r[spec.cols[1]]]),
        dateWindow: [end - windowS, end],
        valueRange: !auto && lo < hi ? [lo, hi] : null,
      });
    }
    this.el.dataset.rows = shown.length;
    this.el.dataset.targets = shown.filter((r) => r[Q_T] !== null || r[DQ_T] !== null).length;
    this.el.dataset.lastT = end.toFixed(3);
    this.banner(this.rows[this.rows.length - 1][STATUS]);
  }

  banner(status) {
    const b = $(".banner", this.el);
    const name = hello.status_names[status];
    const missed = this.missed || 0;
    const silent = missed >= SILENT_AFTER;
    b.className = "banner " + (status >= 8 ? "fault" : silent ? "silent" : status === 1 ? "enabled" : "");
    b.textContent = status >= 8 ? `FAULT: ${name} (${hex(status)}): remove the cause, then clear`
      : silent ? `not answering: ${missed} rounds missed in a row (last status ${name})`
      : name + (missed ? ` (${missed} reply missed)` : "");
    b.dataset.status = name;
  }

  counts(member) {
    this.missed = member.consecutive_misses;
    const body = $(".counts tbody", this.el);
    body.innerHTML = "<tr>" + COUNTS.map((k) => `<td>${k.replace("_s", "").replace(/_/g, " ")}</td>`).join("") + "</tr><tr>" +
      COUNTS.map((k) => `<td>${k.endsWith("_s") && member[k] !== null ? fmt(member[k] * 1000, 2) + " ms" : fmt(member[k])}</td>`).join("") + "</tr>";
  }

  watchCounts(w) {
    $(".counts tbody", this.el).innerHTML = `<tr><td>commands seen</td><td>${w.commands}</td><td>feedback seen</td>` +
      `<td>${w.feedback}</td><td>mode of the commands</td><td>${w.mode || "–"}</td></tr>`;
  }

  event(text) {
    const line = document.createElement("div");
    line.textContent = `${new Date().toLocaleTimeString()} ${text}`;
    const box = $(".events", this.el);
    box.prepend(line);
    while (box.children.length > 20) box.lastChild.remove();
  }

  registerTable() {
    const body = $(".registers tbody", this.el);
    this.registerCells = {};
    for (const r of hello.registers) {
      const tr = document.createElement("tr");
      tr.innerHTML = `<td>${r.number}</td><td>${r.variable}</td><td>${r.writable ? "RW" : "RO"} ${r.kind}</td>` +
        `<td>${r.range}</td><td class="value">–</td><td></td>`;
      if (r.writable && !r.refused) {
        const input = Object.assign(document.createElement("input"), { type: "number", step: "any" });
        const button = Object.assign(document.createElement("button"), { textContent: "write" });
        button.addEventListener("click", () => this.writeRegister(r, input.value));
        tr.lastChild.append(input, " ", button);
      } else if (r.refused) {
        tr.lastChild.textContent = `with ${r.refused}`;
      }
      body.append(tr);
      this.registerCells[r.variable] = $(".value", tr);
    }
    $(".registers .read", this.el).addEventListener("click", () => send({ type: "read_registers", motor: this.motor.index }));
    $(".registers .store", this.el).addEventListener("click", () => confirmStore(this.motor));
  }

  writeRegister(r, text) {
    const value = Number(text);
    const why = rangeProblem(r, text, value);
    if (why) return note(`${r.variable}: ${why}: nothing sent`, true);
    send({ type: "write_register", motor: this.motor.index, register: r.variable, value });
  }

  registers(values) {
    for (const [name, value] of Object.entries(values)) {
      if (this.registerCells[name]) this.registerCells[name].textContent = value;
    }
  }
}

// The same bounds the server checks (messages.py); the server's check is the one that counts.
function fieldBounds(mode, l) {
  return {
    mit: { q: [-l.p_max, l.p_max], dq: [-l.v_max, l.v_max], kp: [0, l.kp_max], kd: [0, l.kd_max], tau: [-l.t_max, l.t_max] },
    pos_vel: { position: [-l.p_max, l.p_max], velocity: [0, l.v_max] },
    vel: { velocity: [-l.v_max, l.v_max] },
    force_pos: { position: [-l.p_max, l.p_max], velocity_limit: [0, Math.min(100, l.v_max)], torque_ratio: [0, 1] },
  }[mode];
}

function rangeProblem(r, text, value) {
  if (text.trim() === "" || !Number.isFinite(value)) return "not a number";
  if (r.kind === "uint32" && !Number.isInteger(value)) return "takes a whole number";
  if (r.lo !== null && (value < r.lo || (r.lo_open && value === r.lo))) return `must be in ${r.range}`;
  if (r.hi !== null && (value > r.hi || (r.hi_open && value === r.hi))) return `must be in ${r.range}`;
  return null;
}

function confirmStore(motor) {
  const dialog = $("#confirm-store");
  $(".text", dialog).textContent = `Store every parameter of motor ${hex(motor.id)} to its flash? ` +
    "Flash endures about 10,000 writes: each store wears it. The motor is disabled first.";
  dialog.onclose = () => {
    if (dialog.returnValue === "store") send({ type: "store", motor: motor.index, confirmed: true });
  };
  dialog.showModal();
}

// ---- messages from the server ------------------------------------------------------------

const handlers = {
  hello(m) {
    hello = m;
    document.body.classList.toggle("watch", m.watch);
    document.body.classList.toggle("view-only", !m.watch && !m.may_drive);
    $("#rights").textContent = m.watch ? "watch mode: listening only, nothing is sent (the program that drives the motors stops them)"
      : m.may_drive ? "this page may drive" : "view only: open the address with the token to drive";
    $("#rights").className = "pill " + (m.watch || !m.may_drive ? "" : "ok");
    $("#motors").innerHTML = "";
    cards = m.motors.map((motor) => new Card(motor));
    cards.forEach((c) => { c.mount($("#motors")); c.setMode(m.watch ? null : c.motor.mode); });
  },
  control(m) { m.motors.forEach((state, n) => cards[n] && cards[n].control(state)); },
  samples(m) { if (!paused) m.motors.forEach((rows, n) => cards[n] && cards[n].add(rows)); },
  stats(m) {
    if (m.members) m.members.forEach((member, n) => cards[n] && cards[n].counts(member));
    if (m.watch) m.watch.forEach((w, n) => cards[n] && cards[n].watchCounts(w));
    if (m.ticker) {
      const rate = lastStats ? (m.rounds - lastStats.rounds) / ((performance.now() - lastStats.at) / 1000) : 0;
      $("#loop").textContent = `loop ${m.rate_hz} Hz: ${m.rounds} rounds, ${rate.toFixed(0)} /s, ` +
        `${m.ticker.overruns} missed ticks, lateness p99 ${fmt((m.ticker.lateness_p99_s || 0) * 1000, 2)} ms`;
      lastStats = { rounds: m.rounds, at: performance.now() };
    }
    if (m.buses) {
      $("#buses tbody").innerHTML = m.buses.map((b) => `<tr><td>${b.iface}</td><td>${b.state}</td><td>${fmt(b.tx_errors)}</td>` +
        `<td>${fmt(b.rx_errors)}</td><td>${fmt(b.restarts)}</td><td>${Object.entries(b.error_frames).map(([k, v]) => `${k} ${v}`).join(", ") || "none"}</td>` +
        `<td>${b.last_error || "–"}</td></tr>`).join("");
    }
    const r = m.recording;
    $("#recording").textContent = r.recording ? `recording: ${r.samples} samples, ${r.seconds.toFixed(1)} of ${r.window_s} s`
      : r.samples ? `recorded ${r.samples} samples, ${r.seconds.toFixed(1)} s` : "";
    $("#record").textContent = r.recording ? "stop recording" : "record";
    $("#record").dataset.recording = r.recording;
  },
  event(m) { cards[m.motor] && cards[m.motor].event(m.text); },
  error(m) { note(m.message, true); },
  done(m) { if (m.text) note(m.text); },
  registers(m) { cards[m.motor].registers(m.registers); if (m.done) note(m.done); },
  recording(m) { handlers.stats({ recording: m }); },
  stopped(m) {
    note(`STOP (${m.reason}): ${m.disabled} of ${m.motors} motors disabled in ${(m.seconds * 1000).toFixed(1)} ms` +
      (m.failed.length ? `; ${m.failed.join("; ")}` : ""), m.failed.length > 0);
  },
};
let lastStats = null;

function connect() {
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  socket = new WebSocket(`${scheme}${location.host}/ws?token=${encodeURIComponent(token)}`);
  socket.onopen = () => { $("#connection").textContent = "connected"; $("#connection").className = "pill ok"; };
  socket.onclose = () => {
    $("#connection").textContent = "connection lost: retrying";
    $("#connection").className = "pill bad";
    setTimeout(connect, 1000);
  };
  socket.onmessage = (e) => {
    const m = JSON.parse(e.data);
    if (handlers[m.type]) handlers[m.type](m);
  };
}

// ---- the page's own controls -------------------------------------------------------------

let fps = Number(params.get("fps")) || 30;
$("#fps").value = String(fps);
$("#fps").addEventListener("change", () => { fps = Number($("#fps").value); });
$("#pause").addEventListener("click", () => { paused = !paused; $("#pause").textContent = paused ? "resume plots" : "pause plots"; });
$("#record").addEventListener("click", () =>
  send({ type: "record", action: $("#record").dataset.recording === "true" ? "stop" : "start" }));
velkarinStop.onStop((how) => note(`STOP sent (${how})`));

function frame() {
  const windowS = Number($("#window").value);
  if (!paused) cards.forEach((c) => c.draw(windowS));
  setTimeout(() => requestAnimationFrame(frame), 1000 / fps);
}

connect();
frame();
