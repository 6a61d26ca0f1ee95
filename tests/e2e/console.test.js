// The operator console in headless Chromium against the real oxnode. Each test
// starts its own oxnode in a fresh working directory; the run happens in a
// private network namespace (run.sh), so the fixed ports never collide.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import {
  BASE_URL,
  SimNode,
  apiCall,
  browserUnavailableReason,
  launchBrowser,
  login,
  md5,
  screenshot,
  startOxnode,
  startTcpSource,
  text,
  until,
} from './helpers.js';

const skipReason = await browserUnavailableReason();
if (skipReason) console.log(`browser tests skipped: ${skipReason}`);
const opts = { skip: skipReason ? `browser tests skipped: ${skipReason}` : false, timeout: 120000 };

/**
 * Runs body with a started oxnode and a browser page, saves a screenshot at
 * the end (also when the body failed), then stops oxnode and expects exit 0.
 */
async function withConsole(name, body, cfg = {}, browserOptions = {}) {
  const ox = await startOxnode(name, cfg);
  let browser;
  let page;
  let failure = null;
  try {
    browser = await launchBrowser(name, browserOptions);
    page = await browser.newPage();
    await body({ ox, browser, page });
    assert.deepEqual(browser.errors, [], 'the page raised no script errors');
  } catch (err) {
    failure = err;
  } finally {
    if (page) await screenshot(page, name).catch(() => {});
    if (browser) await browser.close();
    const exit = await ox.stop();
    if (!failure) assert.deepEqual(exit, { code: 0, signal: null }, `oxnode exit after SIGTERM (log: ${ox.logPath})`);
  }
  if (failure) throw failure;
}

const streamRow = (page, id) => page.locator(`#streams-table tr.stream[data-id="${id}"]`);

test('login: wrong password is refused with a message, the right one opens the streams page', opts, async (t) => {
  await withConsole('login', async ({ page }) => {
    await page.goto(BASE_URL);
    await page.locator('#login-view').waitFor({ state: 'visible' });
    assert.equal(await page.locator('#tabs').isVisible(), false, 'no tabs before login');

    await page.fill('#login-user', 'admin');
    await page.fill('#login-pass', 'not-the-password');
    await page.click('#login-form button[type=submit]');
    await page.locator('#login-msg').waitFor({ state: 'visible' });
    assert.match(await text(page, '#login-msg'), /Wrong user name or password \(Token Error!\)/);

    await login(page);
    // The default stream 0 with its six endpoints and their URLs.
    const row = streamRow(page, 0);
    await row.waitFor();
    assert.equal((await row.locator('td.name').textContent()).trim(), 'Not Set');
    await until(async () => (await row.locator('code.url').count()) === 6, 'six endpoint URLs');
    const urls = await row.locator('code.url').allTextContents();
    assert.deepEqual(urls, [
      'oxtcp://127.0.0.1:8010',
      'oxdp://127.0.0.1:8010?latency=20',
      'oxlat://127.0.0.1:8011?minirto=50',
      'oxtcp://127.0.0.1:8020',
      'oxdp://127.0.0.1:8020?latency=20',
      'oxlat://127.0.0.1:8021',
    ]);
    assert.equal(await row.locator('td.rate').textContent(), '0 bit/s');

    // The session survives a reload (token kept for the browser session).
    await page.reload();
    await page.locator('#streams-view').waitFor({ state: 'visible' });
    await streamRow(page, 0).waitFor();

    // A token the service does not know brings the login page back with the reason.
    await page.evaluate(() => sessionStorage.setItem('oxnode.token', '0123456789abcdef0123456789abcdef'));
    await page.reload();
    await page.locator('#login-view').waitFor({ state: 'visible' });
    assert.match(await text(page, '#login-msg'), /Timeout! please retry!/);
    await page.fill('#login-pass', 'x');
    await screenshot(page, 'login-session-ended');
  });
});

