// Operator console of oxnode. Talks to the JSON API on "/api/post" of the same
// origin. Server strings only ever reach the page as text nodes.
import { md5Hex } from './md5.js';
import { formatBitRate, formatDuration } from './format.js';
import { SeriesSet, draw, inWindow, makeChart } from './chart.js';
import { attachClients } from './clients.js';
import { makeAccessControls, showCredentialBanner } from './access.js';

const API = '/api/post';
const REFRESH_MS = 1000;
const TOKEN_KEY = 'oxnode.token';
const MAX_STREAM_ID = 99;

// ---------------------------------------------------------------- helpers

const $ = (id) => document.getElementById(id);

/** Element builder: strings and numbers become text nodes, never markup. */
function h(tag, attrs = {}, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') el.className = v;
    else if (k === 'dataset') Object.assign(el.dataset, v);
    else if (k.startsWith('on')) el.addEventListener(k.slice(2), v);
    else el.setAttribute(k, v === true ? '' : String(v));
  }
  append(el, children);
  return el;
}

function append(el, children) {
  for (const c of children.flat(Infinity)) {
    if (c === undefined || c === null || c === false) continue;
    el.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
}

function setText(el, text) {
  const t = String(text ?? '');
  if (el.textContent !== t) el.textContent = t;
}

function showMsg(el, text, kind = 'info') {
  if (!text) {
    el.hidden = true;
    el.textContent = '';
    return;
  }
  el.textContent = text;
  el.className = `msg ${kind}`;
  el.hidden = false;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const yesNo = (b) => (b ? 'yes' : 'no');

/** Outcome of a reply: the service uses "result" in some replies, "results" in others. */
const outcome = (reply) => reply.results ?? reply.result;

// ---------------------------------------------------------------- API

class SessionEnded extends Error {}

let token = sessionStorage.getItem(TOKEN_KEY) || '';

async function post(body) {
  const res = await fetch(API, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
    cache: 'no-store',
  });
  const text = await res.text();
  try {
    return JSON.parse(text);
  } catch {
    throw new Error(`unreadable reply (HTTP ${res.status})`);
  }
}

/** One authenticated command. A "logout" reply ends the session everywhere in the page. */
async function api(cmd, extra = {}) {
  if (!token) throw new SessionEnded('Token Error!');
  const reply = await post({ ...extra, cmd, token });
  if (reply && reply.cmd === 'logout') {
    endSession(loginMessageFor(reply.msg || 'Token Error!'));
    throw new SessionEnded(reply.msg);
  }
  setConnState('');
  return reply || {};
}

function setConnState(problem) {
  const el = $('conn-state');
  if (problem) {
    el.textContent = `Cannot reach oxnode: ${problem}`;
    el.hidden = false;
  } else if (!el.hidden) {
    el.hidden = true;
  }
}

/** Reports an error of a background request; session ends are handled already. */
function backgroundError(err) {
  if (err instanceof SessionEnded) return;
  setConnState(err.message || String(err));
}

// ---------------------------------------------------------------- session

function loginMessageFor(msg) {
  if (msg === 'Timeout! please retry!') {
    return `Your session has ended (${msg}). It timed out, the password was changed or the service restarted. Please log in again.`;
  }
  if (msg === 'Token Error!') return `You are not logged in (${msg}). Please log in.`;
  return msg ? `Please log in again (${msg}).` : '';
}

function endSession(message, kind = 'error') {
  token = '';
  sessionStorage.removeItem(TOKEN_KEY);
  stopRefresh();
  showLogin(message, kind);
}

function showLogin(message, kind = 'error') {
  for (const v of document.querySelectorAll('.view')) v.hidden = v.id !== 'login-view';
  $('tabs').hidden = true;
  $('logout').hidden = true;
  setConnState('');
  showMsg($('login-msg'), message, kind);
  $('login-pass').value = '';
  (($('login-user').value && $('login-pass')) || $('login-user')).focus();
}

async function onLogin(ev) {
  ev.preventDefault();
  const user = $('login-user').value;
  const passMd5 = md5Hex($('login-pass').value);
  const button = ev.submitter || $('login-form').querySelector('button');
  button.disabled = true;
  try {
    const reply = await post({ cmd: 'login', user, passMd5 });
    if (reply.cmd === 'setToken' && typeof reply.token === 'string' && reply.token) {
      token = reply.token;
      sessionStorage.setItem(TOKEN_KEY, token);
      showMsg($('login-msg'), '');
      enterConsole();
    } else if (reply.msg === 'Token Error!') {
      showMsg($('login-msg'), `Wrong user name or password (${reply.msg}).`, 'error');
      $('login-pass').select();
    } else {
      showMsg($('login-msg'), `Login refused: ${reply.msg || JSON.stringify(reply)}`, 'error');
    }
  } catch (err) {
    showMsg($('login-msg'), `Cannot reach oxnode: ${err.message}`, 'error');
  } finally {
    button.disabled = false;
  }
}

function enterConsole() {
  $('tabs').hidden = false;
  $('logout').hidden = false;
  showTab(location.hash.slice(1) || 'streams');
  showCredentialBanner(api);
}

// ---------------------------------------------------------------- tabs and refresh

const tabs = {
  streams: { view: 'streams-view', refresh: () => refreshStreams() },
  nodes: { view: 'nodes-view', refresh: () => refreshNodes() },
  settings: { view: 'settings-view', refresh: null, enter: () => loadSettings() },
};
let currentTab = '';
let refreshTimer = 0;
let refreshGen = 0;

function showTab(name) {
  if (!tabs[name]) name = 'streams';
  currentTab = name;
  if (location.hash !== `#${name}`) history.replaceState(null, '', `#${name}`);
  for (const v of document.querySelectorAll('.view')) v.hidden = v.id !== tabs[name].view;
  for (const b of document.querySelectorAll('.tab')) b.classList.toggle('active', b.dataset.tab === name);
  stopRefresh();
  tabs[name].enter?.();
  if (tabs[name].refresh) startRefresh(tabs[name].refresh);
}

/** Runs fn now and then one second after each run ends, so slow replies never pile up. */
function startRefresh(fn) {
  const gen = ++refreshGen;
  const tick = async () => {
    try {
      await fn();
    } catch (err) {
      backgroundError(err);
    }
    if (gen === refreshGen && token) refreshTimer = setTimeout(tick, REFRESH_MS);
  };
  tick();
}

function stopRefresh() {
  refreshGen++;
  clearTimeout(refreshTimer);
}

// ---------------------------------------------------------------- dialog

/** Modal confirmation or text prompt; resolves to null when cancelled. */
function ask({ title, text, okLabel = 'OK', danger = false, input = null }) {
  const dlg = $('dialog');
  setText($('dialog-title'), title);
  setText($('dialog-text'), text);
  const field = $('dialog-input');
  field.hidden = input === null;
  field.required = input !== null;
  field.value = input ?? '';
  const ok = $('dialog-ok');
  ok.textContent = okLabel;
  ok.className = danger ? 'danger' : 'primary';
  return new Promise((resolve) => {
    dlg.addEventListener(
      'close',
      () => {
        if (dlg.returnValue !== 'ok') resolve(null);
        else resolve(input === null ? true : field.value.trim());
      },
      { once: true },
    );
    dlg.returnValue = '';
    dlg.showModal();
    if (input !== null) field.select();
  });
}

// ---------------------------------------------------------------- streams

const ENDPOINT_LABELS = {
  sr_tcp: 'TCP in',
  sr_oxdp: 'SRT in',
  sr_lat: 'oxlat in',
  st_tcp: 'TCP out',
  st_oxdp: 'SRT out',
  st_lat: 'oxlat out',
  sr_pull: 'Pull in',
};

let lastStreams = [];
const streamRows = new Map(); // stream id -> row record
const rateSeries = new SeriesSet(); // stream id -> bit rate samples

function lowestFreeId(streams) {
  const used = new Set(streams.map((s) => s.id));
  for (let i = 0; i <= MAX_STREAM_ID; i++) if (!used.has(i)) return i;
  return -1;
}

/** Link state of an endpoint, from whichever key its type reports. */
function endpointState(ep) {
  const type = String(ep.type || '');
  if (type === 'sr_pull' && window.oxnodePull) return window.oxnodePull.state(ep);
  if (type.endsWith('_oxdp')) return ep.srtReady ? ['connected', 'up'] : ['waiting', 'idle'];
  if (type === 'sr_lat') {
    if (!('ready' in ep)) return ['no session', 'idle'];
    return ep.ready ? ['ready', 'up'] : ['not ready', 'idle'];
  }
  if ('linkStatus' in ep) return ep.linkStatus ? ['connected', 'up'] : ['idle', 'idle'];
  if ('ready' in ep) return ep.ready ? ['ready', 'up'] : ['not ready', 'idle'];
  return ['—', 'idle'];
}

const num = (v, digits = 0) => (typeof v === 'number' ? v.toFixed(digits) : '—');

/** The SRT or oxlat figures of an endpoint as one line of text. */
function endpointFigures(ep) {
  const type = String(ep.type || '');
  if (type === 'sr_pull') return window.oxnodePull ? window.oxnodePull.figures(ep) : '';
  if (type.endsWith('_oxdp')) {
    return `RTT ${num(ep.rtt, 1)} ms · lost ${num(ep.pktLoss)} · dropped ${num(ep.pktDrop)} · ` +
      `link ${num(ep.band, 1)} Mbit/s · used ${num(ep.banduse, 2)} Mbit/s`;
  }
  if (type.endsWith('_lat')) {
    if (!('rtt' in ep)) return '';
    return `RTT ${num(ep.rtt)} ms · RTO ${num(ep.rto)} ms · resent ${num(ep.resnd)} · queue ${num(ep.queue)} · ` +
      `tx ${num(ep.txBand)} kbit/s · rx ${num(ep.rxBand)} kbit/s`;
  }
  return '';
}

async function copyText(text, button) {
  let ok = false;
  try {
    await navigator.clipboard.writeText(text);
    ok = true;
  } catch {
    // Plain http on a LAN address is no secure context: fall back to a selection copy.
    const ta = h('textarea', { readonly: true, class: 'offscreen' });
    ta.value = text;
    document.body.append(ta);
    ta.select();
    try {
      ok = document.execCommand('copy');
    } catch {
      ok = false;
    }
    ta.remove();
  }
  const old = button.dataset.label || button.textContent;
  button.dataset.label = old;
  button.textContent = ok ? 'Copied' : 'Copy failed';
  setTimeout(() => {
    button.textContent = old;
  }, 1500);
}

function makeEndpointRow() {
  const rec = {};
  rec.type = h('td', { class: 'ep-type' });
  rec.url = h('code', { class: 'url' });
  rec.copy = h('button', { type: 'button', class: 'small copy', title: 'Copy URL', onclick: () => copyText(rec.url.textContent, rec.copy) }, 'Copy');
  rec.state = h('span', { class: 'badge' });
  rec.clients = h('span', { class: 'clients' });
  rec.figures = h('td', { class: 'figures' });
  rec.tr = h('tr', {}, rec.type, h('td', { class: 'url-cell' }, rec.url, ' ', rec.copy), h('td', { class: 'state' }, rec.state, rec.clients), rec.figures);
  return rec;
}

function updateEndpointRow(rec, ep) {
  const type = String(ep.type ?? '');
  setText(rec.type, ENDPOINT_LABELS[type] || type || '?');
  rec.type.title = `${type} ${ep.name ?? ''}`.trim();
  setText(rec.url, ep.url ?? '');
  rec.copy.hidden = !ep.url;
  const [label, cls] = endpointState(ep);
  setText(rec.state, label);
  rec.state.className = `badge ${cls}`;
  const n = clientCount(ep);
  setText(rec.clients, n === null ? '' : `${n} ${n === 1 ? 'client' : 'clients'}`);
  rec.clients.hidden = n === null;
  setText(rec.figures, endpointFigures(ep));
}

/** Clients of an endpoint as it reports them, or null when it reports no count. */
function clientCount(ep) {
  const n = ep.clientCount;
  return typeof n === 'number' && Number.isInteger(n) && n >= 0 ? n : null;
}

function makeStreamRow(id) {
  const rec = { id, endpoints: [] };
  rec.idCell = h('td', { class: 'num' });
  rec.nameCell = h('td', { class: 'name' });
  rec.rateText = h('span');
  rec.rateChart = makeChart(160, 32);
  rec.rateCell = h('td', { class: 'num rate' }, rec.rateText, rec.rateChart.svg);
  rec.epBody = h('tbody');
  rec.epTable = h('table', { class: 'endpoints' }, rec.epBody);
  rec.renameBtn = h('button', { type: 'button', class: 'small', onclick: () => renameStream(rec.id) }, 'Rename');
  rec.deleteBtn = h('button', { type: 'button', class: 'small danger', onclick: () => deleteStream(rec.id) }, 'Delete');
  rec.pullBtn = window.oxnodePull ? window.oxnodePull.button(() => rec.id, {
    api, ask, showMsg, msg: () => $('streams-msg'), streams: () => lastStreams, refresh: refreshStreams,
    isSessionEnd: (err) => err instanceof SessionEnded,
  }) : '';
  rec.publish = window.oxnodePublish ? window.oxnodePublish.controls(() => rec.id, {
    api, ask, showMsg, msg: () => $('streams-msg'), streams: () => lastStreams, refresh: refreshStreams,
    isSessionEnd: (err) => err instanceof SessionEnded,
  }) : null;
  rec.access = makeAccessControls(id, { api, copy: copyText });
  const epCell = h('td', {}, rec.epTable, rec.access.el, rec.publish ? rec.publish.line : '');
  const publishBtns = rec.publish ? rec.publish.buttons.flatMap((b) => [b, ' ']) : [];
  const actions = h('td', { class: 'actions' }, rec.renameBtn, ' ', rec.pullBtn, ' ', ...publishBtns, rec.deleteBtn);
  rec.tr = h('tr', { class: 'stream', dataset: { id: String(id) } },
    rec.idCell, rec.nameCell, rec.rateCell, epCell, actions);
  rec.clients = attachClients({ api, h, actions, host: epCell, streamId: () => rec.id });
  return rec;
}

function renderStreams(streams) {
  const body = $('streams-table').querySelector('tbody');
  const now = performance.now();
  const seen = new Set();
  let prev = null;
  for (const s of streams) {
    const id = s.id;
    seen.add(id);
    let rec = streamRows.get(id);
    if (!rec) {
      rec = makeStreamRow(id);
      streamRows.set(id, rec);
    }
    setText(rec.idCell, id);
    setText(rec.nameCell, s.name ?? '');
    rec.access.update(s);
    if (rec.publish) rec.publish.update(s);
    setText(rec.rateText, formatBitRate(s.bitRate));
    rec.rateCell.title = `${Number(s.bitRate) || 0} bytes/s`;
    const series = rateSeries.get(id);
    const peak = Math.max(0, ...inWindow(series ? series.samples() : [], now).map(([, v]) => v));
    draw(rec.rateChart, series, now, { floor: 0, caption: `Bit rate over the last 5 minutes, peak ${formatBitRate(peak)}` });
    const eps = [...(Array.isArray(s.inList) ? s.inList : []), ...(Array.isArray(s.outList) ? s.outList : [])];
    while (rec.endpoints.length < eps.length) {
      const er = makeEndpointRow();
      rec.endpoints.push(er);
      rec.epBody.append(er.tr);
    }
    while (rec.endpoints.length > eps.length) rec.endpoints.pop().tr.remove();
    eps.forEach((ep, i) => updateEndpointRow(rec.endpoints[i], ep && typeof ep === 'object' ? ep : {}));
    // Keep the service's order without re-inserting rows that are in place.
    const want = prev ? prev.nextSibling : body.firstChild;
    if (want !== rec.tr) body.insertBefore(rec.tr, want);
    prev = rec.tr;
  }
  for (const [id, rec] of streamRows) {
    if (!seen.has(id)) {
      rec.tr.remove();
      streamRows.delete(id);
    }
  }
  rateSeries.retain(seen);
  $('streams-empty').hidden = streams.length > 0;
  const free = lowestFreeId(streams);
  setText($('next-id'), free < 0 ? 'All stream IDs 0–99 are in use.' : `A new stream gets ID ${free}.`);
  $('create-form').querySelector('button').disabled = free < 0;
  $('serverip-hint').hidden = !streams.some((s) =>
    [...(s.inList || []), ...(s.outList || [])].some((ep) => /^[a-z]+:\/\/:/.test(String(ep?.url ?? ''))));
}

async function fetchStreams() {
  const reply = await api('getStreamList');
  const list = Array.isArray(reply.data) ? reply.data : [];
  lastStreams = list.filter((s) => s && typeof s === 'object');
  return lastStreams;
}

/** Bytes per second of a stream as a chart sample. */
const rateSample = (s) => Math.max(0, Number(s.bitRate) || 0);

/** The regular poll: the only place samples are taken, so they come about once a second. */
async function refreshStreams() {
  const list = await fetchStreams();
  const now = performance.now();
  for (const s of list) rateSeries.record(s.id, now, rateSample(s));
  renderStreams(list);
}

/** Polls the stream list until pred holds (creation and deletion happen after the reply). */
async function waitForStreams(pred, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const list = await fetchStreams();
    const hit = pred(list);
    if (hit || Date.now() > deadline) {
      renderStreams(list);
      return hit;
    }
    await sleep(200);
  }
}

