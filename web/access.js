// Stream protection in the operator console: a per-stream editor for the
// SRT passphrases and the address allow-lists ("setStreamAccess"), the copy
// of an SRT URL with its passphrase (only on request: the service never
// reports a passphrase, so the operator types it), and the banner shown while
// the web password is still the default one. Server strings reach the page as
// text only.

const el = (tag, attrs = {}, ...children) => {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v === true ? '' : String(v));
  }
  for (const c of children.flat()) {
    if (c === undefined || c === null || c === false) continue;
    e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return e;
};

const listText = (v) => (Array.isArray(v) ? v.map(String).join('\n') : '');
const parseList = (text) => text.split(/[\s,]+/).map((s) => s.trim()).filter(Boolean);

/** What protects a stream, in a few words. */
export function accessSummary(access) {
  if (!access || typeof access !== 'object') return 'open';
  const parts = [];
  if (access.publishPassphraseSet) parts.push('publish passphrase');
  if (access.readPassphraseSet) parts.push('read passphrase');
  if (Array.isArray(access.inputAllow) && access.inputAllow.length) parts.push(`inputs: ${access.inputAllow.join(', ')}`);
  if (Array.isArray(access.outputAllow) && access.outputAllow.length) parts.push(`outputs: ${access.outputAllow.join(', ')}`);
  return parts.length ? parts.join('; ') : 'open';
}

/** The URL with the passphrase as one more query parameter. */
export function withPassphrase(url, passphrase) {
  return `${url}${url.includes('?') ? '&' : '?'}passphrase=${encodeURIComponent(passphrase)}`;
}

/**
 * The protection controls of one stream row. api(cmd, extra) sends one
 * authenticated command; copy(text, button) copies to the clipboard.
 */
export function makeAccessControls(id, { api, copy }) {
  const rec = { id, stream: null };
  rec.summary = el('span', { class: 'access-summary hint' });
  rec.toggle = el('button', { type: 'button', class: 'small', onclick: () => { rec.form.hidden = !rec.form.hidden; if (!rec.form.hidden) fill(); } }, 'Protection');
  const pass = (label) => {
    const input = el('input', { type: 'password', autocomplete: 'new-password', maxlength: '79' });
    const remove = el('input', { type: 'checkbox' });
    return { input, remove, row: el('label', {}, label, input, el('span', { class: 'check' }, remove, ' remove')) };
  };
  rec.pub = pass('Publish passphrase (SRT input)');
  rec.read = pass('Read passphrase (SRT output)');
  rec.inAllow = el('textarea', { rows: '2', placeholder: 'anyone (e.g. 10.0.0.0/8)' });
  rec.outAllow = el('textarea', { rows: '2', placeholder: 'anyone (e.g. 192.168.1.7)' });
  rec.msg = el('p', { class: 'msg', hidden: true });
  rec.copyIn = el('button', { type: 'button', class: 'small', onclick: () => copyUrl('sr_oxdp', rec.pub.input, rec.copyIn) }, 'Copy SRT input URL with passphrase');
  rec.copyOut = el('button', { type: 'button', class: 'small', onclick: () => copyUrl('st_oxdp', rec.read.input, rec.copyOut) }, 'Copy SRT output URL with passphrase');
  rec.form = el('form', { class: 'card access', hidden: true, onsubmit: (ev) => save(ev) },
    rec.msg, rec.pub.row, rec.read.row,
    el('p', { class: 'hint' }, 'A passphrase is 10 to 79 characters. Left empty it stays as it is.'),
    el('p', { class: 'hint passphrase-scope' },
      'The read passphrase guards the SRT output only: the TCP and oxlat outputs still serve anyone who can reach them. ' +
      'To limit those, fill in “Outputs allowed to” below. (Likewise the publish passphrase guards the SRT input only.)'),
    el('label', {}, 'Inputs allowed from (IPv4 addresses or ranges)', rec.inAllow),
    el('label', {}, 'Outputs allowed to (IPv4 addresses or ranges)', rec.outAllow),
    el('div', { class: 'buttons' }, el('button', { type: 'submit', class: 'primary small' }, 'Save protection'), ' ', rec.copyIn, ' ', rec.copyOut));
  rec.el = el('div', { class: 'access-controls' }, rec.summary, ' ', rec.toggle, rec.form);

  function say(text, kind) {
    rec.msg.textContent = text;
    rec.msg.className = `msg ${kind}`;
    rec.msg.hidden = !text;
  }

  function fill() {
    const a = (rec.stream && rec.stream.access) || {};
    rec.inAllow.value = listText(a.inputAllow);
    rec.outAllow.value = listText(a.outputAllow);
    for (const p of [rec.pub, rec.read]) {
      p.input.value = '';
      p.remove.checked = false;
    }
    rec.pub.input.placeholder = a.publishPassphraseSet ? 'set (unchanged)' : 'none';
    rec.read.input.placeholder = a.readPassphraseSet ? 'set (unchanged)' : 'none';
    say('', 'info');
  }

  function copyUrl(type, field, button) {
    const eps = [...(rec.stream?.inList || []), ...(rec.stream?.outList || [])];
    const ep = eps.find((e) => e && e.type === type && e.url);
    if (!ep) return say('This stream reports no SRT URL.', 'error');
    if (!field.value) return say('Type the passphrase above to copy it into the URL.', 'error');
    copy(withPassphrase(String(ep.url), field.value), button);
  }

  async function save(ev) {
    ev.preventDefault();
    const data = { inputAllow: parseList(rec.inAllow.value), outputAllow: parseList(rec.outAllow.value) };
    if (rec.pub.remove.checked) data.publishPassphrase = '';
    else if (rec.pub.input.value) data.publishPassphrase = rec.pub.input.value;
    if (rec.read.remove.checked) data.readPassphrase = '';
    else if (rec.read.input.value) data.readPassphrase = rec.read.input.value;
    try {
      const reply = await api('setStreamAccess', { id: rec.id, data });
      if (reply.result === 'success') say('Protection saved.', 'ok');
      else say(`Refused: ${reply.msg || JSON.stringify(reply)}`, 'error');
    } catch (err) {
      say(`Not saved: ${err.message}`, 'error');
    }
  }

  rec.update = (stream) => {
    rec.stream = stream;
    const text = accessSummary(stream.access);
    if (rec.summary.textContent !== text) rec.summary.textContent = text;
  };
  return rec;
}

/** Banner with a link to the password form while the web password is the default one. */
export async function showCredentialBanner(api) {
  document.getElementById('default-password-banner')?.remove();
  let reply;
  try {
    reply = await api('getAccessWarnings');
  } catch {
    return;
  }
  if (!reply?.data?.defaultWebPassword) return;
  const link = el('a', { href: '#settings', onclick: () => setTimeout(() => document.getElementById('pw-old')?.focus(), 0) }, 'Change it now');
  const banner = el('p', { id: 'default-password-banner', class: 'msg error', role: 'alert' },
    'The web password is still the default one: anyone who knows it can control this relay. ', link, '.');
  document.querySelector('main')?.prepend(banner);
}