test('create: the new stream gets the lowest free ID, shows its URLs, and its bit rate follows pushed data', opts, async (t) => {
  await withConsole('create', async ({ page }) => {
    await login(page);
    await streamRow(page, 0).waitFor();
    assert.equal(await text(page, '#next-id'), 'A new stream gets ID 1.');

    await page.fill('#create-name', 'e2e <alpha> & "co"');
    await page.click('#create-form button[type=submit]');
    await page.locator('#streams-msg.ok').waitFor();
    assert.match(await text(page, '#streams-msg'), /Created stream “e2e <alpha> & "co"” with ID 1/);
    const row = streamRow(page, 1);
    await row.waitFor();
    // Markup characters in names are shown as text.
    assert.equal(await row.locator('td.name').textContent(), 'e2e <alpha> & "co"');
    assert.equal(await row.locator('td.name b').count(), 0);
    await until(async () => (await row.locator('code.url').count()) === 6, 'six endpoint URLs of stream 1');
    const urls = await row.locator('code.url').allTextContents();
    assert.deepEqual(urls, [
      'oxtcp://127.0.0.1:8030',
      'oxdp://127.0.0.1:8030?latency=20',
      'oxlat://127.0.0.1:8031?minirto=50',
      'oxtcp://127.0.0.1:8040',
      'oxdp://127.0.0.1:8040?latency=20',
      'oxlat://127.0.0.1:8041',
    ]);
    assert.equal(await text(page, '#next-id'), 'A new stream gets ID 2.');

    // The copy button puts the URL on the clipboard.
    await row.locator('button.copy').first().click();
    await until(async () => (await row.locator('button.copy').first().textContent()) === 'Copied', 'copy feedback', 3000);
    assert.equal(await page.evaluate(() => navigator.clipboard.readText()), 'oxtcp://127.0.0.1:8030');

    // About 3 MB/s into the TCP input of stream 1 (8010 + 20 * 1).
    const rate = row.locator('td.rate');
    const source = await startTcpSource(8030, 3_000_000);
    const seen = new Set();
    try {
      await until(async () => (await row.locator('.badge.up').first().textContent()) === 'connected', 'TCP input connected');
      await until(async () => {
        const r = await rate.textContent();
        if (/Mbit\/s$/.test(r) && parseFloat(r) > 1) seen.add(r);
        return seen.size >= 3;
      }, 'three different Mbit/s readings of the bit rate', 15000, 250);
      await screenshot(page, 'create-data-flowing');
    } finally {
      source.stop();
    }
    // Shown in bits: 3 MB/s is about 24 Mbit/s; allow for timer jitter.
    const values = [...seen].map((r) => parseFloat(r));
    assert.ok(values.some((v) => v >= 10 && v <= 60), `bit rates near 24 Mbit/s: ${[...seen].join(', ')}`);
    await until(async () => (await rate.textContent()) === '0 bit/s', 'the bit rate to fall back to 0', 10000);
    assert.equal(await streamRow(page, 0).locator('td.rate').textContent(), '0 bit/s', 'stream 0 saw no data');
  });
});

test('rename: the dialog renames a stream and the table shows the new name', opts, async (t) => {
  await withConsole('rename', async ({ page }) => {
    await login(page);
    const row = streamRow(page, 0);
    await row.waitFor();

    // Cancel leaves the name alone.
    await row.locator('button', { hasText: 'Rename' }).click();
    await page.locator('#dialog').waitFor({ state: 'visible' });
    assert.equal(await page.inputValue('#dialog-input'), 'Not Set');
    await page.click('#dialog-cancel');
    await page.locator('#dialog').waitFor({ state: 'hidden' });

    await row.locator('button', { hasText: 'Rename' }).click();
    await page.fill('#dialog-input', 'Studio feed');
    await page.click('#dialog-ok');
    await until(async () => (await text(page, '#streams-msg')) === 'Stream 0 is now called “Studio feed”.', 'the rename message');
    await until(async () => (await row.locator('td.name').textContent()) === 'Studio feed', 'the new name in the table');
    const reply = await apiCall({ cmd: 'login', user: 'admin', passMd5: md5('73519046') });
    const list = await apiCall({ cmd: 'getStreamList', token: reply.token });
    assert.equal(list.data[0].name, 'Studio feed');
  });
});

