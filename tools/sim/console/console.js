// The simulator's console: the journal as a live wire log, the fault rules,
// the virtual wafer with what the replies measured on it, and latencies by
// command word. Plain script over the control plane's API, no library.
"use strict";

const MAX_ROWS = 2000;  // the log keeps the newest rows only
const SVG_NS = "http://www.w3.org/2000/svg";
const $ = (id) => document.getElementById(id);

// ---------------------------------------------------------------------------
// The API

// Calls the API; resolves to the parsed answer, rejects with its "error".
async function api(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const res = await fetch("api/" + path, init);
  let answer = null;
  try {
    answer = await res.json();
  } catch (e) {
    answer = null;
  }
  if (!res.ok) throw new Error((answer && answer.error) || `${method} ${path}: HTTP ${res.status}`);
  return answer;
}

// "<Word,a,b>" to {word: "Word", fields: ["a", "b"]}; null when unframed.
function splitLine(line) {
  if (typeof line !== "string" || line.length < 2 || line[0] !== "<" || line[line.length - 1] !== ">")
    return null;
  const parts = line.slice(1, -1).split(",");
  return { word: parts[0], fields: parts.slice(1) };
}

function wordOf(request) {
  const parsed = splitLine(request);
  return parsed ? parsed.word : "(unframed)";
}

// "x&y" to {x, y}, or null.
function point(text) {
  const [x, y] = String(text).split("&").map(Number);
  return Number.isFinite(x) && Number.isFinite(y) ? { x, y } : null;
}

function el(tag, attrs = {}, text) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (text !== undefined) node.textContent = text;
  return node;
}

function fmt(n, digits = 3) {
  return n === null || n === undefined ? "—" : Number(n).toFixed(digits);
}

// ---------------------------------------------------------------------------
// Wire log

const log = {
  body: document.querySelector("#log tbody"),
  seen: new Set(),
  lastSeq: 0,
  missed: 0,
  words: new Set(),
  conns: new Set(),
};

function rowMatches(row) {
  const word = $("filter-word").value;
  const conn = $("filter-conn").value;
  return (!word || row.dataset.word === word) && (!conn || row.dataset.conn === conn) &&
         (!$("filter-failed").checked || row.classList.contains("failed"));
}

function applyFilters() {
  let shown = 0;
  for (const row of log.body.rows) {
    row.hidden = !rowMatches(row);
    if (!row.hidden) shown++;
  }
  $("log-count").textContent = `${shown} of ${log.body.rows.length} shown`;
}

// Adds the value to a filter's choices the first time it is seen.
function addChoice(select, set, value, label) {
  if (set.has(value)) return;
  set.add(value);
  const option = el("option", { value }, label);
  const after = [...select.options].slice(1).find((o) => o.value.localeCompare(value, undefined, { numeric: true }) > 0);
  select.insertBefore(option, after || null);
}

function addEntry(e, fresh) {
  if (log.seen.has(e.seq)) return;
  log.seen.add(e.seq);
  // Only recent numbers can come twice (a stream and a read of the journal
  // overlap at a (re)connection): the set forgets the old ones.
  if (log.seen.size > 4 * MAX_ROWS)
    for (const seq of log.seen) if (seq < log.lastSeq - MAX_ROWS) log.seen.delete(seq);
  log.lastSeq = Math.max(log.lastSeq, e.seq);
  const word = wordOf(e.request);
  const failed = e.outcome !== "OK";
  const row = el("tr", { "data-seq": e.seq, "data-word": word, "data-conn": e.conn, "data-outcome": e.outcome });
  if (failed) row.classList.add("failed");
  if (fresh) row.classList.add("fresh");
  const cells = [
    [e.seq, "num"],
    [(e.us / 1e6).toFixed(3), "num"],
    [e.conn, "num"],
    [e.request, ""],
    [e.reply === null ? "(no reply)" : e.reply, ""],
    [(failed ? "✗ " : "✓ ") + e.outcome, "outcome"],
    [e.latency_ms === null ? "—" : fmt(e.latency_ms), "num"],
    [e.fault || "", ""],
  ];
  for (const [text, cls] of cells) {
    const td = el("td", cls ? { class: cls } : {}, String(text));
    td.title = String(text);
    row.appendChild(td);
  }
  // Newest first; an entry older than the newest shown goes to its place.
  let before = log.body.firstElementChild;
  while (before && Number(before.dataset.seq) > e.seq) before = before.nextElementSibling;
  log.body.insertBefore(row, before);
  while (log.body.rows.length > MAX_ROWS) log.body.lastElementChild.remove();
  row.hidden = !rowMatches(row);

  addChoice($("filter-word"), log.words, word, word);
  addChoice($("filter-conn"), log.conns, String(e.conn), `#${e.conn}`);
  countStats(word, e, failed);
  if (!failed) wafer.take(word, e);
  if (e.fault) refreshFaultsSoon();
}

