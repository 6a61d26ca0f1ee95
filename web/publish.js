// Publish policy of a stream in the console: which input is live, a
// "Publish…" button that changes the policy ("setStreamPublish", the policy
// as JSON) and a "Switch" button that hands the stream to another publisher
// ("switchStreamPublisher"). app.js hands in what it shares (api, ask,
// showMsg, ...); server strings reach the page as text only.

const POLICY_HINT =
  'The policy as JSON: {"mode": "all" | "single" | "failover", "priority": ["sr_tcp", "sr_oxdp", "sr_lat", ' +
  '"sr_pull"], "lossMs": 500, "returnMs": 3000, "atKeyframe": true}. Keys left out take these defaults.';

const MAX_POLICY = 1024;

/** One line on the live publisher, or '' for a stream without a policy. */
function liveText(s) {
  const st = s && typeof s.publishState === 'object' && s.publishState ? s.publishState : null;
  const p = s && typeof s.publish === 'object' && s.publish ? s.publish : null;
  if (!st || !p) return '';
  const a = st.active && typeof st.active === 'object' ? st.active : null;
  let text = `${p.mode ?? '?'} · live: ${a ? `${a.input ?? '?'} ${a.address ?? ''}`.trim() : 'none'}`;
  text += ` · ${Number(st.switches) || 0} switches`;
  const last = st.lastSwitch && typeof st.lastSwitch === 'object' ? st.lastSwitch : null;
  if (last) text += ` · last: ${last.reason ?? ''} ${last.time ?? ''}`;
  return text;
}

async function run(ctx, action) {
  const msg = ctx.msg();
  ctx.showMsg(msg, '');
  try {
    await action(msg);
    await ctx.refresh();
  } catch (err) {
    if (!ctx.isSessionEnd(err)) ctx.showMsg(msg, `Request failed: ${err.message}`, 'error');
  }
}

async function edit(id, ctx) {
  const s = ctx.streams().find((x) => x.id === id);
  const field = document.getElementById('dialog-input');
  const oldMax = field.maxLength;
  field.maxLength = MAX_POLICY;
  const text = await ctx.ask({
    title: `Publish policy of stream ${id}`,
    text: POLICY_HINT,
    input: JSON.stringify(s && s.publish ? s.publish : { mode: 'single' }),
    okLabel: 'Save',
  });
  field.maxLength = oldMax;
  if (text === null) return;
  let data;
  try {
    data = JSON.parse(text);
  } catch (err) {
    ctx.showMsg(ctx.msg(), `Publish policy refused: not JSON (${err.message})`, 'error');
    return;
  }
  await run(ctx, async (msg) => {
    const reply = await ctx.api('setStreamPublish', { id, data });
    if (reply.results === 'success') ctx.showMsg(msg, `Stream ${id}: publish policy saved.`, 'ok');
    else ctx.showMsg(msg, `Publish policy refused: ${reply.msg ?? 'no reason given'}`, 'error');
  });
}

async function force(id, ctx) {
  await run(ctx, async (msg) => {
    const reply = await ctx.api('switchStreamPublisher', { id });
    if (reply.results === 'success') ctx.showMsg(msg, `Stream ${id}: the next publisher that sends takes over.`, 'ok');
    else ctx.showMsg(msg, `Switch refused: ${reply.msg ?? 'no reason given'}`, 'error');
  });
}

/** The controls of stream row id: { buttons, line, update(stream) }. */
function controls(getId, ctx) {
  const edit_ = document.createElement('button');
  edit_.type = 'button';
  edit_.className = 'small publish';
  edit_.textContent = 'Publish…';
  edit_.title = 'Who may publish: every publisher, one at a time, or failover by input';
  edit_.addEventListener('click', () => edit(getId(), ctx));
  const switch_ = document.createElement('button');
  switch_.type = 'button';
  switch_.className = 'small';
  switch_.textContent = 'Switch';
  switch_.title = 'Hand the stream to another publisher now';
  switch_.hidden = true;
  switch_.addEventListener('click', () => force(getId(), ctx));
  const line = document.createElement('div');
  line.className = 'publish-state';
  line.hidden = true;
  return {
    buttons: [edit_, switch_],
    line,
    update(s) {
      const text = liveText(s);
      line.textContent = text;
      line.hidden = !text;
      switch_.hidden = !s || !s.publish || s.publish.mode === 'all';
    },
  };
}

window.oxnodePublish = { controls, liveText };