test('delete: asks for confirmation, then removes the stream', opts, async (t) => {
  await withConsole('delete', async ({ page }) => {
    await login(page);
    await page.fill('#create-name', 'to be deleted');
    await page.click('#create-form button[type=submit]');
    const row = streamRow(page, 1);
    await row.waitFor();
    await until(async () => /Created stream/.test(await text(page, '#streams-msg')), 'the creation message');

    await row.locator('button', { hasText: 'Delete' }).click();
    await page.locator('#dialog').waitFor({ state: 'visible' });
    assert.match(await text(page, '#dialog-text'), /Stream 1 “to be deleted” will be stopped and removed/);
    await screenshot(page, 'delete-confirmation');
    await page.click('#dialog-cancel');
    await page.locator('#dialog').waitFor({ state: 'hidden' });
    // Still listed after a refresh or two.
    await page.waitForTimeout(1500);
    assert.equal(await row.count(), 1, 'cancelled delete keeps the stream');

    await row.locator('button', { hasText: 'Delete' }).click();
    await page.click('#dialog-ok');
    await until(async () => (await text(page, '#streams-msg')) === 'Deleted stream 1.', 'the deletion message');
    assert.equal(await row.count(), 0);
    assert.equal(await streamRow(page, 0).count(), 1);
    assert.equal(await text(page, '#next-id'), 'A new stream gets ID 1.');
  });
});

test('password change: wrong old password is refused; a change ends every session', opts, async (t) => {
  await withConsole('password', async ({ browser, page }) => {
    // Two tabs: separate sessions.
    await login(page);
    const other = await browser.newPage();
    await login(other);

    await page.click('.tab[data-tab=settings]');
    await page.fill('#pw-old', 'wrong');
    await page.fill('#pw-new', 'n3w pässword');
    await page.fill('#pw-new2', 'n3w pässword');
    await page.click('#password-form button[type=submit]');
    await page.locator('#password-msg.error').waitFor();
    assert.equal(await text(page, '#password-msg'), 'The old password is wrong (password error！).');

    await page.fill('#pw-old', '73519046');
    await page.fill('#pw-new', 'n3w pässword');
    await page.fill('#pw-new2', 'typo');
    await page.click('#password-form button[type=submit]');
    assert.equal(await text(page, '#password-msg'), 'The two new passwords differ.');

    await page.fill('#pw-new2', 'n3w pässword');
    await page.click('#password-form button[type=submit]');
    await page.locator('#login-view').waitFor({ state: 'visible' });
    assert.match(await text(page, '#login-msg'), /Password changed\. Everyone has been logged out/);

    // The other tab's next refresh finds its token gone.
    await other.locator('#login-view').waitFor({ state: 'visible', timeout: 5000 });
    assert.match(await text(other, '#login-msg'), /Your session has ended \(Timeout! please retry!\)/);
    await screenshot(other, 'password-other-session');

    // Old password refused, new one accepted; the service saved it as the MD5 digest.
    await other.fill('#login-pass', '73519046');
    await other.click('#login-form button[type=submit]');
    await until(async () => /Token Error!/.test(await text(other, '#login-msg')), 'the refusal of the old password');
    await login(other, 'n3w pässword');
    await streamRow(other, 0).waitFor();
    await other.close();
  });
});