function showMissed(n) {
  log.missed += n;
  const notice = $("missed");
  notice.hidden = false;
  notice.textContent = `missed ${log.missed} entries (the page read too slowly)`;
}

function clearLog() {
  log.body.replaceChildren();
  log.seen.clear();
  stats.clear();
  renderStats();
  applyFilters();
}

// ---------------------------------------------------------------------------
// Latency by command word

const stats = new Map();

function countStats(word, e, failed) {
  let s = stats.get(word);
  if (!s) stats.set(word, (s = { count: 0, failed: 0, timed: 0, total: 0, last: null }));
  s.count++;
  if (failed) s.failed++;
  if (e.latency_ms !== null) {
    s.timed++;
    s.total += e.latency_ms;
    s.last = e.latency_ms;
  }
  renderStatsSoon();
}

let statsTimer = 0;
function renderStatsSoon() {
  if (!statsTimer) statsTimer = setTimeout(() => { statsTimer = 0; renderStats(); applyFilters(); }, 100);
}

function renderStats() {
  const body = document.querySelector("#stats tbody");
  body.replaceChildren();
  for (const word of [...stats.keys()].sort()) {
    const s = stats.get(word);
    const row = el("tr", { "data-word": word });
    if (s.failed) row.classList.add("has-failed");
    for (const text of [word, s.count, s.failed, s.timed ? fmt(s.total / s.timed) : "—", fmt(s.last)])
      row.appendChild(el("td", {}, String(text)));
    body.appendChild(row);
  }
}

// ---------------------------------------------------------------------------
// Fault rules

async function guarded(action) {
  const error = $("fault-error");
  try {
    await action();
    error.hidden = true;
  } catch (e) {
    error.textContent = e.message;
    error.hidden = false;
  }
}

async function refreshFaults() {
  const { faults } = await api("GET", "faults");
  const body = document.querySelector("#faults tbody");
  body.replaceChildren();
  if (faults.length === 0) {
    const row = el("tr", { class: "empty" });
    row.appendChild(el("td", { colspan: 4 }, "no rules: every request gets its normal reply"));
    body.appendChild(row);
  }
  for (const f of faults) {
    const row = el("tr", { "data-id": f.id });
    row.appendChild(el("td", {}, String(f.id)));
    row.appendChild(el("td", {}, f.rule));
    row.appendChild(el("td", {}, String(f.used)));
    const remove = el("button", { type: "button", title: `DELETE /api/faults/${f.id}` }, "Remove");
    remove.addEventListener("click", () => guarded(async () => {
      await api("DELETE", `faults/${f.id}`);
      await refreshFaults();
    }));
    const cell = el("td");
    cell.appendChild(remove);
    row.appendChild(cell);
    body.appendChild(row);
  }
}

let faultsTimer = 0;
function refreshFaultsSoon() {
  if (!faultsTimer) faultsTimer = setTimeout(() => { faultsTimer = 0; guarded(refreshFaults); }, 300);
}

$("fault-form").addEventListener("submit", (event) => {
  event.preventDefault();
  const input = $("fault-rule");
  guarded(async () => {
    await api("POST", "faults", { rule: input.value.trim() });
    input.value = "";
    await refreshFaults();
  });
});
$("clear-faults").addEventListener("click", () => guarded(async () => {
  await api("DELETE", "faults");
  await refreshFaults();
}));
$("clear-journal").addEventListener("click", () => guarded(async () => {
  await api("DELETE", "journal");
  clearLog();
}));
$("reset").addEventListener("click", () => guarded(async () => {
  await api("POST", "reset");
  clearLog();
  wafer.clear();
  await Promise.all([refreshFaults(), loadState()]);
}));

// ---------------------------------------------------------------------------
// The wafer: the configured disc, in mm with y upwards, and what the OK
// replies measured on it. Pixel results go through their camera's
// calibration (scale, rotate, shift), as the simulator converts them.

