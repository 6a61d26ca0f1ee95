// Pull source of a stream in the console: the "Pull…" button of a stream row
// (set, change or remove the URL with "setStreamPull") and the figures of the
// pull input. app.js hands in what it shares (api, ask, showMsg, ...); server
// strings reach the page as text only.

const PULL_HINT =
  'oxdp://host:port?latency=20&passphrase=… (SRT caller) or oxtcp://host:port (TCP client), ' +
  'usually another oxnode\'s output port 8020 + 20·N. Leave empty to remove the pull source.';

// As long as the service accepts.
const MAX_URL = 1024;

const num = (v, digits = 0) => (typeof v === 'number' ? v.toFixed(digits) : '—');

/** The pull input's counters (and SRT figures) as one line of text. */
function figures(ep) {
  const bytes = typeof ep.bytesReceived === 'number' ? ep.bytesReceived : 0;
  let text = `received ${(bytes / 1e6).toFixed(1)} MB · reconnects ${num(ep.reconnects)}`;
  if ('rtt' in ep) {
    text += ` · RTT ${num(ep.rtt, 1)} ms · lost ${num(ep.pktLoss)} · dropped ${num(ep.pktDrop)} · ` +
      `used ${num(ep.banduse, 2)} Mbit/s`;
  }
  return text;
}

/** Badge text and class of the pull input. */
function state(ep) {
  const s = typeof ep.state === 'string' ? ep.state : (ep.linkStatus ? 'connected' : '—');
  return [s, s === 'connected' ? 'up' : 'idle'];
}

async function edit(id, ctx) {
  const s = ctx.streams().find((x) => x.id === id);
  // URLs with a passphrase run longer than the dialog's usual limit.
  const field = document.getElementById('dialog-input');
  const oldMax = field.maxLength;
  field.maxLength = MAX_URL;
  const asked = ctx.ask({
    title: `Pull source of stream ${id}`,
    text: PULL_HINT,
    input: typeof s?.pullUrl === 'string' ? s.pullUrl : '',
    okLabel: 'Save',
  });
  field.required = false; // empty removes the pull source
  const url = await asked;
  field.maxLength = oldMax;
  if (url === null) return;
  const msg = ctx.msg();
  ctx.showMsg(msg, '');
  try {
    const reply = await ctx.api('setStreamPull', { id, url });
    if (reply.results === 'success') {
      ctx.showMsg(msg, url ? `Stream ${id} pulls from ${url}.` : `Stream ${id} has no pull source now.`, 'ok');
    } else {
      ctx.showMsg(msg, `Pull source refused: ${reply.msg ?? 'no reason given'}`, 'error');
    }
    await ctx.refresh();
  } catch (err) {
    if (!ctx.isSessionEnd(err)) ctx.showMsg(msg, `Setting the pull source failed: ${err.message}`, 'error');
  }
}

/** The "Pull…" button of stream row id. */
function button(getId, ctx) {
  const b = document.createElement('button');
  b.type = 'button';
  b.className = 'small pull';
  b.textContent = 'Pull…';
  b.title = 'Set the pull source: this stream receives from another relay';
  b.addEventListener('click', () => edit(getId(), ctx));
  return b;
}

window.oxnodePull = { button, figures, state };