test('nodes: a simulated node appears online with details, takes a command, and goes offline when silent', opts, async (t) => {
  await withConsole('nodes', async ({ page }) => {
    await login(page);
    await page.click('.tab[data-tab=nodes]');
    await page.locator('#nodes-empty').waitFor({ state: 'visible' });

    const node = new SimNode('SN12345', 1);
    try {
      await node.connect();
      await node.login();
      node.sendStatus(
        {
          alias: 'Camera <1>',
          version: '2.4.1',
          workMode: 'encoder',
          modeList: 'encoder,decoder',
          temperature: 47,
          runtime: 3725,
          network: { mainIP: '10.1.2.3', eth0: { ip: '10.1.2.3', mask: '255.255.255.0', gateway: '10.1.2.1' } },
          pipelist: [
            { name: 'main', state: 'running', bitrate: 4000 },
            { name: 'backup', state: 'idle', bitrate: 0 },
          ],
        },
        { server: '127.0.0.1', loginToServer: true },
      );
      node.startKeepAlive(1000);

      const row = page.locator('#nodes-table tr.node[data-sn="SN12345"]');
      await row.waitFor();
      await until(async () => (await row.locator('td.c-alias').textContent()) === 'Camera <1>', 'the node status in the list');
      const cells = await row.locator('td').allTextContents();
      assert.deepEqual(cells.slice(0, 9), ['SN12345', '1', 'Camera <1>', 'online', 'encoder', '47 °C', '1h 2m 5s', '10.1.2.3', 'yes']);
      // Each poll of an online node adds a temperature sample to its chart.
      const temperatureChart = row.locator('td.c-temperature svg.chart');
      await until(async () => (await chartYs(temperatureChart)).length >= 2, 'a temperature line of two samples');

      await row.locator('button', { hasText: 'Details' }).click();
      await page.locator('#node-details').waitFor({ state: 'visible' });
      await until(async () => (await page.locator('#node-details-fields dd').count()) > 0, 'node details');
      const details = await page.locator('#node-details-fields').textContent();
      assert.match(details, /Version2\.4\.1/);
      assert.match(details, /Modesencoder, decoder/);
      assert.match(await page.locator('#node-network').textContent(), /eth0.*255\.255\.255\.0/);
      assert.deepEqual(await page.locator('#node-pipes tbody tr').allTextContents(), ['main4000running', 'backup0idle']);

      // A command by serial reaches the node over its TCP session.
      assert.equal(await page.inputValue('#cmd-sn'), 'SN12345');
      await page.fill('#cmd-name', 'setWorkMode');
      await page.fill('#cmd-data', '{"workMode": "decoder"}');
      await page.click('#node-cmd-form button[type=submit]');
      await page.locator('#cmd-reply').waitFor({ state: 'visible' });
      const forwarded = await until(() => node.received.find((m) => m.cmd === 'setWorkMode'), 'the command at the node', 5000, 50);
      assert.equal(forwarded.sn, 'SN12345');
      assert.deepEqual(forwarded.data, { workMode: 'decoder' });
      assert.equal(forwarded.token, undefined, 'the web login token is not passed on to the node');
      await screenshot(page, 'nodes-online');

      // Silence: the service logs the node out after five seconds without a message.
      node.stopKeepAlive();
      const silentSince = Date.now();
      await until(async () => (await row.locator('td.c-online').textContent()) === 'offline', 'the node to go offline', 12000, 200);
      // The last keep-alive went out up to a second before the silence began.
      const took = Date.now() - silentSince;
      assert.ok(took >= 3500 && took <= 10000, `offline after ${took} ms of silence`);
      assert.equal(await row.locator('td.c-loginToServer').textContent(), 'no');
      await until(async () => /Onlineno/.test(await page.locator('#node-details-fields').textContent()), 'details to show offline');
    } finally {
      node.close();
    }
  });
});

test('node list: a fleet larger than a page is paged, filtered and summed up', opts, async (t) => {
  await withConsole('node-pages', async ({ page }) => {
    const fleet = [];
    try {
      for (let i = 0; i < 105; i++) {
        const node = new SimNode(`SN${String(i).padStart(5, '0')}`, i);
        fleet.push(node);
        await node.connect();
        await node.login();
        node.sendStatus({ alias: i % 2 ? `Encoder ${i}` : `Camera ${i}`, workMode: i % 2 ? 'encoder' : 'decoder', version: '1.0', temperature: i % 50 });
        node.startKeepAlive(1000);
      }
      await login(page);
      await page.click('.tab[data-tab=nodes]');
      const rows = page.locator('#nodes-table tr.node');
      await until(async () => (await text(page, '#nodes-range')) === '1–100 of 105', 'the first page');
      assert.equal(await rows.count(), 100);
      assert.match(await text(page, '#nodes-summary'), /^105 online, 0 offline · work modes: decoder 53, encoder 52 · versions: 1\.0 105 · hottest: SN00049 49 °C/);
      await page.click('#nodes-next');
      await until(async () => (await text(page, '#nodes-range')) === '101–105 of 105', 'the second page');
      assert.deepEqual(await rows.locator('td.c-sn').allTextContents(), ['SN00100', 'SN00101', 'SN00102', 'SN00103', 'SN00104']);
      assert.equal(await page.locator('#nodes-next').isDisabled(), true);

      // Filters start again at the first page and ask the service for matches only.
      await page.fill('#nodes-match', 'encoder 10');
      await until(async () => (await rows.count()) === 2, 'two matches');
      assert.deepEqual(await rows.locator('td.c-alias').allTextContents(), ['Encoder 101', 'Encoder 103']);
      assert.equal(await page.locator('#nodes-pager').isHidden(), true);
      await page.fill('#nodes-match', '');
      await page.selectOption('#nodes-online', 'false');
      await until(async () => /No node matches the filters/.test(await text(page, '#nodes-empty')) && await page.locator('#nodes-empty').isVisible(), 'no offline node');
      await screenshot(page, 'node-pages');
    } finally {
      for (const n of fleet) n.close();
    }
  });
});