async function onCreate(ev) {
  ev.preventDefault();
  const input = $('create-name');
  const name = input.value.trim();
  const msg = $('streams-msg');
  showMsg(msg, '');
  if (!name) {
    showMsg(msg, 'Enter a name for the new stream.', 'error');
    return;
  }
  try {
    const before = new Set((await fetchStreams()).map((s) => s.id));
    await api('newStreamServer', { data: { newName: name } });
    const created = await waitForStreams((list) => list.find((s) => !before.has(s.id) && s.name === name));
    if (created) {
      input.value = '';
      const n = created.id;
      showMsg(msg, `Created stream “${name}” with ID ${n}: inputs on port ${8010 + 20 * n} (TCP, SRT) and ${8011 + 20 * n} (oxlat), outputs on ${8020 + 20 * n} and ${8021 + 20 * n}.`, 'ok');
    } else {
      showMsg(msg, `The service did not create “${name}” (no free stream ID 0–99?).`, 'error');
    }
  } catch (err) {
    if (!(err instanceof SessionEnded)) showMsg(msg, `Create failed: ${err.message}`, 'error');
  }
}

async function renameStream(id) {
  const s = lastStreams.find((x) => x.id === id);
  const newName = await ask({
    title: `Rename stream ${id}`,
    text: 'New name (the endpoints keep their old names until oxnode restarts):',
    input: s?.name ?? '',
    okLabel: 'Rename',
  });
  if (newName === null) return;
  const msg = $('streams-msg');
  showMsg(msg, '');
  if (!newName) {
    showMsg(msg, 'A stream name cannot be empty.', 'error');
    return;
  }
  try {
    await api('renameStreamServer', { data: { id, newName } });
    const ok = await waitForStreams((list) => list.some((x) => x.id === id && x.name === newName), 3000);
    showMsg(msg, ok ? `Stream ${id} is now called “${newName}”.` : `Stream ${id} was not renamed.`, ok ? 'ok' : 'error');
  } catch (err) {
    if (!(err instanceof SessionEnded)) showMsg(msg, `Rename failed: ${err.message}`, 'error');
  }
}

