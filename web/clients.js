// Who is connected to a stream, and a way to cut one client off. Each stream
// row gets a "Clients" button that opens a small table of the stream's
// clients and publishers (from "getStreamClients"), refreshed while it is
// open, with a "Disconnect" button per client ("closeStreamClient"). The
// table code that turns a reply into rows is pure and tested without a browser.

/** How often an open list is fetched again. */
export const CLIENTS_REFRESH_MS = 2000;

const ENDPOINT_NAMES = {
  sr_tcp: 'TCP in', sr_oxdp: 'SRT in', sr_lat: 'oxlat in',
  st_tcp: 'TCP out', st_oxdp: 'SRT out', st_lat: 'oxlat out',
};

/** "address:port", with an IPv6 address in brackets, as closeStreamClient takes it. */
export function formatPeer(address, port) {
  const a = String(address ?? '');
  return `${a.includes(':') ? `[${a}]` : a}:${Number(port) || 0}`;
}

/** Bytes with a binary prefix. */
export function formatBytes(n) {
  let v = Number(n);
  if (!Number.isFinite(v) || v < 0) v = 0;
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let i = 0;
  while (v >= 1024 && i < units.length - 1) {
    v /= 1024;
    i++;
  }
  return i === 0 ? `${v} B` : `${v.toFixed(v < 10 ? 2 : 1)} ${units[i]}`;
}

/** The rows of a "streamClients" reply's data: one per client, inputs first. */
export function clientRows(data) {
  const rows = [];
  for (const [list, input] of [['inList', true], ['outList', false]]) {
    const eps = Array.isArray(data?.[list]) ? data[list] : [];
    for (const ep of eps) {
      if (!ep || typeof ep !== 'object') continue;
      const type = String(ep.type ?? '');
      for (const c of Array.isArray(ep.clients) ? ep.clients : []) {
        if (!c || typeof c !== 'object') continue;
        rows.push({
          type,
          endpoint: ENDPOINT_NAMES[type] || type,
          input,
          peer: formatPeer(c.address, c.port),
          since: Number(c.since) || 0,
          bytes: Number(input ? c.bytesReceived : c.bytesSent) || 0,
          queued: Number(c.bytesQueued) || 0,
          rtt: typeof c.rtt === 'number' ? c.rtt : null,
          loss: typeof c.loss === 'number' ? c.loss : null,
        });
      }
    }
  }
  return rows;
}

/**
 * Adds the "Clients" button to a stream row's actions and the list below its
 * endpoints. ctx: { api(cmd, extra), h(tag, attrs, ...children), actions, host, streamId() }.
 */
export function attachClients(ctx) {
  const { api, h } = ctx;
  const msg = h('p', { class: 'msg', role: 'status', hidden: true });
  const body = h('tbody');
  const table = h('table', { class: 'clients-list' },
    h('thead', {}, h('tr', {}, h('th', {}, 'Endpoint'), h('th', {}, 'Peer'), h('th', {}, 'Since'),
      h('th', {}, 'Bytes'), h('th', {}, 'Queued'), h('th', {}, 'RTT'), h('th', {}, 'Loss'), h('th', {}))),
    body);
  const empty = h('p', { class: 'hint' }, 'Nobody is connected.');
  const panel = h('div', { class: 'clients-panel', hidden: true }, msg, table, empty);
  let timer = 0;

  const showError = (text) => {
    msg.textContent = text;
    msg.className = 'msg error';
    msg.hidden = !text;
  };

  async function refresh() {
    if (panel.hidden) return;
    if (!panel.isConnected) {
      close();
      return;
    }
    let reply;
    try {
      reply = await api('getStreamClients', { id: ctx.streamId() });
    } catch (err) {
      showError(String(err?.message ?? err));
      return;
    }
    if ((reply.results ?? reply.result) !== 'success') {
      showError(String(reply.msg ?? 'The clients could not be listed.'));
      return;
    }
    showError('');
    const rows = clientRows(reply.data);
    body.replaceChildren(...rows.map((r) => h('tr', { dataset: { peer: r.peer, endpoint: r.type } },
      h('td', {}, r.endpoint),
      h('td', { class: 'mono' }, r.peer),
      h('td', {}, r.since ? new Date(r.since).toLocaleTimeString() : '—'),
      h('td', { class: 'num' }, formatBytes(r.bytes)),
      h('td', { class: 'num' }, formatBytes(r.queued)),
      h('td', { class: 'num' }, r.rtt === null ? '—' : `${r.rtt.toFixed(1)} ms`),
      h('td', { class: 'num' }, r.loss === null ? '—' : String(r.loss)),
      h('td', {}, h('button', { type: 'button', class: 'small danger', onclick: () => disconnect(r) }, 'Disconnect')))));
    table.hidden = rows.length === 0;
    empty.hidden = rows.length > 0;
  }

  async function disconnect(r) {
    try {
      const reply = await api('closeStreamClient', { id: ctx.streamId(), endpoint: r.type, peer: r.peer });
      if ((reply.results ?? reply.result) !== 'success') showError(`${r.peer}: ${reply.msg ?? 'not closed'}`);
    } catch (err) {
      showError(String(err?.message ?? err));
    }
    // The endpoint closes it on its own thread, right after the reply.
    setTimeout(refresh, 300);
  }

  function open() {
    panel.hidden = false;
    button.setAttribute('aria-expanded', 'true');
    refresh();
    timer = setInterval(refresh, CLIENTS_REFRESH_MS);
  }

  function close() {
    panel.hidden = true;
    button.setAttribute('aria-expanded', 'false');
    clearInterval(timer);
    timer = 0;
  }

  const button = h('button', { type: 'button', class: 'small', 'aria-expanded': 'false',
    onclick: () => (panel.hidden ? open() : close()) }, 'Clients');
  ctx.actions.append(' ', button);
  ctx.host.append(panel);
  return { button, panel, refresh };
}