test('settings: server address and web port are saved, with the next-start note', opts, async (t) => {
  await withConsole('settings', async ({ ox, page }) => {
    await login(page);
    await page.click('.tab[data-tab=settings]');
    await until(async () => (await page.inputValue('#set-serverip')) === '127.0.0.1', 'the settings to load');
    assert.equal(await page.inputValue('#set-webport'), '8001');
    assert.equal(await page.isChecked('#set-localdev'), false);
    assert.equal(await text(page, '#set-username'), 'admin');

    await page.fill('#set-serverip', '');
    await page.click('#settings-form button[type=submit]');
    assert.equal(await text(page, '#settings-msg'), 'The server address cannot be empty.');

    await page.fill('#set-serverip', 'relay.example.test');
    await page.fill('#set-webport', '7000');
    await page.click('#settings-form button[type=submit]');
    await page.locator('#settings-msg.ok').waitFor();
    assert.equal(await text(page, '#settings-msg'), 'Settings saved. The web port 7000 applies at the next start of oxnode.');

    // Written to appcfg.json at the next heart tick; the web port in use stays.
    const cfgPath = path.join(ox.dir, 'appcfg.json');
    const cfg = await until(() => {
      const c = JSON.parse(fs.readFileSync(cfgPath, 'utf8'));
      return c.webPort === 7000 ? c : null;
    }, 'appcfg.json to hold the new port');
    assert.equal(cfg.serverIP, 'relay.example.test');
    assert.equal(cfg.localDevCfg, false);

    // New streams build their URLs with the new address.
    await page.click('.tab[data-tab=streams]');
    await page.fill('#create-name', 'after settings');
    await page.click('#create-form button[type=submit]');
    await until(async () => (await streamRow(page, 1).locator('code.url').count()) === 6, 'stream 1 URLs');
    assert.equal(await streamRow(page, 1).locator('code.url').first().textContent(), 'oxtcp://relay.example.test:8030');
  });
});

/** The y coordinates of a chart's line, from its path data. */
async function chartYs(chart) {
  const d = (await chart.locator('path.line').getAttribute('d')) || '';
  return [...d.matchAll(/[ML]([\d.]+) ([\d.]+)/g)].map((m) => Number(m[2]));
}

test('charts: the bit rate chart grows with each poll and rises with traffic', opts, async (t) => {
  await withConsole('charts', async ({ page }) => {
    await login(page);
    const chart = streamRow(page, 0).locator('td.rate svg.chart');
    const samples = async () => Number(await chart.getAttribute('data-samples'));
    await until(async () => (await samples()) >= 2, 'two samples in the chart');
    const before = await samples();
    await until(async () => (await samples()) >= before + 2, 'the chart to take more samples');
    const idle = await chartYs(chart);
    assert.ok(idle.length >= 2 && new Set(idle).size === 1, `no traffic, flat line: ${idle}`);

    const source = await startTcpSource(8010, 1_000_000);
    try {
      await until(async () => new Set(await chartYs(chart)).size > 1, 'the line to rise with the traffic', 15000, 250);
      await until(async () => (await streamRow(page, 0).locator('td.rate > span').textContent()) !== '0 bit/s', 'the bit rate text');
      await screenshot(page, 'streams-chart');
    } finally {
      source.stop();
    }
  });
});