async function deleteStream(id) {
  const s = lastStreams.find((x) => x.id === id);
  const yes = await ask({
    title: `Delete stream ${id}?`,
    text: `Stream ${id} “${s?.name ?? ''}” will be stopped and removed; its six endpoints close and every connected client is cut off.`,
    okLabel: 'Delete',
    danger: true,
  });
  if (!yes) return;
  const msg = $('streams-msg');
  showMsg(msg, '');
  try {
    await api('deleteStreamServer', { data: { streamID: id } });
    const gone = await waitForStreams((list) => !list.some((x) => x.id === id));
    showMsg(msg, gone ? `Deleted stream ${id}.` : `Stream ${id} is still there.`, gone ? 'ok' : 'error');
  } catch (err) {
    if (!(err instanceof SessionEnded)) showMsg(msg, `Delete failed: ${err.message}`, 'error');
  }
}

// ---------------------------------------------------------------- nodes

const nodeRows = new Map(); // serial -> row record
const temperatureSeries = new SeriesSet(); // serial -> temperature samples
let detailsSn = '';

function makeNodeRow(sn) {
  const rec = { sn, cells: {} };
  const keys = ['sn', 'id', 'alias', 'online', 'workMode', 'temperature', 'runtime', 'mainIp', 'loginToServer'];
  for (const k of keys) rec.cells[k] = h('td', { class: `c-${k}` });
  rec.onlineBadge = h('span', { class: 'badge' });
  rec.cells.online.append(rec.onlineBadge);
  rec.temperatureText = h('span');
  rec.temperatureChart = makeChart(120, 24);
  rec.cells.temperature.append(rec.temperatureText, rec.temperatureChart.svg);
  rec.detailsBtn = h('button', { type: 'button', class: 'small', onclick: () => openDetails(rec.sn) }, 'Details');
  rec.tr = h('tr', { class: 'node', dataset: { sn } }, keys.map((k) => rec.cells[k]), h('td', {}, rec.detailsBtn));
  return rec;
}