const wafer = {
  svg: $("wafer"),
  state: null,
  edge: null,      // {seq, points}
  fit: null,       // {seq, center, radius}
  kerf: null,      // {seq, center, without, with}
  matches: [],     // {seq, word, p, score}
  points: [],      // {seq, word, p}
  zoom: false,     // the view on what was measured rather than the whole wafer

  calibration(camera) {
    const c = this.state && this.state.calibrations;
    if (!c) return null;
    return (c.cameras && c.cameras[camera]) || c.default;
  },
  toReal(camera, px) {
    const cal = this.calibration(camera);
    if (!cal) return null;
    const a = cal.rotation_deg * Math.PI / 180;
    const x = cal.scale_x * px.x, y = cal.scale_y * px.y;
    return { x: Math.cos(a) * x - Math.sin(a) * y + cal.offset_x,
             y: Math.sin(a) * x + Math.cos(a) * y + cal.offset_y };
  },

  // One OK exchange: keeps what it measured on the wafer.
  take(word, e) {
    const reply = splitLine(e.reply);
    const request = splitLine(e.request);
    if (!reply || !request || reply.fields[0] !== "OK") return;
    const f = reply.fields.slice(1);
    const seq = e.seq;
    const keepPoint = (p) => {
      if (!p) return;
      this.points.push({ seq, word, p });
      if (this.points.length > 20) this.points.shift();
    };
    switch (word) {
      case "WaferEdge": {
        const points = f.slice(1, 1 + Number(f[0])).map(point).filter(Boolean);
        this.edge = { seq, points };
        break;
      }
      case "FixCircle": {
        const center = point(f[0]);
        const radius = Number(f[1]);
        if (center && Number.isFinite(radius)) this.fit = { seq, center, radius };
        break;
      }
      case "KerfCheck": {
        const [center, without, withChipping] = f.map(Number);
        if ([center, without, withChipping].every(Number.isFinite))
          this.kerf = { seq, center, without, with: withChipping };
        break;
      }
      case "Template_Match":
      case "SmallCellTemMatch": {
        const found = [];
        for (const m of f.slice(1, 1 + Number(f[0]))) {
          const [x, y, , score] = m.split("&").map(Number);
          const p = this.toReal(request.fields[0], { x, y });
          if (p) found.push({ seq, word, p, score });
        }
        this.matches = found;
        break;
      }
      case "GetReal":
      case "GetRealByPixelPoint":
      case "MwCalAnotherPointReal":
      case "GetPointAfterRotate_Real":
      case "GetRuler":
        keepPoint(point(f[0]));
        break;
      case "CovertPointCameraAToB": {
        const px = point(f[0]);
        keepPoint(px && this.toReal(request.fields[1], px));
        break;
      }
      default:
        return;
    }
    this.drawSoon();
  },

  clear() {
    this.edge = this.fit = this.kerf = null;
    this.matches = [];
    this.points = [];
    this.draw();
  },

  // The square shown, in mm: the wafer, or what the replies measured (the
  // edge aside) with some room round it.
  view() {
    const { center: c, radius: r } = this.state.wafer;
    const box = [];
    if (this.zoom) {
      if (this.fit) box.push({ x: this.fit.center.x - this.fit.radius, y: this.fit.center.y - this.fit.radius },
                             { x: this.fit.center.x + this.fit.radius, y: this.fit.center.y + this.fit.radius });
      for (const m of [...this.matches, ...this.points]) box.push(m.p);
    }
    if (box.length === 0) return { x: c.x, y: c.y, half: r * 1.08 };
    const xs = box.map((p) => p.x), ys = box.map((p) => p.y);
    const half = Math.max(1, Math.max(...xs) - Math.min(...xs), Math.max(...ys) - Math.min(...ys)) * 0.6;
    return { x: (Math.max(...xs) + Math.min(...xs)) / 2, y: (Math.max(...ys) + Math.min(...ys)) / 2, half };
  },

  drawSoon() {
    if (!this.timer) this.timer = setTimeout(() => { this.timer = 0; this.draw(); }, 50);
  },

  shape(tag, attrs, title) {
    const node = document.createElementNS(SVG_NS, tag);
    for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
    if (title) {
      const t = document.createElementNS(SVG_NS, "title");
      t.textContent = title;
      node.appendChild(t);
    }
    this.svg.appendChild(node);
    return node;
  },

  draw() {
    const svg = this.svg;
    svg.replaceChildren();
    const legend = $("wafer-legend");
    legend.replaceChildren();
    const note = (cls, text) => {
      const li = el("li");
      const key = el("span", { class: "key" });
      key.style.background = cls;
      li.append(key, text);
      legend.appendChild(li);
    };
    if (!this.state) {
      note("#ccc", "waiting for /api/state…");
      return;
    }
    const w = this.state.wafer;
    const c = w.center, r = w.radius;
    const v = this.view();
    svg.setAttribute("viewBox", `${v.x - v.half} ${-v.y - v.half} ${2 * v.half} ${2 * v.half}`);
    const u = v.half / 100;  // marker sizes and strokes follow the view
    const dot = 1.8 * u;
    const X = (p) => p.x, Y = (p) => -p.y;  // y upwards

    this.shape("circle", { class: "wafer-disc", cx: c.x, cy: -c.y, r, "stroke-width": 0.6 * u },
               `wafer: centre ${fmt(c.x)}, ${fmt(c.y)} mm, radius ${fmt(r)} mm`);
    for (const [x1, y1, x2, y2] of [[c.x - r, -c.y, c.x + r, -c.y], [c.x, -c.y - r, c.x, -c.y + r]])
      this.shape("line", { class: "axis", x1, y1, x2, y2, "stroke-width": 0.4 * u });
    $("wafer-scale").textContent = `Ø ${fmt(2 * r, 1)} mm; view ${fmt(2 * v.half, 2)} mm wide`;

    if (this.kerf) {
      const k = this.kerf;
      const clip = this.shape("clipPath", { id: "wafer-clip" });
      const disc = document.createElementNS(SVG_NS, "circle");
      for (const [a, v] of Object.entries({ cx: c.x, cy: -c.y, r })) disc.setAttribute(a, v);
      clip.appendChild(disc);
      for (const [cls, width] of [["kerf-chipping", k.with], ["kerf-street", k.without]])
        this.shape("rect", { class: cls, x: c.x - r, y: -k.center - width / 2, width: 2 * r, height: width,
                             "clip-path": "url(#wafer-clip)" });
      note("#b3261e", `kerf (#${k.seq}): y ${fmt(k.center)} mm, ${fmt(k.without)} wide, ${fmt(k.with)} with chipping`);
    }
    if (this.edge) {
      for (const p of this.edge.points)
        this.shape("circle", { class: "edge-point", cx: X(p), cy: Y(p), r: dot }, `edge ${fmt(p.x)}, ${fmt(p.y)}`);
      note("#1f5fbf", `edge (#${this.edge.seq}): ${this.edge.points.length} points`);
    }
    if (this.fit) {
      const f = this.fit;
      this.shape("circle", { class: "fit-circle", cx: X(f.center), cy: Y(f.center), r: f.radius,
                             "stroke-width": 0.8 * u });
      this.shape("circle", { class: "edge-point fit-centre", cx: X(f.center), cy: Y(f.center), r: dot * 0.7 });
      note("#c05a00", `circle fit (#${f.seq}): centre ${fmt(f.center.x)}, ${fmt(f.center.y)}, r ${fmt(f.radius)}`);
    }
    for (const mt of this.matches) {
      const s = dot * 1.6;
      this.shape("rect", { class: "match", x: X(mt.p) - s, y: Y(mt.p) - s, width: 2 * s, height: 2 * s,
                           "stroke-width": 0.6 * u }, `${mt.word} score ${fmt(mt.score)}`);
    }
    if (this.matches.length)
      note("#6a2fb0", `${this.matches[0].word} (#${this.matches[0].seq}): ${this.matches.length} match(es), best score ${fmt(this.matches[0].score)}`);
    for (const pt of this.points)
      this.shape("circle", { class: "real-point", cx: X(pt.p), cy: Y(pt.p), r: dot * 0.8 },
                 `${pt.word} → ${fmt(pt.p.x)}, ${fmt(pt.p.y)} mm`);
    if (this.points.length) {
      const last = this.points[this.points.length - 1];
      note("#1e6b34", `${this.points.length} converted point(s); last ${last.word} (#${last.seq}) → ${fmt(last.p.x)}, ${fmt(last.p.y)} mm`);
    }
    if (!this.edge && !this.fit && !this.kerf && !this.matches.length && !this.points.length)
      note("#e9eef6", "nothing measured yet: run wafer-edge, fix-circle, kerf-check, template-match or get-real");
  },
};