test('client counts: shown beside the endpoints that report one, nothing beside the others', opts, async (t) => {
  await withConsole('client-counts', async ({ browser, page }) => {
    // The service reports a count for every endpoint: nobody is connected yet.
    await login(page);
    const row = streamRow(page, 0);
    await until(async () => (await row.locator('code.url').count()) === 6, 'six endpoints');
    await until(async () => (await row.locator('.clients:visible').count()) === 6, 'six counts');
    assert.deepEqual(await row.locator('.clients').allTextContents(), Array(6).fill('0 clients'));

    // A reply that carries counts for two of the outputs.
    const other = await browser.newPage();
    await other.addInitScript(() => {
      const realFetch = window.fetch;
      window.fetch = async (url, init) => {
        const res = await realFetch(url, init);
        if (!String(init?.body ?? '').includes('"getStreamList"')) return res;
        const reply = await res.json();
        for (const s of reply.data ?? []) {
          for (const ep of [...(s.inList ?? []), ...(s.outList ?? [])]) {
            delete ep.clientCount;
            if (ep.type === 'st_tcp') ep.clientCount = 2;
            if (ep.type === 'st_oxdp') ep.clientCount = 1;
          }
        }
        return new Response(JSON.stringify(reply), { status: res.status });
      };
    });
    await login(other);
    const counts = streamRow(other, 0).locator('table.endpoints tr');
    await until(async () => (await counts.count()) === 6, 'six endpoints on the second page');
    await until(async () => (await streamRow(other, 0).locator('.clients:visible').count()) === 2, 'two counts');
    const shown = await counts.evaluateAll((trs) => trs.map((tr) => {
      const c = tr.querySelector('.clients');
      return c.hidden ? null : c.textContent;
    }));
    assert.deepEqual(shown, [null, null, null, '2 clients', '1 client', null]);
    await other.close();
  });
});

test('who is connected: a TCP client is listed under its stream and the Disconnect button closes it', opts, async (t) => {
  await withConsole('stream-clients', async ({ page }) => {
    await login(page);
    const row = streamRow(page, 0);
    const client = net.connect({ host: '127.0.0.1', port: 8020 });
    const closed = new Promise((resolve) => client.once('close', resolve));
    client.on('error', () => {});
    client.on('data', () => {});
    await new Promise((resolve, reject) => {
      client.once('connect', resolve);
      client.once('error', reject);
    });
    try {
      const peer = `127.0.0.1:${client.localPort}`;
      await row.locator('button', { hasText: 'Clients' }).click();
      const entry = row.locator(`.clients-panel tr[data-endpoint="st_tcp"][data-peer="${peer}"]`);
      await until(async () => (await entry.count()) === 1, `the client ${peer} in the list`);
      assert.equal(await entry.locator('td').first().textContent(), 'TCP out');
      await screenshot(page, 'stream-clients-listed');
      await entry.locator('button', { hasText: 'Disconnect' }).click();
      await until(async () => {
        await Promise.race([closed, new Promise((r) => setTimeout(r, 100))]);
        return client.destroyed || client.readyState === 'closed';
      }, 'the client to be closed', 10000);
      await until(async () => (await entry.count()) === 0, 'the client to leave the list');
    } finally {
      client.destroy();
    }
  });
});

test('pull: the dialog refuses a bad URL with the reason, sets a good one, and the pull input shows', opts, async (t) => {
  await withConsole('pull', async ({ page }) => {
    await login(page);
    const row = streamRow(page, 0);
    await row.waitFor();

    await row.locator('button', { hasText: 'Pull…' }).click();
    await page.fill('#dialog-input', 'oxtcp://127.0.0.1:8020');
    await page.click('#dialog-ok');
    await until(async () => /^Pull source refused: loop:/.test(await text(page, '#streams-msg')), 'the loop refusal');

    await row.locator('button', { hasText: 'Pull…' }).click();
    await page.fill('#dialog-input', 'oxtcp://127.0.0.1:8040');
    await page.click('#dialog-ok');
    await until(async () => (await text(page, '#streams-msg')) === 'Stream 0 pulls from oxtcp://127.0.0.1:8040.', 'the set message');
    await until(async () => (await row.locator('td.ep-type', { hasText: 'Pull in' }).count()) === 1, 'the pull input row');

    await row.locator('button', { hasText: 'Pull…' }).click();
    assert.equal(await page.inputValue('#dialog-input'), 'oxtcp://127.0.0.1:8040');
    await page.fill('#dialog-input', '');
    await page.click('#dialog-ok');
    await until(async () => (await row.locator('td.ep-type', { hasText: 'Pull in' }).count()) === 0, 'the pull input gone');
  });
});