function renderNodes(nodes) {
  const body = $('nodes-table').querySelector('tbody');
  const seen = new Set();
  let prev = null;
  const options = [];
  const now = performance.now();
  for (const n of nodes) {
    const sn = String(n.sn ?? '');
    if (seen.has(sn)) continue;
    seen.add(sn);
    let rec = nodeRows.get(sn);
    if (!rec) {
      rec = makeNodeRow(sn);
      nodeRows.set(sn, rec);
    }
    setText(rec.cells.sn, sn);
    setText(rec.cells.id, n.id ?? '');
    setText(rec.cells.alias, n.alias ?? '');
    setText(rec.onlineBadge, n.online ? 'online' : 'offline');
    rec.onlineBadge.className = `badge ${n.online ? 'up' : 'down'}`;
    setText(rec.cells.workMode, n.workMode ?? '');
    setText(rec.temperatureText, `${Number(n.temperature) || 0} °C`);
    // An offline node's temperature is its last report, not a reading: leave a gap.
    const temperature = Number(n.temperature);
    if (n.online && Number.isFinite(temperature)) temperatureSeries.record(sn, now, temperature);
    const series = temperatureSeries.get(sn);
    const shown = inWindow(series ? series.samples() : [], now).map(([, v]) => v);
    const caption = shown.length
      ? `Temperature over the last 5 minutes, ${Math.min(...shown)} to ${Math.max(...shown)} °C`
      : 'Temperature over the last 5 minutes, no reading';
    draw(rec.temperatureChart, series, now, { caption });
    setText(rec.cells.runtime, formatDuration(n.runtime));
    rec.cells.runtime.title = `${Number(n.runtime) || 0} s`;
    setText(rec.cells.mainIp, n.mainIp ?? '');
    setText(rec.cells.loginToServer, yesNo(n.loginToServer));
    rec.tr.classList.toggle('selected', sn === detailsSn);
    const want = prev ? prev.nextSibling : body.firstChild;
    if (want !== rec.tr) body.insertBefore(rec.tr, want);
    prev = rec.tr;
    options.push(h('option', { value: sn }, n.alias ? `${n.alias}` : ''));
  }
  for (const [sn, rec] of nodeRows) {
    if (!seen.has(sn)) {
      rec.tr.remove();
      nodeRows.delete(sn);
    }
  }
  temperatureSeries.retain(seen);
  $('nodes-empty').hidden = nodes.length > 0;
  const dl = $('cmd-sn-list');
  const optKey = options.map((o) => o.value + '\u0000' + o.textContent).join('\u0001');
  if (dl.dataset.key !== optKey) {
    dl.dataset.key = optKey;
    dl.replaceChildren(...options);
  }
}

