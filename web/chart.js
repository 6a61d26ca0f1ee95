// Small live charts of the console: each stream's bit rate and each node's
// temperature over the last minutes, drawn as an inline SVG line. The console
// stays open for days, so every series is a fixed-size ring and the series of
// streams and nodes that are gone are dropped. The sample code and the path
// geometry are pure and tested without a browser.

/** Samples kept per series: five minutes at the console's one poll a second. */
export const SERIES_CAPACITY = 300;
/** Time shown by a chart, ending now. */
export const CHART_WINDOW_MS = 5 * 60 * 1000;
/** Samples further apart than this (the view was not polled) leave a gap in the line. */
export const GAP_MS = 5000;

/** One series of (time, value) samples; the oldest are overwritten when full. */
export class Series {
  constructor(capacity = SERIES_CAPACITY) {
    this.capacity = capacity;
    this.times = new Float64Array(capacity);
    this.values = new Float64Array(capacity);
    this.start = 0;
    this.size = 0;
  }

  push(t, v) {
    const i = (this.start + this.size) % this.capacity;
    this.times[i] = t;
    this.values[i] = v;
    if (this.size < this.capacity) this.size++;
    else this.start = (this.start + 1) % this.capacity;
  }

  /** The samples from oldest to newest as [time, value] pairs. */
  samples() {
    const out = new Array(this.size);
    for (let k = 0; k < this.size; k++) {
      const i = (this.start + k) % this.capacity;
      out[k] = [this.times[i], this.values[i]];
    }
    return out;
  }
}

/** Series by key (stream ID, node serial). */
export class SeriesSet {
  constructor(capacity = SERIES_CAPACITY) {
    this.capacity = capacity;
    this.byKey = new Map();
  }

  record(key, t, v) {
    let s = this.byKey.get(key);
    if (!s) {
      s = new Series(this.capacity);
      this.byKey.set(key, s);
    }
    s.push(t, v);
    return s;
  }

  get(key) {
    return this.byKey.get(key);
  }

  /** Drops every series whose key is not in keys (a Set). */
  retain(keys) {
    for (const k of this.byKey.keys()) if (!keys.has(k)) this.byKey.delete(k);
  }

  get size() {
    return this.byKey.size;
  }
}

const round1 = (x) => Math.round(x * 10) / 10;

/** The samples inside the window ending at now. */
export function inWindow(samples, now, windowMs = CHART_WINDOW_MS) {
  return samples.filter(([t, v]) => t >= now - windowMs && t <= now && Number.isFinite(v));
}

/**
 * SVG path data of samples in a width x height box: time runs over the window
 * ending at now (or, while the samples are younger than that, from the first
 * one, so a new chart fills its box), values from the range's low end at the
 * bottom to its high end at the top. floor (when given) keeps the low end at or below it, so a bit
 * rate is drawn from zero. Samples before the window are left out; a gap
 * longer than gapMs starts a new piece of line. A flat series is drawn at
 * mid height unless it lies on the floor.
 */
export function linePath(samples, { width, height, now, windowMs = CHART_WINDOW_MS, gapMs = GAP_MS, floor = null, pad = 2 }) {
  const shown = inWindow(samples, now, windowMs);
  if (shown.length === 0) return '';
  const from = shown[0][0];
  const span = now - from;
  let lo = Math.min(...shown.map(([, v]) => v));
  let hi = Math.max(...shown.map(([, v]) => v));
  if (floor !== null) lo = Math.min(lo, floor);
  const inner = height - 2 * pad;
  const y = (v) => (hi === lo ? (floor !== null && lo === floor ? height - pad : height / 2) : pad + inner * (1 - (v - lo) / (hi - lo)));
  const x = (t) => (span > 0 ? (width * (t - from)) / span : width);
  let d = '';
  let prevT = -Infinity;
  for (const [t, v] of shown) {
    const cmd = !d ? 'M' : t - prevT > gapMs ? ' M' : ' L';
    d += `${cmd}${round1(x(t))} ${round1(y(v))}`;
    prevT = t;
  }
  return d;
}

const SVG_NS = 'http://www.w3.org/2000/svg';

/** An empty chart element; draw() fills it. */
export function makeChart(width, height) {
  const svg = document.createElementNS(SVG_NS, 'svg');
  svg.setAttribute('class', 'chart');
  svg.setAttribute('width', String(width));
  svg.setAttribute('height', String(height));
  svg.setAttribute('viewBox', `0 0 ${width} ${height}`);
  svg.setAttribute('role', 'img');
  const line = document.createElementNS(SVG_NS, 'path');
  line.setAttribute('class', 'line');
  svg.append(line);
  return { svg, line, width, height };
}

/**
 * Redraws chart from series (which may be missing). The caption goes to the
 * accessible label only: the chart sits in cells whose text the page reads.
 */
export function draw(chart, series, now, { floor = null, caption = '' } = {}) {
  const samples = series ? series.samples() : [];
  const d = linePath(samples, { width: chart.width, height: chart.height, now, floor });
  if (chart.line.getAttribute('d') !== d) chart.line.setAttribute('d', d);
  chart.svg.dataset.samples = String(samples.length);
  if (chart.svg.getAttribute('aria-label') !== caption) chart.svg.setAttribute('aria-label', caption);
}