test('publish: the dialog refuses a bad policy with the reason, saves a good one; the row shows it and Switch answers', opts, async (t) => {
  await withConsole('publish', async ({ page }) => {
    await login(page);
    const row = streamRow(page, 0);
    await row.waitFor();
    assert.equal(await row.locator('button', { hasText: 'Switch' }).isVisible(), false);

    await row.locator('button', { hasText: 'Publish…' }).click();
    await page.fill('#dialog-input', '{"mode": "one"}');
    await page.click('#dialog-ok');
    await until(async () => /^Publish policy refused: mode must be/.test(await text(page, '#streams-msg')), 'the refusal');

    await row.locator('button', { hasText: 'Publish…' }).click();
    await page.fill('#dialog-input', '{"mode": "failover", "lossMs": 800}');
    await page.click('#dialog-ok');
    await until(async () => (await text(page, '#streams-msg')) === 'Stream 0: publish policy saved.', 'the saved message');
    await until(async () => (await row.locator('.publish-state').textContent()) === 'failover · live: none · 0 switches', 'the policy line');

    await row.locator('button', { hasText: 'Switch' }).click();
    await until(async () => (await text(page, '#streams-msg')) === 'Stream 0: the next publisher that sends takes over.', 'the switch message');
  });
});

test('protection: default-password banner; the editor saves lists and a passphrase that is never shown back', opts, async (t) => {
  await withConsole('protection', async ({ page }) => {
    await login(page);
    await page.locator('#default-password-banner').waitFor({ state: 'visible' });
    assert.match(await text(page, '#default-password-banner'), /still the default one/);
    const row = streamRow(page, 0);
    await row.waitFor();
    assert.equal(await row.locator('.access-summary').textContent(), 'open');

    await row.locator('.access-controls > button').click();
    const form = row.locator('form.access');
    assert.match(await form.locator('.passphrase-scope').textContent(), /TCP and oxlat outputs still serve anyone.*Outputs allowed to/);
    await form.locator('textarea').first().fill('127.0.0.1\n10.0.0.0/8');
    await form.locator('input[type=password]').nth(1).fill('short');
    await form.locator('button[type=submit]').click();
    await until(async () => /readPassphrase must be 10 to 79 characters long/.test(await form.locator('.msg').textContent()), 'the refusal');
    await form.locator('input[type=password]').nth(1).fill('read-passphrase-22');
    await form.locator('button[type=submit]').click();
    await until(async () => (await form.locator('.msg').textContent()) === 'Protection saved.', 'the saved message');
    await until(async () => (await row.locator('.access-summary').textContent()) === 'read passphrase; inputs: 127.0.0.1, 10.0.0.0/8', 'the summary');
    // Reopened, the editor knows only that a passphrase is set.
    await row.locator('.access-controls > button').click();
    await row.locator('.access-controls > button').click();
    const readField = form.locator('input[type=password]').nth(1);
    assert.equal(await readField.inputValue(), '');
    assert.equal(await readField.getAttribute('placeholder'), 'set (unchanged)');

    const reply = await apiCall({ cmd: 'login', user: 'admin', passMd5: md5('73519046') });
    const list = await apiCall({ cmd: 'getStreamList', token: reply.token });
    assert.deepEqual(list.data[0].access, { inputAllow: ['127.0.0.1', '10.0.0.0/8'], outputAllow: [], publishPassphraseSet: false, readPassphraseSet: true });
  });
});

test('https: the console logs in, lists streams and opens the settings over TLS', opts, async (t) => {
  // The certificate is the one the service makes for itself.
  const base = 'https://127.0.0.1:8443/';
  await withConsole('https', async ({ page }) => {
    await login(page, undefined, undefined, base);
    assert.ok(page.url().startsWith(base), `still on ${page.url()}`);
    await until(async () => (await streamRow(page, 0).locator('code.url').count()) === 6, 'six endpoint URLs');
    await page.click('#tabs [data-tab="settings"]');
    await until(async () => (await page.locator('#set-webport').inputValue()) === '8001', 'the web port in the form');
  }, { httpsPort: 8443 }, { ignoreHTTPSErrors: true });
});