/** Any JSON value as a readable element: objects as tables, arrays as lists. */
function renderValue(v) {
  if (v === null || v === undefined) return h('span', { class: 'hint' }, '—');
  if (Array.isArray(v)) {
    if (v.length === 0) return h('span', { class: 'hint' }, 'none');
    if (v.every((x) => x && typeof x === 'object' && !Array.isArray(x))) {
      // Identifying columns first, the rest in the order the service sent them.
      const first = ['id', 'name', 'type'];
      const keys = [...new Set(v.flatMap((x) => Object.keys(x)))];
      const cols = [...first.filter((k) => keys.includes(k)), ...keys.filter((k) => !first.includes(k))];
      return h('table', { class: 'grid inner' },
        h('thead', {}, h('tr', {}, cols.map((c) => h('th', {}, c)))),
        h('tbody', {}, v.map((x) => h('tr', {}, cols.map((c) => h('td', {}, c in x ? renderValue(x[c]) : ''))))));
    }
    return h('ul', { class: 'plain' }, v.map((x) => h('li', {}, renderValue(x))));
  }
  if (typeof v === 'object') {
    const keys = Object.keys(v);
    if (keys.length === 0) return h('span', { class: 'hint' }, 'none');
    return h('dl', { class: 'fields' }, keys.map((k) => [h('dt', {}, k), h('dd', {}, renderValue(v[k]))]));
  }
  if (typeof v === 'boolean') return yesNo(v);
  return String(v);
}