async function loadState() {
  wafer.state = await api("GET", "state");
  wafer.draw();
}

// ---------------------------------------------------------------------------
// The stream. Each (re)connection first reads what the journal has past the
// newest entry shown, then takes entries as they come.

function connect() {
  const badge = $("stream");
  const source = new EventSource("api/journal/stream");
  source.onopen = async () => {
    badge.dataset.state = "open";
    badge.textContent = "live";
    try {
      for (let next = log.lastSeq + 1; ;) {
        const page = await api("GET", `journal?since=${next}&limit=1000`);
        for (const e of page.entries) addEntry(e, false);
        if (page.entries.length < 1000) break;
        next = page.next;
      }
    } catch (e) {
      badge.textContent = "live (history: " + e.message + ")";
    }
  };
  source.onmessage = (event) => addEntry(JSON.parse(event.data), true);
  source.addEventListener("missed", (event) => showMissed(JSON.parse(event.data).missed));
  source.onerror = () => {
    badge.dataset.state = "closed";
    badge.textContent = source.readyState === EventSource.CLOSED ? "disconnected" : "reconnecting…";
  };
}

$("wafer-zoom").addEventListener("click", () => {
  wafer.zoom = !wafer.zoom;
  $("wafer-zoom").textContent = wafer.zoom ? "Whole wafer" : "Zoom to results";
  wafer.draw();
});
for (const id of ["filter-word", "filter-conn", "filter-failed"]) $(id).addEventListener("change", applyFilters);
wafer.draw();
applyFilters();
guarded(refreshFaults);
// The state first: template matches need the calibrations.
loadState().catch((e) => { $("wafer-legend").textContent = e.message; }).finally(connect);
