// The dashboard of `orbhost serve`: reads /api/v1/history once, then polls
// /api/v1/readings and keeps the last ten minutes of samples itself. It only
// ever sends GET requests to its own server; nothing on the machine changes.
"use strict";

(() => {
  const WINDOW_SECONDS = 600;
  const DEFAULT_INTERVAL_SECONDS = 2;
  const PLOT_HEIGHT = 190;

  const CATEGORIES = [
    { key: "frequency", title: "CPU frequency" },
    { key: "voltage", title: "Voltages" },
    { key: "temperature", title: "Temperatures" },
    { key: "fan", title: "Fans" },
    { key: "water_flow", title: "Water flow" },
  ];
  const BLOCKS = ["hardware_monitor", "cpuz", "system", "usage", "power", "cooling"];

  // Limits drawn as horizontal lines in the series' colour: the limits dotted,
  // the thresholds dashed, so that they read apart without colour.
  const LIMITS = [
    { key: "low_limit", label: "low limit", dash: [2, 4] },
    { key: "high_limit", label: "high limit", dash: [2, 4] },
    { key: "threshold", label: "threshold", dash: [8, 4] },
    { key: "threshold_high", label: "upper threshold", dash: [12, 3, 2, 3] },
  ];

  const PALETTE = ["#1f6fd1", "#d9480f", "#2b8a3e", "#9c36b5", "#c2255c", "#0b7285", "#e67700", "#5c5f66"];

  // ---- Formatting -------------------------------------------------------

  const DECIMALS = { V: 3, C: 1, RPM: 0, "L/h": 1, W: 1, A: 2 };
  // How a unit of the API reads on screen.
  const UNIT_TEXT = { C: "°C" };

  function isNumber(v) {
    return typeof v === "number" && Number.isFinite(v);
  }

  function formatValue(value, unit) {
    if (!isNumber(value)) return "—";
    unit = typeof unit === "string" ? unit : "";
    if (unit === "Hz") {
      const a = Math.abs(value);
      if (a >= 1e9) return (value / 1e9).toFixed(2) + " GHz";
      if (a >= 1e6) return (value / 1e6).toFixed(0) + " MHz";
      if (a >= 1e3) return (value / 1e3).toFixed(0) + " kHz";
      return value.toFixed(0) + " Hz";
    }
    if (unit === "ratio") return formatRatio(value);
    let digits = DECIMALS[unit];
    if (digits === undefined) digits = Number.isInteger(value) ? 0 : 2;
    return unit ? value.toFixed(digits) + " " + (UNIT_TEXT[unit] || unit) : value.toFixed(digits);
  }

  // Axis ticks: the tick's own precision, frequencies in GHz or MHz.
  function formatTick(value, unit) {
    if (!isNumber(value)) return "";
    if (unit === "Hz") {
      if (Math.abs(value) >= 1e9) return +(value / 1e9).toFixed(3) + " GHz";
      return +(value / 1e6).toFixed(1) + " MHz";
    }
    if (unit === "ratio") return +(value * 100).toFixed(2) + " %";
    const t = String(+value.toFixed(4));
    return unit ? t + " " + (UNIT_TEXT[unit] || unit) : t;
  }

  function formatRatio(ratio) {
    return isNumber(ratio) ? (ratio * 100).toFixed(1) + " %" : "—";
  }

  function pad2(n) {
    return String(n).padStart(2, "0");
  }

  function formatClock(ms) {
    const d = new Date(ms);
    return pad2(d.getHours()) + ":" + pad2(d.getMinutes()) + ":" + pad2(d.getSeconds());
  }

  function formatSeconds(s) {
    if (s < 60) return s.toFixed(s < 10 ? 1 : 0) + " s";
    if (s < 3600) return Math.floor(s / 60) + " min " + pad2(Math.floor(s % 60)) + " s";
    return (s / 3600).toFixed(1) + " h";
  }

  function parseTime(text) {
    if (typeof text !== "string" || text === "") return null;
    const ms = Date.parse(text);
    return Number.isFinite(ms) ? ms : null;
  }

  function text(v) {
    if (v === null || v === undefined || v === "") return "—";
    return String(v);
  }

  // ---- DOM helpers ------------------------------------------------------

  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    if (attrs) {
      for (const [k, v] of Object.entries(attrs)) {
        if (v === null || v === undefined) continue;
        if (k === "class") node.className = v;
        else node.setAttribute(k, v);
      }
    }
    for (const c of children) {
      if (c === null || c === undefined) continue;
      node.append(c instanceof Node ? c : String(c));
    }
    return node;
  }

  function byId(id) {
    return document.getElementById(id);
  }

  function setText(id, value) {
    const node = byId(id);
    const next = text(value);
    if (node && node.textContent !== next) node.textContent = next;
  }

  // A number shown as text with its exact value kept machine-readable.
  function dataValue(value, label) {
    return el("data", { value: isNumber(value) ? String(value) : "" }, label);
  }

  function updateDataValue(node, value, label) {
    const v = isNumber(value) ? String(value) : "";
    if (node.getAttribute("value") !== v) node.setAttribute("value", v);
    if (node.textContent !== label) node.textContent = label;
  }

  function timeElement(ms) {
    return el("time", { datetime: new Date(ms).toISOString() }, formatClock(ms));
  }

  // ---- Snapshot access --------------------------------------------------

  function blockOf(snapshot, name) {
    const blocks = snapshot && typeof snapshot.blocks === "object" ? snapshot.blocks : null;
    const block = blocks ? blocks[name] : null;
    return block && typeof block === "object" ? block : null;
  }

  // A block's command status: a number, or its text ("0x00000001").
  function statusOf(block) {
    if (!block) return null;
    if (isNumber(block.status)) return block.status;
    if (typeof block.status === "string" && block.status.trim() !== "") {
      const n = Number(block.status);
      return Number.isFinite(n) ? n : null;
    }
    return null;
  }

  function blockOk(block) {
    return statusOf(block) === 0;
  }

  function readingsOf(block, category) {
    const list = block ? block[category] : null;
    return Array.isArray(list) ? list.filter((r) => r && typeof r === "object" && r.id !== undefined) : [];
  }

  // When the snapshot was taken; else the newest read time of its blocks.
  function snapshotTime(snapshot) {
    let newest = parseTime(snapshot?.taken_at);
    if (newest !== null) return newest;
    for (const name of BLOCKS) {
      const t = parseTime(blockOf(snapshot, name)?.read_at);
      if (t !== null && (newest === null || t > newest)) newest = t;
    }
    return newest;
  }

  function compareIds(a, b) {
    return String(a).localeCompare(String(b), "en", { numeric: true });
  }

  // ---- One plot per hardware-monitor category ---------------------------

  class CategoryPlot {
    constructor(category, container) {
      this.category = category;
      this.times = [];
      this.series = new Map(); // id -> {name, unit, values[], reading, hidden}
      this.order = [];
      this.plot = null;
      this.needsBuild = true; // the set of series changed since the plot was made
      this.rows = new Map();

      this.heading = el("h3", { id: "plot-title-" + category.key }, category.title);
      this.warningNote = el("span", { class: "warning-note", hidden: "" });
      this.heading.append(" ", this.warningNote);
      this.chart = el("div", {
        class: "chart",
        role: "img",
        "aria-label": category.title + " over the last 10 minutes; the current values are in the table below",
      });
      this.empty = el("p", { class: "empty" }, "No sensors reported.");
      this.tbody = el("tbody");
      const table = el(
        "table",
        { class: "values" },
        el("caption", { class: "visually-hidden" }, category.title + ": current values"),
        el(
          "thead",
          null,
          el(
            "tr",
            null,
            el("th", { scope: "col" }, "Plot"),
            el("th", { scope: "col" }, "Sensor"),
            el("th", { scope: "col", class: "num" }, "Now"),
            el("th", { scope: "col" }, "Limits"),
            el("th", { scope: "col" }, "State"),
          ),
        ),
        this.tbody,
      );
      this.card = el(
        "article",
        { class: "plot-card", id: "plot-" + category.key, "data-category": category.key },
        this.heading,
        this.chart,
        this.empty,
        el("div", { class: "table-wrap" }, table),
      );
      container.append(this.card);

      new ResizeObserver(() => this.resize()).observe(this.chart);
    }

    width() {
      return Math.max(120, Math.floor(this.chart.clientWidth));
    }

    resize() {
      if (this.plot) this.plot.setSize({ width: this.width(), height: PLOT_HEIGHT });
    }

    // Adds one sample's readings at time t (seconds); a change in the set of
    // series needs a new plot.
    push(t, readings) {
      let changed = false;
      const seen = new Set();
      for (const r of readings) {
        const key = String(r.id);
        if (seen.has(key)) continue;
        seen.add(key);
        let s = this.series.get(key);
        if (!s) {
          s = { id: key, values: new Array(this.times.length).fill(null), hidden: false };
          this.series.set(key, s);
          changed = true;
        }
        s.name = typeof r.name === "string" && r.name !== "" ? r.name : "Sensor " + key;
        s.unit = typeof r.unit === "string" ? r.unit : "";
        s.reading = r;
        s.values.push(isNumber(r.value) ? r.value : null);
      }
      this.times.push(t);
      for (const s of this.series.values()) {
        if (!seen.has(s.id)) {
          s.values.push(null);
          s.reading = null;
        }
      }
      this.trim(t);
      for (const [key, s] of this.series) {
        if (s.values.every((v) => v === null)) {
          this.series.delete(key);
          changed = true;
        }
      }
      return changed;
    }

    trim(now) {
      let drop = 0;
      while (drop < this.times.length && this.times[drop] < now - WINDOW_SECONDS) drop++;
      if (drop === 0) return;
      this.times.splice(0, drop);
      for (const s of this.series.values()) s.values.splice(0, drop);
    }

    unit() {
      for (const s of this.series.values()) if (s.unit) return s.unit;
      return "";
    }

    data() {
      return [this.times, ...this.order.map((id) => this.series.get(id).values)];
    }

    // The y range covers the shown values and every drawn limit.
    yRange(u, dataMin, dataMax) {
      let lo = dataMin;
      let hi = dataMax;
      for (const id of this.order) {
        const s = this.series.get(id);
        if (s.hidden || !s.reading) continue;
        for (const limit of LIMITS) {
          const v = s.reading[limit.key];
          if (!isNumber(v) || v === 0) continue;
          lo = lo === null || v < lo ? v : lo;
          hi = hi === null || v > hi ? v : hi;
        }
      }
      if (lo === null || hi === null) return [0, 1];
      const span = hi - lo || Math.abs(hi) || 1;
      return [lo - span * 0.05, hi + span * 0.05];
    }

    drawLimits(u) {
      const ctx = u.ctx;
      const { left, top, width, height } = u.bbox;
      ctx.save();
      ctx.beginPath();
      ctx.rect(left, top, width, height);
      ctx.clip();
      ctx.lineWidth = Math.max(1, devicePixelRatio);
      this.order.forEach((id, i) => {
        const s = this.series.get(id);
        if (s.hidden || !s.reading) return;
        ctx.strokeStyle = PALETTE[i % PALETTE.length];
        ctx.globalAlpha = 0.55;
        for (const limit of LIMITS) {
          const v = s.reading[limit.key];
          if (!isNumber(v) || v === 0) continue;
          const y = Math.round(u.valToPos(v, "y", true)) + 0.5;
          ctx.setLineDash(limit.dash.map((d) => d * devicePixelRatio));
          ctx.beginPath();
          ctx.moveTo(left, y);
          ctx.lineTo(left + width, y);
          ctx.stroke();
        }
      });
      ctx.restore();
    }

    build() {
      if (this.plot) {
        this.plot.destroy();
        this.plot = null;
      }
      this.order = [...this.series.keys()].sort(compareIds);
      this.empty.hidden = this.order.length > 0;
      this.chart.hidden = this.order.length === 0;
      if (this.order.length === 0) return;
      const unit = this.unit();
      const opts = {
        width: this.width(),
        height: PLOT_HEIGHT,
        legend: { show: false },
        cursor: { drag: { x: false, y: false } },
        scales: { x: { time: true }, y: { range: (u, min, max) => this.yRange(u, min, max) } },
        axes: [
          { space: 70, values: (u, splits) => splits.map((v) => formatClock(v * 1000)) },
          {
            size: 78,
            values: (u, splits) => splits.map((v) => formatTick(v, unit)),
          },
        ],
        series: [
          {},
          ...this.order.map((id, i) => {
            const s = this.series.get(id);
            return {
              label: s.name,
              show: !s.hidden,
              stroke: PALETTE[i % PALETTE.length],
              width: this.isWarning(id) ? 3 : 1.5,
              dash: this.isWarning(id) ? [6, 3] : undefined,
              spanGaps: false,
              points: { show: false },
            };
          }),
        ],
        hooks: { draw: [(u) => this.drawLimits(u)] },
      };
      this.plot = new uPlot(opts, this.data(), this.chart);
      this.builtWarnings = this.warningKey();
      this.needsBuild = false;
    }

    // Which series are in warning: they are drawn thicker and dashed, so a
    // change needs a new plot.
    warningKey() {
      return this.order.filter((id) => this.isWarning(id)).join(",");
    }

    isWarning(id) {
      const r = this.series.get(id)?.reading;
      return Boolean(r && r.warning === true);
    }

    redraw() {
      if (this.needsBuild || !this.plot || this.builtWarnings !== this.warningKey()) this.build();
      else this.plot.setData(this.data());
      this.renderValues();
    }

    renderValues() {
      const present = new Set(this.order);
      for (const [id, row] of this.rows) {
        if (!present.has(id)) {
          row.tr.remove();
          this.rows.delete(id);
        }
      }
      let warnings = 0;
      this.order.forEach((id, i) => {
        const s = this.series.get(id);
        let row = this.rows.get(id);
        if (!row) row = this.makeRow(id);
        row.swatch.style.background = PALETTE[i % PALETTE.length];
        row.name.textContent = s.name;
        row.check.setAttribute("aria-label", "Plot " + s.name);
        const r = s.reading;
        const value = r ? r.value : null;
        updateDataValue(row.value, value, formatValue(value, s.unit));
        row.limits.textContent = r ? limitsText(r, s.unit) : "";
        const warn = this.isWarning(id);
        if (warn) warnings++;
        row.tr.classList.toggle("warning", warn);
        row.tr.dataset.warning = warn ? "true" : "false";
        row.state.textContent = r === null ? "not reported" : warn ? "⚠ Warning" : "OK";
        this.tbody.append(row.tr); // keeps the rows in series order
      });
      this.card.classList.toggle("has-warning", warnings > 0);
      this.warningNote.hidden = warnings === 0;
      this.warningNote.textContent = warnings === 1 ? "⚠ 1 warning" : "⚠ " + warnings + " warnings";
    }

    makeRow(id) {
      const check = el("input", { type: "checkbox", "aria-label": "Show in plot" });
      check.checked = true;
      check.addEventListener("change", () => {
        const s = this.series.get(id);
        if (!s) return;
        s.hidden = !check.checked;
        const idx = this.order.indexOf(id);
        if (this.plot && idx >= 0) this.plot.setSeries(idx + 1, { show: check.checked });
      });
      const swatch = el("span", { class: "swatch", "aria-hidden": "true" });
      const name = el("span");
      const value = dataValue(null, "—");
      const limits = el("td", { class: "limits" });
      const state = el("td", { class: "state" });
      const tr = el(
        "tr",
        { "data-id": id },
        el("td", null, check),
        el("th", { scope: "row" }, swatch, name),
        el("td", { class: "num" }, value),
        limits,
        state,
      );
      const row = { tr, swatch, name, value, limits, state, check };
      this.rows.set(id, row);
      return row;
    }
  }

  function limitsText(r, unit) {
    const given = (key) => (isNumber(r[key]) && r[key] !== 0 ? r[key] : null);
    const show = (v) => formatValue(v, unit);
    const low = given("low_limit");
    const high = given("high_limit");
    const t = given("threshold");
    const th = given("threshold_high");
    const parts = [];
    if (low !== null && high !== null) parts.push("limits " + show(low) + " to " + show(high));
    else if (low !== null) parts.push("low limit " + show(low));
    else if (high !== null) parts.push("high limit " + show(high));
    if (t !== null && th !== null) parts.push("thresholds " + show(t) + ", " + show(th));
    else if (t !== null) parts.push("threshold " + show(t));
    else if (th !== null) parts.push("upper threshold " + show(th));
    return parts.join("; ");
  }

  // ---- Blocks other than the plots --------------------------------------

  const BLOCK_TITLES = {
    hardware_monitor: "Hardware monitor",
    cpuz: "CPU-Z sensors",
    system: "System information",
    usage: "Memory and disks",
    power: "Power",
    cooling: "Cooling",
  };
  const blockFailing = {};

  function renderBlockStatus(name, block) {
    const failing = Boolean(block && block.status !== null && block.status !== undefined && !blockOk(block));
    if (blockFailing[name] !== undefined && blockFailing[name] !== failing) {
      announce(BLOCK_TITLES[name] + (failing ? " is failing." : " reads again."));
    }
    blockFailing[name] = failing;
    for (const node of document.querySelectorAll('.block-status[data-block="' + name + '"]')) {
      node.replaceChildren();
      if (!block || block.status === null || block.status === undefined) {
        node.className = "block-status missing";
        node.append("not read yet");
        continue;
      }
      const readAt = parseTime(block.read_at);
      const lastGood = parseTime(block.last_good_at);
      if (blockOk(block)) {
        node.className = "block-status ok";
        node.dataset.status = "0";
        node.append("read ");
        if (readAt !== null) node.append(timeElement(readAt));
        if (isNumber(block.duration_ms)) node.append(" in " + block.duration_ms.toFixed(0) + " ms");
      } else {
        node.className = "block-status failed";
        node.dataset.status = String(block.status);
        node.append(el("strong", null, "⚠ Failing (status " + text(block.status) + ")"), " — last good reading ");
        node.append(lastGood !== null ? timeElement(lastGood) : el("span", { class: "never" }, "never"));
      }
    }
  }

  function renderHeader(snapshot) {
    const machine = snapshot.machine && typeof snapshot.machine === "object" ? snapshot.machine : {};
    const plugin = snapshot.plugin && typeof snapshot.plugin === "object" ? snapshot.plugin : {};
    setText("machine-model", machine.model || "Unknown machine");
    setText("machine-processor", machine.processor);
    setText("machine-firmware", machine.firmware_version);
    setText("machine-product-line", machine.product_line);
    setText("plugin-version", plugin.version);
    const init = plugin.initialize_status;
    const node = byId("plugin-initialize");
    node.textContent = isNumber(init) ? (init === 0 ? "OK (0)" : "⚠ status " + init) : "—";
    node.classList.toggle("bad", isNumber(init) && init !== 0);
    document.title = (machine.model ? machine.model + " — " : "") + "Pelorus dashboard";
  }

  function renderUsage(block) {
    const root = byId("usage-bars");
    root.replaceChildren();
    if (!block) return;
    const bars = [];
    if (isNumber(block.memory_load)) bars.push({ label: "Memory", ratio: block.memory_load });
    if (Array.isArray(block.disks)) {
      for (const d of block.disks) {
        if (d && typeof d === "object") bars.push({ label: "Disk " + text(d.drive), ratio: d.usage });
      }
    }
    for (const b of bars) {
      const ratio = isNumber(b.ratio) ? Math.min(1, Math.max(0, b.ratio)) : 0;
      const id = "bar-" + root.childElementCount;
      root.append(
        el(
          "div",
          { class: "bar-row" },
          el("label", { for: id }, b.label),
          el("meter", { id, min: "0", max: "1", low: "0.8", high: "0.9", optimum: "0", value: String(ratio) }),
          dataValue(b.ratio, formatRatio(b.ratio)),
        ),
      );
    }
    if (bars.length === 0) root.append(el("p", { class: "empty" }, "No usage reported."));
  }

  function renderPower(block) {
    const b = block || {};
    const active = b.active_plan && typeof b.active_plan === "object" ? b.active_plan : {};
    const plan = byId("power-plan");
    plan.replaceChildren(text(active.name));
    if (typeof active.guid === "string" && active.guid !== "") {
      plan.append(" ", el("code", { class: "guid" }, active.guid));
    }
    setText("power-saving", typeof b.cpu_power_saving === "boolean" ? (b.cpu_power_saving ? "On" : "Off") : b.cpu_power_saving);
    const limit = byId("power-limit");
    limit.replaceChildren(dataValue(b.package_power_limit_watts, formatValue(b.package_power_limit_watts, "W")));
  }

  function renderCooling(block) {
    const b = block || {};
    setText("cooling-profile", b.cooling_profile);
    setText("cooling-generation", b.fan_tool_generation);
  }

  function renderCpuz(block) {
    const root = byId("cpuz-devices");
    root.replaceChildren();
    const devices = block && Array.isArray(block.devices) ? block.devices : [];
    for (const device of devices) {
      if (!device || typeof device !== "object") continue;
      const sensors = Array.isArray(device.sensors) ? device.sensors.filter((s) => s && typeof s === "object") : [];
      const groups = new Map();
      for (const s of sensors) {
        const cls = text(s.class);
        if (!groups.has(cls)) groups.set(cls, []);
        groups.get(cls).push(s);
      }
      const table = el(
        "table",
        { class: "cpuz" },
        el("caption", null, text(device.class) + ": " + text(device.name)),
        el(
          "thead",
          null,
          el(
            "tr",
            null,
            el("th", { scope: "col" }, "Sensor"),
            el("th", { scope: "col", class: "num" }, "Value"),
            el("th", { scope: "col", class: "num" }, "Min"),
            el("th", { scope: "col", class: "num" }, "Max"),
          ),
        ),
      );
      for (const [cls, list] of groups) {
        const body = el("tbody", { "data-class": cls }, el("tr", { class: "group" }, el("th", { scope: "rowgroup", colspan: "4" }, cls)));
        for (const s of list) {
          body.append(
            el(
              "tr",
              { "data-id": text(s.id) },
              el("th", { scope: "row" }, text(s.name)),
              el("td", { class: "num" }, dataValue(s.value, formatValue(s.value, s.unit))),
              el("td", { class: "num" }, formatValue(s.min, s.unit)),
              el("td", { class: "num" }, formatValue(s.max, s.unit)),
            ),
          );
        }
        table.append(body);
      }
      if (groups.size === 0) table.append(el("tbody", null, el("tr", null, el("td", { colspan: "4" }, "No sensors."))));
      root.append(el("div", { class: "table-wrap" }, table));
    }
    if (root.childElementCount === 0) root.append(el("p", { class: "empty" }, "No devices reported."));
  }

  // ---- State and the update loop ----------------------------------------

  const state = {
    plots: new Map(),
    lastPlotTime: null, // read time (ms) of the last hardware-monitor sample plotted
    lastGood: {}, // block name -> last block with status 0
    shownRead: {}, // block name -> read_at of the block last rendered
    latest: null,
    latestTime: null,
    intervals: [],
    fetchError: null,
  };

  // Adds one snapshot's hardware-monitor readings to the plots (drawn by
  // redrawPlots); returns whether it added a sample (a snapshot whose block
  // did not read anew adds nothing).
  function plotSnapshot(snapshot) {
    const hm = blockOf(snapshot, "hardware_monitor");
    if (!blockOk(hm)) return false;
    const t = parseTime(hm.read_at);
    if (t === null || (state.lastPlotTime !== null && t <= state.lastPlotTime)) return false;
    if (state.lastPlotTime !== null) {
      state.intervals.push((t - state.lastPlotTime) / 1000);
      if (state.intervals.length > 20) state.intervals.shift();
    }
    state.lastPlotTime = t;
    for (const c of CATEGORIES) {
      const plot = state.plots.get(c.key);
      if (plot.push(t / 1000, readingsOf(hm, c.key))) plot.needsBuild = true;
    }
    return true;
  }

  function redrawPlots() {
    for (const plot of state.plots.values()) plot.redraw();
  }

  function intervalSeconds() {
    if (state.intervals.length === 0) return DEFAULT_INTERVAL_SECONDS;
    const sorted = [...state.intervals].sort((a, b) => a - b);
    return sorted[Math.floor(sorted.length / 2)];
  }

  function rememberGood(snapshot) {
    for (const name of BLOCKS) {
      const block = blockOf(snapshot, name);
      if (blockOk(block)) state.lastGood[name] = block;
    }
  }

  // The data shown for a block: its own when it read well, else the last
  // good one this page saw (marked stale), else whatever it carries.
  function shownBlock(snapshot, name) {
    const block = blockOf(snapshot, name);
    if (blockOk(block)) return { block, stale: false };
    if (state.lastGood[name]) return { block: state.lastGood[name], stale: true };
    return { block, stale: block !== null };
  }

  function renderSnapshot(snapshot) {
    renderHeader(snapshot);
    for (const name of BLOCKS) renderBlockStatus(name, blockOf(snapshot, name));
    const sections = { usage: renderUsage, power: renderPower, cooling: renderCooling, cpuz: renderCpuz };
    for (const [name, render] of Object.entries(sections)) {
      const { block, stale } = shownBlock(snapshot, name);
      const key = (block && block.read_at) + "|" + stale;
      const node = document.querySelector('[data-block="' + name + '"]').closest("section");
      node.classList.toggle("stale-data", stale);
      if (state.shownRead[name] === key) continue;
      state.shownRead[name] = key;
      render(block);
    }
    byId("sensors").classList.toggle("stale-data", !blockOk(blockOf(snapshot, "hardware_monitor")));
  }

  function announce(message) {
    byId("announce").textContent = message;
  }

  function renderAge() {
    const node = byId("sample-age");
    if (state.latestTime === null) {
      node.textContent = state.fetchError ? "⚠ No sample: " + state.fetchError : "Waiting for the first sample…";
      node.classList.toggle("stale", Boolean(state.fetchError));
      return;
    }
    const age = Math.max(0, (Date.now() - state.latestTime) / 1000);
    const staleAfter = 3 * intervalSeconds() + 1;
    const stale = age > staleAfter;
    let message = stale ? "⚠ Stale: last sample " + formatSeconds(age) + " ago" : "Sample " + formatSeconds(age) + " old";
    if (state.fetchError) message += " (cannot reach the server: " + state.fetchError + ")";
    node.textContent = message;
    node.classList.toggle("stale", stale);
    // The age ticks every second; only a change of state is announced.
    if (node.dataset.stale === (stale ? "false" : "true")) {
      announce(stale ? "Samples are stale: the last one is " + formatSeconds(age) + " old." : "Samples are current again.");
    }
    node.dataset.stale = stale ? "true" : "false";
  }

  async function getJson(url) {
    const response = await fetch(url, { cache: "no-store", headers: { Accept: "application/json" } });
    if (!response.ok) throw new Error(url + " answered " + response.status);
    return response.json();
  }

  // Measured with the Performance API: "pelorus-plot-sample" for adding the
  // sample to every plot, "pelorus-apply-sample" for the whole page update.
  // `missed` are older snapshots to plot first (see fillGap).
  function applySample(snapshot, missed = []) {
    performance.mark("pelorus-apply-start");
    let added = false;
    for (const s of [...missed, snapshot]) {
      rememberGood(s);
      added = plotSnapshot(s) || added;
    }
    if (added) {
      redrawPlots();
      performance.measure("pelorus-plot-sample", "pelorus-apply-start");
    }
    renderSnapshot(snapshot);
    performance.measure("pelorus-apply-sample", "pelorus-apply-start");
  }

  function historySnapshots(history) {
    const list = Array.isArray(history) ? history : Array.isArray(history?.snapshots) ? history.snapshots : [];
    return list
      .filter((s) => s && typeof s === "object")
      .sort((a, b) => (snapshotTime(a) ?? 0) - (snapshotTime(b) ?? 0));
  }

  // Samples missed while polls came late (a background tab's timers are
  // throttled) come from the history, so the plots keep no gap.
  async function missedSnapshots(previous, until) {
    if (previous === null) return [];
    const missed = (until - previous) / 1000;
    if (missed <= 2.5 * intervalSeconds()) return [];
    try {
      const seconds = Math.min(WINDOW_SECONDS, Math.ceil(missed) + 1);
      return historySnapshots(await getJson("/api/v1/history?seconds=" + seconds));
    } catch {
      return [];
    }
  }

  async function poll() {
    try {
      const snapshot = await getJson("/api/v1/readings");
      state.fetchError = null;
      const t = snapshotTime(snapshot);
      if (t !== null && (state.latestTime === null || t > state.latestTime)) {
        const previous = state.latestTime;
        state.latest = snapshot;
        state.latestTime = t;
        applySample(snapshot, await missedSnapshots(previous, t));
      } else if (state.latest === null) {
        state.latest = snapshot;
        renderSnapshot(snapshot);
      }
    } catch (err) {
      state.fetchError = err && err.message ? err.message : "the server did not answer";
    }
    renderAge();
    const next = Math.min(5000, Math.max(500, (intervalSeconds() * 1000) / 2));
    setTimeout(poll, next);
  }

  async function loadHistory() {
    let snapshots = [];
    try {
      snapshots = historySnapshots(await getJson("/api/v1/history?seconds=" + WINDOW_SECONDS));
    } catch (err) {
      state.fetchError = err && err.message ? err.message : "history unavailable";
    }
    for (const s of snapshots) {
      rememberGood(s);
      plotSnapshot(s);
    }
    redrawPlots();
    const last = snapshots[snapshots.length - 1];
    if (last) {
      state.latest = last;
      state.latestTime = snapshotTime(last);
      renderSnapshot(last);
    }
  }

  // Read-only hooks for people and tests: points per series of each plot.
  window.pelorusDashboard = Object.freeze({
    pointCounts() {
      const out = {};
      for (const [key, plot] of state.plots) {
        out[key] = {};
        for (const [id, s] of plot.series) out[key][id] = s.values.filter((v) => v !== null).length;
      }
      return out;
    },
    // Read times (ms) of the plotted hardware-monitor samples.
    sampleTimes() {
      const plot = state.plots.values().next().value;
      return plot ? plot.times.map((t) => t * 1000) : [];
    },
    intervalSeconds,
  });

  async function start() {
    const container = byId("plots");
    for (const c of CATEGORIES) state.plots.set(c.key, new CategoryPlot(c, container));
    await loadHistory();
    renderAge();
    setInterval(renderAge, 1000);
    poll();
  }

  start();
})();