function renderDetails(info) {
  setText($('node-details-sn'), info.sn ?? detailsSn);
  const fields = [
    ['ID', info.id],
    ['Alias', info.alias],
    ['Online', yesNo(info.online)],
    ['Version', info.version],
    ['Server', info.server],
    ['Login to server', yesNo(info.loginToServer)],
    ['Main IP', info.mainIp],
    ['Work mode', info.workMode],
    ['Modes', Array.isArray(info.modeList) ? info.modeList.filter((m) => m !== '').join(', ') : ''],
    ['Temperature', `${Number(info.temperature) || 0} °C`],
    ['Run time', formatDuration(info.runtime)],
  ];
  // Rebuild only on change so a selection in the panel survives the refresh.
  const key = JSON.stringify(info);
  const panel = $('node-details');
  if (panel.dataset.key === key) return;
  panel.dataset.key = key;
  $('node-details-fields').replaceChildren(...fields.flatMap(([k, v]) => [h('dt', {}, k), h('dd', {}, v ?? '')]));
  $('node-network').replaceChildren(renderValue(info.network ?? {}));
  $('node-pipes').replaceChildren(renderValue(info.pipelist ?? []));
}

function openDetails(sn) {
  detailsSn = sn;
  const panel = $('node-details');
  panel.hidden = false;
  panel.dataset.key = '';
  showMsg($('node-details-msg'), '');
  for (const rec of nodeRows.values()) rec.tr.classList.toggle('selected', rec.sn === sn);
  $('cmd-sn').value = sn;
  refreshDetails().catch(backgroundError);
}

function closeDetails() {
  detailsSn = '';
  $('node-details').hidden = true;
  for (const rec of nodeRows.values()) rec.tr.classList.remove('selected');
}

async function refreshDetails() {
  if (!detailsSn) return;
  const sn = detailsSn;
  const reply = await api('getNodeInfo', { sn });
  if (sn !== detailsSn) return;
  if (reply.msg === 'not find devices' || !reply.data || Object.keys(reply.data).length === 0) {
    showMsg($('node-details-msg'), `The service knows no node with serial ${sn}.`, 'error');
    return;
  }
  showMsg($('node-details-msg'), '');
  renderDetails(reply.data);
}

// A fleet can be tens of thousands of nodes: the view asks for one page
// that matches the filters, and for the counts of the whole fleet.
const NODE_PAGE = 100;
let nodeOffset = 0;

function nodeFilters() {
  const f = {};
  const match = $('nodes-match').value.trim();
  if (match) f.match = match;
  const online = $('nodes-online').value;
  if (online) f.online = online === 'true';
  const workMode = $('nodes-workmode').value.trim();
  if (workMode) f.workMode = workMode;
  return f;
}

function countsText(counts) {
  const entries = Object.entries(counts && typeof counts === 'object' ? counts : {}).sort((a, b) => b[1] - a[1]);
  return entries.map(([k, n]) => `${k || '(none)'} ${n}`).join(', ');
}

function renderNodeSummary(s) {
  const online = Number(s.online) || 0;
  const offline = Number(s.offline) || 0;
  const parts = [`${online} online, ${offline} offline`];
  if (online + offline > 0) {
    parts.push(`work modes: ${countsText(s.byWorkMode)}`, `versions: ${countsText(s.byVersion)}`);
    const hottest = (Array.isArray(s.hottest) ? s.hottest : []).slice(0, 3);
    if (hottest.length) parts.push(`hottest: ${hottest.map((n) => `${n.sn} ${Number(n.temperature) || 0} °C`).join(', ')}`);
  }
  setText($('nodes-summary'), parts.join(' · '));
  return online + offline;
}

async function refreshNodes() {
  const [reply, summary] = await Promise.all([
    api('getNodeList', { ...nodeFilters(), offset: nodeOffset, limit: NODE_PAGE }),
    api('getNodeSummary'),
  ]);
  const total = Number(reply.total) || 0;
  if (nodeOffset > 0 && nodeOffset >= total) {
    // The fleet shrank under the page: show its last page.
    nodeOffset = Math.max(0, Math.floor((total - 1) / NODE_PAGE) * NODE_PAGE);
    return refreshNodes();
  }
  const nodes = Array.isArray(reply.data) ? reply.data.filter((n) => n && typeof n === 'object') : [];
  renderNodes(nodes);
  const fleet = renderNodeSummary(summary.data && typeof summary.data === 'object' ? summary.data : {});
  setText($('nodes-empty'), fleet > 0 ? 'No node matches the filters.' : 'No node has reported yet.');
  $('nodes-pager').hidden = total <= NODE_PAGE;
  setText($('nodes-range'), nodes.length ? `${nodeOffset + 1}–${nodeOffset + nodes.length} of ${total}` : '');
  $('nodes-prev').disabled = nodeOffset === 0;
  $('nodes-next').disabled = nodeOffset + NODE_PAGE >= total;
  await refreshDetails();
}

function onNodeFilter() {
  nodeOffset = 0;
  clearTimeout(onNodeFilter.timer);
  onNodeFilter.timer = setTimeout(() => refreshNodes().catch(backgroundError), 250);
}

function onNodePage(step) {
  nodeOffset = Math.max(0, nodeOffset + step * NODE_PAGE);
  refreshNodes().catch(backgroundError);
}

async function onSendCommand(ev) {
  ev.preventDefault();
  const msg = $('cmd-msg');
  const out = $('cmd-reply');
  out.hidden = true;
  const sn = $('cmd-sn').value.trim();
  const cmd = $('cmd-name').value.trim();
  const dataText = $('cmd-data').value.trim();
  const body = { sn };
  if (dataText) {
    let data;
    try {
      data = JSON.parse(dataText);
    } catch (err) {
      showMsg(msg, `Data is not valid JSON: ${err.message}`, 'error');
      return;
    }
    if (!data || typeof data !== 'object' || Array.isArray(data)) {
      showMsg(msg, 'Data must be a JSON object.', 'error');
      return;
    }
    body.data = data;
  }
  if (!sn || !cmd) {
    showMsg(msg, 'Serial and command are required.', 'error');
    return;
  }
  if (!nodeRows.has(sn)) {
    showMsg(msg, `No node with serial ${sn} is known; the service drops the command.`, 'error');
    return;
  }
  try {
    const reply = await api(cmd, body);
    showMsg(msg, `Sent “${cmd}” to ${sn}. Reply:`, 'ok');
    out.textContent = JSON.stringify(reply, null, 2);
    out.hidden = false;
  } catch (err) {
    if (!(err instanceof SessionEnded)) showMsg(msg, `Send failed: ${err.message}`, 'error');
  }
}

// ---------------------------------------------------------------- settings

let loadedSettings = null;

async function loadSettings() {
  try {
    const reply = await api('getSystemSet');
    const s = reply.data && typeof reply.data === 'object' ? reply.data : {};
    loadedSettings = s;
    setText($('set-username'), s.username ?? '');
    setText($('set-nicname'), s.nicName || '—');
    $('set-serverip').value = s.serverIP ?? '';
    $('set-webport').value = s.webPort ?? '';
    $('set-localdev').checked = !!s.localDevCfg;
    return s;
  } catch (err) {
    if (!(err instanceof SessionEnded)) showMsg($('settings-msg'), `Cannot read the settings: ${err.message}`, 'error');
    return null;
  }
}

async function onSaveSettings(ev) {
  ev.preventDefault();
  const msg = $('settings-msg');
  showMsg(msg, '');
  const serverIP = $('set-serverip').value.trim();
  const webPort = Number($('set-webport').value);
  const localDevCfg = $('set-localdev').checked;
  if (!serverIP) {
    showMsg(msg, 'The server address cannot be empty.', 'error');
    return;
  }
  if (!Number.isInteger(webPort) || webPort < 80 || webPort > 65530) {
    showMsg(msg, 'The web port must be a whole number from 80 to 65530.', 'error');
    return;
  }
  if (webPort === 8000 || (webPort >= 8010 && webPort <= 10021)) {
    showMsg(msg, 'Ports 8000 and 8010 to 10021 are used by oxnode itself.', 'error');
    return;
  }
  const oldPort = loadedSettings?.webPort;
  try {
    await api('setSystemSet', { data: { serverIP, webPort, localDevCfg } });
    // The reply is {} either way: read the settings back to see what was taken.
    const s = await loadSettings();
    if (!s) return;
    if (s.serverIP === serverIP && s.webPort === webPort && !!s.localDevCfg === localDevCfg) {
      const portNote = webPort !== oldPort ? ` The web port ${webPort} applies at the next start of oxnode.` : '';
      showMsg(msg, `Settings saved.${portNote}`, 'ok');
    } else {
      showMsg(msg, 'The service did not accept the settings.', 'error');
    }
  } catch (err) {
    if (!(err instanceof SessionEnded)) showMsg(msg, `Saving failed: ${err.message}`, 'error');
  }
}

async function onChangePassword(ev) {
  ev.preventDefault();
  const msg = $('password-msg');
  showMsg(msg, '');
  const oldPw = $('pw-old').value;
  const newPw = $('pw-new').value;
  if (newPw !== $('pw-new2').value) {
    showMsg(msg, 'The two new passwords differ.', 'error');
    return;
  }
  if (!newPw) {
    showMsg(msg, 'The new password cannot be empty.', 'error');
    return;
  }
  try {
    const reply = await api('setWebPassword', { old: md5Hex(oldPw), new: md5Hex(newPw) });
    if (outcome(reply) === 'success') {
      for (const id of ['pw-old', 'pw-new', 'pw-new2']) $(id).value = '';
      endSession('Password changed. Everyone has been logged out; log in with the new password.', 'ok');
    } else {
      showMsg(msg, `The old password is wrong (${reply.msg || 'failed'}).`, 'error');
      $('pw-old').select();
    }
  } catch (err) {
    if (!(err instanceof SessionEnded)) showMsg(msg, `Password change failed: ${err.message}`, 'error');
  }
}

// ---------------------------------------------------------------- start

function init() {
  $('login-form').addEventListener('submit', onLogin);
  $('create-form').addEventListener('submit', onCreate);
  $('node-cmd-form').addEventListener('submit', onSendCommand);
  $('nodes-filter').addEventListener('submit', (ev) => ev.preventDefault());
  for (const id of ['nodes-match', 'nodes-online', 'nodes-workmode']) $(id).addEventListener('input', onNodeFilter);
  $('nodes-prev').addEventListener('click', () => onNodePage(-1));
  $('nodes-next').addEventListener('click', () => onNodePage(1));
  $('node-details-close').addEventListener('click', closeDetails);
  $('settings-form').addEventListener('submit', onSaveSettings);
  $('password-form').addEventListener('submit', onChangePassword);
  $('logout').addEventListener('click', () => endSession('You have logged out.', 'info'));
  for (const b of document.querySelectorAll('.tab')) b.addEventListener('click', () => showTab(b.dataset.tab));
  window.addEventListener('hashchange', () => {
    if (token) showTab(location.hash.slice(1));
  });
  if (token) enterConsole();
  else showLogin('');
}

init();
